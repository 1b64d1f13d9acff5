#include "cli/IntakeRules.h"

#include <gtest/gtest.h>

namespace evenor {
namespace {

std::vector<TagEntry> Tags(std::initializer_list<std::pair<const char*, const char*>> values)
{
    std::vector<TagEntry> tags;
    for (const auto& [tag, value] : values) tags.push_back({tag, value, "CS", ""});
    return tags;
}

TEST(IntakeRules, TheShippedExampleIsUsableAndItsLastRuleTakesEveryProjectionImage)
{
    const IntakeRules rules = ReadIntakeRules(EVENOR_SOURCE_DIR "/docs/rules-example.json");
    ASSERT_TRUE(rules.Problems.empty()) << rules.Problems.front();
    ASSERT_GE(rules.Rules.size(), 1u);
    const IntakeRule& last = rules.Rules.back();
    EXPECT_TRUE(last.Record);
    for (const char* modality : {"DX", "CR", "MG"}) {
        // Padding as stored ("DX" is even; "CR " would not be) does not matter.
        const IntakeRule* rule = MatchIntakeRule(rules, Tags({{"00080060", modality}, {"00081010", "ELSEWHERE "}}));
        ASSERT_NE(rule, nullptr) << modality;
        if (std::string(modality) != "MG") EXPECT_EQ(rule, &last) << modality;
    }
    EXPECT_EQ(MatchIntakeRule(rules, Tags({{"00080060", "CT"}})), nullptr);
    EXPECT_EQ(MatchIntakeRule(rules, Tags({{"00080060", "DXA"}})), nullptr);  // the whole value must match
    EXPECT_EQ(MatchIntakeRule(rules, {}), nullptr);
}

TEST(IntakeRules, FirstMatchingRuleWinsAndGivesItsSettings)
{
    const IntakeRules rules = ParseIntakeRules(R"({"rules": [
        {"name": "room 1", "match": {"station": "ROOM 1", "detector_id": {"regex": "D-[0-9]+"}},
         "settings": {"area": [10, 20, 500, 600], "box_cm": 0.5, "preset": "european", "inverted": false}},
        {"name": "no id", "match": {"detector_id": ""}, "settings": {"detect": false, "offset": "$10"}},
        {"match": {}, "settings": {"record": true, "decompress": true, "pixel_deviation": 12.5}}
    ]})");
    ASSERT_TRUE(rules.Problems.empty()) << rules.Problems.front();
    struct Case {
        const char* name;
        std::vector<TagEntry> tags;
        std::size_t rule;
    };
    const std::vector<Case> cases{
        {"both conditions", Tags({{"00081010", "ROOM 1"}, {"0018700A", "D-42"}}), 1},
        {"regex must match the whole value", Tags({{"00081010", "ROOM 1"}, {"0018700A", "D-42x"}}), 3},
        {"missing element is empty", Tags({{"00081010", "ROOM 1"}}), 2},
        {"exact text, not a prefix", Tags({{"00081010", "ROOM 10"}, {"0018700A", "D-1"}}), 3},
    };
    for (const auto& c : cases) {
        const IntakeRule* rule = MatchIntakeRule(rules, c.tags);
        ASSERT_NE(rule, nullptr) << c.name;
        EXPECT_EQ(rule->Number, c.rule) << c.name;
    }
    const IntakeRule& first = rules.Rules[0];
    EXPECT_EQ(first.Options.Area, "10,20,500,600");
    EXPECT_EQ(first.Options.BoxCm, "0.5");
    EXPECT_EQ(first.Options.RoiDev, "15");  // the preset's percentages
    EXPECT_EQ(first.Preset->Name, "european");
    EXPECT_TRUE(first.Options.NotInverted);
    EXPECT_EQ(rules.Rules[1].PixelOffset, 16);
    EXPECT_TRUE(rules.Rules[1].Options.NoDetect);
    EXPECT_EQ(rules.Rules[2].Options.PixelDev, "12.5");
    EXPECT_TRUE(rules.Rules[2].Record && rules.Rules[2].Decompress);
    EXPECT_EQ(rules.Rules[2].Preset, &DefaultPreset());
}

TEST(IntakeRules, EveryProblemNamesTheRuleAndTheField)
{
    struct Case {
        const char* text;
        std::vector<std::string> problems;
    };
    const std::vector<Case> cases{
        {"{", {"not a rules file: "}},
        {"[]", {"not a rules file: an object with a \"rules\" array is expected"}},
        {R"({"rules": []})", {"the file has no rules: no image would be analysed"}},
        {R"({"rules": [{"name": "a", "match": {"colour": "red", "modality": {"regex": "DX("}},
                        "settings": {"box_cm": "abc", "preset": "none"}}]})",
         {"rule 1 (\"a\"), \"match.colour\": unknown tag", "rule 1 (\"a\"), \"match.modality\": not a regular expression",
          "rule 1 (\"a\"), \"settings.preset\": no such preset", "rule 1 (\"a\"), \"settings.box_cm\": A number is expected"}},
        {R"({"rules": [{"settings": {"offset": 70000, "inverted": "maybe", "area": [1, 2, 3]}}, "x"]})",
         {"rule 1, \"settings.inverted\": true, false or \"from tag\"", "rule 1, \"settings.area\": four values are expected",
          "rule 2: a rule is an object"}},
        {R"({"rules": [{"settings": {"border_mm": -1, "speed": 3}}]})",
         {"rule 1, \"settings.speed\": unknown setting", "rule 1, \"settings.border_mm\": A number of millimetres"}},
    };
    for (const auto& c : cases) {
        const IntakeRules rules = ParseIntakeRules(c.text);
        ASSERT_EQ(rules.Problems.size(), c.problems.size()) << c.text << "\n" << ::testing::PrintToString(rules.Problems);
        for (std::size_t i = 0; i < c.problems.size(); ++i)
            EXPECT_TRUE(rules.Problems[i].starts_with(c.problems[i])) << rules.Problems[i];
    }
}

}  // namespace
}  // namespace evenor
