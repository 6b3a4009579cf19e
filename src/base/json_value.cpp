#include "json_value.h"

namespace brightloom {

const JsonValue* find_field(const JsonValue& payload, std::string_view key) {
    const JsonObject* object = payload.as_object();
    if (object == nullptr) return nullptr;
    auto it = object->find(key);
    return it == object->end() ? nullptr : &it->second;
}

const std::string* string_field(const JsonValue& payload, std::string_view key) {
    const JsonValue* value = find_field(payload, key);
    return value == nullptr ? nullptr : value->as_string();
}

}  // namespace brightloom
