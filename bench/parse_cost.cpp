// What parsing each named file costs, in the units the parse limits count.
//
//   parse_cost [--unbounded] FILE...
//
// Prints one line a file: language, bytes, work units and peak parser memory
// (with their share of the file's limits), processor seconds and the outcome.
// --unbounded lifts the limits, to see what a text would cost in full. The
// language comes from the file's extension; files without a grammar are
// passed over. bench/parse_cost_bench.py drives it over a corpus and over
// generated pathological texts.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>

#include "languages/language_table.h"
#include "syntax/parse_source.h"

namespace {

double processor_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace brightloom;
    bool unbounded = false;
    int first = 1;
    if (argc > 1 && std::strcmp(argv[1], "--unbounded") == 0) {
        unbounded = true;
        first = 2;
    }
    std::printf("language\tbytes\twork\twork_share\tpeak_bytes\tmemory_share\tseconds\toutcome\tpath\n");
    for (int i = first; i < argc; ++i) {
        const std::string path = argv[i];
        const std::optional<std::string_view> language = language_from_path(path, LanguageCommand::syntax_check);
        const TSLanguage* grammar = language ? grammar_for(*language) : nullptr;
        if (grammar == nullptr) continue;
        std::ifstream file(path, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const ParseLimits limits = parse_limits_for(text.size());
        const ParseLimits used = unbounded ? ParseLimits{std::numeric_limits<std::uint64_t>::max(),
                                                         std::numeric_limits<std::size_t>::max()}
                                           : limits;
        const double start = processor_seconds();
        std::uint64_t work = 0;
        std::size_t peak = 0;
        std::string outcome = "ok";
        {
            Result<ParsedSource> parsed = parse_source(grammar, text, used);
            if (parsed.ok()) {
                work = parsed->work_units;
                peak = parsed->lease.usage().peak_held_bytes;
            } else {
                outcome = parsed.error().message;
            }
        }
        const double seconds = processor_seconds() - start;
        std::printf("%.*s\t%zu\t%llu\t%.4f\t%zu\t%.4f\t%.4f\t%s\t%s\n", static_cast<int>(language->size()),
                    language->data(), text.size(), static_cast<unsigned long long>(work),
                    static_cast<double>(work) / static_cast<double>(limits.work_units), peak,
                    static_cast<double>(peak) / static_cast<double>(limits.memory_bytes), seconds,
                    outcome.c_str(), path.c_str());
    }
    return 0;
}
