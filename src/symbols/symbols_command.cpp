#include "symbols_command.h"

#include <utility>

#include "lib/source_request.h"
#include "outline/collect_symbols.h"
#include "outline/outline.h"
#include "outline/outline_rules.h"
#include "symbols/symbol_languages.h"
#include "symbols/symbol_query.h"
#include "symbols/symbol_table.h"
#include "syntax/grammar_registry.h"
#include "syntax/parse_source.h"
#include "syntax/syntax_check.h"

namespace brightloom {
namespace {

// "symbols" reads more languages than the other commands: a "language"
// string wins as for them, else the wider extension table decides.
std::string symbols_language(const JsonValue& payload, const SourceRequest& request) {
    if (string_field(payload, "language") != nullptr) return request.language;
    if (!request.language.empty()) return request.language;
    if (const std::string* path = string_field(payload, "path")) {
        return std::string(symbols_language_from_path(*path).value_or(""));
    }
    return {};
}

JsonValue without_ok(JsonValue reply) {
    JsonObject object = *reply.as_object();
    object.erase("ok");
    return JsonValue(std::move(object));
}

JsonValue scope_to_json(const std::optional<std::uint64_t>& scope) {
    return scope ? JsonValue(*scope) : JsonValue(nullptr);
}

JsonValue definitions_to_json(std::vector<SymbolDefinition> definitions) {
    JsonArray records;
    records.reserve(definitions.size());
    for (SymbolDefinition& definition : definitions) {
        records.push_back(JsonObject{
            {"column", definition.column},
            {"end_line", definition.end_line},
            {"kind", definition.kind},
            {"line", definition.line},
            {"name", std::move(definition.name)},
            {"scope", scope_to_json(definition.scope)},
            {"signature", std::move(definition.signature)},
        });
    }
    return records;
}

JsonValue references_to_json(std::vector<SymbolReference> references) {
    JsonArray records;
    records.reserve(references.size());
    for (SymbolReference& reference : references) {
        records.push_back(JsonObject{
            {"column", reference.column},
            {"kind", reference.kind},
            {"line", reference.line},
            {"name", std::move(reference.name)},
            {"scope", scope_to_json(reference.scope)},
        });
    }
    return records;
}

}  // namespace

Result<JsonValue> run_symbols(const JsonValue& payload) {
    Result<SourceRequest> request = read_source_request(payload);
    if (!request.ok()) return std::move(request).error();
    const std::string_view text = request->text;
    std::string language = symbols_language(payload, *request);

    // What the other two commands would do with this request, decided as
    // they decide it.
    const OutlineRules* outline_rules = outline_rules_for(request->language);
    const bool checks = grammar_for(request->language) != nullptr;
    const bool outlines = outline_rules != nullptr && checks;

    // Compiled before the parse, outside its arena.
    Result<const SymbolQuery*> query = symbol_query_for(language);
    if (!query.ok()) return std::move(query).error();

    JsonValue outline = no_outline_reply(request->language);
    JsonValue check = no_parser_reply(request->language);
    SymbolTable table;
    if (const TSLanguage* grammar = symbols_grammar_for(language)) {
        Result<ParsedSource> parsed = parse_source(grammar, text);
        if (!parsed.ok()) return std::move(parsed).error();
        if (outlines) {
            std::vector<OutlineSymbol> symbols;
            collect_symbols(parsed->root(), text, *outline_rules, 0, symbols);
            outline = outline_reply(request->language, std::move(symbols));
        }
        if (checks) check = checked_reply(request->language, collect_syntax_errors(parsed->root(), text));
        if (*query != nullptr) {
            Result<std::vector<QueryHit>> hits = run_symbol_query(**query, *parsed, text);
            if (!hits.ok()) return std::move(hits).error();
            table = build_symbol_table(*hits, text);
        }
    }

    return JsonValue(JsonObject{
        {"check", without_ok(std::move(check))},
        {"definitions", definitions_to_json(std::move(table.definitions))},
        {"language", std::move(language)},
        {"ok", true},
        {"outline", without_ok(std::move(outline))},
        {"references", references_to_json(std::move(table.references))},
    });
}

}  // namespace brightloom
