#include "command_error.h"

#include <cstring>

namespace brightloom {

CommandError missing_field_error(std::string_view field) {
    return CommandError{"missing required field: " + std::string(field)};
}

CommandError unknown_command_error(std::string_view name) {
    return CommandError{"unknown command: " + std::string(name)};
}

std::string os_error_text(int error_number) {
    // The GNU strerror_r may return a static string instead of filling buf;
    // either way the result is not shared mutable state, unlike strerror.
    char buf[256];
    const char* description = strerror_r(error_number, buf, sizeof buf);
    return std::string(description) + " (os error " + std::to_string(error_number) + ")";
}

CommandError os_error(int error_number) {
    return CommandError{os_error_text(error_number)};
}

}  // namespace brightloom
