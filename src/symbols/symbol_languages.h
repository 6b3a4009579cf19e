// The languages the "symbols" command reads: the five of the other commands
// plus grammars linked for this command alone. The other commands keep their
// own language table, so a ".go" path is still no language for them.
#pragma once

#include <optional>
#include <string_view>

#include <tree_sitter/api.h>

namespace brightloom {

// The language of a path's extension (after the last "." of the whole path,
// ASCII case folded) for "symbols": the other commands' answer when they
// have one, else one of c cpp go java c_sharp ruby php bash.
std::optional<std::string_view> symbols_language_from_path(std::string_view path);

// The grammar "symbols" parses `language` with (exact name), else null.
const TSLanguage* symbols_grammar_for(std::string_view language);

}  // namespace brightloom
