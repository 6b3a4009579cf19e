// The JSON value that payloads are read into and replies are built in.
// Objects are ordered by the unsigned bytes of their keys (std::string's
// comparison), so a reply writes its keys in byte order with no sorting step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace brightloom {

class JsonValue;
using JsonArray = std::vector<JsonValue>;
using JsonObject = std::map<std::string, JsonValue, std::less<>>;

class JsonValue {
public:
    using Storage = std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double,
                                 std::string, JsonArray, JsonObject>;

    JsonValue() : data_(nullptr) {}
    JsonValue(std::nullptr_t) : data_(nullptr) {}
    JsonValue(bool b) : data_(b) {}
    JsonValue(std::uint64_t n) : data_(n) {}
    JsonValue(std::int64_t n) : data_(n) {}
    JsonValue(double d) : data_(d) {}
    JsonValue(std::string s) : data_(std::move(s)) {}
    JsonValue(std::string_view s) : data_(std::string(s)) {}
    JsonValue(const char* s) : data_(std::string(s)) {}
    JsonValue(JsonArray a) : data_(std::move(a)) {}
    JsonValue(JsonObject o) : data_(std::move(o)) {}
    // Unsigned counts are the only numbers replies hold; other integral types
    // are routed to the right alternative instead of converting to bool.
    JsonValue(int) = delete;
    JsonValue(unsigned n) : data_(std::uint64_t{n}) {}
    JsonValue(unsigned long long n) : data_(std::uint64_t{n}) {}

    const Storage& data() const { return data_; }

    const bool* as_bool() const { return std::get_if<bool>(&data_); }
    const std::uint64_t* as_u64() const { return std::get_if<std::uint64_t>(&data_); }
    const std::int64_t* as_i64() const { return std::get_if<std::int64_t>(&data_); }
    const double* as_double() const { return std::get_if<double>(&data_); }
    const std::string* as_string() const { return std::get_if<std::string>(&data_); }
    const JsonArray* as_array() const { return std::get_if<JsonArray>(&data_); }
    const JsonObject* as_object() const { return std::get_if<JsonObject>(&data_); }

    bool operator==(const JsonValue& other) const = default;

private:
    Storage data_;
};

// The items, in order, each moved into a JSON value by `convert`: how a reply
// turns its records into an array.
template <typename Item, typename Convert>
JsonArray json_array_of(std::vector<Item>&& items, Convert convert) {
    JsonArray array;
    array.reserve(items.size());
    for (Item& item : items) array.push_back(convert(std::move(item)));
    return array;
}

// Field reading shared by every command: a payload that is not an object has
// no fields, and a field of another form counts as absent.
const JsonValue* find_field(const JsonValue& payload, std::string_view key);
const std::string* string_field(const JsonValue& payload, std::string_view key);

}  // namespace brightloom
