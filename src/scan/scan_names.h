// The scan's decisions that depend on a name alone: which folders are never
// entered and which file names carry a listed extension. They run before
// anything that touches the file system.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace brightloom {

// True for the five folder names the scan never enters (case-sensitive).
bool is_pruned_dir(std::string_view name);

// The text after the last "." of a file name. None for a name without a ".",
// for one whose only "." is its first byte (".bashrc") and for ".."; a name
// that ends in "." has the empty extension.
std::optional<std::string_view> file_extension(std::string_view name);

// True when the name's extension equals one of `extensions` byte for byte.
bool has_listed_extension(std::string_view name, std::span<const std::string> extensions);

// The last named component of a path: "b" for "a/b", "a/b/" and "a/b/.".
// None when the path ends in ".." or has no named component ("", ".", "/").
std::optional<std::string_view> final_component_name(std::string_view path);

}  // namespace brightloom
