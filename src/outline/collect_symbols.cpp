#include "collect_symbols.h"

#include <array>
#include <cassert>
#include <cstddef>
#include <utility>

#include "outline/outline_rules.h"
#include "outline/signature.h"
#include "syntax/node_text.h"
#include "syntax/tree_cursor_owner.h"
#include "text/utf8.h"

namespace brightloom {
namespace {

// Field ids of the grammar, looked up once per walk: looking a field up by
// name scans the grammar's field list on every call. A grammar without the
// field gives id 0, for which every field query answers the null node.
struct FieldIds {
    std::array<TSFieldId, WRAPPER_RULES.size()> wrapped;
    TSFieldId name;
    TSFieldId type;
    TSFieldId body;
};

TSFieldId field_id(const TSLanguage* grammar, std::string_view name) {
    return ts_language_field_id_for_name(grammar, name.data(),
                                         static_cast<std::uint32_t>(name.size()));
}

FieldIds field_ids_of(const TSLanguage* grammar) {
    FieldIds ids{
        {}, field_id(grammar, "name"), field_id(grammar, "type"), field_id(grammar, "body")};
    for (std::size_t i = 0; i < WRAPPER_RULES.size(); ++i) {
        ids.wrapped[i] = field_id(grammar, WRAPPER_RULES[i].field);
    }
    return ids;
}

struct WalkContext {
    const OutlineRules& rules;
    std::string_view source;
    FieldIds fields;
};

bool matches_depth(DepthMatch depths, std::uint32_t depth) {
    switch (depths) {
        case DepthMatch::top_only: return depth == 0;
        case DepthMatch::member_only: return depth == 1;
        case DepthMatch::any: return true;
    }
    return false;
}

const SymbolKindRule* find_kind(const OutlineRules& rules, std::string_view node_type,
                                std::uint32_t depth) {
    for (const SymbolKindRule& rule : rules.kinds) {
        if (rule.node_type == node_type && matches_depth(rule.depths, depth)) return &rule;
    }
    return nullptr;
}

const ContainerRule* find_container(const OutlineRules& rules, std::string_view node_type) {
    for (const ContainerRule& rule : rules.containers) {
        if (rule.node_type == node_type) return &rule;
    }
    return nullptr;
}

// The node standing for the declaration: the child itself, or the wrapped
// declaration of a wrapper that has one.
TSNode declaration_target(TSNode child, const FieldIds& fields) {
    const std::string_view type = ts_node_type(child);
    for (std::size_t i = 0; i < WRAPPER_RULES.size(); ++i) {
        if (WRAPPER_RULES[i].node_type != type) continue;
        const TSNode inner = ts_node_child_by_field_id(child, fields.wrapped[i]);
        return ts_node_is_null(inner) ? child : inner;
    }
    return child;
}

std::string_view name_of(TSNode target, const WalkContext& context) {
    TSNode name_node = ts_node_child_by_field_id(target, context.fields.name);
    // An impl has no name; the implemented type stands in for it.
    if (ts_node_is_null(name_node))
        name_node = ts_node_child_by_field_id(target, context.fields.type);
    if (ts_node_is_null(name_node)) return {};
    const std::string_view text = node_text(name_node, context.source);
    return is_valid_utf8(text) ? text : std::string_view{};
}

void walk_children(const WalkContext& context, TSNode node, std::uint32_t depth,
                   std::vector<OutlineSymbol>& symbols) {
    TreeCursorOwner cursor(node);
    if (!ts_tree_cursor_goto_first_child(cursor.get())) return;
    do {
        // The limit is checked before each child, so a container that takes
        // the last place gets none of its members listed.
        if (symbols.size() >= MAX_SYMBOLS) return;
        const TSNode target =
            declaration_target(ts_tree_cursor_current_node(cursor.get()), context.fields);
        const std::string_view type = ts_node_type(target);
        const SymbolKindRule* kind = find_kind(context.rules, type, depth);
        if (kind == nullptr) continue;

        symbols.push_back(OutlineSymbol{
            .kind = kind->kind,
            .name = std::string(name_of(target, context)),
            .line = std::uint64_t{ts_node_start_point(target).row} + 1,
            .end_line = std::uint64_t{ts_node_end_point(target).row} + 1,
            .depth = depth,
            .signature = std::string(signature_of(node_text(target, context.source))),
        });

        if (depth != 0) continue;
        const ContainerRule* container = find_container(context.rules, type);
        if (container == nullptr) continue;
        const TSNode body = ts_node_child_by_field_id(target, context.fields.body);
        if (!ts_node_is_null(body) &&
            std::string_view(ts_node_type(body)) == container->body_type) {
            walk_children(context, body, 1, symbols);
        }
    } while (ts_tree_cursor_goto_next_sibling(cursor.get()));
}

}  // namespace

void collect_symbols(TSNode node, std::string_view source, const OutlineRules& rules,
                     std::uint32_t depth, std::vector<OutlineSymbol>& symbols) {
    assert(depth <= 1);
    if (ts_node_is_null(node)) return;
    const WalkContext context{rules, source, field_ids_of(ts_node_language(node))};
    walk_children(context, node, depth, symbols);
}

}  // namespace brightloom
