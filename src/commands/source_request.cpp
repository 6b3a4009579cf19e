#include "source_request.h"

#include "text/text_file.h"

namespace brightloom {
namespace {

Result<SourceText> load_source(const JsonValue& payload) {
    if (const std::string* content = string_field(payload, "content")) return SourceText::borrowed(*content);
    if (const std::string* path = string_field(payload, "path")) {
        Result<std::string> text = read_text_file(*path);
        if (!text.ok()) return std::move(text).error();
        return SourceText::owned(std::move(*text));
    }
    return missing_field_error("content or path");
}

std::string resolve_language(const JsonValue& payload, LanguageCommand command) {
    // A "language" string wins even when empty; only its absence (or another
    // form) lets the path decide.
    if (const std::string* language = string_field(payload, "language")) return *language;
    if (const std::string* path = string_field(payload, "path")) {
        return std::string(language_from_path(*path, command).value_or(""));
    }
    return {};
}

}  // namespace

Result<SourceRequest> read_source_request(const JsonValue& payload, LanguageCommand command) {
    Result<SourceText> text = load_source(payload);
    if (!text.ok()) return std::move(text).error();
    return SourceRequest{std::move(*text), resolve_language(payload, command)};
}

}  // namespace brightloom
