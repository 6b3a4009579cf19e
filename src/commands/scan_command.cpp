#include "scan_command.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

#include "base/resource_exhaustion.h"
#include "scan/scan_walk.h"
#include "scan/worker_pool.h"
#include "text/utf8.h"

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

// The walk's raw paths as reply text, in ascending byte order. The raw bytes
// are not kept: a path whose bytes were replaced is never read.
std::vector<ScanPath> sorted_scan_paths(std::vector<std::string> raw_paths) {
    std::vector<ScanPath> paths;
    paths.reserve(raw_paths.size());
    for (std::string& raw : raw_paths) {
        if (is_valid_utf8(raw)) {
            paths.push_back(ScanPath{std::move(raw), true});
        } else {
            paths.push_back(ScanPath{to_lossy_utf8(raw), false});
        }
    }
    // std::string compares as unsigned bytes, so "-" < "." < "/" < "A" < "a".
    // A replaced name can equal a real one; the real one goes first so that
    // the order, and what max_files keeps, never depends on the listing.
    std::sort(paths.begin(), paths.end(), [](const ScanPath& a, const ScanPath& b) {
        if (a.text != b.text) return a.text < b.text;
        return a.is_exact && !b.is_exact;
    });
    return paths;
}

JsonValue entry_to_json(ScanEntry entry) {
    return JsonObject{
        {"file_hash", std::move(entry.file_hash)},
        {"path", std::move(entry.path)},
        {"total_lines", entry.total_lines},
    };
}

}  // namespace

Result<ScanRequest> read_scan_request(const JsonValue& payload) {
    const std::string* root = string_field(payload, "root");
    if (root == nullptr) return missing_field_error("root");

    ScanRequest request;
    request.root = *root;
    request.max_files = read_max_files(payload);
    request.extensions = read_extensions(payload);
    return request;
}

Result<ScanReply> run_scan(const ScanRequest& request) {
    ScanReply reply;
    try {
        // The path list is released before the reply is built, so the two
        // never take memory at the same time.
        ScanListing listing = collect_scan_paths(request.root, request.extensions);
        std::vector<ScanPath> paths = sorted_scan_paths(std::move(listing.paths));
        // The limit is applied after the whole walk, before any file is read.
        if (request.max_files < paths.size()) {
            paths.resize(static_cast<std::size_t>(request.max_files));
        }
        // A root that is no folder (a file, or gone) has nothing to read
        // beneath; its listed empty path names no file.
        if (!listing.root.valid()) paths.clear();
        reply.entries = digest_scan_paths(paths, listing.root.get(), &shared_worker_pool());
    } catch (const DescriptorsExhausted& shortage) {
        return os_error(shortage.error_number);
    }
    return reply;
}

JsonObject to_json(ScanReply reply) {
    JsonArray entries = json_array_of(std::move(reply.entries), entry_to_json);
    return JsonObject{
        {"count", std::uint64_t{entries.size()}},
        {"entries", std::move(entries)},
    };
}

}  // namespace brightloom
