#include "grammar_registry.h"

#include <array>

// Entry points of the statically linked grammars. Each returns a pointer to a
// static record; nothing is allocated and nothing needs freeing.
extern "C" {
const TSLanguage* tree_sitter_python(void);
const TSLanguage* tree_sitter_javascript(void);
const TSLanguage* tree_sitter_typescript(void);
const TSLanguage* tree_sitter_tsx(void);
const TSLanguage* tree_sitter_rust(void);
const TSLanguage* tree_sitter_json(void);
}

namespace brightloom {
namespace {

struct GrammarEntry {
    std::string_view name;
    const TSLanguage* (*grammar)(void);
};

// "typescript" and "tsx" are the two dialects of one grammar release; files
// with the extension jsx are "javascript", whose grammar accepts JSX.
constexpr std::array GRAMMAR_TABLE{
    GrammarEntry{"python", tree_sitter_python},
    GrammarEntry{"javascript", tree_sitter_javascript},
    GrammarEntry{"typescript", tree_sitter_typescript},
    GrammarEntry{"tsx", tree_sitter_tsx},
    GrammarEntry{"rust", tree_sitter_rust},
    GrammarEntry{"json", tree_sitter_json},
};

}  // namespace

const TSLanguage* grammar_for(std::string_view language_name) {
    for (const GrammarEntry& entry : GRAMMAR_TABLE) {
        if (entry.name == language_name) return entry.grammar();
    }
    return nullptr;
}

}  // namespace brightloom
