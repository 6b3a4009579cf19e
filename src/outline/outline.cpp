#include "outline.h"

#include <utility>
#include <vector>

#include "outline/collect_symbols.h"
#include "outline/outline_rules.h"
#include "syntax/grammar_registry.h"
#include "syntax/parse_source.h"

namespace brightloom {
namespace {

JsonValue symbol_to_json(OutlineSymbol symbol) {
    return JsonObject{
        {"depth", symbol.depth},
        {"end_line", symbol.end_line},
        {"kind", symbol.kind},
        {"line", symbol.line},
        {"name", std::move(symbol.name)},
        {"signature", std::move(symbol.signature)},
    };
}

}  // namespace

JsonValue no_outline_reply(std::string language) {
    return JsonObject{
        {"checked", false},
        {"language", std::move(language)},
        {"ok", true},
        {"reason", "no_outline"},
        {"symbol_count", std::uint64_t{0}},
        {"symbols", JsonArray{}},
    };
}

JsonValue outline_reply(std::string language, std::vector<OutlineSymbol> symbols) {
    JsonArray records;
    records.reserve(symbols.size());
    for (OutlineSymbol& symbol : symbols) records.push_back(symbol_to_json(std::move(symbol)));
    const std::uint64_t count = records.size();
    return JsonValue(JsonObject{
        {"checked", true},
        {"language", std::move(language)},
        {"ok", true},
        {"symbol_count", count},
        {"symbols", std::move(records)},
    });
}

Result<JsonValue> run_outline(const SourceRequest& request) {
    const std::string_view source = request.text;
    std::string language = request.language;

    // Decided before any parser is made: a language the rule tables do not
    // name (JSON among them, which has a grammar) gets no outline.
    const OutlineRules* rules = outline_rules_for(language);
    const TSLanguage* grammar = rules == nullptr ? nullptr : grammar_for(language);
    if (grammar == nullptr) return no_outline_reply(std::move(language));

    std::vector<OutlineSymbol> symbols;
    {
        Result<ParsedSource> parsed = parse_source(grammar, source);
        if (!parsed.ok()) return std::move(parsed).error();
        collect_symbols(parsed->root(), source, *rules, 0, symbols);
        // The tree, then the parser, are released here: the records hold
        // plain copies.
    }

    return outline_reply(std::move(language), std::move(symbols));
}

}  // namespace brightloom
