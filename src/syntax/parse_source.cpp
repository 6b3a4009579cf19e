#include "parse_source.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <string>

#include "base/interrupt_check.h"
#include "syntax/recovery_sampler.h"
#include "text/utf8.h"

namespace brightloom {
namespace {

constexpr std::uint32_t MIN_ABI_VERSION = 13;
constexpr std::uint32_t MAX_ABI_VERSION = 15;

// Broken text can make the parser's error recovery quadratic: every retry
// lexes an unterminated comment or string to the end of the text again, or
// rebuilds an ever longer error node, or enters error recovery at every
// token. Steps alone do not show it (each step gets dearer), so the work of a
// parse is counted in four currencies that all grow with what the parser
// really does:
//  - parse operations: the runtime reports every hundred of them;
//  - bytes handed to the lexer: the text is given out in small pieces, so a
//    lexer running over the same text again asks for it again;
//  - bytes the arena hands out, freed or not: rebuilding big nodes shows here;
//  - entries into error recovery, estimated by sampling: each one tries every
//    token of the grammar on every stack version, about as much processor
//    time as RECOVERY_UNITS_PER_TOKEN units of the other kinds for each of
//    the grammar's literal tokens.
// Counting, not timing, gives every machine the same answer.
constexpr std::uint32_t LEXER_PIECE_BYTES = 4096;
constexpr std::uint64_t RECOVERY_UNITS_PER_TOKEN = 16;
// A Ctrl-C is looked for every few progress reports: often enough to stop
// within milliseconds even in the slowest error recovery, rarely enough to
// cost nothing measurable.
constexpr std::uint64_t PROGRESS_CALLS_PER_INTERRUPT_CHECK = 4;

// The densest valid texts (1 MiB of `x=1` lines, of `1,` in a literal
// table, of empty statements) take up to 34 units and 450 bytes of parser
// memory a byte; real sources far less (see bench/parse_cost_bench.py). Every
// kind of unit costs this machine's processor about the same, 30 to 60
// million units a second, so 1 MiB of anything is answered or refused within
// about 1.4 seconds.
constexpr std::uint64_t BASE_WORK_UNITS = 4'000'000;
constexpr std::uint64_t WORK_UNITS_PER_BYTE = 36;
constexpr std::size_t BASE_MEMORY_BYTES = 32u << 20;
constexpr std::size_t MEMORY_BYTES_PER_TEXT_BYTE = 448;
// Past the memory limit a parse stops at its next progress report, with the
// runtime's own clean-up. Some error recoveries allocate hundreds of
// megabytes within one operation, so a little further on the allocator
// stops the parse by exception.
constexpr std::size_t HARD_MEMORY_BASE_BYTES = 8u << 20;
constexpr std::size_t HARD_MEMORY_BYTES_PER_TEXT_BYTE = 8;

struct ParseProgress {
    std::string_view text;
    const ArenaLease* lease = nullptr;
    RecoverySampler* recoveries = nullptr;
    std::uint64_t units_per_recovery = 0;
    ParseLimits limits;
    std::uint64_t lexed_bytes = 0;
    std::uint64_t progress_calls = 0;
    bool interrupted = false;
    bool memory_exhausted = false;

    bool over_limits() const {
        return memory_exhausted || lease->usage().over_limit || work() > limits.work_units;
    }

    ParseCost cost() const {
        const ArenaUsage usage = lease->usage();
        return ParseCost{work(), progress_calls * OPERATIONS_PER_PROGRESS_CALL,
                         recoveries->estimated_recoveries(), lexed_bytes, usage.handed_out_bytes,
                         usage.peak_held_bytes};
    }

