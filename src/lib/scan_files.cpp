#include "scan_files.h"

#include <atomic>
#include <optional>
#include <utility>

namespace brightloom {
namespace {

// One worker's results, each tagged with the index of its path. A worker
// takes indices in increasing order, so every list is sorted by index.
using TaggedEntries = std::vector<std::pair<std::size_t, ScanEntry>>;

// Reads the file at `location` (a buffer the caller reuses) into an entry.
// This is the one place where the scan drops what it cannot read: a name
// that had to be made valid UTF-8 (it names no file on disk, and reading it
// could reach a different file), a file that has gone, is not permitted, is
// not a regular file or is not UTF-8 text. None of these is an error.
std::optional<ScanEntry> digest_one(const ScanPath& path, std::string_view root_prefix,
                                    std::string& location, FileDigester digest) {
    if (!path.is_exact) return std::nullopt;
    location.assign(root_prefix);
    location.append(path.text);
    Result<FileDigest> result = digest(location);
    if (!result.ok()) return std::nullopt;
    return ScanEntry{path.text, std::move(result->hash), result->total_lines};
}

// Joins the workers' sorted lists into one list in path order.
std::vector<ScanEntry> merge_by_index(std::vector<TaggedEntries>& lists) {
    std::size_t total = 0;
    for (const TaggedEntries& list : lists) total += list.size();
    std::vector<ScanEntry> merged;
    merged.reserve(total);
    std::vector<std::size_t> heads(lists.size(), 0);
    while (merged.size() < total) {
        std::size_t best = lists.size();
        for (std::size_t i = 0; i < lists.size(); ++i) {
            if (heads[i] == lists[i].size()) continue;
            if (best == lists.size() || lists[i][heads[i]].first < lists[best][heads[best]].first) {
                best = i;
            }
        }
        merged.push_back(std::move(lists[best][heads[best]++].second));
    }
    return merged;
}

}  // namespace

Result<FileDigest> digest_scan_file(const std::string& location) {
    return digest_text_file(location, OpenMode::regular_only);
}

std::vector<ScanEntry> digest_scan_paths(std::span<const ScanPath> paths, std::string_view root,
                                         WorkerPool* pool, FileDigester digest) {
    const std::string root_prefix = std::string(root) + (root.ends_with('/') ? "" : "/");

    if (pool == nullptr || pool->size() == 0 || paths.size() < 2) {
        std::vector<ScanEntry> entries;
        std::string location;
        for (const ScanPath& path : paths) {
            if (std::optional<ScanEntry> entry = digest_one(path, root_prefix, location, digest)) {
                entries.push_back(std::move(*entry));
            }
        }
        return entries;
    }

    // Workers take one path at a time from a shared counter, so a huge file
    // keeps only its own worker busy while the others go on through the
    // list. Each worker appends only to its own list; the lists are merged
    // by index on this thread after all workers have finished.
    std::atomic<std::size_t> next_index{0};
    std::atomic<bool> quit{false};
    std::vector<TaggedEntries> results(pool->size());
    const std::function<void(std::size_t)> task = [&](std::size_t worker) {
        try {
            std::string location;
            while (!quit.load(std::memory_order_relaxed)) {
                const std::size_t index = next_index.fetch_add(1, std::memory_order_relaxed);
                if (index >= paths.size()) break;
                if (std::optional<ScanEntry> entry =
                        digest_one(paths[index], root_prefix, location, digest)) {
                    results[worker].emplace_back(index, std::move(*entry));
                }
            }
        } catch (...) {
            // The other workers stop at their next path rather than finish
            // a scan whose result will be discarded.
            quit.store(true, std::memory_order_relaxed);
            throw;
        }
    };
    if (std::exception_ptr failure = pool->run_on_all(task)) std::rethrow_exception(failure);
    return merge_by_index(results);
}

}  // namespace brightloom
