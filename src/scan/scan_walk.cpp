#include "scan_walk.h"

#include <sys/stat.h>

#include <cerrno>
#include <optional>

#include "base/resource_exhaustion.h"
#include "scan/directory_handle.h"
#include "scan/open_beneath.h"
#include "scan/scan_names.h"

namespace brightloom {
namespace {

// What the walk needs to know about a listed entry.
enum class EntryKind { directory, regular_file, other };

struct ListedEntry {
    std::string name;
    EntryKind kind = EntryKind::other;
};

EntryKind kind_from_mode(mode_t mode) {
    if (S_ISDIR(mode)) return EntryKind::directory;
    if (S_ISREG(mode)) return EntryKind::regular_file;
    return EntryKind::other;
}

// The listing's d_type is free; fstatat costs a system call per entry, so it
// is asked only on file systems that leave d_type unknown. Links are typed as
// links (AT_SYMLINK_NOFOLLOW), never as what they point to. None when the
// entry cannot be typed, which drops it.
std::optional<EntryKind> entry_kind(DIR* listing, const dirent& entry) {
    switch (entry.d_type) {
        case DT_DIR: return EntryKind::directory;
        case DT_REG: return EntryKind::regular_file;
        case DT_UNKNOWN: break;
        default: return EntryKind::other;
    }
    struct stat info;
    if (::fstatat(::dirfd(listing), entry.d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return std::nullopt;
    }
    return kind_from_mode(info.st_mode);
}

bool is_dot_or_dot_dot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// One folder on the walk's stack. While it is among the newest
// MAX_OPEN_LISTINGS folders its listing is open and read entry by entry;
// after that the rest of the listing waits in `buffered`.
struct FolderFrame {
    DirectoryHandle listing;
    std::vector<ListedEntry> buffered;
    std::size_t next_buffered = 0;
    // Path below the root ("" for the root itself), without a trailing "/".
    std::string relative;
};

// The next entry of the frame that the walk should look at; none at the end
// of the listing. A listing that fails part-way ends there: readdir returns
// null for both, and the entries given so far are kept either way.
std::optional<ListedEntry> next_entry(FolderFrame& frame) {
    if (!frame.listing) {
        if (frame.next_buffered == frame.buffered.size()) return std::nullopt;
        return std::move(frame.buffered[frame.next_buffered++]);
    }
    while (const dirent* entry = ::readdir(frame.listing.get())) {
        if (is_dot_or_dot_dot(entry->d_name)) continue;
        const std::optional<EntryKind> kind = entry_kind(frame.listing.get(), *entry);
        if (!kind) continue;
        return ListedEntry{entry->d_name, *kind};
    }
    return std::nullopt;
}

// Reads the rest of an open listing into memory, typing entries while the
// descriptor is still there, and closes it.
void buffer_listing(FolderFrame& frame) {
    while (std::optional<ListedEntry> entry = next_entry(frame)) {
        frame.buffered.push_back(std::move(*entry));
    }
    frame.listing.reset();
}

std::string join_relative(std::string_view parent, std::string_view name) {
    std::string path;
    path.reserve(parent.size() + 1 + name.size());
    path.append(parent);
    if (!parent.empty()) path.push_back('/');
    path.append(name);
    return path;
}

class TreeWalk {
public:
    // `root_fd` is borrowed and must outlive the walk.
    TreeWalk(int root_fd, std::span<const std::string> extensions)
        : extensions_(extensions), root_fd_(root_fd) {}

    // Consumes the walk, starting from the already opened root listing.
    std::vector<std::string> run(DirectoryHandle root_listing) {
        stack_.push_back(FolderFrame{std::move(root_listing), {}, 0, {}});
        while (!stack_.empty()) {
            std::optional<ListedEntry> entry = next_entry(stack_.back());
            if (!entry) {
                pop_frame();
            } else if (entry->kind == EntryKind::regular_file) {
                if (has_listed_extension(entry->name, extensions_)) {
                    found_.push_back(join_relative(stack_.back().relative, entry->name));
                }
            } else if (entry->kind == EntryKind::directory && !is_pruned_dir(entry->name)) {
                enter_folder(entry->name);
            }
        }
        return std::move(found_);
    }

private:
    // Folders below the top frame are opened relative to its descriptor; a
    // frame whose listing was buffered has none left, so its subfolders are
    // opened by their path beneath the root, where a link swapped in for any
    // folder on the way fails the open. Buffered frames are the oldest, so
    // those paths stay short.
    void enter_folder(const std::string& name) {
        if (open_listings() == MAX_OPEN_LISTINGS) {
            buffer_listing(stack_[first_open_]);
            ++first_open_;
        }
        FolderFrame& parent = stack_.back();
        std::string relative = join_relative(parent.relative, name);
        DirectoryHandle listing =
            parent.listing ? open_directory_at(::dirfd(parent.listing.get()), name.c_str(), false)
                           : adopt_directory(open_beneath(root_fd_, relative, O_RDONLY | O_DIRECTORY));
        // A folder that cannot be opened (no permission, gone, replaced by a
        // link since it was listed) is left out; the walk goes on.
        if (!listing) {
            throw_if_exhausted(errno);
            return;
        }
        stack_.push_back(FolderFrame{std::move(listing), {}, 0, std::move(relative)});
    }

    void pop_frame() {
        stack_.pop_back();
        if (first_open_ > stack_.size()) first_open_ = stack_.size();
    }

    // Frames [0, first_open_) are buffered, the rest hold an open listing.
    std::size_t open_listings() const { return stack_.size() - first_open_; }

    std::span<const std::string> extensions_;
    int root_fd_;
    // A vector used as a stack: depth costs heap, not the thread's stack.
    std::vector<FolderFrame> stack_;
    std::size_t first_open_ = 0;
    std::vector<std::string> found_;
};

}  // namespace

ScanListing collect_scan_paths(std::string_view root, std::span<const std::string> extensions) {
    // A NUL byte would silently cut the path short at the system call.
    if (root.find('\0') != std::string_view::npos) return {};
    const std::string root_text(root);
    struct stat info;
    if (::lstat(root_text.c_str(), &info) != 0) return {};

    const std::optional<std::string_view> named = final_component_name(root);
    const std::string_view root_name = named ? *named : root;
    if (S_ISREG(info.st_mode)) {
        if (!has_listed_extension(root_name, extensions)) return {};
        ScanListing file_root;
        file_root.paths.emplace_back();
        return file_root;
    }
    if (S_ISDIR(info.st_mode)) {
        if (is_pruned_dir(root_name)) return {};
    } else if (S_ISLNK(info.st_mode)) {
        // The root is the one link that is followed, and only to a folder;
        // the link's own name is not a folder name, so it is never pruned.
        if (::stat(root_text.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return {};
    } else {
        return {};
    }
    // The root's listing is opened through the lookup descriptor, so both
    // name the folder the link pointed to at this one moment.
    FileDescriptor root_fd = open_folder_for_lookup(root_text.c_str());
    if (!root_fd.valid()) {
        throw_if_exhausted(errno);
        return {};
    }
    DirectoryHandle listing = open_directory_at(root_fd.get(), ".", false);
    if (!listing) {
        throw_if_exhausted(errno);
        return {};
    }
    std::vector<std::string> paths = TreeWalk(root_fd.get(), extensions).run(std::move(listing));
    return ScanListing{std::move(root_fd), std::move(paths)};
}

}  // namespace brightloom
