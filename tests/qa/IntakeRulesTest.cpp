#include "qa/IntakeRules.h"

#include <gtest/gtest.h>

#include "tests/cli/CliTestSupport.h"

namespace evenor::test {
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
         {"rule 1 (\"a\"), \"match.colour\": unknown tag",
          "rule 1 (\"a\"), \"match.modality\": not a regular expression",
          "rule 1 (\"a\"), \"settings.preset\": no such preset",
          "rule 1 (\"a\"), \"settings.box_cm\": A number is expected"}},
        {R"({"rules": [{"settings": {"offset": 70000, "inverted": "maybe", "area": [1, 2, 3]}}, "x"]})",
         {"rule 1, \"settings.inverted\": true, false or \"from tag\"",
          "rule 1, \"settings.area\": four values are expected", "rule 1, \"settings.offset\": A positive integer",
          "rule 2: a rule is an object"}},
        {R"({"rules": [{"settings": {"border_mm": -1, "speed": 3}}]})",
         {"rule 1, \"settings.speed\": unknown setting", "rule 1, \"settings.border_mm\": A number of millimetres"}},
        // What the expression engine refuses, with its own message.
        {R"j({"rules": [{"match": {"station": {"regex": "(R)\\1"}, "serial": {"regex": "SN(?=1)"},
                                   "model": {"regex": "(?<m>FP)"}}}]})j",
         {"rule 1, \"match.station\": not a regular expression: invalid escape sequence: \\1 (the syntax is RE2's",
          "rule 1, \"match.serial\": not a regular expression: invalid perl operator: (?=",
          "rule 1, \"match.model\": not a regular expression: invalid perl operator: (?<"}},
    };
    for (const auto& c : cases) {
        const IntakeRules rules = ParseIntakeRules(c.text);
        ASSERT_EQ(rules.Problems.size(), c.problems.size()) << c.text << "\n"
                                                            << ::testing::PrintToString(rules.Problems);
        for (std::size_t i = 0; i < c.problems.size(); ++i)
            EXPECT_TRUE(rules.Problems[i].starts_with(c.problems[i])) << rules.Problems[i];
    }
}

// Values that no image can take are found by the check, each of them, with
// the analysis' own message; what depends on the image is left to it.
TEST(IntakeRules, SettingsNoImageCanTakeAreEachAProblem)
{
    struct Case {
        const char* settings;
        std::vector<std::string> problems;
    };
    const std::string onAnyImage = "whatever the image: none has more than 65535 columns or rows";
    const std::vector<Case> cases{
        {R"({"box_cm": -1})", {"\"settings.box_cm\": Box dimension too small, the analysing box must be at least 2"}},
        {R"({"box_cm": 0})", {"\"settings.box_cm\": Box dimension too small"}},
        {R"({"box_cm": 1e9})", {"\"settings.box_cm\": Area smaller than box dimension, " + onAnyImage}},
        {R"({"area": [0, 0, 50, 50], "box_cm": 60})", {"\"settings.box_cm\": Area smaller than box dimension"}},
        {R"({"border_mm": 1e9})", {"\"settings.border_mm\": A border of 1e+09 mm on every side leaves nothing"}},
        {R"({"roi_deviation": -5})", {"\"settings.roi_deviation\": A percentage above 0 and below 100 is expected"}},
        {R"({"roi_deviation": 500})", {"\"settings.roi_deviation\": A percentage above 0 and below 100"}},
        {R"({"pixel_deviation": 0})", {"\"settings.pixel_deviation\": A percentage above 0 and below 100"}},
        {R"({"area": [100, 100, 50, 50]})", {"\"settings.area\": Area not correct"}},
        {R"({"area": "0,0,99999,99999"})", {"\"settings.area\": Area outside the image: no image has more than 65535"}},
        // Every problem of one rule, not only the first.
        {R"({"area": [9, 9, 0, 0], "box_cm": "x", "roi_deviation": 0, "pixel_deviation": 100, "offset": -1})",
         {"\"settings.box_cm\": A number is expected", "\"settings.offset\": A positive integer",
          "\"settings.area\": Area not correct", "\"settings.roi_deviation\": A percentage",
          "\"settings.pixel_deviation\": A percentage"}},
        // Some image takes these: a number as text, the largest area DICOM
        // allows, an area larger than most images (refused by the image).
        {R"({"box_cm": "1", "roi_deviation": 99.5, "pixel_deviation": 0.1})", {}},
        {R"({"area": [0, 0, 65534, 65534], "box_cm": 6553, "border_mm": 100})", {}},
        {R"({"area": [0, 0, 9000, 9000], "box_cm": 0.01, "preset": "european"})", {}},
    };
    for (const auto& c : cases) {
        const IntakeRules rules = ParseIntakeRules(std::string(R"({"rules": [{"settings": )") + c.settings + "}]}");
        ASSERT_EQ(rules.Problems.size(), c.problems.size()) << c.settings << "\n"
                                                            << ::testing::PrintToString(rules.Problems);
        for (std::size_t i = 0; i < c.problems.size(); ++i)
            EXPECT_TRUE(rules.Problems[i].starts_with("rule 1, " + c.problems[i])) << rules.Problems[i];
    }
}

// Whole-value matching of values of every length, with expressions that take
// a backtracking engine exponential time.
TEST(IntakeRules, RegularExpressionsMatchWholeValuesOfAnyLength)
{
    const IntakeRules rules = ParseIntakeRules(R"({"rules": [
        {"match": {"series_description": {"regex": "(a+)+b"}}},
        {"match": {"series_description": {"regex": "(x|xx)+y|Z\u00fcrich|FLAT.*"}}}
    ]})");
    ASSERT_TRUE(rules.Problems.empty()) << rules.Problems.front();
    struct Case {
        std::string value;
        std::size_t rule;  // 0: none
    };
    const std::vector<Case> cases{
        {std::string(64, 'a') + "b", 1},
        {std::string(5000, 'a') + "b", 1},
        {std::string(5000, 'a'), 0},
        {std::string(5000, 'a') + "bc", 0},
        {std::string(3000, 'x') + "y", 2},
        {"Z\xc3\xbcrich", 2},  // UTF-8 in the file and in the value: the same bytes
        {"FLAT FIELD " + std::string(2000, '-'), 2},
    };
    for (const auto& c : cases) {
        const IntakeRule* rule = MatchIntakeRule(rules, Tags({{"0008103E", c.value.c_str()}}));
        EXPECT_EQ(rule == nullptr ? 0 : rule->Number, c.rule) << c.value.size() << " characters";
    }
}

// An area is checked against each image when it comes: the check says so for
// the rules that set one, rather than only "no problem found".
TEST(IntakeRules, TheCheckSaysAnAreaIsCheckedAgainstEachImage)
{
    const test::TempFolder folder;
    test::WriteWholeFile(folder / "rules.json", R"({"rules": [{"name": "big", "settings": {"area": [0, 0, 2000, 2000]}},
                                                        {"name": "plain", "settings": {}}]})");
    const test::CliResult check = test::RunInProcess({"rules", "check", (folder / "rules.json").string()});
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_NE(check.out.find("rule 1 (\"big\"): every image\n    area 0,0,2000,2000: whether it lies inside the image "
                             "and holds the box is checked against each image\n"),
              std::string::npos)
        << check.out;
    EXPECT_EQ(check.out.find("plain\"): every image\n    area"), std::string::npos) << check.out;
}

}  // namespace
}  // namespace evenor::test
