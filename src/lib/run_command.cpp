#include "run_command.h"

#include "dispatch.h"
#include "payload_reader.h"
#include "reply_writer.h"

namespace brightloom {

Result<std::string> run_command(std::string_view command, std::string_view payload_text) {
    Result<JsonValue> payload = read_payload(payload_text);
    if (!payload.ok()) return std::move(payload).error();
    Result<JsonValue> reply = execute_command(command, *payload);
    if (!reply.ok()) return std::move(reply).error();
    return write_reply(*reply);
}

}  // namespace brightloom
