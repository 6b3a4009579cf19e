#include "language_table.h"

#include <algorithm>
#include <array>
#include <cstddef>

// Entry points of the statically linked grammars. Each returns a pointer to a
// static record; nothing is allocated and nothing needs freeing.
extern "C" {
const TSLanguage* tree_sitter_javascript(void);
const TSLanguage* tree_sitter_json(void);
const TSLanguage* tree_sitter_python(void);
const TSLanguage* tree_sitter_rust(void);
const TSLanguage* tree_sitter_tsx(void);
const TSLanguage* tree_sitter_typescript(void);
const TSLanguage* tree_sitter_bash(void);
const TSLanguage* tree_sitter_c(void);
const TSLanguage* tree_sitter_c_sharp(void);
const TSLanguage* tree_sitter_cpp(void);
const TSLanguage* tree_sitter_go(void);
const TSLanguage* tree_sitter_java(void);
const TSLanguage* tree_sitter_php(void);
const TSLanguage* tree_sitter_ruby(void);
}

namespace brightloom {
namespace {

constexpr CommandSet EVERY_COMMAND =
    LanguageCommand::outline | LanguageCommand::syntax_check | LanguageCommand::symbols;
constexpr CommandSet SYMBOLS_ONLY{static_cast<unsigned>(LanguageCommand::symbols)};

// Files with the extension jsx are "javascript", whose grammar accepts JSX.
constexpr std::array<std::string_view, 2> BASH_EXTENSIONS{"sh", "bash"};
// ".h" is read as C: most headers that are not C++ sources use no C++ syntax.
constexpr std::array<std::string_view, 2> C_EXTENSIONS{"c", "h"};
constexpr std::array<std::string_view, 1> C_SHARP_EXTENSIONS{"cs"};
constexpr std::array<std::string_view, 8> CPP_EXTENSIONS{"cc", "cpp", "cxx", "c++", "hh", "hpp", "hxx", "h++"};
constexpr std::array<std::string_view, 1> GO_EXTENSIONS{"go"};
constexpr std::array<std::string_view, 1> JAVA_EXTENSIONS{"java"};
constexpr std::array<std::string_view, 2> PHP_EXTENSIONS{"php", "phtml"};
constexpr std::array<std::string_view, 3> RUBY_EXTENSIONS{"rb", "rake", "gemspec"};
constexpr std::array<std::string_view, 4> JAVASCRIPT_EXTENSIONS{"js", "mjs", "cjs", "jsx"};
constexpr std::array<std::string_view, 1> JSON_EXTENSIONS{"json"};
constexpr std::array<std::string_view, 1> PYTHON_EXTENSIONS{"py"};
constexpr std::array<std::string_view, 1> RUST_EXTENSIONS{"rs"};
constexpr std::array<std::string_view, 1> TOML_EXTENSIONS{"toml"};
constexpr std::array<std::string_view, 1> TSX_EXTENSIONS{"tsx"};
constexpr std::array<std::string_view, 3> TYPESCRIPT_EXTENSIONS{"ts", "mts", "cts"};

// The languages serving "symbols" alone are unknown to the other commands:
// a ".go" path names no language for them.
// "typescript" and "tsx" are the two dialects of one grammar release. JSON is
// checked but has no outline rules; TOML is named by its extension but has no
// grammar, so both commands answer for it without parsing.
constexpr std::array LANGUAGE_TABLE{
    LanguageRow{"bash", BASH_EXTENSIONS, tree_sitter_bash, "tree-sitter-bash/src", nullptr, SYMBOLS_ONLY},
    LanguageRow{"c", C_EXTENSIONS, tree_sitter_c, "tree-sitter-c/src", nullptr, SYMBOLS_ONLY},
    LanguageRow{"c_sharp", C_SHARP_EXTENSIONS, tree_sitter_c_sharp, "tree-sitter-c-sharp/src", nullptr,
                SYMBOLS_ONLY},
    LanguageRow{"cpp", CPP_EXTENSIONS, tree_sitter_cpp, "tree-sitter-cpp/src", nullptr, SYMBOLS_ONLY},
    LanguageRow{"go", GO_EXTENSIONS, tree_sitter_go, "tree-sitter-go/src", nullptr, SYMBOLS_ONLY},
    LanguageRow{"java", JAVA_EXTENSIONS, tree_sitter_java, "tree-sitter-java/src", nullptr, SYMBOLS_ONLY},
    LanguageRow{"javascript", JAVASCRIPT_EXTENSIONS, tree_sitter_javascript,
                "tree-sitter-javascript/src", &JS_RULES, EVERY_COMMAND},
    LanguageRow{"json", JSON_EXTENSIONS, tree_sitter_json, "tree-sitter-json/src", nullptr,
                EVERY_COMMAND},
    LanguageRow{"php", PHP_EXTENSIONS, tree_sitter_php, "tree-sitter-php/php/src", nullptr, SYMBOLS_ONLY},
    LanguageRow{"python", PYTHON_EXTENSIONS, tree_sitter_python, "tree-sitter-python/src",
                &PYTHON_RULES, EVERY_COMMAND},
    LanguageRow{"ruby", RUBY_EXTENSIONS, tree_sitter_ruby, "tree-sitter-ruby/src", nullptr, SYMBOLS_ONLY},
    LanguageRow{"rust", RUST_EXTENSIONS, tree_sitter_rust, "tree-sitter-rust/src", &RUST_RULES,
                EVERY_COMMAND},
    LanguageRow{"toml", TOML_EXTENSIONS, nullptr, "", nullptr, EVERY_COMMAND},
    LanguageRow{"tsx", TSX_EXTENSIONS, tree_sitter_tsx, "tree-sitter-typescript/tsx/src",
                &JS_RULES, EVERY_COMMAND},
    LanguageRow{"typescript", TYPESCRIPT_EXTENSIONS, tree_sitter_typescript,
                "tree-sitter-typescript/typescript/src", &JS_RULES, EVERY_COMMAND},
};

constexpr std::size_t longest_extension() {
    std::size_t longest = 0;
    for (const LanguageRow& row : LANGUAGE_TABLE) {
        for (std::string_view extension : row.extensions) longest = std::max(longest, extension.size());
    }
    return longest;
}

// Anything longer than the longest extension cannot match, which also spares
// copying a long dotless path just to lower-case it.
constexpr std::size_t MAX_EXTENSION_BYTES = longest_extension();

char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::span<const LanguageRow> language_table() { return LANGUAGE_TABLE; }

const LanguageRow* find_language(std::string_view name) {
    for (const LanguageRow& row : LANGUAGE_TABLE) {
        if (row.name == name) return &row;
    }
    return nullptr;
}

const LanguageRow* language_serving(std::string_view name, LanguageCommand command) {
    const LanguageRow* row = find_language(name);
    return row != nullptr && row->commands.has(command) ? row : nullptr;
}

std::optional<std::string_view> language_from_path(std::string_view path, LanguageCommand command) {
    // The last dot of the whole path, directories included: "lib.d/Makefile"
    // gives the candidate "d/makefile", and a dotless path is taken whole.
    const std::size_t dot = path.rfind('.');
    const std::string_view candidate = dot == std::string_view::npos ? path : path.substr(dot + 1);
    if (candidate.empty() || candidate.size() > MAX_EXTENSION_BYTES) return std::nullopt;

    std::array<char, MAX_EXTENSION_BYTES> buffer{};
    for (std::size_t i = 0; i < candidate.size(); ++i) buffer[i] = ascii_lower(candidate[i]);
    const std::string_view lowered(buffer.data(), candidate.size());

    for (const LanguageRow& row : LANGUAGE_TABLE) {
        if (!row.commands.has(command)) continue;
        for (std::string_view extension : row.extensions) {
            if (extension == lowered) return row.name;
        }
    }
    return std::nullopt;
}

const TSLanguage* grammar_for(std::string_view language_name) {
    const LanguageRow* row = find_language(language_name);
    return row != nullptr && row->grammar != nullptr ? row->grammar() : nullptr;
}

const OutlineRules* outline_rules_for(std::string_view language_name) {
    const LanguageRow* row = find_language(language_name);
    return row != nullptr ? row->outline_rules : nullptr;
}

}  // namespace brightloom
