#include "symbol_languages.h"

#include <array>
#include <string>

#include "syntax/grammar_registry.h"
#include "syntax/language.h"

extern "C" {
const TSLanguage* tree_sitter_c(void);
const TSLanguage* tree_sitter_cpp(void);
const TSLanguage* tree_sitter_go(void);
const TSLanguage* tree_sitter_java(void);
const TSLanguage* tree_sitter_c_sharp(void);
const TSLanguage* tree_sitter_ruby(void);
const TSLanguage* tree_sitter_php(void);
const TSLanguage* tree_sitter_bash(void);
}

namespace brightloom {
namespace {

struct ExtraLanguage {
    std::string_view name;
    const TSLanguage* (*grammar)(void);
    // Lower-case extensions without the dot.
    std::array<std::string_view, 8> extensions;
};

// ".h" is read as C: the C++ grammar would accept it too, but most headers
// that are not C++ sources use no C++ syntax at all.
constexpr std::array EXTRA_LANGUAGES{
    ExtraLanguage{"c", tree_sitter_c, {"c", "h"}},
    ExtraLanguage{"cpp", tree_sitter_cpp, {"cc", "cpp", "cxx", "c++", "hh", "hpp", "hxx", "h++"}},
    ExtraLanguage{"go", tree_sitter_go, {"go"}},
    ExtraLanguage{"java", tree_sitter_java, {"java"}},
    ExtraLanguage{"c_sharp", tree_sitter_c_sharp, {"cs"}},
    ExtraLanguage{"ruby", tree_sitter_ruby, {"rb", "rake", "gemspec"}},
    ExtraLanguage{"php", tree_sitter_php, {"php", "phtml"}},
    ExtraLanguage{"bash", tree_sitter_bash, {"sh", "bash"}},
};

std::string ascii_lower(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lowered;
}

}  // namespace

std::optional<std::string_view> symbols_language_from_path(std::string_view path) {
    if (std::optional<std::string_view> shared = language_from_path(path)) return shared;
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos) return std::nullopt;
    const std::string_view extension = path.substr(dot + 1);
    // Longer than any listed extension: spares lowering a long tail.
    if (extension.empty() || extension.size() > 7) return std::nullopt;
    const std::string lowered = ascii_lower(extension);
    for (const ExtraLanguage& language : EXTRA_LANGUAGES) {
        for (std::string_view listed : language.extensions) {
            if (!listed.empty() && listed == lowered) return language.name;
        }
    }
    return std::nullopt;
}

const TSLanguage* symbols_grammar_for(std::string_view language) {
    if (const TSLanguage* shared = grammar_for(language)) return shared;
    for (const ExtraLanguage& extra : EXTRA_LANGUAGES) {
        if (extra.name == language) return extra.grammar();
    }
    return nullptr;
}

}  // namespace brightloom
