#include "outline_command.h"

#include <string_view>
#include <utility>

#include "languages/language_table.h"
#include "outline/collect_symbols.h"
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

Result<SourceRequest> read_outline_request(const JsonValue& payload) {
    return read_source_request(payload, LanguageCommand::outline);
}

Result<OutlineReply> run_outline(const SourceRequest& request) {
    const std::string_view source = request.text;
    OutlineReply reply{request.language, false, {}};

    // Decided before any parser is made: a language the rule tables do not
    // name (JSON among them, which has a grammar) gets no outline.
    const LanguageRow* row = language_serving(reply.language, LanguageCommand::outline);
    if (row == nullptr || row->outline_rules == nullptr || row->grammar == nullptr) return reply;

    {
        Result<ParsedSource> parsed = parse_source(row->grammar(), source);
        if (!parsed.ok()) return std::move(parsed).error();
        collect_symbols(parsed->root(), source, *row->outline_rules, 0, reply.symbols);
        // The tree, then the parser, are released here: the records hold
        // plain copies.
    }
    reply.checked = true;
    return reply;
}

JsonObject to_json(OutlineReply reply) {
    JsonArray records = json_array_of(std::move(reply.symbols), symbol_to_json);
    JsonObject object{
        {"checked", reply.checked},
        {"language", std::move(reply.language)},
        {"symbol_count", std::uint64_t{records.size()}},
        {"symbols", std::move(records)},
    };
    if (!reply.checked) object.emplace("reason", "no_outline");
    return object;
}

}  // namespace brightloom
