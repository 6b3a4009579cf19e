#include "dispatch.h"

#include <array>
#include <utility>

#include "commands/hash_command.h"
#include "commands/outline_command.h"
#include "commands/scan_command.h"
#include "commands/symbols_command.h"
#include "commands/syntax_check_command.h"

namespace brightloom {
namespace {

using CommandBody = Result<JsonObject> (*)(const JsonValue& payload);

// Every command has the same shape: its request is read from the payload at
// the door, the command sees only that request, and its reply becomes JSON
// through the to_json overload of its reply type.
template <auto read_request, auto run>
Result<JsonObject> run_route(const JsonValue& payload) {
    auto request = read_request(payload);
    if (!request.ok()) return std::move(request).error();
    auto reply = run(*request);
    if (!reply.ok()) return std::move(reply).error();
    return to_json(std::move(*reply));
}

struct CommandRoute {
    std::string_view name;
    CommandBody body;
};

// Matched byte for byte: no case folding, trimming or prefix matching.
constexpr std::array COMMAND_ROUTES{
    CommandRoute{"hash", run_route<read_hash_request, run_hash>},
    CommandRoute{"scan", run_route<read_scan_request, run_scan>},
    CommandRoute{"outline", run_route<read_outline_request, run_outline>},
    CommandRoute{"syntax-check", run_route<read_syntax_check_request, run_syntax_check>},
    CommandRoute{"symbols", run_route<read_symbols_request, run_symbols>},
};

}  // namespace

Result<JsonObject> dispatch_command(std::string_view command, const JsonValue& payload) {
    for (const CommandRoute& route : COMMAND_ROUTES) {
        if (route.name == command) return route.body(payload);
    }
    return unknown_command_error(command);
}

}  // namespace brightloom
