#include "hash_command.h"

#include <utility>

#include "text/content_hash.h"

namespace brightloom {

Result<HashRequest> read_hash_request(const JsonValue& payload) {
    const std::string* path = string_field(payload, "path");
    if (path == nullptr) return missing_field_error("path");
    return HashRequest{*path};
}

Result<HashReply> run_hash(const HashRequest& request) {
    Result<FileDigest> digest = digest_text_file(request.path, OpenMode::any_file);
    if (!digest.ok()) return std::move(digest).error();
    return HashReply{std::move(digest->hash)};
}

JsonObject to_json(HashReply reply) {
    return JsonObject{{"hash", std::move(reply.hash)}};
}

}  // namespace brightloom
