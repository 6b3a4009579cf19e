#include "syntax_errors.h"

#include <cstddef>
#include <utility>

#include "syntax/skip_subtree.h"
#include "syntax/tree_cursor_owner.h"
#include "text/utf8.h"

namespace brightloom {
namespace {

constexpr std::string_view KIND_MISSING = "missing";
constexpr std::string_view KIND_ERROR = "error";
constexpr std::string_view SYNTAX_ERROR_MESSAGE = "syntax error";

// Enough bytes for SNIPPET_MAX_CHARS characters of up to four bytes each,
// plus one: a carriage return just past them can then never be mistaken for
// the end of the line.
constexpr std::size_t SNIPPET_WINDOW_BYTES = SNIPPET_MAX_CHARS * 4 + 1;

// The snippet of the line that begins at byte `line_start`. Lines end at a
// line feed, which takes a carriage return just before it along; a final line
// without a line feed keeps all its bytes. Only the row of a reported node is
// looked at, so no table of all lines is built: a text of ten million empty
// lines would otherwise cost far more memory than its tree.
std::string snippet_at(std::string_view text, std::size_t line_start) {
    // Past the last line: the node starts at the end of a text that ends
    // with a line feed (or of an empty text).
    if (line_start >= text.size()) return {};
    std::string_view line = text.substr(line_start, SNIPPET_WINDOW_BYTES);
    if (const std::size_t feed = line.find('\n'); feed != std::string_view::npos) {
        line = line.substr(0, feed);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    }
    return std::string(cut_to_chars(line, SNIPPET_MAX_CHARS));
}

SyntaxErrorItem make_item(TSNode node, std::string_view text) {
    const TSPoint start = ts_node_start_point(node);
    SyntaxErrorItem item;
    item.line = std::uint64_t{start.row} + 1;
    item.column = std::uint64_t{start.column} + 1;
    if (ts_node_is_missing(node)) {
        item.kind = KIND_MISSING;
        item.message = std::string(KIND_MISSING) + ' ' + ts_node_type(node);
    } else {
        item.kind = KIND_ERROR;
        item.message = std::string(SYNTAX_ERROR_MESSAGE);
    }
    // The runtime counts a row's column in bytes from its last line feed, so
    // the row begins `column` bytes before the node.
    const std::uint32_t start_byte = ts_node_start_byte(node);
    if (start.column <= start_byte) item.snippet = snippet_at(text, start_byte - start.column);
    return item;
}

}  // namespace

std::vector<SyntaxErrorItem> collect_syntax_errors(TSNode root, std::string_view text) {
    std::vector<SyntaxErrorItem> items;
    // A depth-first walk in pre-order. The depth of the tree follows the
    // input (ten thousand nested brackets give ten thousand levels), so the
    // path from the root is the cursor's own stack on the heap, never the C
    // stack. Siblings are visited one at a time as the walk reaches them, so
    // the walk ends at the twentieth item without listing the rest of a long
    // run of siblings.
    TreeCursorOwner cursor(root);
    bool more = true;
    while (more && items.size() < MAX_REPORTED_ERRORS) {
        const TSNode node = ts_tree_cursor_current_node(cursor.get());
        const bool is_error = ts_node_is_error(node);
        if (is_error || ts_node_is_missing(node)) items.push_back(make_item(node, text));
        // Nothing inside an error node is reported, and clean subtrees hold
        // nothing to report.
        const bool enter = !is_error && ts_node_has_error(node);
        more = (enter && ts_tree_cursor_goto_first_child(cursor.get())) || skip_subtree(cursor.get());
    }
    return items;
}

}  // namespace brightloom
