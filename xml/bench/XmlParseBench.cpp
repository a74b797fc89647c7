// XmlParseBench.cpp
//
// Parse time against text size for the texts that would be quadratic if
// unended elements were closed one by one or end tags searched the whole
// open-element stack: start tags never ended, one end tag that closes a long
// run, and lone end tags below a deep stack. Each reports its complexity;
// all should come out O(N). Run by hand: bin/xml_parse_bench.
#include <benchmark/benchmark.h>

#include <string>

#include "XmlDocument.h"

namespace {

std::string Repeat(const char *psz, std::int64_t n)
{
    std::string str;
    for (std::int64_t i = 0; i < n; ++i)
        str += psz;
    return str;
}

void Parse(benchmark::State &state, const std::string &strText)
{
    for (auto _ : state) {
        CXmlDocument doc(strText.c_str());
        benchmark::DoNotOptimize(doc.PositionCount());
    }
    state.SetComplexityN(static_cast<std::int64_t>(strText.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * strText.size()));
}

// N bytes of "<a>": every element is found unended at the end of the text.
void UnendedStartTags(benchmark::State &state)
{
    Parse(state, Repeat("<a>", state.range(0) / 3));
}

// "<r>" then "<a>"s, closed as one run by "</r>".
void RunClosedByEndTag(benchmark::State &state)
{
    Parse(state, "<r>" + Repeat("<a>", state.range(0) / 3) + "</r>");
}

// Half the text opens elements, the other half is end tags none of them match.
void LoneEndTags(benchmark::State &state)
{
    Parse(state, Repeat("<a>", state.range(0) / 6) + Repeat("</b>", state.range(0) / 8));
}

} // namespace

BENCHMARK(UnendedStartTags)->RangeMultiplier(4)->Range(1 << 14, 1 << 20)
    ->Complexity(benchmark::oN)->Unit(benchmark::kMillisecond);
BENCHMARK(RunClosedByEndTag)->RangeMultiplier(4)->Range(1 << 14, 1 << 20)
    ->Complexity(benchmark::oN)->Unit(benchmark::kMillisecond);
BENCHMARK(LoneEndTags)->RangeMultiplier(4)->Range(1 << 14, 1 << 20)
    ->Complexity(benchmark::oN)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
