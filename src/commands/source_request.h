// An "outline" or "syntax-check" request, read from its payload at the
// command's door: the commands below never see the JSON value.
//
//   Result<SourceRequest> request = read_source_request(payload, LanguageCommand::outline);
//   if (!request.ok()) return std::move(request).error();
//   parse(request->text, request->language);
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "base/command_error.h"
#include "base/json_value.h"
#include "languages/language_table.h"

namespace brightloom {

// A request's source text: borrowed from the payload's "content" string (the
// payload outlives the command), or owned when it was read from a file. Used
// wherever a std::string_view is expected.
class SourceText {
public:
    static SourceText borrowed(std::string_view text) { return SourceText(text); }
    static SourceText owned(std::string text) { return SourceText(std::move(text)); }

    std::string_view view() const {
        return std::visit([](const auto& text) { return std::string_view(text); }, storage_);
    }
    operator std::string_view() const { return view(); }

private:
    explicit SourceText(std::string_view text) : storage_(text) {}
    explicit SourceText(std::string text) : storage_(std::move(text)) {}

    std::variant<std::string_view, std::string> storage_;
};

struct SourceRequest {
    SourceText text;
    // The payload's "language" string byte for byte, else the language of
    // the "path" extension; empty when neither names one.
    std::string language;
};

// The text is loaded first ("content" when it is a string, else the file
// named by "path"), so a request without usable text fails even when its
// language would not be parsed. A path names only a language `command`
// answers for. Fails with "missing required field: content or path" or the
// file reader's message.
Result<SourceRequest> read_source_request(const JsonValue& payload, LanguageCommand command);

}  // namespace brightloom
