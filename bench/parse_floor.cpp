// The floor that "outline" and "syntax-check" are measured against: a stock
// use of the tree-sitter runtime on text already in memory. For each file: a
// fresh parser, one full parse with the system allocator, the tree deleted,
// the parser deleted. Nothing of the module is linked in, so no allocator
// hook is installed.
//
//   parse_floor ROUNDS < list-of-paths
//
// Reads every listed file (one path a line) first, then parses them all
// ROUNDS times and prints "seconds<TAB>path" with each file's fastest round.
// Files whose extension has no grammar are left out.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <tree_sitter/api.h>

extern "C" {
const TSLanguage* tree_sitter_python(void);
const TSLanguage* tree_sitter_javascript(void);
const TSLanguage* tree_sitter_typescript(void);
const TSLanguage* tree_sitter_tsx(void);
const TSLanguage* tree_sitter_rust(void);
const TSLanguage* tree_sitter_json(void);
}

namespace {

const TSLanguage* grammar_for_path(std::string_view path) {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos) return nullptr;
    std::string extension(path.substr(dot + 1));
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == "py") return tree_sitter_python();
    if (extension == "js" || extension == "jsx" || extension == "mjs" || extension == "cjs") {
        return tree_sitter_javascript();
    }
    if (extension == "ts" || extension == "mts" || extension == "cts") return tree_sitter_typescript();
    if (extension == "tsx") return tree_sitter_tsx();
    if (extension == "rs") return tree_sitter_rust();
    if (extension == "json") return tree_sitter_json();
    return nullptr;
}

double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Source {
    std::string path;
    std::string text;
    const TSLanguage* grammar;
    double best = 1e30;
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    std::vector<Source> sources;
    for (std::string path; std::getline(std::cin, path);) {
        const TSLanguage* grammar = grammar_for_path(path);
        if (grammar == nullptr) continue;
        std::ifstream file(path, std::ios::binary);
        sources.push_back({path, std::string(std::istreambuf_iterator<char>(file), {}), grammar});
    }
    for (int round = 0; round < rounds; ++round) {
        for (Source& source : sources) {
            const double start = thread_seconds();
            TSParser* parser = ts_parser_new();
            ts_parser_set_language(parser, source.grammar);
            TSTree* tree = ts_parser_parse_string(parser, nullptr, source.text.data(),
                                                  static_cast<uint32_t>(source.text.size()));
            ts_tree_delete(tree);
            ts_parser_delete(parser);
            source.best = std::min(source.best, thread_seconds() - start);
        }
    }
    for (const Source& source : sources) std::printf("%.9f\t%s\n", source.best, source.path.c_str());
    return 0;
}
