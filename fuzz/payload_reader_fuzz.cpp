// Fuzzes the payload reader. Any text: no crash. An accepted text, written
// back by the reply writer and read again, gives an equal value, and the
// written form reads back to itself. A rejected text gives a message ending
// in " at line N column M" with N and M inside the input.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_checks.h"
#include "host/payload_reader.h"
#include "host/reply_writer.h"

namespace {

using brightloom::fuzzing::check;
using brightloom::fuzzing::count_lines;
using brightloom::fuzzing::line_text;

// Parses the decimal number that ends `text` after `prefix`; false if absent.
bool split_number(std::string_view text, std::string_view prefix, std::string_view& head,
                  std::size_t& number) {
    const std::size_t at = text.rfind(prefix);
    if (at == std::string_view::npos) return false;
    const std::string_view digits = text.substr(at + prefix.size());
    if (digits.empty()) return false;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (ec != std::errc() || end != digits.data() + digits.size()) return false;
    head = text.substr(0, at);
    return true;
}

void check_fault_position(std::string_view input, const std::string& message) {
    std::string_view head;
    std::size_t column = 0;
    std::size_t line = 0;
    check(split_number(message, " column ", head, column), "fault without a column", message);
    check(split_number(head, " at line ", head, line), "fault without a line", message);
    check(!head.empty(), "fault without a description", message);
    check(line >= 1 && line <= count_lines(input), "fault line outside the input", message);
    // The column counts bytes up to and including the offending byte, which
    // may be the line's own line feed (inside a string); at the end of the
    // text it counts the bytes of the last line, possibly none.
    const std::string_view bytes = line_text(input, line);
    const bool has_feed = bytes.data() + bytes.size() < input.data() + input.size();
    check(column <= bytes.size() + (has_feed ? 1 : 0), "fault column outside its line", message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    brightloom::Result<brightloom::JsonValue> value = brightloom::read_payload(input);
    if (!value.ok()) {
        check_fault_position(input, value.error().message);
        return 0;
    }
    const std::string written = brightloom::write_reply(*value);
    check(brightloom::fuzzing::is_compact(written), "written value is not compact", written);
    brightloom::Result<brightloom::JsonValue> again = brightloom::read_payload(written);
    check(again.ok(), "written value does not read back", written);
    check(*again == *value, "written value reads back different", written);
    check(brightloom::write_reply(*again) == written, "writing is not stable", written);
    return 0;
}
