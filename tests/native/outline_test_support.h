// Helpers shared by the outline tests: run the command on a text and read
// its symbol records back as plain rows that print well in a failure.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_value.h"
#include "commands/outline_command.h"
#include "host/run_command.h"

namespace brightloom::testing {

struct SymbolRow {
    std::string kind;
    std::string name;
    std::uint64_t line;
    std::uint64_t end_line;
    std::uint64_t depth;
    std::string signature;
    bool operator==(const SymbolRow&) const = default;
};

inline void PrintTo(const SymbolRow& row, std::ostream* out) {
    *out << "{" << row.kind << ", \"" << row.name << "\", " << row.line << "-" << row.end_line
         << ", depth " << row.depth << ", \"" << row.signature << "\"}";
}

inline JsonValue content_payload(std::string_view text, std::string_view language) {
    return JsonObject{{"content", std::string(text)}, {"language", std::string(language)}};
}

// The reply of a call that must succeed; a failure is reported as the
// message text so that the test shows it.
inline JsonValue outline_reply(const JsonValue& payload) {
    Result<JsonValue> reply = execute_command("outline", payload);
    if (!reply.ok()) {
        ADD_FAILURE() << "outline failed: " << reply.error().message;
        return JsonValue{};
    }
    return *std::move(reply);
}

inline std::string text_of(const JsonValue* value) {
    return value != nullptr && value->as_string() != nullptr ? *value->as_string() : "<absent>";
}

inline std::uint64_t count_of(const JsonValue* value) {
    return value != nullptr && value->as_u64() != nullptr ? *value->as_u64() : ~std::uint64_t{0};
}

// The "symbols" of a reply as rows; also checks that "symbol_count" agrees
// and that each record holds exactly the six keys.
inline std::vector<SymbolRow> symbol_rows(const JsonValue& reply) {
    std::vector<SymbolRow> rows;
    const JsonValue* symbols = find_field(reply, "symbols");
    if (symbols == nullptr || symbols->as_array() == nullptr) {
        ADD_FAILURE() << "reply has no symbols array";
        return rows;
    }
    for (const JsonValue& record : *symbols->as_array()) {
        if (record.as_object() == nullptr) {
            ADD_FAILURE() << "a symbol record is not an object";
            continue;
        }
        EXPECT_EQ(record.as_object()->size(), 6u);
        rows.push_back(SymbolRow{
            text_of(find_field(record, "kind")), text_of(find_field(record, "name")),
            count_of(find_field(record, "line")), count_of(find_field(record, "end_line")),
            count_of(find_field(record, "depth")), text_of(find_field(record, "signature"))});
    }
    EXPECT_EQ(count_of(find_field(reply, "symbol_count")), rows.size());
    return rows;
}

// The rows of an outline of `text` that must be parsed ("checked" true).
inline std::vector<SymbolRow> outline_rows(std::string_view text, std::string_view language) {
    const JsonValue reply = outline_reply(content_payload(text, language));
    const JsonValue* checked = find_field(reply, "checked");
    EXPECT_TRUE(checked != nullptr && *checked == JsonValue(true));
    EXPECT_EQ(text_of(find_field(reply, "language")), language);
    return symbol_rows(reply);
}

}  // namespace brightloom::testing
