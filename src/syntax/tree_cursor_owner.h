// An owner for a tree-sitter cursor: a value struct that still holds a heap
// stack, deleted exactly once. Move-only; a moved-from owner deletes nothing.
#pragma once

#include <utility>

#include <tree_sitter/api.h>

namespace brightloom {

class TreeCursorOwner {
public:
    explicit TreeCursorOwner(TSNode node) : cursor_(ts_tree_cursor_new(node)), owns_(true) {}
    ~TreeCursorOwner() {
        if (owns_) ts_tree_cursor_delete(&cursor_);
    }
    TreeCursorOwner(TreeCursorOwner&& other) noexcept
        : cursor_(other.cursor_), owns_(std::exchange(other.owns_, false)) {}
    TreeCursorOwner& operator=(TreeCursorOwner&& other) noexcept {
        if (this != &other) {
            if (owns_) ts_tree_cursor_delete(&cursor_);
            cursor_ = other.cursor_;
            owns_ = std::exchange(other.owns_, false);
        }
        return *this;
    }
    TreeCursorOwner(const TreeCursorOwner&) = delete;
    TreeCursorOwner& operator=(const TreeCursorOwner&) = delete;

    // Borrowed: valid while the owner lives and the tree it walks lives.
    TSTreeCursor* get() { return &cursor_; }

private:
    TSTreeCursor cursor_;
    bool owns_;
};

}  // namespace brightloom
