// Which syntax nodes the outline lists, per language family, as plain data.
// The walker (collect_symbols.cpp) reads these tables and names no language:
// supporting another language means adding a table here and naming it in the
// language's row of languages/language_table.cpp.
#pragma once

#include <array>
#include <span>
#include <string_view>

namespace brightloom {

// The nesting depths at which a symbol-kind row applies.
enum class DepthMatch {
    top_only,     // direct children of the root
    member_only,  // children of a container's body
    any,
};

// A node type that is listed, at which depths, and under which kind word.
struct SymbolKindRule {
    std::string_view node_type;
    DepthMatch depths;
    std::string_view kind;
};

// A declaration whose "body" field child of `body_type` has its members
// listed one level down.
struct ContainerRule {
    std::string_view node_type;
    std::string_view body_type;
};

// A node that wraps a declaration in its `field` child: the walker lists the
// wrapped declaration in its place. Shared by every language.
struct WrapperRule {
    std::string_view node_type;
    std::string_view field;
};

// Unwrapped once: a wrapper inside a wrapper stays wrapped.
inline constexpr std::array WRAPPER_RULES{
    WrapperRule{"export_statement", "declaration"},
    WrapperRule{"decorated_definition", "definition"},
};

struct OutlineRules {
    std::span<const SymbolKindRule> kinds;
    std::span<const ContainerRule> containers;
};

inline constexpr std::array PYTHON_KIND_RULES{
    SymbolKindRule{"class_definition", DepthMatch::any, "class"},
    SymbolKindRule{"function_definition", DepthMatch::top_only, "function"},
    SymbolKindRule{"function_definition", DepthMatch::member_only, "method"},
};
inline constexpr std::array PYTHON_CONTAINER_RULES{
    ContainerRule{"class_definition", "block"},
};

// A function with a body is a method inside an impl or trait; a bodiless
// signature (a required trait method) stays "fn" at both depths.
inline constexpr std::array RUST_KIND_RULES{
    SymbolKindRule{"mod_item", DepthMatch::any, "mod"},
    SymbolKindRule{"struct_item", DepthMatch::any, "struct"},
    SymbolKindRule{"enum_item", DepthMatch::any, "enum"},
    SymbolKindRule{"trait_item", DepthMatch::any, "trait"},
    SymbolKindRule{"impl_item", DepthMatch::any, "impl"},
    SymbolKindRule{"function_item", DepthMatch::top_only, "fn"},
    SymbolKindRule{"function_item", DepthMatch::member_only, "method"},
    SymbolKindRule{"function_signature_item", DepthMatch::any, "fn"},
};
inline constexpr std::array RUST_CONTAINER_RULES{
    ContainerRule{"impl_item", "declaration_list"},
    ContainerRule{"trait_item", "declaration_list"},
};

// Shared by JavaScript, TypeScript and TSX: the TypeScript-only node types
// simply never occur in JavaScript trees.
inline constexpr std::array JS_KIND_RULES{
    SymbolKindRule{"class_declaration", DepthMatch::any, "class"},
    SymbolKindRule{"abstract_class_declaration", DepthMatch::any, "class"},
    SymbolKindRule{"function_declaration", DepthMatch::any, "function"},
    SymbolKindRule{"generator_function_declaration", DepthMatch::any, "function"},
    SymbolKindRule{"method_definition", DepthMatch::member_only, "method"},
    SymbolKindRule{"interface_declaration", DepthMatch::any, "interface"},
    SymbolKindRule{"type_alias_declaration", DepthMatch::any, "type"},
    SymbolKindRule{"enum_declaration", DepthMatch::any, "enum"},
};
inline constexpr std::array JS_CONTAINER_RULES{
    ContainerRule{"class_declaration", "class_body"},
    ContainerRule{"abstract_class_declaration", "class_body"},
};

inline constexpr OutlineRules PYTHON_RULES{PYTHON_KIND_RULES, PYTHON_CONTAINER_RULES};
inline constexpr OutlineRules RUST_RULES{RUST_KIND_RULES, RUST_CONTAINER_RULES};
inline constexpr OutlineRules JS_RULES{JS_KIND_RULES, JS_CONTAINER_RULES};

}  // namespace brightloom
