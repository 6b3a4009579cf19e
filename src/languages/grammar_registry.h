// The six grammars linked into the module, looked up by exact language name.
#pragma once

#include <string_view>

#include <tree_sitter/api.h>

namespace brightloom {

// The grammar for "python", "javascript", "typescript", "tsx", "rust" or
// "json" (case-sensitive), else null. Grammars are static and never freed.
const TSLanguage* grammar_for(std::string_view language_name);

}  // namespace brightloom
