#include "run_command.h"

#include <utility>

#include "host/dispatch.h"
#include "host/payload_reader.h"
#include "host/reply_writer.h"

namespace brightloom {

Result<JsonValue> execute_command(std::string_view command, const JsonValue& payload) {
    Result<JsonObject> reply = dispatch_command(command, payload);
    if (!reply.ok()) return std::move(reply).error();
    // Every reply says it succeeded; a failure never reaches the writer.
    reply->insert_or_assign("ok", true);
    return JsonValue(std::move(*reply));
}

Result<std::string> run_command(std::string_view command, std::string_view payload_text) {
    Result<JsonValue> payload = read_payload(payload_text);
    if (!payload.ok()) return std::move(payload).error();
    Result<JsonValue> reply = execute_command(command, *payload);
    if (!reply.ok()) return std::move(reply).error();
    return write_reply(*reply);
}

}  // namespace brightloom
