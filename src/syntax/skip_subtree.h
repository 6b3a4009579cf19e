// A step of a pre-order tree walk that does not enter the current node.
#pragma once

#include <tree_sitter/api.h>

namespace brightloom {

// Moves the cursor to the next node in pre-order that is not inside the
// current one: its next sibling, or the next sibling of its nearest ancestor
// that has one. False when the walk has passed the last node.
inline bool skip_subtree(TSTreeCursor* cursor) {
    while (!ts_tree_cursor_goto_next_sibling(cursor)) {
        if (!ts_tree_cursor_goto_parent(cursor)) return false;
    }
    return true;
}

}  // namespace brightloom
