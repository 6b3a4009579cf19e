// The outline against its floor: a bare tree-sitter parse of the same text.
// For each language about 1 MB of generated code is parsed by
// ts_parser_parse_with_options alone, then outlined by run_outline; the two
// rows of a language run side by side and report MB/s. A "paired" row
// alternates the two within each iteration and reports their time ratio; a
// last row times the walker alone on an already parsed tree. A 2 KB text
// shows the fixed costs of the command.
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <tree_sitter/api.h>

#include "base/json_value.h"
#include "commands/outline_command.h"
#include "host/run_command.h"
#include "outline/collect_symbols.h"
#include "bare_parse.h"
#include "languages/language_table.h"

namespace brightloom {
namespace {

// A large file, where the parse dominates, and a typical small one, where
// the fixed costs of the command (payload, reply) weigh most.
constexpr std::int64_t LARGE_BYTES = 1024 * 1024;
constexpr std::int64_t SMALL_BYTES = 2 * 1024;

struct Sample {
    std::string_view language;
    // Declarations repeated in turn; every "@" becomes a running number so
    // that no two names repeat.
    std::array<std::string_view, 4> pieces;
};

constexpr std::array SAMPLES{
    Sample{
        "python",
        {"import os\n\n\ndef load_@(path, mode=\"r\"):\n    with open(path, mode) as f:\n"
         "        return [line.strip() for line in f if line]\n\n\n",
         "@dataclass\nclass Record@:\n    name: str\n    size: int = 0\n\n"
         "    def grow(self, by):\n        self.size += by\n        return self\n\n"
         "    @property\n    def label(self):\n        return f\"{self.name}:{self.size}\"\n\n\n",
         "async def fetch_@(client, url):\n    response = await client.get(url)\n"
         "    if response.status != 200:\n        raise ValueError(url)\n"
         "    return await response.json()\n\n\n",
         "TABLE_@ = {\"a\": 1, \"b\": [1, 2, 3], \"c\": (4, 5)}\n\n\n"}},
    Sample{"javascript",
           {"export function load@(path, options = {}) {\n  const data = read(path, options);\n"
            "  return data.split(\"\\n\").filter(Boolean);\n}\n\n",
            "class Widget@ extends Base {\n  constructor(props) {\n    super(props);\n"
            "    this.state = { open: false };\n  }\n\n  toggle() {\n"
            "    this.setState({ open: !this.state.open });\n  }\n\n  render() {\n"
            "    return <div className=\"w\">{this.props.children}</div>;\n  }\n}\n\n",
            "const handler@ = async (event) => {\n  await queue.push(event.id);\n};\n\n",
            "function* range@(n) {\n  for (let i = 0; i < n; i++) yield i;\n}\n\n"}},
    Sample{
        "typescript",
        {"export interface Options@ {\n  verbose?: boolean;\n  retries: number;\n}\n\n",
         "export type Handler@<E> = (event: E) => Promise<void>;\n\n",
         "export abstract class Service@<T> implements Repository<T> {\n"
         "  private cache = new Map<string, T>();\n\n  abstract load(id: string): Promise<T>;\n\n"
         "  async find(id: string): Promise<T | undefined> {\n"
         "    if (!this.cache.has(id)) this.cache.set(id, await this.load(id));\n"
         "    return this.cache.get(id);\n  }\n}\n\n",
         "enum Color@ { Red, Green, Blue }\n\nfunction mix@(a: Color@, b: Color@): number {\n"
         "  return a + b;\n}\n\n"}},
    Sample{"tsx",
           {"type Props@ = { title: string; items: string[] };\n\n",
            "export function Card@({ title, items }: Props@): JSX.Element {\n  return (\n"
            "    <section>\n      <h1>{title}</h1>\n"
            "      <ul>{items.map((i) => <li key={i}>{i}</li>)}</ul>\n    </section>\n  );\n}\n\n",
            "export class Dialog@ extends React.Component<Props@, { open: boolean }> {\n"
            "  state = { open: false };\n\n  close(): void {\n    this.setState({ open: false });\n"
            "  }\n\n  render() {\n"
            "    return <div onClick={() => this.close()}>{this.props.title}</div>;\n  }\n}\n\n",
            "interface State@ {\n  open: boolean;\n}\n\n"}},
    Sample{
        "rust",
        {"#[derive(Debug, Clone)]\npub struct Stack@<T> {\n    items: Vec<T>,\n}\n\n",
         "impl<T: Clone> Stack@<T> {\n    pub fn new() -> Self {\n"
         "        Stack@ { items: Vec::new() }\n    }\n\n"
         "    pub fn push(&mut self, item: T) {\n        self.items.push(item);\n    }\n\n"
         "    pub fn pop(&mut self) -> Option<T> {\n        self.items.pop()\n    }\n}\n\n",
         "pub trait Shape@ {\n    fn area(&self) -> f64;\n    fn name(&self) -> String {\n"
         "        String::from(\"shape\")\n    }\n}\n\n",
         "pub enum Op@ {\n    Push(i32),\n    Pop,\n}\n\nfn apply@(ops: &[Op@]) -> i64 {\n"
         "    ops.iter().map(|op| match op { Op@::Push(v) => *v as i64, Op@::Pop => -1 }).sum()\n"
         "}\n\n"}},
};

std::string generate_source(const Sample& sample, std::int64_t target_bytes) {
    std::string text;
    for (std::size_t counter = 0; static_cast<std::int64_t>(text.size()) < target_bytes; ++counter) {
        for (char c : sample.pieces[counter % sample.pieces.size()]) {
            if (c == '@') {
                text += std::to_string(counter);
            } else {
                text += c;
            }
        }
    }
    return text;
}

// One fresh parse and release, as the parse routine does it.
void parse_once(const TSLanguage* grammar, std::string_view text) {
    const bench::BareParse parsed = bench::bare_parse_of(grammar, text);
    benchmark::DoNotOptimize(parsed.tree.get());
}

void bare_parse(benchmark::State& state, const Sample& sample) {
    const std::string source = generate_source(sample, state.range(0));
    const TSLanguage* grammar = grammar_for(sample.language);
    for (auto _ : state) parse_once(grammar, source);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}

// The walker alone, on a tree parsed once: what the outline adds to the parse.
void walk_only(benchmark::State& state, const Sample& sample) {
    const std::string source = generate_source(sample, state.range(0));
    std::string_view text = source;
    const bench::BareParse parsed = bench::bare_parse_of(grammar_for(sample.language), text);
    for (auto _ : state) {
        std::vector<OutlineSymbol> symbols;
        collect_symbols(ts_tree_root_node(parsed.tree.get()), text, *outline_rules_for(sample.language), 0, symbols);
        benchmark::DoNotOptimize(symbols.data());
    }
}

void outline(benchmark::State& state, const Sample& sample) {
    const JsonValue payload =
        JsonObject{{"content", generate_source(sample, state.range(0))}, {"language", sample.language}};
    const std::size_t size = find_field(payload, "content")->as_string()->size();
    for (auto _ : state) {
        Result<JsonValue> reply = execute_command("outline", payload);
        if (!reply.ok()) {
            state.SkipWithError(reply.error().message.c_str());
            break;
        }
        benchmark::DoNotOptimize(reply);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// The parse and the outline alternating within each iteration, timed
// separately, so that both meet the same machine load; the "ratio" counter
// is outline time over parse time.
void paired(benchmark::State& state, const Sample& sample) {
    using Clock = std::chrono::steady_clock;
    const JsonValue payload = JsonObject{{"content", generate_source(sample, state.range(0))},
                                         {"language", sample.language}};
    const std::string& source = *find_field(payload, "content")->as_string();
    const TSLanguage* grammar = grammar_for(sample.language);
    Clock::duration parse_time{};
    Clock::duration outline_time{};
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        parse_once(grammar, source);
        const Clock::time_point middle = Clock::now();
        Result<JsonValue> reply = execute_command("outline", payload);
        benchmark::DoNotOptimize(reply);
        outline_time += Clock::now() - middle;
        parse_time += middle - start;
    }
    state.counters["ratio"] = std::chrono::duration<double>(outline_time).count() /
                              std::chrono::duration<double>(parse_time).count();
}

}  // namespace
}  // namespace brightloom

int main(int argc, char** argv) {
    using namespace brightloom;
    for (const Sample& sample : SAMPLES) {
        const std::string language(sample.language);
        // Registered in pairs so that each parse row is followed by its
        // outline row.
        benchmark::RegisterBenchmark(("bare_parse/" + language).c_str(), bare_parse, sample)
            ->Arg(LARGE_BYTES)
            ->Arg(SMALL_BYTES)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("outline/" + language).c_str(), outline, sample)
            ->Arg(LARGE_BYTES)
            ->Arg(SMALL_BYTES)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("paired/" + language).c_str(), paired, sample)
            ->Arg(LARGE_BYTES)
            ->Arg(SMALL_BYTES)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("walk_only/" + language).c_str(), walk_only, sample)
            ->Arg(LARGE_BYTES)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
