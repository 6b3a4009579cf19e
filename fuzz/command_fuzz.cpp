// Fuzzes execute_command for one command name (BRIGHTLOOM_FUZZ_COMMAND) with
// payloads built from the input: any shape, any field of any form, strings
// that name files. Every path is confined to a fixture folder this target
// makes under the system's temporary folder, so nothing else is ever read.
// Each call must give a well-formed reply or one of the known error texts,
// and the same answer when repeated.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_checks.h"
#include "host/reply_writer.h"
#include "host/run_command.h"

namespace {

using brightloom::JsonArray;
using brightloom::JsonObject;
using brightloom::JsonValue;
using brightloom::fuzzing::check;

constexpr std::string_view COMMAND = BRIGHTLOOM_FUZZ_COMMAND;

// Names inside the fixture that payload strings pick from.
constexpr std::array<std::string_view, 16> FIXTURE_NAMES{
    "",           "a.py",          "b.rs",      "c.js",        "d.ts",     "e.tsx",
    "f.json",     "g.toml",        "sub",       "sub/h.py",    "bad.py",   "empty.py",
    "crlf.py",    "node_modules",  "link.py",   "dirlink"};
constexpr std::array<std::string_view, 8> KEYS{"path",       "content", "language",
                                               "root",       "max_files", "extensions",
                                               "unused_key", ""};

// The fixture: a few files of each language, an invalid UTF-8 file, links,
// a pruned folder and, for the scan only (which must never block on one),
// a FIFO. Made once per process and removed at exit.
class Fixture {
public:
    Fixture() {
        std::string pattern = (std::filesystem::temp_directory_path() / "brightloom-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        root_ = pattern;
        write("a.py", "import os\n\nclass A:\n    def f(self):\n        return 1\n");
        write("b.rs", "struct S;\nimpl S {\n    fn new() -> S { S }\n}\n");
        write("c.js", "export function f(a) {\n  return a +\n}\n");
        write("d.ts", "interface I { x: number }\ntype T = I;\n");
        write("e.tsx", "const x = <div>{1}</div>;\n");
        write("f.json", "{\"a\": [1, 2,]}\n");
        write("g.toml", "a = 1\n");
        write("sub/h.py", "def g():\n    pass\n");
        write("bad.py", "x = '\xff'\n");
        write("empty.py", "");
        write("crlf.py", "def f():\r\n    return 2\r\n");
        write("node_modules/x.py", "x = 1\n");
        std::filesystem::create_symlink("a.py", root_ / "link.py");
        std::filesystem::create_directory_symlink("sub", root_ / "dirlink");
        if (COMMAND == "scan") ::mkfifo((root_ / "pipe.py").c_str(), 0600);
    }
    ~Fixture() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    Fixture(const Fixture&) = delete;
    Fixture& operator=(const Fixture&) = delete;

    const std::string& root_text() const {
        static const std::string text = root_.string();
        return text;
    }

private:
    void write(const std::string& relative, std::string_view bytes) {
        const std::filesystem::path file = root_ / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    std::filesystem::path root_;
};

const Fixture& fixture() {
    static const Fixture instance;
    return instance;
}

// A path inside the fixture: a known name, or fuzzed text with every ".."
// defused so that it cannot climb out. Separators may be doubled or trailing.
std::string fixture_path(FuzzedDataProvider& input) {
    std::string path = fixture().root_text();
    if (input.ConsumeBool()) path += '/';
    if (input.ConsumeBool()) {
        path += FIXTURE_NAMES[input.ConsumeIntegralInRange<std::size_t>(0, FIXTURE_NAMES.size() - 1)];
    } else {
        std::string name = input.ConsumeRandomLengthString(64);
        // Payload strings come from a Python str: always valid UTF-8.
        if (!brightloom::fuzzing::is_utf8(name)) name.clear();
        for (std::size_t at = name.find(".."); at != std::string::npos; at = name.find("..")) {
            name[at] = '_';
        }
        path += '/';
        path += name;
    }
    return path;
}

JsonValue fuzzed_value(FuzzedDataProvider& input, int depth);

JsonValue fuzzed_string(FuzzedDataProvider& input) {
    std::string text = input.ConsumeRandomLengthString(256);
    // Payload text comes from a Python str: always valid UTF-8.
    if (!brightloom::fuzzing::is_utf8(text)) text.clear();
    return JsonValue(std::move(text));
}

JsonValue fuzzed_value(FuzzedDataProvider& input, int depth) {
    switch (input.ConsumeIntegralInRange(0, depth > 2 ? 6 : 8)) {
        case 0: return JsonValue(nullptr);
        case 1: return JsonValue(input.ConsumeBool());
        case 2: return JsonValue(input.ConsumeIntegral<std::uint64_t>());
        case 3: return JsonValue(input.ConsumeIntegralInRange<std::int64_t>(INT64_MIN, -1));
        case 4: return JsonValue(input.ConsumeFloatingPointInRange<double>(-1e9, 1e9));
        case 5: return fuzzed_string(input);
        case 6: return JsonValue(fixture_path(input));
        case 7: {
            JsonArray items;
            const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, 6);
            for (std::size_t i = 0; i < count; ++i) items.push_back(fuzzed_value(input, depth + 1));
            return JsonValue(std::move(items));
        }
        default: {
            JsonObject members;
            const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, 4);
            for (std::size_t i = 0; i < count; ++i) {
                members.insert_or_assign(std::string(input.PickValueInArray(KEYS)),
                                         fuzzed_value(input, depth + 1));
            }
            return JsonValue(std::move(members));
        }
    }
}

// A payload object whose fields are drawn with the forms each command reads,
// and sometimes with any other form; or now and then not an object at all.
JsonValue fuzzed_payload(FuzzedDataProvider& input) {
    if (input.ConsumeIntegralInRange(0, 15) == 0) return fuzzed_value(input, 2);
    JsonObject payload;
    const std::size_t fields = input.ConsumeIntegralInRange<std::size_t>(0, 5);
    for (std::size_t i = 0; i < fields; ++i) {
        const std::string_view key = input.PickValueInArray(KEYS);
        JsonValue value;
        if (key == "path" || key == "root") {
            value = input.ConsumeIntegralInRange(0, 7) == 0 ? fuzzed_value(input, 0)
                                                            : JsonValue(fixture_path(input));
        } else if (key == "language" && input.ConsumeBool()) {
            constexpr std::array<std::string_view, 9> NAMES{
                "python", "javascript", "typescript", "tsx", "rust", "json", "toml", "", "Python"};
            value = JsonValue(input.PickValueInArray(NAMES));
        } else {
            value = fuzzed_value(input, 0);
        }
        payload.insert_or_assign(std::string(key), std::move(value));
    }
    return JsonValue(std::move(payload));
}

bool is_known_error(std::string_view message) {
    using namespace brightloom;
    if (message.starts_with(MISSING_FIELD_PREFIX)) return true;
    if (message.starts_with(TOO_COSTLY_TO_PARSE_PREFIX)) return true;
    for (std::string_view fixed : {INVALID_UTF8_MESSAGE, NUL_IN_PATH_MESSAGE, NO_TREE_MESSAGE,
                                   TOO_LARGE_TO_PARSE_MESSAGE}) {
        if (message == fixed) return true;
    }
    // "<description> (os error <n>)"
    const std::size_t at = message.rfind(OS_ERROR_MARK);
    return at != std::string_view::npos && at > 0 && message.ends_with(")");
}

bool is_hex_digest(std::string_view text) {
    return text.size() == 64 &&
           text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

void check_scan_reply(const brightloom::fuzzing::ReplyDocument& document, const JsonValue& payload) {
    const std::string_view reply = document.text();
    simdjson::dom::array entries;
    check(document.root()["entries"].get(entries) == simdjson::SUCCESS, "no entries", reply);
    std::uint64_t count = 0;
    check(document.root()["count"].get(count) == simdjson::SUCCESS && count == entries.size(),
          "count differs from the entries", reply);
    const JsonValue* limit = brightloom::find_field(payload, "max_files");
    if (limit != nullptr && limit->as_u64() != nullptr) {
        check(count <= *limit->as_u64(), "more entries than max_files", reply);
    }
    std::string_view previous;
    bool first = true;
    for (simdjson::dom::element entry : entries) {
        std::string_view path;
        std::string_view hash;
        std::uint64_t lines = 0;
        check(entry["path"].get(path) == simdjson::SUCCESS && !path.starts_with("/"),
              "entry path is not relative", reply);
        check(entry["file_hash"].get(hash) == simdjson::SUCCESS && is_hex_digest(hash),
              "entry hash is not a digest", reply);
        check(entry["total_lines"].get(lines) == simdjson::SUCCESS, "entry lines missing", reply);
        check(path.find("node_modules") == std::string_view::npos && path != "pipe.py" &&
                  path != "link.py" && !path.starts_with("dirlink"),
              "scan listed a pruned folder, a link or a FIFO", reply);
        check(first || previous < path, "entries not in strict path order", reply);
        previous = path;
        first = false;
    }
}

void check_reply(const std::string& written, const JsonValue& payload) {
    const brightloom::fuzzing::ReplyDocument document(written);
    if (COMMAND == "hash") {
        std::string_view hash;
        check(document.root()["hash"].get(hash) == simdjson::SUCCESS && is_hex_digest(hash),
              "hash reply without a digest", written);
    } else if (COMMAND == "scan") {
        check_scan_reply(document, payload);
    } else {
        // "symbols" holds the outline reply as a member.
        simdjson::dom::element reply = document.root();
        if (COMMAND == "symbols") reply = reply["outline"];
        bool checked = false;
        check(reply["checked"].get(checked) == simdjson::SUCCESS, "no checked flag", written);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const JsonValue payload = fuzzed_payload(input);
    brightloom::Result<JsonValue> first = brightloom::execute_command(COMMAND, payload);
    brightloom::Result<JsonValue> second = brightloom::execute_command(COMMAND, payload);
    check(first.ok() == second.ok(), "a repeated call changed from reply to error");
    if (!first.ok()) {
        const std::string& message = first.error().message;
        check(is_known_error(message), "unexpected error text", message);
        check(brightloom::fuzzing::is_utf8(message), "error text is not UTF-8", message);
        check(message == second.error().message, "a repeated call gave another error", message);
        return 0;
    }
    const std::string written = brightloom::write_reply(*first);
    check(written == brightloom::write_reply(*second), "a repeated call gave another reply", written);
    check_reply(written, payload);
    return 0;
}
