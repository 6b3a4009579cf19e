#include "scan_options.h"

#include <array>
#include <string_view>

namespace brightloom {
namespace {

constexpr std::array<std::string_view, 10> DEFAULT_EXTENSIONS{
    "py", "rs", "ts", "tsx", "js", "go", "md", "toml", "yaml", "yml",
};

// Only a JSON integer without a minus sign counts: -1, -0, 10.0 and "10" do not.
std::uint64_t read_max_files(const JsonValue& payload) {
    const JsonValue* field = find_field(payload, "max_files");
    if (field == nullptr) return DEFAULT_MAX_FILES;
    const std::uint64_t* count = field->as_u64();
    return count != nullptr ? *count : DEFAULT_MAX_FILES;
}

std::vector<std::string> read_extensions(const JsonValue& payload) {
    const JsonValue* field = find_field(payload, "extensions");
    const JsonArray* elements = field != nullptr ? field->as_array() : nullptr;
    if (elements == nullptr) return {DEFAULT_EXTENSIONS.begin(), DEFAULT_EXTENSIONS.end()};

    std::vector<std::string> extensions;
    for (const JsonValue& element : *elements) {
        const std::string* text = element.as_string();
        if (text == nullptr) continue;
        const std::size_t first_kept = text->find_first_not_of('.');
        extensions.push_back(first_kept == std::string::npos ? std::string()
                                                             : text->substr(first_kept));
    }
    return extensions;
}

}  // namespace

Result<ScanOptions> read_scan_options(const JsonValue& payload) {
    const std::string* root = string_field(payload, "root");
    if (root == nullptr) return missing_field_error("root");

    ScanOptions options;
    options.root = *root;
    options.max_files = read_max_files(payload);
    options.extensions = read_extensions(payload);
    return options;
}

}  // namespace brightloom
