// The syntax check against its floor: a bare tree-sitter parse of the same
// text. For each grammar about 1 MB of generated code is parsed by
// ts_parser_parse_with_options alone and then checked by run_syntax_check,
// side by side, in MB/s. The "faulty" rows repeat both on the same text with
// a syntax error planted in every fiftieth declaration, so the walk has to
// descend and stop at twenty items; the "walk_only" rows time that walk alone.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <tree_sitter/api.h>

#include "base/json_value.h"
#include "host/run_command.h"
#include "bare_parse.h"
#include "languages/language_table.h"
#include "syntax/syntax_errors.h"

namespace brightloom {
namespace {

constexpr std::size_t TARGET_BYTES = 1024 * 1024;
constexpr std::size_t FAULT_EVERY = 50;

struct Corpus {
    std::string_view language;
    // Declarations taken in turn; "~" becomes a running number so that no two
    // names repeat.
    std::array<std::string_view, 4> declarations;
    // Inserted after every FAULT_EVERY-th declaration in the faulty text.
    std::string_view fault;
};

constexpr std::array CORPORA{
    Corpus{"python",
           {"def parse_~(text, *, strict=False):\n    \"\"\"Split a record.\"\"\"\n"
            "    fields = [f.strip() for f in text.split(',')]\n"
            "    if strict and len(fields) != 3:\n        raise ValueError(text)\n"
            "    return dict(zip(('a', 'b', 'c'), fields))\n\n\n",
            "class Node~(Base):\n    __slots__ = ('left', 'right')\n\n"
            "    def __init__(self, left=None, right=None):\n"
            "        self.left, self.right = left, right\n\n"
            "    @staticmethod\n    def depth(node):\n"
            "        return 0 if node is None else 1 + max(Node~.depth(node.left), 1)\n\n\n",
            "async def poll_~(session, urls):\n    async with session:\n"
            "        for url in urls:\n            try:\n                yield await session.get(url)\n"
            "            except TimeoutError as exc:\n                log.warning('%s: %s', url, exc)\n\n\n",
            "LIMITS_~ = {'low': 1 << 4, 'high': 2 ** 16, 'names': {x for x in 'abc'}}\n\n"},
           "def broken_~(:\n    return (1,\n\n"},
    Corpus{"javascript",
           {"export async function fetchAll~(urls, { retries = 3 } = {}) {\n"
            "  const out = [];\n  for (const url of urls) {\n"
            "    out.push(await retry(() => fetch(url), retries));\n  }\n  return out;\n}\n\n",
            "class Store~ extends EventTarget {\n  #items = new Map();\n\n"
            "  get size() {\n    return this.#items.size;\n  }\n\n  set(key, value) {\n"
            "    this.#items.set(key, value);\n    this.dispatchEvent(new Event(`set:${key}`));\n"
            "  }\n}\n\n",
            "const View~ = ({ title, rows }) => (\n  <table title={title}>\n"
            "    {rows.map((r) => <tr key={r.id}><td>{r.name}</td></tr>)}\n  </table>\n);\n\n",
            "let total~ = [1, 2, 3].reduce((a, b) => a + b, 0) ?? 0;\n\n"},
           "function broken~( {\n  return [1, 2;\n\n"},
    Corpus{"typescript",
           {"export interface Request~ {\n  readonly id: string;\n  headers?: Record<string, string>;\n"
            "  body: unknown;\n}\n\n",
            "export class Queue~<T extends { id: string }> {\n  private readonly items: T[] = [];\n\n"
            "  constructor(private limit: number) {}\n\n  push(item: T): boolean {\n"
            "    if (this.items.length >= this.limit) return false;\n"
            "    this.items.push(item);\n    return true;\n  }\n}\n\n",
            "export type Result~<T, E = Error> = { ok: true; value: T } | { ok: false; error: E };\n\n",
            "export function pick~<T, K extends keyof T>(obj: T, keys: K[]): Pick<T, K> {\n"
            "  return keys.reduce((o, k) => ({ ...o, [k]: obj[k] }), {} as Pick<T, K>);\n}\n\n"},
           "let broken~: = (1, ;\n\n"},
    Corpus{"tsx",
           {"interface Props~ {\n  label: string;\n  onPick?: (value: number) => void;\n}\n\n",
            "export const Picker~: React.FC<Props~> = ({ label, onPick }) => {\n"
            "  const [value, setValue] = useState<number>(0);\n  return (\n"
            "    <label>\n      {label}\n"
            "      <input value={value} onChange={(e) => setValue(+e.target.value)} />\n"
            "      <button onClick={() => onPick?.(value)}>ok</button>\n    </label>\n  );\n};\n\n",
            "export default class Panel~ extends React.PureComponent<Props~> {\n"
            "  render(): JSX.Element {\n    return <div className=\"panel\">{this.props.label}</div>;\n"
            "  }\n}\n\n",
            "const identity~ = <T,>(value: T): T => value;\n\n"},
           "const broken~ = <div>{1 +}</span>;\n\n"},
    Corpus{"rust",
           {"#[derive(Debug, Clone, PartialEq)]\npub struct Point~<T> {\n    pub x: T,\n    pub y: T,\n}\n\n",
            "impl<T: Copy + std::ops::Add<Output = T>> Point~<T> {\n"
            "    pub fn sum(&self) -> T {\n        self.x + self.y\n    }\n\n"
            "    pub fn swap(self) -> Self {\n        Self { x: self.y, y: self.x }\n    }\n}\n\n",
            "pub trait Visit~ {\n    fn visit(&mut self, node: &Node) -> Result<(), String>;\n"
            "    fn done(&self) -> bool {\n        true\n    }\n}\n\n",
            "pub fn count~(words: &[&str]) -> HashMap<&str, usize> {\n"
            "    let mut map = HashMap::new();\n    for w in words {\n"
            "        *map.entry(*w).or_insert(0) += 1;\n    }\n    map\n}\n\n"},
           "fn broken~( {\n    let x = 1\n}\n\n"},
    Corpus{"json",
           {"{\"id\": ~, \"name\": \"item ~\", \"tags\": [\"a\", \"b\", \"c\"], \"price\": 12.5e0},\n",
            "{\"id\": ~, \"owner\": {\"login\": \"user~\", \"admin\": false, \"groups\": null}},\n",
            "{\"id\": ~, \"matrix\": [[1, 2, 3], [4, 5, 6]], \"label\": \"\\u00e9t\\u00e9\"},\n",
            "{\"id\": ~, \"history\": [{\"at\": \"2024-01-0~\", \"ok\": true}]},\n"},
           "{\"id\": ~ \"bad\": [1 2},\n"},
};

std::string expand(std::string_view pattern, std::size_t counter) {
    std::string out;
    for (const char c : pattern) {
        if (c == '~') {
            out += std::to_string(counter);
        } else {
            out += c;
        }
    }
    return out;
}

std::string generate_source(const Corpus& corpus, bool faulty) {
    const bool is_json = corpus.language == "json";
    std::string text = is_json ? "[\n" : "";
    for (std::size_t counter = 0; text.size() < TARGET_BYTES; ++counter) {
        text += expand(corpus.declarations[counter % corpus.declarations.size()], counter);
        if (faulty && counter % FAULT_EVERY == FAULT_EVERY - 1) text += expand(corpus.fault, counter);
    }
    if (is_json) text += "{\"end\": true}\n]\n";
    return text;
}

// The floor: what any syntax check has to pay.
void bare_parse(benchmark::State& state, const Corpus& corpus, bool faulty) {
    const std::string source = generate_source(corpus, faulty);
    std::string_view text = source;
    const TSLanguage* grammar = grammar_for(corpus.language);
    for (auto _ : state) {
        const bench::BareParse parsed = bench::bare_parse_of(grammar, text);
        benchmark::DoNotOptimize(parsed.tree.get());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}

void syntax_check(benchmark::State& state, const Corpus& corpus, bool faulty) {
    const JsonValue payload = JsonObject{{"content", generate_source(corpus, faulty)},
                                         {"language", corpus.language}};
    const std::size_t size = string_field(payload, "content")->size();
    for (auto _ : state) {
        Result<JsonValue> reply = execute_command("syntax-check", payload);
        if (!reply.ok()) {
            state.SkipWithError(reply.error().message.c_str());
            break;
        }
        if (*string_field(*reply, "language") != corpus.language ||
            (find_field(*reply, "valid")->as_bool() != nullptr &&
             *find_field(*reply, "valid")->as_bool() == faulty)) {
            state.SkipWithError("the generated text did not check as intended");
            break;
        }
        benchmark::DoNotOptimize(reply);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// The error walk alone on a tree parsed once: what the check adds to the parse.
void walk_only(benchmark::State& state, const Corpus& corpus, bool faulty) {
    const std::string source = generate_source(corpus, faulty);
    std::string_view text = source;
    const bench::BareParse parsed = bench::bare_parse_of(grammar_for(corpus.language), text);
    for (auto _ : state) {
        std::vector<SyntaxErrorItem> items = collect_syntax_errors(ts_tree_root_node(parsed.tree.get()), text);
        benchmark::DoNotOptimize(items.data());
    }
}

}  // namespace
}  // namespace brightloom

int main(int argc, char** argv) {
    using namespace brightloom;
    for (const bool faulty : {false, true}) {
        for (const Corpus& corpus : CORPORA) {
            const std::string suffix =
                std::string(corpus.language) + (faulty ? "/faulty" : "/valid");
            benchmark::RegisterBenchmark(("bare_parse/" + suffix).c_str(), bare_parse, corpus,
                                         faulty)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("syntax_check/" + suffix).c_str(), syntax_check, corpus,
                                         faulty)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("walk_only/" + suffix).c_str(), walk_only, corpus, faulty)
                ->Unit(benchmark::kMicrosecond);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
