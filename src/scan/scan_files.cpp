#include "scan_files.h"

#include <fcntl.h>

#include <atomic>
#include <optional>
#include <utility>

#include "base/resource_exhaustion.h"
#include "scan/open_beneath.h"

namespace brightloom {
namespace {

// One worker's results, each tagged with the index of its path. A worker
// takes indices in increasing order, so every list is sorted by index.
using TaggedEntries = std::vector<std::pair<std::size_t, ScanEntry>>;

// Reads the file at `path` below the root into an entry. This is the one
// place where the scan drops what it cannot read: a name that had to be made
// valid UTF-8 (it names no file on disk, and reading it could reach a
// different file), a file that has gone, is not permitted, is not a regular
// file, has a link on its path or is not UTF-8 text. None of these is an error.
std::optional<ScanEntry> digest_one(const ScanPath& path, int root_fd, TextDigester& digester,
                                    FileDigester digest) {
    if (!path.is_exact) return std::nullopt;
    Result<FileDigest> result = digest(root_fd, path.text, digester);
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

Result<FileDigest> digest_scan_file(int root_fd, const std::string& relative, TextDigester& digester) {
    // Non-blocking, so that a FIFO renamed over the name cannot stall the
    // open; describe_opened then refuses anything but a regular file.
    FileDescriptor fd = open_beneath(root_fd, relative, O_RDONLY | O_NONBLOCK);
    if (!fd.valid()) {
        throw_if_exhausted(errno);
        return os_error(errno);
    }
    Result<OpenedFile> file = describe_opened(std::move(fd), OpenMode::regular_only);
    if (!file.ok()) return std::move(file).error();
    return digester.digest(*file);
}

std::vector<ScanEntry> digest_scan_paths(std::span<const ScanPath> paths, int root_fd,
                                         WorkerPool* pool, FileDigester digest) {
    if (pool == nullptr || pool->size() == 0 || paths.size() < 2) {
        std::vector<ScanEntry> entries;
        TextDigester digester;
        for (const ScanPath& path : paths) {
            if (std::optional<ScanEntry> entry = digest_one(path, root_fd, digester, digest)) {
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
            // One read buffer and digest context per worker, for all its files.
            TextDigester digester;
            while (!quit.load(std::memory_order_relaxed)) {
                const std::size_t index = next_index.fetch_add(1, std::memory_order_relaxed);
                if (index >= paths.size()) break;
                if (std::optional<ScanEntry> entry =
                        digest_one(paths[index], root_fd, digester, digest)) {
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
    prepare_content_hash();
    if (std::exception_ptr failure = pool->run_on_all(task)) std::rethrow_exception(failure);
    return merge_by_index(results);
}

}  // namespace brightloom
