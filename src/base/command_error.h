// Failures as values. Every fallible routine below the Python boundary returns
// a Result<T>: either the value or a CommandError holding one message text.
//
//   Result<std::string> text = read_text_file(path);
//   if (!text.ok()) return text.error();
//   use(*text);
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace brightloom {

// One UTF-8 message text, lower case and without a final full stop.
struct [[nodiscard]] CommandError {
    std::string message;
};

// Every text a command fails with, in one place; the code, the tests and
// the fuzz targets all use these. (The payload reader's positioned fault
// texts stay with the reader, which is their only source.)
inline constexpr std::string_view MISSING_FIELD_PREFIX = "missing required field: ";
inline constexpr std::string_view UNKNOWN_COMMAND_PREFIX = "unknown command: ";
inline constexpr std::string_view OS_ERROR_MARK = " (os error ";
inline constexpr std::string_view INVALID_UTF8_MESSAGE = "stream did not contain valid UTF-8";
inline constexpr std::string_view NUL_IN_PATH_MESSAGE = "file name contained an unexpected NUL byte";
inline constexpr std::string_view NO_TREE_MESSAGE = "tree-sitter parse returned no tree";
inline constexpr std::string_view TOO_LARGE_TO_PARSE_MESSAGE = "source text is too large to parse (4 GiB or more)";
inline constexpr std::string_view TOO_COSTLY_TO_PARSE_PREFIX = "source text is too costly to parse: parse abandoned ";

// "missing required field: <field>"
CommandError missing_field_error(std::string_view field);
// "unknown command: <name>", the name byte for byte.
CommandError unknown_command_error(std::string_view name);
// "<system description> (os error <n>)". Thread-safe: workers call it too.
CommandError os_error(int error_number);
// One of the fixed texts above.
CommandError fixed_error(std::string_view message);
// "Incompatible language version <n>. Expected minimum <min>, maximum <max>"
CommandError incompatible_language_version_error(std::uint32_t version, std::uint32_t minimum,
                                                 std::uint32_t maximum);
// "source text is too costly to parse: parse abandoned after <n> units of work"
CommandError parse_work_exceeded_error(std::uint64_t units);
// "... parse abandoned after holding more than <n> MiB of parser memory"
CommandError parse_memory_exceeded_error(std::size_t mebibytes);

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(CommandError error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }

    T& operator*() & { return std::get<0>(state_); }
    const T& operator*() const& { return std::get<0>(state_); }
    T&& operator*() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }

    const CommandError& error() const& { return std::get<1>(state_); }
    CommandError&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, CommandError> state_;
};

}  // namespace brightloom
