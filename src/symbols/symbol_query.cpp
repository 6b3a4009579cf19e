#include "symbol_query.h"

#include <algorithm>
#include <array>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <utility>

#include "symbols/query_texts.h"
#include "languages/language_table.h"
#include "symbols/query_ranges.h"
#include "syntax/node_text.h"
#include "syntax/tree_cursor_owner.h"

namespace brightloom {
namespace {

constexpr std::array DEFINITION_KINDS{
    std::string_view{"class"}, std::string_view{"function"}, std::string_view{"method"},
    std::string_view{"variable"}, std::string_view{"constant"}, std::string_view{"field"},
    std::string_view{"property"}, std::string_view{"module"}, std::string_view{"namespace"},
    std::string_view{"struct"}, std::string_view{"enum"}, std::string_view{"enumerator"},
    std::string_view{"union"}, std::string_view{"trait"}, std::string_view{"impl"},
    std::string_view{"interface"}, std::string_view{"type"}, std::string_view{"macro"},
};

// Reference captures of the grammar packages and of our rules, and the kind
// each one reports. "class" stays for the caller to decide: a creation
// (`new X`) or a type use.
struct ReferenceAlias {
    std::string_view capture;
    std::string_view kind;
};
constexpr std::array REFERENCE_ALIASES{
    ReferenceAlias{"call", "call"},       ReferenceAlias{"send", "call"},
    ReferenceAlias{"new", "new"},         ReferenceAlias{"type", "type"},
    ReferenceAlias{"interface", "type"},  ReferenceAlias{"class", "class"},
    ReferenceAlias{"import", "import"},   ReferenceAlias{"macro", "macro"},
    ReferenceAlias{"implementation", "implementation"},
};

enum class CaptureRole : std::uint8_t { other, name, definition, reference, ignore };

struct CaptureInfo {
    CaptureRole role = CaptureRole::other;
    std::string_view kind;
};

CaptureInfo classify_capture(std::string_view capture) {
    if (capture == "name") return {CaptureRole::name, {}};
    if (capture == "ignore") return {CaptureRole::ignore, {}};
    constexpr std::string_view DEFINITION = "definition.";
    constexpr std::string_view REFERENCE = "reference.";
    if (capture.starts_with(DEFINITION)) {
        const std::string_view word = capture.substr(DEFINITION.size());
        for (std::string_view kind : DEFINITION_KINDS) {
            if (kind == word) return {CaptureRole::definition, kind};
        }
    } else if (capture.starts_with(REFERENCE)) {
        const std::string_view word = capture.substr(REFERENCE.size());
        for (const ReferenceAlias& alias : REFERENCE_ALIASES) {
            if (alias.capture == word) return {CaptureRole::reference, alias.kind};
        }
    }
    // Documentation, scopes and kinds outside the lists name nothing.
    return {};
}

// A text predicate of a pattern: #eq?, #match?, #any-of? and their #not-
// forms. Directives (#strip!, #set!, #select-adjacent!) shape editor
// displays and change nothing here.
struct TextPredicate {
    enum class Test : std::uint8_t { equals, matches, any_of };
    Test test = Test::equals;
    bool negated = false;
    std::uint32_t capture = 0;
    std::optional<std::uint32_t> other_capture;
    std::vector<std::string> values;
    std::optional<std::regex> pattern;
};

struct TSQueryDeleter {
    void operator()(TSQuery* query) const { ts_query_delete(query); }
};
struct TSQueryCursorDeleter {
    void operator()(TSQueryCursor* cursor) const { ts_query_cursor_delete(cursor); }
};

}  // namespace

class SymbolQuery {
public:
    std::unique_ptr<TSQuery, TSQueryDeleter> query;
    std::vector<CaptureInfo> captures;
    std::vector<std::vector<TextPredicate>> predicates;  // per pattern
};

namespace {

const char* query_error_word(TSQueryError error) {
    switch (error) {
        case TSQueryErrorSyntax: return "syntax error";
        case TSQueryErrorNodeType: return "unknown node type";
        case TSQueryErrorField: return "unknown field";
        case TSQueryErrorCapture: return "unknown capture";
        case TSQueryErrorStructure: return "impossible pattern";
        case TSQueryErrorLanguage: return "wrong language";
        default: return "error";
    }
}

// Reads one pattern's predicates; false when the pattern needs a predicate
// this runner cannot honour (#is? and #is-not? ask for a local-variable
// analysis), so the pattern is left out rather than over-match.
bool read_predicates(const TSQuery* query, std::uint32_t pattern, std::vector<TextPredicate>& out) {
    std::uint32_t step_count = 0;
    const TSQueryPredicateStep* steps = ts_query_predicates_for_pattern(query, pattern, &step_count);
    std::uint32_t begin = 0;
    for (std::uint32_t i = 0; i < step_count; ++i) {
        if (steps[i].type != TSQueryPredicateStepTypeDone) continue;
        const TSQueryPredicateStep* step = steps + begin;
        const std::uint32_t length = i - begin;
        begin = i + 1;
        if (length == 0 || step[0].type != TSQueryPredicateStepTypeString) continue;
        std::uint32_t name_length = 0;
        const char* name_text = ts_query_string_value_for_id(query, step[0].value_id, &name_length);
        std::string_view name(name_text, name_length);
        if (name == "is?" || name == "is-not?") return false;
        TextPredicate predicate;
        if (name.starts_with("not-")) {
            predicate.negated = true;
            name.remove_prefix(4);
        }
        if (name == "eq?") {
            predicate.test = TextPredicate::Test::equals;
        } else if (name == "match?") {
            predicate.test = TextPredicate::Test::matches;
        } else if (name == "any-of?") {
            predicate.test = TextPredicate::Test::any_of;
        } else {
            continue;
        }
        if (length < 3 || step[1].type != TSQueryPredicateStepTypeCapture) continue;
        predicate.capture = step[1].value_id;
        for (std::uint32_t arg = 2; arg < length; ++arg) {
            if (step[arg].type == TSQueryPredicateStepTypeCapture) {
                predicate.other_capture = step[arg].value_id;
                continue;
            }
            std::uint32_t value_length = 0;
            const char* value = ts_query_string_value_for_id(query, step[arg].value_id, &value_length);
            predicate.values.emplace_back(value, value_length);
        }
        if (predicate.test == TextPredicate::Test::matches && !predicate.values.empty()) {
            predicate.pattern.emplace(predicate.values.front(), std::regex::ECMAScript | std::regex::optimize);
        }
        out.push_back(std::move(predicate));
    }
    return true;
}

Result<std::unique_ptr<SymbolQuery>> compile_symbol_query(std::string_view language, std::string_view text) {
    const TSLanguage* grammar = grammar_for(language);
    std::uint32_t error_offset = 0;
    TSQueryError error = TSQueryErrorNone;
    auto compiled = std::make_unique<SymbolQuery>();
    compiled->query.reset(ts_query_new(grammar, text.data(), static_cast<std::uint32_t>(text.size()),
                                       &error_offset, &error));
    if (compiled->query == nullptr) {
        return CommandError{"symbol rules for " + std::string(language) + " do not compile: " +
                            query_error_word(error) + " at byte " + std::to_string(error_offset)};
    }
    TSQuery* query = compiled->query.get();
    const std::uint32_t capture_count = ts_query_capture_count(query);
    for (std::uint32_t id = 0; id < capture_count; ++id) {
        std::uint32_t length = 0;
        const char* name = ts_query_capture_name_for_id(query, id, &length);
        compiled->captures.push_back(classify_capture(std::string_view(name, length)));
    }
    const std::uint32_t pattern_count = ts_query_pattern_count(query);
    compiled->predicates.resize(pattern_count);
    for (std::uint32_t pattern = 0; pattern < pattern_count; ++pattern) {
        if (!read_predicates(query, pattern, compiled->predicates[pattern])) {
            ts_query_disable_pattern(query, pattern);
        }
    }
    return compiled;
}

bool holds(const TextPredicate& predicate, const TSQueryMatch& match, std::string_view text) {
    for (std::uint16_t i = 0; i < match.capture_count; ++i) {
        if (match.captures[i].index != predicate.capture) continue;
        const std::string_view subject = node_text(match.captures[i].node, text);
        bool result = false;
        switch (predicate.test) {
            case TextPredicate::Test::equals:
                if (predicate.other_capture) {
                    for (std::uint16_t j = 0; j < match.capture_count; ++j) {
                        if (match.captures[j].index == *predicate.other_capture) {
                            result = subject == node_text(match.captures[j].node, text);
                        }
                    }
                } else {
                    result = !predicate.values.empty() && subject == predicate.values.front();
                }
                break;
            case TextPredicate::Test::matches:
                result = predicate.pattern &&
                         std::regex_search(subject.begin(), subject.end(), *predicate.pattern);
                break;
            case TextPredicate::Test::any_of:
                result = std::find(predicate.values.begin(), predicate.values.end(), subject) !=
                         predicate.values.end();
                break;
        }
        if (result == predicate.negated) return false;
    }
    // A predicate on a capture the match does not hold (a quantified capture
    // that took no node) does not reject it.
    return true;
}

// The query's share of the request's work, in the parse's units.
struct QueryProgress {
    const ParsedSource* parsed = nullptr;
    ParseLimits limits;
    std::uint64_t handed_out_at_start = 0;
    std::uint64_t progress_calls = 0;

