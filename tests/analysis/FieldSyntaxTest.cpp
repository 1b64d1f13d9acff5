#include "analysis/FieldSyntax.h"

#include <clocale>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/AnalysisRun.h"

namespace evenor::test {
namespace {

struct IntegerCase {
    const char* text;
    std::optional<std::int32_t> value;  // empty: the text does not parse
};

TEST(FieldSyntaxTest, IntegerSyntax)
{
    const IntegerCase cases[] = {
        {" 12", 12},
        {"12 ", {}},
        {"", {}},
        {"   ", {}},
        {"+7", 7},
        {"-0", 0},
        {"-3", -3},
        {"$1F", 31},
        {"x1f", 31},
        {"X1F", 31},
        {"0x1F", 31},
        {"0X1f", 31},
        {"-$1F", {}},
        {"+0x10", {}},
        {"1.0", {}},
        {"2147483647", 2147483647},
        {"2147483648", {}},
        {"-2147483648", INT32_MIN},
        {"-2147483649", {}},
        {"$7FFFFFFF", 2147483647},
        {"$80000000", {}},
        {"-$80000000", {}},
        {"$", {}},
        {"0x", {}},
        {"+", {}},
        {"-", {}},
        {"1a", {}},
        {"0x1G", {}},
        {"\t1", {}},
        {"000000000000000000000012", 12},
        {"012", 12},
        {"1e2", {}},
        {"+-1", {}},
        {"$$1", {}},
        {"99999999999999999999999", {}},
        {"1 2", {}},
    };
    for (const auto& c : cases) {
        std::int32_t value = 12345;
        const bool ok = ParseInteger(c.text, value);
        EXPECT_EQ(ok, c.value.has_value()) << "[" << c.text << "]";
        EXPECT_EQ(value, c.value.value_or(12345)) << "[" << c.text << "]";  // untouched on failure
        EXPECT_EQ(IsPositiveInteger(c.text), c.value.has_value() && *c.value >= 0) << "[" << c.text << "]";
    }
}

TEST(FieldSyntaxTest, Integer64SyntaxHasTheWiderRange)
{
    const std::pair<const char*, std::optional<std::int64_t>> cases[] = {
        {"4294967297", 4294967297},
        {"9223372036854775807", INT64_MAX},
        {"9223372036854775808", {}},
        {"-9223372036854775808", INT64_MIN},
        {"$FFFFFFFF", 0xFFFFFFFF},
        {" -1", -1},
        {"1 ", {}},
    };
    for (const auto& [text, expected] : cases) {
        std::int64_t value = 0;
        ASSERT_EQ(ParseInteger64(text, value), expected.has_value()) << "[" << text << "]";
        if (expected) {
            EXPECT_EQ(value, *expected) << "[" << text << "]";
        }
    }
}

TEST(FieldSyntaxTest, RealSyntax)
{
    const std::pair<const char*, std::optional<double>> cases[] = {
        {"-2.5", -2.5},
        {"1e2", 100.0},
        {"0", 0.0},
        {"1,5", {}},
        {"", {}},
        {"  1.5", 1.5},
        {"1.5 ", {}},
        {"+.5", 0.5},
        {"5.", 5.0},
        {".", {}},
        {"e5", {}},
        {"1e", {}},
        {"1e+", {}},
        {"1E-2", 0.01},
        {"inf", {}},
        {"nan", {}},
        {"INF", {}},
        {"0x1p3", {}},
        {"1e400", {}},
        {"1e-400", 0.0},
        {"1.2.3", {}},
        {"--1", {}},
        {"+", {}},
        {"0.1", 0.1},
        {"12345678.9", 12345678.9},
        {"1 e2", {}},
        {"\t1", {}},
        {"00.25", 0.25},
        {"0.000e999999999999", 0.0},
    };
    for (const auto& [text, expected] : cases) {
        double value = 777.0;
        const bool ok = ParseReal(text, value);
        EXPECT_EQ(ok, expected.has_value()) << "[" << text << "]";
        EXPECT_EQ(IsNumber(text), expected.has_value()) << "[" << text << "]";
        if (expected && ok) {
            EXPECT_EQ(value, *expected) << "[" << text << "]";
        }
    }
}

TEST(FieldSyntaxTest, RealSyntaxIgnoresTheLocale)
{
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "locale de_DE.UTF-8 missing: run scripts/install-deps";
    double value = 0.0;
    const bool pointParses = ParseReal("2.5", value);
    const bool commaParses = IsNumber("2,5");
    std::setlocale(LC_ALL, "C");
    EXPECT_TRUE(pointParses);
    EXPECT_EQ(value, 2.5);
    EXPECT_FALSE(commaParses);
}

TEST(FieldSyntaxTest, PixelOffsetTakesTheWhole16BitRange)
{
    const std::pair<const char*, std::optional<std::uint16_t>> cases[] = {
        {"65535", 65535}, {"20000", 20000}, {"0", 0}, {"$FFFF", 65535},
        {"65536", {}},    {"-1", {}},       {"", {}}, {"16384", 16384},
    };
    for (const auto& [text, expected] : cases) {
        std::uint16_t value = 42;
        EXPECT_EQ(ParsePixelOffset(text, value), expected.has_value()) << "[" << text << "]";
        EXPECT_EQ(value, expected.value_or(42)) << "[" << text << "]";
    }
}

TEST(FieldSyntaxTest, FindTagValueMatchesTheTagColumnOnly)
{
    const std::vector<std::string> tagList = {
        "00080008, ORIGINAL\\00280101, CS, Image Type",  // the key inside a value
        "00100010, Doe, John, PN, Patient's Name",
        "00283000, , SQ, Modality LUT Sequence",
        "00280101, 12, US, Bits Stored",
        "00280101, 14, US, Bits Stored",
        "00281041, -1",
        "0028abcd, x, UN, ",
        "00280002",
        "0028",
    };
    struct Case {
        const char* tag;
        std::optional<std::string> value;
    };
    const Case cases[] = {
        {"00280101", "12"},   // first line of the tag, not the value that contains it
        {"00100010", "Doe"},  // cut at the first comma
        {"00283000", ""},     // empty value: found
        {"00281041", "-1"},   // the copy ends at the end of the line
        {"00280002", ""},     // a line holding only the tag
        {"0028ABCD", {}},     // case-sensitive
        {"00281040", {}},     // absent
        {"0028", {}},         // no partial tags
    };
    for (const auto& c : cases) {
        std::string value = "untouched";
        EXPECT_EQ(FindTagValue(tagList, c.tag, value), c.value.has_value()) << c.tag;
        EXPECT_EQ(value, c.value.value_or("untouched")) << c.tag;
    }
}

TEST(FieldSyntaxTest, DefaultsFromTags)
{
    constexpr const char* W1 = kWarningNotLinear;
    constexpr const char* W2 = kWarningLinearMissing;
    constexpr const char* W3 = kWarningSignNotRecognised;
    constexpr const char* W4 = kWarningSignMissing;
    struct Case {
        std::optional<std::string> relationship;  // value of 0028,1040; empty: absent
        std::optional<std::string> sign;          // value of 0028,1041
        std::optional<bool> logarithmic;
        std::optional<bool> inverted;
        std::vector<std::string> warnings;
    };
    const Case cases[] = {
        {"LIN ", "1", false, false, {}},    {"lin", "-1", false, true, {}},
        {"LINEAR", "-10", false, true, {}}, {"LOG", "10", true, false, {W1}},
        {"log", "1", true, false, {W1}},    {"XYZ", "1", {}, false, {W1}},
        {"LIN", "0", false, {}, {W3}},      {"LIN", "", false, {}, {W3}},
        {"LIN", "1x", false, false, {}},  // substring test
        {{}, {}, {}, {}, {W2, W4}},         {"XYZ", {}, {}, {}, {W1, W4}},
        {{}, "-1", {}, true, {W2}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> tagList = {"00080008, ORIGINAL\\00281040 LOG 00281041 -1, CS, Image Type"};
        if (c.relationship) tagList.push_back("00281040, " + *c.relationship + ", CS, Pixel Intensity Relationship");
        if (c.sign) tagList.push_back("00281041, " + *c.sign + ", SS, Pixel Intensity Relationship Sign");
        const TagDefaults defaults = DefaultsFromTags(tagList);
        const std::string label = c.relationship.value_or("(none)") + " / " + c.sign.value_or("(none)");
        EXPECT_EQ(defaults.Logarithmic, c.logarithmic) << label;
        EXPECT_EQ(defaults.Inverted, c.inverted) << label;
        EXPECT_EQ(defaults.Warnings, c.warnings) << label;
    }
}

TEST(FieldSyntaxTest, WholeImageAreaIsInclusiveAndZeroForAnEmptyImage)
{
    const ImageArea area = WholeImageArea(1024, 2048);
    EXPECT_EQ(area.FirstRow, 0u);
    EXPECT_EQ(area.FirstColumn, 0u);
    EXPECT_EQ(area.LastColumn, 2047u);
    EXPECT_EQ(area.LastRow, 1023u);
    const ImageArea empty = WholeImageArea(0, -1);
    EXPECT_EQ(empty.LastColumn, 0u);
    EXPECT_EQ(empty.LastRow, 0u);
}

}  // namespace
}  // namespace evenor::test
