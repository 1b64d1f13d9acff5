// The intake rules' regular expressions on values of 10 to 10,000 characters:
// expressions with nested repetitions, which take a backtracking engine time
// exponential in the value's length, on values that almost match (the worst
// case for backtracking) and on values that match. The time per match must
// grow linearly with the length (the fitted complexity is printed).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "qa/IntakeRules.h"

namespace evenor::bench {
namespace {

constexpr const char* kSeriesDescription = "0008103E";

const IntakeRules& Rules(const std::string& expression)
{
    static std::vector<std::pair<std::string, IntakeRules>> parsed;
    for (const auto& [text, rules] : parsed)
        if (text == expression) return rules;
    parsed.emplace_back(expression, ParseIntakeRules(R"({"rules": [{"match": {"series_description": {"regex": ")" +
                                                     expression + R"("}}}]})"));
    return parsed.back().second;
}

// Matches a value of state.range(0) times `letter`, followed by `tail`, with
// the expression; `matches` is the answer it must give.
void MatchValue(benchmark::State& state, const std::string& expression, char letter, const std::string& tail,
                bool matches)
{
    const IntakeRules& rules = Rules(expression);
    if (!rules.Problems.empty()) {
        state.SkipWithError(rules.Problems.front().c_str());
        return;
    }
    const std::vector<TagEntry> tags{
        {kSeriesDescription, std::string(static_cast<std::size_t>(state.range(0)), letter) + tail, "LO", ""}};
    const IntakeRule* rule = nullptr;
    for (auto _ : state) {
        rule = MatchIntakeRule(rules, tags);
        benchmark::DoNotOptimize(rule);
    }
    if ((rule != nullptr) != matches) state.SkipWithError("the rule's answer is wrong");
    state.SetComplexityN(state.range(0));
}

void Lengths(benchmark::internal::Benchmark* b)
{
    b->RangeMultiplier(10)->Range(10, 10'000)->Unit(benchmark::kMicrosecond)->Complexity(benchmark::oN);
}

BENCHMARK_CAPTURE(MatchValue, nested_plus_no_b, std::string("(a+)+b"), 'a', std::string(), false)->Apply(Lengths);
BENCHMARK_CAPTURE(MatchValue, nested_plus_b, std::string("(a+)+b"), 'a', std::string("b"), true)->Apply(Lengths);
BENCHMARK_CAPTURE(MatchValue, thrice_nested_no_b, std::string("((a+)+)+b"), 'a', std::string(), false)->Apply(Lengths);
BENCHMARK_CAPTURE(MatchValue, alternation_no_y, std::string("(x|xx)+y"), 'x', std::string(), false)->Apply(Lengths);
BENCHMARK_CAPTURE(MatchValue, star_star_mismatch, std::string("(.*a){12}"), 'a', std::string("!"), false)
    ->Apply(Lengths);

}  // namespace
}  // namespace evenor::bench
