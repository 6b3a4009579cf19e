// Helpers for the scan tests: run a scan on a payload and read its reply
// back into plain values, build trees with links and FIFOs, bound a wait.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/json_value.h"
#include "host/run_command.h"
#include "scan/open_beneath.h"

namespace brightloom::testing {

struct ScannedFile {
    std::string path;
    std::string file_hash;
    std::uint64_t total_lines = 0;
};

struct ScanReply {
    std::uint64_t count = 0;
    std::vector<ScannedFile> entries;

    std::vector<std::string> paths() const {
        std::vector<std::string> out;
        for (const ScannedFile& entry : entries) out.push_back(entry.path);
        return out;
    }
};

inline JsonValue scan_payload(const std::string& root, JsonObject extra = {}) {
    extra.insert_or_assign("root", JsonValue(root));
    return JsonValue(std::move(extra));
}

// Runs the command and checks the reply's shape on the way: exactly the keys
// count, entries and ok, and three keys in every entry.
inline ScanReply scan(const JsonValue& payload) {
    Result<JsonValue> reply = execute_command("scan", payload);
    if (!reply.ok()) {
        ADD_FAILURE() << "scan failed: " << reply.error().message;
        return {};
    }
    const JsonObject& object = *reply->as_object();
    EXPECT_EQ(object.size(), 3u);
    EXPECT_EQ(*object.at("ok").as_bool(), true);
    ScanReply out;
    out.count = *object.at("count").as_u64();
    for (const JsonValue& value : *object.at("entries").as_array()) {
        const JsonObject& entry = *value.as_object();
        EXPECT_EQ(entry.size(), 3u);
        out.entries.push_back(ScannedFile{*entry.at("path").as_string(),
                                          *entry.at("file_hash").as_string(),
                                          *entry.at("total_lines").as_u64()});
    }
    EXPECT_EQ(out.count, out.entries.size());
    return out;
}

inline ScanReply scan_root(const std::string& root, JsonObject extra = {}) {
    return scan(scan_payload(root, std::move(extra)));
}

inline JsonValue string_array(std::vector<std::string> texts) {
    JsonArray array;
    for (std::string& text : texts) array.emplace_back(std::move(text));
    return JsonValue(std::move(array));
}

inline void make_symlink(const std::string& target, const std::filesystem::path& link) {
    std::filesystem::create_directories(link.parent_path());
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0) << link;
}

inline void make_fifo(const std::filesystem::path& path) {
    std::filesystem::create_directories(path.parent_path());
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << path;
}

// Runs `work` on its own thread and fails the whole run if it does not
// finish in time: a hung scan must not hang the suite as well.
template <class Work>
auto within_seconds(int seconds, Work work) -> decltype(work()) {
    std::packaged_task<decltype(work())()> task(std::move(work));
    auto result = task.get_future();
    std::thread(std::move(task)).detach();
    if (result.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
        ADD_FAILURE() << "did not finish within " << seconds << " s";
        std::_Exit(1);
    }
    return result.get();
}

// The folder descriptor digest_scan_paths reads beneath, as the walk opens it.
inline FileDescriptor open_root(const std::filesystem::path& folder) {
    FileDescriptor root = open_folder_for_lookup(folder.c_str());
    EXPECT_TRUE(root.valid()) << folder;
    return root;
}

inline bool running_as_root() { return ::geteuid() == 0; }

}  // namespace brightloom::testing
