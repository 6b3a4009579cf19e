#include "run_command.h"

#include "host/dispatch.h"
#include "host/payload_reader.h"
#include "host/reply_writer.h"

namespace brightloom {

Result<std::string> run_command(std::string_view command, std::string_view payload_text) {
    Result<JsonValue> payload = read_payload(payload_text);
    if (!payload.ok()) return std::move(payload).error();
    Result<JsonValue> reply = execute_command(command, *payload);
    if (!reply.ok()) return std::move(reply).error();
    return write_reply(*reply);
}

}  // namespace brightloom
