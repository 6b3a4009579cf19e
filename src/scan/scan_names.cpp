#include "scan_names.h"

#include <algorithm>
#include <array>

namespace brightloom {
namespace {

constexpr std::array<std::string_view, 5> PRUNED_DIR_NAMES{
    ".git", ".venv", "dist", "node_modules", "target",
};

}  // namespace

bool is_pruned_dir(std::string_view name) {
    return std::find(PRUNED_DIR_NAMES.begin(), PRUNED_DIR_NAMES.end(), name) !=
           PRUNED_DIR_NAMES.end();
}

std::optional<std::string_view> file_extension(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || name == "..") return std::nullopt;
    return name.substr(dot + 1);
}

bool has_listed_extension(std::string_view name, std::span<const std::string> extensions) {
    const std::optional<std::string_view> extension = file_extension(name);
    if (!extension) return false;
    return std::any_of(extensions.begin(), extensions.end(),
                       [&](const std::string& listed) { return listed == *extension; });
}

std::optional<std::string_view> final_component_name(std::string_view path) {
    // Walk back over trailing separators and "." components, which name
    // nothing of their own ("a/b/./" names b).
    while (!path.empty()) {
        const std::size_t slash = path.rfind('/');
        const std::string_view last =
            slash == std::string_view::npos ? path : path.substr(slash + 1);
        if (!last.empty() && last != ".") {
            if (last == "..") return std::nullopt;
            return last;
        }
        if (slash == std::string_view::npos) break;
        path = path.substr(0, slash);
    }
    return std::nullopt;
}

}  // namespace brightloom