    std::uint64_t work() const {
        return progress_calls * OPERATIONS_PER_PROGRESS_CALL + lexed_bytes +
               lease->usage().handed_out_bytes / ALLOCATED_BYTES_PER_UNIT +
               recoveries->estimated_recoveries() * units_per_recovery;
    }
};

// TSInput read function: hands the lexer the text from `byte_index` in
// pieces of about LEXER_PIECE_BYTES, in place, each ending before a
// character's first byte when the text goes on. An offset at or past the end
// gets an empty piece, which the runtime takes as the end of the document.
const char* read_text_piece(void* payload, std::uint32_t byte_index, TSPoint /*position*/,
                            std::uint32_t* bytes_read) {
    auto* progress = static_cast<ParseProgress*>(payload);
    const std::string_view text = progress->text;
    // Past the limits the lexer sees the end of the text, so a scan running
    // to the end again and again stops at once; the parse is discarded.
    if (byte_index >= text.size() || progress->over_limits()) {
        *bytes_read = 0;
        return "";
    }
    std::size_t end = std::min<std::size_t>(text.size(), std::size_t{byte_index} + LEXER_PIECE_BYTES);
    while (end < text.size() && end > byte_index + 1u && is_utf8_continuation(text[end])) --end;
    // parse_source refuses texts whose size does not fit 32 bits.
    *bytes_read = static_cast<std::uint32_t>(end - byte_index);
    progress->lexed_bytes += *bytes_read;
    return text.data() + byte_index;
}

// Progress callback: true abandons the parse.
bool is_over_parse_limits(TSParseState* state) {
    auto* progress = static_cast<ParseProgress*>(state->payload);
    ++progress->progress_calls;
    progress->recoveries->on_progress();
    if (progress->progress_calls % PROGRESS_CALLS_PER_INTERRUPT_CHECK == 0 && is_interrupted()) {
        progress->interrupted = true;
        return true;
    }
    return progress->over_limits();
}

// What one entry into error recovery costs: the runtime looks up every token
// of the grammar, and the anonymous symbols are its literal tokens.
std::uint64_t units_per_recovery(const TSLanguage* grammar) {
    std::uint64_t tokens = 1;
    const std::uint32_t symbols = ts_language_symbol_count(grammar);
    for (std::uint32_t symbol = 1; symbol < symbols; ++symbol) {
        if (ts_language_symbol_type(grammar, static_cast<TSSymbol>(symbol)) == TSSymbolTypeAnonymous) ++tokens;
    }
    return tokens * RECOVERY_UNITS_PER_TOKEN;
}

CommandError too_costly_error(const ParseProgress& progress) {
    if (progress.memory_exhausted || progress.lease->usage().over_limit) {
        return parse_memory_exceeded_error(progress.limits.memory_bytes >> 20);
    }
    return parse_work_exceeded_error(progress.work());
}

}  // namespace

ParseLimits parse_limits_for(std::size_t text_bytes) {
    return ParseLimits{BASE_WORK_UNITS + WORK_UNITS_PER_BYTE * text_bytes,
                       BASE_MEMORY_BYTES + MEMORY_BYTES_PER_TEXT_BYTE * text_bytes};
}

Result<ParsedSource> parse_source(const TSLanguage* grammar, std::string_view text) {
    return parse_source(grammar, text, parse_limits_for(text.size()));
}

Result<ParsedSource> parse_source(const TSLanguage* grammar, std::string_view text, ParseLimits limits,
                                  ParseCost* cost) {
    // The runtime keeps byte offsets in 32 bits; a larger text would have its
    // positions wrap around and every reported line and column would be wrong.
    if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
        return fixed_error(TOO_LARGE_TO_PARSE_MESSAGE);
    }

    ParsedSource parsed{ArenaLease(limits.memory_bytes), ParserOwner(ts_parser_new()), nullptr};

    const std::uint32_t version = ts_language_abi_version(grammar);
    if (version < MIN_ABI_VERSION || version > MAX_ABI_VERSION ||
        !ts_parser_set_language(parsed.parser.get(), grammar)) {
        return incompatible_language_version_error(version, MIN_ABI_VERSION, MAX_ABI_VERSION);
    }

    // `progress` lives on this frame for the whole parse; the runtime copies
    // what it keeps into the tree, so the payload pointer does not escape.
    RecoverySampler recoveries(parsed.parser.get(), text);
    ParseProgress progress{text, &parsed.lease, &recoveries, units_per_recovery(grammar), limits};
    TSInput input{};
    input.payload = &progress;
    input.read = read_text_piece;
    input.encoding = TSInputEncodingUTF8;
    input.decode = nullptr;
    // The text is under 4 GiB, so the margin cannot overflow; only an
    // unlimited memory limit has to stay unlimited.
    const std::size_t margin = HARD_MEMORY_BASE_BYTES + HARD_MEMORY_BYTES_PER_TEXT_BYTE * text.size();
    parsed.lease.set_hard_limit(limits.memory_bytes > SIZE_MAX - margin ? SIZE_MAX : limits.memory_bytes + margin);
    try {
        parsed.tree = ts_parser_parse_with_options(parsed.parser.get(), nullptr, input,
                                                   TSParseOptions{&progress, is_over_parse_limits});
    } catch (const ArenaLimitExceeded&) {
        progress.memory_exhausted = true;
    } catch (...) {
        recoveries.finish();
        // Out of memory: the parser is half-updated, as below, and the
        // exception goes on to become MemoryError.
        parsed.lease.set_hard_limit(SIZE_MAX);
        (void)parsed.parser.release();
        throw;
    }
    recoveries.finish();
    parsed.lease.set_hard_limit(SIZE_MAX);
    if (cost != nullptr) *cost = progress.cost();
    if (progress.memory_exhausted) {
        // Left in the middle of an operation, the parser's state is
        // half-updated and must not be walked by its delete. The lease gives
        // its memory back with the rest of the arena.
        (void)parsed.parser.release();
        return too_costly_error(progress);
    }
    // The caller's own reason wins; the parse is discarded.
    if (progress.interrupted) return os_error(EINTR);
    // A tree finished after the lexer was cut off is not the text's tree.
    if (progress.over_limits()) return too_costly_error(progress);
    if (parsed.tree == nullptr) {
        return fixed_error(NO_TREE_MESSAGE);
    }
    parsed.work_units = progress.work();
    return parsed;
}

}  // namespace brightloom
