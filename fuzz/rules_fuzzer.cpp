// Fuzzes the intake rules parser and the matching of images against the
// rules: any text gives either usable rules or problems that name where they
// are, never a crash; parsing is deterministic; a match is a rule whose every
// condition holds and no earlier rule matches.
//
// Input: the rules text, then after a NUL byte the values of the condition
// tags, NUL-separated, in ConditionFields order. Values are matched whole:
// whatever the expression, matching takes time linear in their length.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "qa/IntakeRules.h"

namespace evenor::fuzz {
namespace {

void Check(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const std::string_view text = input.substr(0, split);

    const IntakeRules rules = ParseIntakeRules(text);
    const IntakeRules again = ParseIntakeRules(text);
    FUZZ_CHECK(rules.Problems == again.Problems);
    FUZZ_CHECK(rules.Rules.size() == again.Rules.size());
    if (rules.Problems.empty()) FUZZ_CHECK(!rules.Rules.empty());
    for (const auto& problem : rules.Problems) FUZZ_CHECK(!problem.empty());
    for (std::size_t i = 0; i < rules.Rules.size(); ++i) {
        const IntakeRule& rule = rules.Rules[i];
        FUZZ_CHECK(rule.Number == i + 1);
        FUZZ_CHECK(rule.Label().starts_with("rule " + std::to_string(i + 1)));
        if (rules.Problems.empty()) {
            FUZZ_CHECK(rule.Preset != nullptr);
            FUZZ_CHECK(!RuleSettingsText(rule).empty());
        }
    }
    if (!rules.Problems.empty() || split == std::string_view::npos) return;

    std::vector<TagEntry> tags;
    std::string_view rest = input.substr(split + 1);
    for (const auto& field : ConditionFields()) {
        const std::size_t end = rest.find('\0');
        std::string value(rest.substr(0, end));
        tags.push_back({std::string(field.Tag), value, "LO", ""});
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    const IntakeRule* match = MatchIntakeRule(rules, tags);
    const auto holds = [&](const IntakeRule& rule) {
        for (const auto& condition : rule.Conditions) {
            std::string value;
            for (const auto& tag : tags)
                if (tag.Tag == condition.Tag) value = tag.Value;
            if (!condition.Holds(value)) return false;
        }
        return true;
    };
    for (const auto& rule : rules.Rules) {
        if (&rule == match) {
            FUZZ_CHECK(holds(rule));
            break;
        }
        FUZZ_CHECK(!holds(rule));  // an earlier rule that holds would have won
    }
}

}  // namespace
}  // namespace evenor::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    evenor::fuzz::Check(data, size);
    return 0;
}
