#include "query_ranges.h"

#include "syntax/skip_subtree.h"
#include "syntax/tree_cursor_owner.h"

namespace brightloom {

QueryPlan plan_symbol_query(TSNode root, std::uint32_t text_bytes) {
    QueryPlan plan;
    std::vector<ByteRange>& ranges = plan.ranges;
    std::uint32_t next_start = 0;
    std::size_t regions = 0;
    // Only subtrees holding an error are entered, and no error is entered,
    // so clean code costs nothing here.
    TreeCursorOwner cursor(root);
    bool more = ts_node_has_error(root);
    while (more) {
        const TSNode node = ts_tree_cursor_current_node(cursor.get());
        const std::uint32_t start = ts_node_start_byte(node);
        const std::uint32_t end = ts_node_end_byte(node);
        const bool is_error = ts_node_is_error(node);
        if (is_error && end - start >= LARGE_ERROR_BYTES && start >= next_start) {
            if (start > next_start) ranges.push_back({next_start, start});
            plan.large_errors.push_back(node);
            next_start = end;
            if (++regions == MAX_ERROR_REGIONS) {
                // The rest goes into the last region's child-by-child runs.
                next_start = text_bytes;
                break;
            }
        }
        const bool enter = !is_error && ts_node_has_error(node);
        more = (enter && ts_tree_cursor_goto_first_child(cursor.get())) || skip_subtree(cursor.get());
    }
    if (text_bytes > next_start) ranges.push_back({next_start, text_bytes});
    return plan;
}

}  // namespace brightloom
