#include "dispatch.h"

#include <array>

#include "hash_command.h"
#include "scan_command.h"
#include "outline/outline.h"
#include "syntax/syntax_check.h"

namespace brightloom {
namespace {

using CommandBody = Result<JsonValue> (*)(const JsonValue& payload);

struct CommandRoute {
    std::string_view name;
    CommandBody body;
};

// Matched byte for byte: no case folding, trimming or prefix matching.
constexpr std::array COMMAND_ROUTES{
    CommandRoute{"hash", run_hash},
    CommandRoute{"scan", scan_workspace},
    CommandRoute{"outline", run_outline},
    CommandRoute{"syntax-check", run_syntax_check},
};

}  // namespace

Result<JsonValue> execute_command(std::string_view command, const JsonValue& payload) {
    for (const CommandRoute& route : COMMAND_ROUTES) {
        if (route.name == command) return route.body(payload);
    }
    return unknown_command_error(command);
}

}  // namespace brightloom
