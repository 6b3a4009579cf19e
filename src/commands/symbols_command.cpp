#include "symbols_command.h"

#include <optional>
#include <utility>

#include "languages/language_table.h"
#include "outline/collect_symbols.h"
#include "symbols/symbol_query.h"
#include "syntax/parse_source.h"
#include "syntax/syntax_errors.h"

namespace brightloom {
namespace {

JsonValue scope_to_json(const std::optional<std::uint64_t>& scope) {
    return scope ? JsonValue(*scope) : JsonValue(nullptr);
}

JsonValue definition_to_json(SymbolDefinition definition) {
    return JsonObject{
        {"column", definition.column},
        {"end_line", definition.end_line},
        {"kind", definition.kind},
        {"line", definition.line},
        {"name", std::move(definition.name)},
        {"scope", scope_to_json(definition.scope)},
        {"signature", std::move(definition.signature)},
    };
}

JsonValue reference_to_json(SymbolReference reference) {
    return JsonObject{
        {"column", reference.column},
        {"kind", reference.kind},
        {"line", reference.line},
        {"name", std::move(reference.name)},
        {"scope", scope_to_json(reference.scope)},
    };
}

}  // namespace

Result<SymbolsRequest> read_symbols_request(const JsonValue& payload) {
    Result<SourceRequest> source = read_source_request(payload, LanguageCommand::symbols);
    if (!source.ok()) return std::move(source).error();
    // The other two commands' language, decided as they decide it, without
    // reading the file again.
    std::string shared_language = source->language;
    if (string_field(payload, "language") == nullptr) {
        const std::string* path = string_field(payload, "path");
        shared_language = path == nullptr ? "" : std::string(language_from_path(*path, LanguageCommand::outline).value_or(""));
    }
    return SymbolsRequest{std::move(*source), std::move(shared_language)};
}

Result<SymbolsReply> run_symbols(const SymbolsRequest& request) {
    const std::string_view text = request.source.text;
    SymbolsReply reply{request.source.language, {request.shared_language, false, {}},
                       {request.shared_language, false, {}}, {}};

    const LanguageRow* row = language_serving(request.source.language, LanguageCommand::symbols);
    if (row == nullptr || row->grammar == nullptr) return reply;
    const LanguageRow* outline_row = language_serving(request.shared_language, LanguageCommand::outline);
    const LanguageRow* check_row = language_serving(request.shared_language, LanguageCommand::syntax_check);

    // Compiled before the parse, outside its arena.
    Result<const SymbolQuery*> query = symbol_query_for(row->name);
    if (!query.ok()) return std::move(query).error();

    Result<ParsedSource> parsed = parse_source(row->grammar(), text);
    if (!parsed.ok()) return std::move(parsed).error();
    if (outline_row != nullptr && outline_row->outline_rules != nullptr && outline_row->grammar != nullptr) {
        collect_symbols(parsed->root(), text, *outline_row->outline_rules, 0, reply.outline.symbols);
        reply.outline.checked = true;
    }
    if (check_row != nullptr && check_row->grammar != nullptr) {
        reply.check.errors = collect_syntax_errors(parsed->root(), text);
        reply.check.checked = true;
    }
    if (*query != nullptr) {
        Result<SymbolQueryRun> run = run_symbol_query(**query, *parsed, text);
        if (!run.ok()) return std::move(run).error();
        reply.table = build_symbol_table(run->hits, text);
    }
    return reply;
}

JsonObject to_json(SymbolsReply reply) {
    return JsonObject{
        {"check", to_json(std::move(reply.check))},
        {"definitions", json_array_of(std::move(reply.table.definitions), definition_to_json)},
        {"language", std::move(reply.language)},
        {"outline", to_json(std::move(reply.outline))},
        {"references", json_array_of(std::move(reply.table.references), reference_to_json)},
    };
}

}  // namespace brightloom
