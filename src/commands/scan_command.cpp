#include "scan_command.h"

#include <algorithm>

#include "base/resource_exhaustion.h"
#include "commands/scan_options.h"
#include "scan/scan_files.h"
#include "scan/scan_walk.h"
#include "scan/worker_pool.h"
#include "text/utf8.h"

namespace brightloom {
namespace {

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

JsonValue entry_object(ScanEntry& entry) {
    JsonObject object;
    object.emplace("file_hash", std::move(entry.file_hash));
    object.emplace("path", std::move(entry.path));
    object.emplace("total_lines", entry.total_lines);
    return JsonValue(std::move(object));
}

}  // namespace

Result<JsonValue> scan_workspace(const JsonValue& payload) {
    Result<ScanOptions> options = read_scan_options(payload);
    if (!options.ok()) return std::move(options).error();

    std::vector<ScanEntry> entries;
    try {
        // The path list is released before the reply is built, so the two
        // never take memory at the same time.
        ScanListing listing = collect_scan_paths(options->root, options->extensions);
        std::vector<ScanPath> paths = sorted_scan_paths(std::move(listing.paths));
        // The limit is applied after the whole walk, before any file is read.
        if (options->max_files < paths.size()) {
            paths.resize(static_cast<std::size_t>(options->max_files));
        }
        // A root that is no folder (a file, or gone) has nothing to read
        // beneath; its listed empty path names no file.
        if (!listing.root.valid()) paths.clear();
        entries = digest_scan_paths(paths, listing.root.get(), &shared_worker_pool());
    } catch (const DescriptorsExhausted& shortage) {
        return os_error(shortage.error_number);
    }

    JsonArray entry_values;
    entry_values.reserve(entries.size());
    for (ScanEntry& entry : entries) entry_values.push_back(entry_object(entry));
    JsonObject reply;
    reply.emplace("count", std::uint64_t{entry_values.size()});
    reply.emplace("entries", std::move(entry_values));
    reply.emplace("ok", true);
    return JsonValue(std::move(reply));
}

}  // namespace brightloom
