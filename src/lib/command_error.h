// Failures as values. Every fallible routine below the Python boundary returns
// a Result<T>: either the value or a CommandError holding one message text.
//
//   Result<std::string> text = read_text_file(path);
//   if (!text.ok()) return text.error();
//   use(*text);
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace brightloom {

// One UTF-8 message text, lower case and without a final full stop.
struct [[nodiscard]] CommandError {
    std::string message;
};

// "missing required field: <field>"
CommandError missing_field_error(std::string_view field);
// "unknown command: <name>", the name byte for byte.
CommandError unknown_command_error(std::string_view name);
// "<system description> (os error <n>)". Thread-safe: workers call it too.
CommandError os_error(int error_number);
std::string os_error_text(int error_number);

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
