// The languages the module knows, in one table: each language's name, the
// extensions that name it, its grammar, its outline rules and the commands
// that answer for it. Every other fact about languages is read from here.
//
//   const LanguageRow* row = language_serving(request.language, LanguageCommand::outline);
//   if (row != nullptr && row->grammar != nullptr) parse_source(row->grammar(), text);
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include <tree_sitter/api.h>

#include "outline/outline_rules.h"

namespace brightloom {

// The commands that take a language; each is one bit of a CommandSet.
enum class LanguageCommand : unsigned {
    outline = 1u << 0,
    syntax_check = 1u << 1,
    // Reads more languages than the other two, which keep their replies.
    symbols = 1u << 2,
};

struct CommandSet {
    unsigned bits = 0;
    constexpr bool has(LanguageCommand command) const {
        return (bits & static_cast<unsigned>(command)) != 0;
    }
};

constexpr CommandSet operator|(LanguageCommand a, LanguageCommand b) {
    return CommandSet{static_cast<unsigned>(a) | static_cast<unsigned>(b)};
}
constexpr CommandSet operator|(CommandSet a, LanguageCommand b) {
    return CommandSet{a.bits | static_cast<unsigned>(b)};
}

struct LanguageRow {
    std::string_view name;
    // Lower case, without the dot; no extension names two languages.
    std::span<const std::string_view> extensions;
    // The entry of a grammar linked into the module, or null. Grammars are
    // static records and never freed.
    const TSLanguage* (*grammar)();
    // The grammar's source folder under third_party/node_modules, as
    // cmake/TreeSitter.cmake compiles it; empty without a grammar.
    std::string_view grammar_source;
    // What the outline lists; null when it lists nothing (it then answers
    // "no_outline" even with a grammar).
    const OutlineRules* outline_rules;
    // The commands that take this language from a path's extension and
    // answer for it (with "no_outline" or "no_parser" when they cannot parse
    // it).
    CommandSet commands;
};

// Every row, sorted by name.
std::span<const LanguageRow> language_table();

// The row of a language name matched byte for byte, or null.
const LanguageRow* find_language(std::string_view name);

// The row of a language name when `command` answers for it, else null.
const LanguageRow* language_serving(std::string_view name, LanguageCommand command);

// The language that `command` takes for a path: the text after the last "."
// of the whole path (directories included; a path without "." is taken
// whole), with ASCII letters lower-cased, looked up among the extensions of
// the languages `command` answers for.
std::optional<std::string_view> language_from_path(std::string_view path, LanguageCommand command);

// The grammar of a language name, whatever command uses it, else null.
const TSLanguage* grammar_for(std::string_view language_name);

// The outline rules of a language name, else null.
const OutlineRules* outline_rules_for(std::string_view language_name);

}  // namespace brightloom
