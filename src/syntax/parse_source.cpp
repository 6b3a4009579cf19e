#include "parse_source.h"

#include <cstdint>
#include <limits>
#include <string>

namespace brightloom {
namespace {

constexpr std::uint32_t MIN_ABI_VERSION = 13;
constexpr std::uint32_t MAX_ABI_VERSION = 15;

constexpr std::string_view NO_TREE_MESSAGE = "tree-sitter parse returned no tree";
constexpr std::string_view TOO_LARGE_MESSAGE =
    "source text is too large to parse (4 GiB or more)";

CommandError incompatible_version_error(std::uint32_t version) {
    return CommandError{"Incompatible language version " + std::to_string(version) +
                        ". Expected minimum 13, maximum 15"};
}

// TSInput read function: hands the runtime everything from `byte_index` to
// the end of the text in one chunk, in place. An offset at or past the end
// gets an empty chunk, which the runtime takes as the end of the document.
const char* read_rest_of_text(void* payload, std::uint32_t byte_index, TSPoint /*position*/,
                              std::uint32_t* bytes_read) {
    const auto* text = static_cast<const std::string_view*>(payload);
    if (byte_index >= text->size()) {
        *bytes_read = 0;
        return "";
    }
    // parse_source refuses texts whose size does not fit 32 bits, so the
    // remainder always fits.
    *bytes_read = static_cast<std::uint32_t>(text->size() - byte_index);
    return text->data() + byte_index;
}

// The runtime calls the progress callback once per hundred parse operations.
// Ordinary sources take about one call per 200 bytes and random bytes about
// one per 70; but some short texts (NUL characters among line feeds, in
// TypeScript) send the error recovery into hundreds of thousands of calls:
// minutes and gigabytes for a hundred bytes, with the interpreter lock held.
// Past a budget that grows with the text the parse is abandoned and fails as
// a parse without a tree. Counting calls, not time, gives every machine the
// same answer.
constexpr std::uint64_t PARSE_BUDGET_BASE_CALLS = 2000;
constexpr std::uint64_t PARSE_BUDGET_BYTES_PER_CALL = 8;

bool is_over_parse_budget(TSParseState* state) {
    auto* remaining = static_cast<std::uint64_t*>(state->payload);
    if (*remaining == 0) return true;
    --*remaining;
    return false;
}

}  // namespace

Result<ParsedSource> parse_source(const TSLanguage* grammar, std::string_view text) {
    // The runtime keeps byte offsets in 32 bits; a larger text would have its
    // positions wrap around and every reported line and column would be wrong.
    if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
        return CommandError{std::string(TOO_LARGE_MESSAGE)};
    }

    ParsedSource parsed;
    parsed.parser.reset(ts_parser_new());

    const std::uint32_t version = ts_language_abi_version(grammar);
    if (version < MIN_ABI_VERSION || version > MAX_ABI_VERSION ||
        !ts_parser_set_language(parsed.parser.get(), grammar)) {
        return incompatible_version_error(version);
    }

    // `text` lives on this frame for the whole parse; the runtime copies what
    // it keeps into the tree, so the payload pointer does not escape.
    TSInput input{};
    input.payload = &text;
    input.read = read_rest_of_text;
    input.encoding = TSInputEncodingUTF8;
    input.decode = nullptr;
    std::uint64_t budget = PARSE_BUDGET_BASE_CALLS + text.size() / PARSE_BUDGET_BYTES_PER_CALL;
    parsed.tree.reset(ts_parser_parse_with_options(parsed.parser.get(), nullptr, input,
                                                   TSParseOptions{&budget, is_over_parse_budget}));
    if (!parsed.tree) return CommandError{std::string(NO_TREE_MESSAGE)};
    return parsed;
}

}  // namespace brightloom
