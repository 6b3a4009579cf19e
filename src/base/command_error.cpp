#include "command_error.h"

#include <cstring>

namespace brightloom {

CommandError missing_field_error(std::string_view field) {
    return CommandError{std::string(MISSING_FIELD_PREFIX) + std::string(field)};
}

CommandError unknown_command_error(std::string_view name) {
    return CommandError{std::string(UNKNOWN_COMMAND_PREFIX) + std::string(name)};
}

CommandError os_error(int error_number) {
    // The GNU strerror_r may return a static string instead of filling buf;
    // either way the result is not shared mutable state, unlike strerror.
    char buf[256];
    const char* description = strerror_r(error_number, buf, sizeof buf);
    return CommandError{std::string(description) + std::string(OS_ERROR_MARK) +
                        std::to_string(error_number) + ")"};
}

CommandError fixed_error(std::string_view message) { return CommandError{std::string(message)}; }

CommandError incompatible_language_version_error(std::uint32_t version, std::uint32_t minimum,
                                                 std::uint32_t maximum) {
    return CommandError{"Incompatible language version " + std::to_string(version) +
                        ". Expected minimum " + std::to_string(minimum) + ", maximum " +
                        std::to_string(maximum)};
}

CommandError parse_work_exceeded_error(std::uint64_t units) {
    return CommandError{std::string(TOO_COSTLY_TO_PARSE_PREFIX) + "after " + std::to_string(units) +
                        " units of work"};
}

CommandError parse_memory_exceeded_error(std::size_t mebibytes) {
    return CommandError{std::string(TOO_COSTLY_TO_PARSE_PREFIX) + "after holding more than " +
                        std::to_string(mebibytes) + " MiB of parser memory"};
}

}  // namespace brightloom
