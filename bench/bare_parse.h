// The floor the outline and syntax-check benchmarks compare against: one
// fresh parser and one full parse of text in memory, handed over in a single
// chunk, with nothing else around it.
#pragma once

#include <cstdint>
#include <string_view>

#include <tree_sitter/api.h>

#include "syntax/parse_source.h"

namespace brightloom::bench {

inline const char* read_rest(void* payload, std::uint32_t byte_index, TSPoint, std::uint32_t* bytes_read) {
    const auto* text = static_cast<const std::string_view*>(payload);
    if (byte_index >= text->size()) {
        *bytes_read = 0;
        return "";
    }
    *bytes_read = static_cast<std::uint32_t>(text->size() - byte_index);
    return text->data() + byte_index;
}

// A parser and its tree with plain owners: the tree is torn down node by
// node and the parser deleted, as a stock caller of the runtime does.
struct BareParse {
    ParserOwner parser;
    TreeOwner tree;
    TSNode root() const { return ts_tree_root_node(tree.get()); }
};

// The owners release the tree before the parser.
inline BareParse bare_parse_of(const TSLanguage* grammar, std::string_view& text) {
    BareParse parsed{ParserOwner(ts_parser_new()), nullptr};
    ts_parser_set_language(parsed.parser.get(), grammar);
    const TSInput input{&text, read_rest, TSInputEncodingUTF8, nullptr};
    parsed.tree.reset(ts_parser_parse_with_options(parsed.parser.get(), nullptr, input, TSParseOptions{}));
    return parsed;
}

}  // namespace brightloom::bench
