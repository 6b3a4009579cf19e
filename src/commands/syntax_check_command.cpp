#include "syntax_check_command.h"

#include <utility>
#include <vector>

#include "languages/grammar_registry.h"
#include "syntax/parse_source.h"
#include "syntax/syntax_errors.h"

namespace brightloom {
namespace {

constexpr std::string_view NO_PARSER_REASON = "no_parser";

JsonValue item_to_json(SyntaxErrorItem item) {
    JsonObject object;
    object.emplace("column", JsonValue(item.column));
    object.emplace("kind", JsonValue(item.kind));
    object.emplace("line", JsonValue(item.line));
    object.emplace("message", JsonValue(std::move(item.message)));
    object.emplace("snippet", JsonValue(std::move(item.snippet)));
    return JsonValue(std::move(object));
}

JsonValue no_parser_reply(std::string language) {
    JsonObject reply;
    reply.emplace("checked", JsonValue(false));
    reply.emplace("error_count", JsonValue(std::uint64_t{0}));
    reply.emplace("errors", JsonValue(JsonArray{}));
    reply.emplace("language", JsonValue(std::move(language)));
    reply.emplace("ok", JsonValue(true));
    reply.emplace("reason", JsonValue(NO_PARSER_REASON));
    reply.emplace("valid", JsonValue(true));
    return JsonValue(std::move(reply));
}

JsonValue checked_reply(std::string language, std::vector<SyntaxErrorItem> items) {
    JsonArray errors;
    errors.reserve(items.size());
    for (SyntaxErrorItem& item : items) errors.push_back(item_to_json(std::move(item)));

    JsonObject reply;
    reply.emplace("checked", JsonValue(true));
    reply.emplace("error_count", JsonValue(std::uint64_t{errors.size()}));
    reply.emplace("valid", JsonValue(errors.empty()));
    reply.emplace("errors", JsonValue(std::move(errors)));
    reply.emplace("language", JsonValue(std::move(language)));
    reply.emplace("ok", JsonValue(true));
    return JsonValue(std::move(reply));
}

}  // namespace

Result<JsonValue> run_syntax_check(const SourceRequest& request) {
    const TSLanguage* grammar = grammar_for(request.language);
    if (grammar == nullptr) return no_parser_reply(request.language);

    Result<ParsedSource> parsed = parse_source(grammar, request.text);
    if (!parsed.ok()) return std::move(parsed).error();

    std::vector<SyntaxErrorItem> items = collect_syntax_errors(parsed->root(), request.text);
    return checked_reply(request.language, std::move(items));
}

}  // namespace brightloom