    std::uint64_t work() const {
        const std::uint64_t allocated = parsed->lease.usage().handed_out_bytes - handed_out_at_start;
        return parsed->work_units + progress_calls * OPERATIONS_PER_PROGRESS_CALL +
               allocated / ALLOCATED_BYTES_PER_UNIT;
    }
    bool over_limits() const { return parsed->lease.usage().over_limit || work() > limits.work_units; }
};

bool is_over_query_limits(TSQueryCursorState* state) {
    auto* progress = static_cast<QueryProgress*>(state->payload);
    ++progress->progress_calls;
    return progress->over_limits();
}

// Appends the accepted matches of the cursor's current run to `hits`.
void collect_hits(TSQueryCursor* cursor, const SymbolQuery& query, std::string_view text,
                  std::vector<QueryHit>& hits) {
    TSQueryMatch match;
    while (ts_query_cursor_next_match(cursor, &match)) {
        const std::vector<TextPredicate>& predicates = query.predicates[match.pattern_index];
        const bool accepted = std::all_of(predicates.begin(), predicates.end(),
                                          [&](const TextPredicate& p) { return holds(p, match, text); });
        if (!accepted) continue;
        std::optional<TSNode> name;
        std::optional<QueryHit> hit;
        for (std::uint16_t i = 0; i < match.capture_count; ++i) {
            const TSQueryCapture& capture = match.captures[i];
            const CaptureInfo& info = query.captures[capture.index];
            switch (info.role) {
                case CaptureRole::name:
                    if (!name) name = capture.node;
                    break;
                case CaptureRole::definition:
                case CaptureRole::reference:
                    if (!hit) {
                        const HitRole role =
                            info.role == CaptureRole::definition ? HitRole::definition : HitRole::reference;
                        hit = QueryHit{role, info.kind, {}, capture.node, match.pattern_index};
                    }
                    break;
                case CaptureRole::ignore:
                    hits.push_back(QueryHit{HitRole::ignore, {}, capture.node, capture.node, match.pattern_index});
                    break;
                case CaptureRole::other:
                    break;
            }
        }
        if (hit && name) {
            hit->name = *name;
            hits.push_back(*hit);
        }
    }
}

}  // namespace

Result<const SymbolQuery*> symbol_query_for(std::string_view language) {
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<SymbolQuery>, std::less<>> compiled;
    const std::lock_guard lock(mutex);
    if (auto found = compiled.find(language); found != compiled.end()) return found->second.get();
    const std::string_view text = embedded_query_text(language);
    if (text.empty() || grammar_for(language) == nullptr) return nullptr;
    Result<std::unique_ptr<SymbolQuery>> query = compile_symbol_query(language, text);
    if (!query.ok()) return std::move(query).error();
    return compiled.emplace(std::string(language), std::move(*query)).first->second.get();
}

Result<SymbolQueryRun> run_symbol_query(const SymbolQuery& query, const ParsedSource& parsed,
                                        std::string_view text) {
    QueryProgress progress{&parsed, parse_limits_for(text.size()), parsed.lease.usage().handed_out_bytes};
    std::vector<QueryHit> hits;
    {
        // Allocated in the request's arena, which is why it is deleted
        // before the lease ends.
        std::unique_ptr<TSQueryCursor, TSQueryCursorDeleter> cursor(ts_query_cursor_new());
        const TSQueryCursorOptions options{&progress, is_over_query_limits};
        // parse_source refused any text whose size does not fit 32 bits.
        const auto text_bytes = static_cast<std::uint32_t>(text.size());
        const QueryPlan plan = plan_symbol_query(parsed.root(), text_bytes);
        for (const ByteRange& range : plan.ranges) {
            if (progress.over_limits()) break;
            ts_query_cursor_set_byte_range(cursor.get(), range.start, range.end);
            ts_query_cursor_exec_with_options(cursor.get(), query.query.get(), parsed.root(), &options);
            collect_hits(cursor.get(), query, text, hits);
        }
        ts_query_cursor_set_byte_range(cursor.get(), 0, UINT32_MAX);
        for (const TSNode error : plan.large_errors) {
            TreeCursorOwner children(error);
            for (bool more = ts_tree_cursor_goto_first_child(children.get()); more && !progress.over_limits();
                 more = ts_tree_cursor_goto_next_sibling(children.get())) {
                const TSNode child = ts_tree_cursor_current_node(children.get());
                ts_query_cursor_exec_with_options(cursor.get(), query.query.get(), child, &options);
                collect_hits(cursor.get(), query, text, hits);
            }
        }
    }
    if (progress.over_limits()) {
        if (parsed.lease.usage().over_limit) return parse_memory_exceeded_error(progress.limits.memory_bytes >> 20);
        return parse_work_exceeded_error(progress.work());
    }
    return SymbolQueryRun{std::move(hits), progress.work()};
}

}  // namespace brightloom
