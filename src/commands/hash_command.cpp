#include "hash_command.h"

#include "text/content_hash.h"

namespace brightloom {

Result<JsonValue> run_hash(const JsonValue& payload) {
    const std::string* path = string_field(payload, "path");
    if (path == nullptr) return missing_field_error("path");

    Result<FileDigest> digest = digest_text_file(*path, OpenMode::any_file);
    if (!digest.ok()) return std::move(digest).error();

    JsonObject reply;
    reply.emplace("hash", std::move(digest->hash));
    reply.emplace("ok", true);
    return JsonValue(std::move(reply));
}

}  // namespace brightloom
