#include "syntax_check_command.h"

#include <utility>

#include "languages/language_table.h"
#include "syntax/parse_source.h"

namespace brightloom {
namespace {

JsonValue item_to_json(SyntaxErrorItem item) {
    return JsonObject{
        {"column", item.column},
        {"kind", item.kind},
        {"line", item.line},
        {"message", std::move(item.message)},
        {"snippet", std::move(item.snippet)},
    };
}

}  // namespace

Result<SourceRequest> read_syntax_check_request(const JsonValue& payload) {
    return read_source_request(payload, LanguageCommand::syntax_check);
}

Result<SyntaxCheckReply> run_syntax_check(const SourceRequest& request) {
    SyntaxCheckReply reply{request.language, false, {}};
    const LanguageRow* row = language_serving(reply.language, LanguageCommand::syntax_check);
    if (row == nullptr || row->grammar == nullptr) return reply;

    Result<ParsedSource> parsed = parse_source(row->grammar(), request.text);
    if (!parsed.ok()) return std::move(parsed).error();
    reply.errors = collect_syntax_errors(parsed->root(), request.text);
    reply.checked = true;
    return reply;
}

JsonObject to_json(SyntaxCheckReply reply) {
    JsonArray errors = json_array_of(std::move(reply.errors), item_to_json);
    JsonObject object{
        {"checked", reply.checked},
        {"error_count", std::uint64_t{errors.size()}},
        {"valid", errors.empty()},
        {"errors", std::move(errors)},
        {"language", std::move(reply.language)},
    };
    if (!reply.checked) object.emplace("reason", "no_parser");
    return object;
}

}  // namespace brightloom
