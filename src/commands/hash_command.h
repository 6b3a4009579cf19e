// The "hash" command: the content digest of one file named by "path".
#pragma once

#include <string>

#include "base/command_error.h"
#include "base/json_value.h"

namespace brightloom {

struct HashRequest {
    // Byte for byte as received; relative paths start at the working folder.
    std::string path;
};

struct HashReply {
    // SHA-256 of the normalised text, 64 lower-case hexadecimal digits.
    std::string hash;
};

// Fails with "missing required field: path" without a string "path".
Result<HashRequest> read_hash_request(const JsonValue& payload);

// Fails with the read's message.
Result<HashReply> run_hash(const HashRequest& request);

// {"hash"}.
JsonObject to_json(HashReply reply);

}  // namespace brightloom
