#include "dispatch.h"

#include <array>

#include "hash_command.h"
#include "scan_command.h"
#include "source_request.h"
#include "outline/outline.h"
#include "symbols/symbols_command.h"
#include "syntax/syntax_check.h"

namespace brightloom {
namespace {

using CommandBody = Result<JsonValue> (*)(const JsonValue& payload);
using SourceCommandBody = Result<JsonValue> (*)(const SourceRequest& request);

// The door of the commands that take one source text: the payload is read
// into a SourceRequest here, and the command sees only that.
template <SourceCommandBody Body>
Result<JsonValue> with_source_request(const JsonValue& payload) {
    Result<SourceRequest> request = read_source_request(payload);
    if (!request.ok()) return std::move(request).error();
    return Body(*request);
}

struct CommandRoute {
    std::string_view name;
    CommandBody body;
};

// Matched byte for byte: no case folding, trimming or prefix matching.
constexpr std::array COMMAND_ROUTES{
    CommandRoute{"hash", run_hash},
    CommandRoute{"scan", scan_workspace},
    CommandRoute{"outline", with_source_request<run_outline>},
    CommandRoute{"syntax-check", with_source_request<run_syntax_check>},
    CommandRoute{"symbols", run_symbols},
};

}  // namespace

Result<JsonValue> execute_command(std::string_view command, const JsonValue& payload) {
    for (const CommandRoute& route : COMMAND_ROUTES) {
        if (route.name == command) return route.body(payload);
    }
    return unknown_command_error(command);
}

}  // namespace brightloom
