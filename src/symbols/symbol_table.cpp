#include "symbol_table.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "outline/signature.h"
#include "syntax/node_text.h"

namespace brightloom {
namespace {

// A module named by a string literal (`require("fs")`, `import "fmt"`,
// `#include <stdio.h>`) is named without its quotes; other names are taken
// as written.
std::string_view name_of(TSNode name, std::string_view text) {
    std::string_view written = node_text(name, text);
    if (written.size() >= 2 && written.front() == '<' && written.back() == '>') {
        return written.substr(1, written.size() - 2);
    }
    constexpr std::string_view QUOTES = "\"'`";
    while (!written.empty() && QUOTES.find(written.front()) != std::string_view::npos) written.remove_prefix(1);
    while (!written.empty() && QUOTES.find(written.back()) != std::string_view::npos) written.remove_suffix(1);
    return written;
}

// `new X` in every grammar's spelling; any other "class" reference is a use
// of the type.
std::string_view reference_kind(const QueryHit& hit) {
    if (hit.kind != "class") return hit.kind;
    const std::string_view type = ts_node_type(hit.node);
    const bool creation = type.find("new_expression") != std::string_view::npos ||
                          type.find("creation_expression") != std::string_view::npos;
    return creation ? std::string_view{"new"} : std::string_view{"type"};
}

// Keeps, per name node (by its first byte), the hit of the latest pattern.
std::vector<const QueryHit*> latest_per_name(const std::vector<QueryHit>& hits, HitRole role) {
    std::unordered_map<std::uint32_t, const QueryHit*> chosen;
    for (const QueryHit& hit : hits) {
        if (hit.role != role) continue;
        const QueryHit*& slot = chosen[ts_node_start_byte(hit.name)];
        if (slot == nullptr || slot->pattern <= hit.pattern) slot = &hit;
    }
    std::vector<const QueryHit*> kept;
    kept.reserve(chosen.size());
    for (const auto& [start, hit] : chosen) kept.push_back(hit);
    return kept;
}

struct Span {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    bool contains(Span inner) const { return start <= inner.start && inner.end <= end; }
};

Span span_of(TSNode node) { return {ts_node_start_byte(node), ts_node_end_byte(node)}; }

// The innermost definition enclosing each span, by one sweep in start order
// over the definitions (sorted outer first) and the spans asked about.
class ScopeSweep {
public:
    explicit ScopeSweep(const std::vector<Span>& definitions) : definitions_(definitions) {}

    // Spans must be asked about in ascending start order; a definition's own
    // span is asked with its index, which then opens.
    std::optional<std::uint64_t> scope_of(Span span, std::optional<std::size_t> own_index) {
        // Definitions starting at or before the span open first (a reference
        // at the very start of a definition lies inside it).
        while (next_ < definitions_.size() && definitions_[next_].start <= span.start &&
               (!own_index || next_ < *own_index)) {
            open(next_++);
        }
        close_until(span);
        std::optional<std::uint64_t> scope;
        if (!open_.empty()) scope = open_.back();
        if (own_index) {
            open_.push_back(*own_index);
            next_ = *own_index + 1;
        }
        return scope;
    }

private:
    void open(std::size_t index) {
        close_until(definitions_[index]);
        open_.push_back(index);
    }
    void close_until(Span span) {
        while (!open_.empty() && !definitions_[open_.back()].contains(span)) open_.pop_back();
    }

    const std::vector<Span>& definitions_;
    std::vector<std::size_t> open_;
    std::size_t next_ = 0;
};

}  // namespace

SymbolTable build_symbol_table(const std::vector<QueryHit>& hits, std::string_view text) {
    std::vector<const QueryHit*> definitions = latest_per_name(hits, HitRole::definition);
    std::erase_if(definitions, [&](const QueryHit* hit) { return name_of(hit->name, text).empty(); });
    // Source order, an enclosing definition before what it holds.
    std::sort(definitions.begin(), definitions.end(), [](const QueryHit* a, const QueryHit* b) {
        const Span sa = span_of(a->node), sb = span_of(b->node);
        if (sa.start != sb.start) return sa.start < sb.start;
        if (sa.end != sb.end) return sa.end > sb.end;
        return ts_node_start_byte(a->name) < ts_node_start_byte(b->name);
    });

    std::unordered_set<std::uint32_t> not_references;
    for (const QueryHit& hit : hits) {
        if (hit.role == HitRole::ignore) not_references.insert(ts_node_start_byte(hit.name));
    }
    for (const QueryHit* hit : definitions) not_references.insert(ts_node_start_byte(hit->name));
    std::vector<const QueryHit*> references = latest_per_name(hits, HitRole::reference);
    std::erase_if(references, [&](const QueryHit* hit) {
        return not_references.contains(ts_node_start_byte(hit->name)) || name_of(hit->name, text).empty();
    });
    std::sort(references.begin(), references.end(), [](const QueryHit* a, const QueryHit* b) {
        return ts_node_start_byte(a->name) < ts_node_start_byte(b->name);
    });

    std::vector<Span> spans;
    spans.reserve(definitions.size());
    for (const QueryHit* hit : definitions) spans.push_back(span_of(hit->node));

    SymbolTable table;
    table.definitions.reserve(definitions.size());
    ScopeSweep definition_scopes(spans);
    for (std::size_t i = 0; i < definitions.size(); ++i) {
        const QueryHit& hit = *definitions[i];
        const TSPoint name_start = ts_node_start_point(hit.name);
        table.definitions.push_back(SymbolDefinition{
            .line = std::uint64_t{name_start.row} + 1,
            .column = std::uint64_t{name_start.column} + 1,
            .end_line = std::uint64_t{ts_node_end_point(hit.node).row} + 1,
            .kind = hit.kind,
            .name = std::string(name_of(hit.name, text)),
            .scope = definition_scopes.scope_of(spans[i], i),
            .signature = std::string(signature_of(node_text(hit.node, text))),
        });
    }
    table.references.reserve(references.size());
    ScopeSweep reference_scopes(spans);
    for (const QueryHit* hit : references) {
        const TSPoint name_start = ts_node_start_point(hit->name);
        table.references.push_back(SymbolReference{
            .line = std::uint64_t{name_start.row} + 1,
            .column = std::uint64_t{name_start.column} + 1,
            .kind = reference_kind(*hit),
            .name = std::string(name_of(hit->name, text)),
            .scope = reference_scopes.scope_of(span_of(hit->name), std::nullopt),
        });
    }
    return table;
}

}  // namespace brightloom
