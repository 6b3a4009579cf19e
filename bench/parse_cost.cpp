// What parsing each named file costs, in the units the parse limits count.
//
//   parse_cost [--unbounded] [--symbols] [--language NAME] FILE...
//   parse_cost --grammars          (the language names, one a line)
//   parse_cost --tokens NAME       (the grammar's literal tokens, one a line)
//
// Prints one line a file: language, bytes, work units and peak parser memory
// (with their share of the file's limits), processor seconds, the outcome,
// the path, then the parts of the work: parse operations, entries into error
// recovery (estimated), bytes lexed and bytes allocated. --unbounded lifts the
// limits, to see what a text would cost in full. The language comes from the
// file's extension unless --language names it; files without a grammar are
// passed over. --symbols adds the run of the "symbols" rules after the parse,
// counted as that command counts it. bench/parse_cost_bench.py drives it over
// a corpus and over generated pathological texts.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <string>

#include "languages/language_table.h"
#include "symbols/symbol_query.h"
#include "syntax/parse_source.h"

namespace {

double processor_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The language of a path for any command that parses it.
std::optional<std::string_view> parsed_language_of(std::string_view path) {
    using brightloom::LanguageCommand;
    for (LanguageCommand command : {LanguageCommand::syntax_check, LanguageCommand::symbols}) {
        if (auto language = brightloom::language_from_path(path, command)) return language;
    }
    return std::nullopt;
}

// Anonymous symbols are the grammar's literal tokens: keywords and punctuation.
int print_tokens(std::string_view language) {
    const TSLanguage* grammar = brightloom::grammar_for(language);
    if (grammar == nullptr) return 2;
    const std::uint32_t count = ts_language_symbol_count(grammar);
    for (std::uint32_t symbol = 1; symbol < count; ++symbol) {
        const auto id = static_cast<TSSymbol>(symbol);
        if (ts_language_symbol_type(grammar, id) != TSSymbolTypeAnonymous) continue;
        const char* name = ts_language_symbol_name(grammar, id);
        if (name != nullptr && std::strchr(name, '\n') == nullptr && name[0] != '\0') std::printf("%s\n", name);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace brightloom;
    bool unbounded = false;
    bool symbols = false;
    std::optional<std::string_view> forced_language;
    int first = 1;
    for (; first < argc; ++first) {
        const std::string_view option = argv[first];
        if (option == "--unbounded") {
            unbounded = true;
        } else if (option == "--symbols") {
            symbols = true;
        } else if (option == "--grammars") {
            for (const LanguageRow& row : language_table()) {
                if (row.grammar != nullptr) std::printf("%.*s\n", static_cast<int>(row.name.size()), row.name.data());
            }
            return 0;
        } else if ((option == "--tokens" || option == "--language") && first + 1 < argc) {
            if (option == "--tokens") return print_tokens(argv[first + 1]);
            forced_language = argv[++first];
        } else {
            break;
        }
    }
    std::printf("language\tbytes\twork\twork_share\tpeak_bytes\tmemory_share\tseconds\toutcome\tpath"
                "\toperations\trecoveries\tlexed_bytes\tallocated_bytes\n");
    for (int i = first; i < argc; ++i) {
        const std::string path = argv[i];
        const std::optional<std::string_view> language = forced_language ? forced_language : parsed_language_of(path);
        const TSLanguage* grammar = language ? grammar_for(*language) : nullptr;
        if (grammar == nullptr) continue;
        std::ifstream file(path, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const ParseLimits limits = parse_limits_for(text.size());
        // Compiled before the clock starts and outside any parse's arena.
        const SymbolQuery* query = nullptr;
        if (symbols) {
            Result<const SymbolQuery*> compiled = symbol_query_for(*language);
            if (compiled.ok()) query = *compiled;
        }
        const double start = processor_seconds();
        ParseCost cost;
        std::string outcome = "ok";
        {
            Result<ParsedSource> parsed = parse_source(grammar, text, unbounded ? UNLIMITED_PARSE : limits, &cost);
            if (!parsed.ok()) {
                outcome = parsed.error().message;
            } else if (query != nullptr) {
                Result<SymbolQueryRun> run = run_symbol_query(*query, *parsed, text);
                if (run.ok()) {
                    cost.work_units = run->work_units;
                } else {
                    outcome = run.error().message;
                }
                cost.peak_bytes = std::max(cost.peak_bytes, parsed->lease.usage().peak_held_bytes);
            }
        }
        const double seconds = processor_seconds() - start;
        std::printf("%.*s\t%zu\t%llu\t%.4f\t%zu\t%.4f\t%.4f\t%s\t%s\t%llu\t%llu\t%llu\t%llu\n",
                    static_cast<int>(language->size()), language->data(), text.size(),
                    static_cast<unsigned long long>(cost.work_units),
                    static_cast<double>(cost.work_units) / static_cast<double>(limits.work_units), cost.peak_bytes,
                    static_cast<double>(cost.peak_bytes) / static_cast<double>(limits.memory_bytes), seconds,
                    outcome.c_str(), path.c_str(), static_cast<unsigned long long>(cost.operations),
                    static_cast<unsigned long long>(cost.recoveries),
                    static_cast<unsigned long long>(cost.lexed_bytes),
                    static_cast<unsigned long long>(cost.allocated_bytes));
    }
    return 0;
}
