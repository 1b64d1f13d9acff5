// The data dictionary: the built-in text, splitting and sorting a text, the
// substring lookup, and loading DicomLibrary.txt from the working directory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "dicom/DicomDictionary.h"
#include "dicom/DicomLib.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDicomWriter.h"

namespace evenor::test {
namespace {

using namespace std::string_literals;

struct Found {
    std::string vr;
    std::string description;
    bool operator==(const Found&) const = default;
};

std::optional<Found> Lookup(std::uint32_t tag)
{
    std::string vr = "??";
    std::string description = "stale";
    if (!LookupTag(tag, vr, description)) {
        EXPECT_EQ(description, "");
        return std::nullopt;
    }
    return Found{vr, description};
}

std::vector<std::string> BuiltInLines()
{
    std::vector<std::string> lines;
    std::string_view text = BuiltInDictionary;
    for (;;) {
        const auto pos = text.find("\r\n");
        lines.emplace_back(text.substr(0, pos));
        if (pos == std::string_view::npos) break;
        text.remove_prefix(pos + 2);
    }
    return lines;
}

class DictionaryTest : public testing::Test {
protected:
    void TearDown() override { LoadDicomDictionaryFromText(BuiltInDictionary); }
};

TEST_F(DictionaryTest, BuiltInTextShape)
{
    const auto lines = BuiltInLines();
    // Its size and rows are the generator's (scripts/test regenerates and
    // compares); here: lines broken by CR LF only, none after the last.
    ASSERT_GT(lines.size(), 1u);
    EXPECT_EQ(lines.front(), "00020010=UITransfer Syntax UID");
    EXPECT_EQ(lines.back(), "FFFEE0DD=naSequence Delimitation Item");
    const auto breaks = static_cast<std::ptrdiff_t>(lines.size() - 1);
    EXPECT_EQ(std::count(BuiltInDictionary.begin(), BuiltInDictionary.end(), '\n'), breaks);
    EXPECT_EQ(std::count(BuiltInDictionary.begin(), BuiltInDictionary.end(), '\r'), breaks);
    const std::regex layout("[0-9A-F]{8}=[A-Za-z]{2}[ -~]+");
    std::set<std::string> keys;
    for (const auto& line : lines) {
        EXPECT_TRUE(std::regex_match(line, layout)) << line;
        EXPECT_TRUE(keys.insert(line.substr(0, 8)).second) << "duplicate key " << line;
    }
    // Rows other code relies on, exactly.
    for (const char* row :
         {"00080023=DAImage Date", "00200013=ISImage Number", "00180060=DSkVp", "00181153=ISExposure in uAs",
          "00181164=DSImager Pixel Spacing", "00181628=FDReference Pixel Physical Value X",
          "00187022=DSDetector Element Spacing", "00280010=USRows", "00280011=USColumns", "00280030=DSPixel Spacing",
          "00280100=USBits Allocated", "00280101=USBits Stored", "00281040=CSPixelIntensity Relationship",
          "00281041=SSPixelIntensity Relationship Sign", "00281201=USRed Palette Color Lookup Table Data",
          "00283002=xsLUT Descriptor", "7FE00010=OXPixel Data", "FFFEE000=naItem"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), row), lines.end()) << row;
}

TEST_F(DictionaryTest, BuiltInLookups)
{
    LoadDicomDictionaryFromText(BuiltInDictionary);
    EXPECT_EQ(Lookup(0x00280010), (Found{"US", "Rows"}));
    EXPECT_EQ(Lookup(0x00181628), (Found{"FD", "Reference Pixel Physical Value X"}));
    EXPECT_EQ(Lookup(0x7FE00010), (Found{"OX", "Pixel Data"}));
    EXPECT_EQ(Lookup(0x00880200), std::nullopt);
    EXPECT_EQ(Lookup(0x00186028), std::nullopt);
    EXPECT_EQ(Lookup(0x00020001), std::nullopt);
}

struct TextCase {
    std::string name;
    std::string text;
    std::vector<std::pair<std::uint32_t, std::optional<Found>>> lookups;
};

class DictionaryTextTest : public testing::TestWithParam<TextCase> {
protected:
    void TearDown() override { LoadDicomDictionaryFromText(BuiltInDictionary); }
};

TEST_P(DictionaryTextTest, LooksUpAsExpected)
{
    LoadDicomDictionaryFromText(GetParam().text);
    for (const auto& [tag, expected] : GetParam().lookups) EXPECT_EQ(Lookup(tag), expected) << std::hex << tag;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DictionaryTextTest,
    testing::Values(
        TextCase{"OneLineReplacesEverything",
                 "00280010=USNumber of rows",
                 {{0x00280010, Found{"US", "Number of rows"}}, {0x00280011, std::nullopt}}},
        TextCase{"EmptyTextFindsNothing", "", {{0x00280010, std::nullopt}}},
        TextCase{"LowerCaseKeyNeverMatches", "0008103e=LOSeries Description", {{0x0008103E, std::nullopt}}},
        TextCase{
            "UpperCaseKeyMatches", "0008103E=LOSeries Description", {{0x0008103E, Found{"LO", "Series Description"}}}},
        TextCase{"FirstInCaseInsensitiveOrderWins",
                 "00100010=PNPatient's Name\r\n00100010=LOName",
                 {{0x00100010, Found{"LO", "Name"}}}},
        TextCase{"CaseFoldedOrderBeatsByteOrder", "00100010=PNb\r\n00100010=pna", {{0x00100010, Found{"pn", "a"}}}},
        TextCase{
            "EqualIgnoringCaseKeepsTextOrder", "00100010=PNsame\n00100010=pnSAME", {{0x00100010, Found{"PN", "same"}}}},
        TextCase{"EqualIgnoringCaseKeepsTextOrderReversed",
                 "00100010=pnSAME\n00100010=PNsame",
                 {{0x00100010, Found{"pn", "SAME"}}}},
        TextCase{
            "EveryKindOfLineBreak",
            "00000001=AAone\r00000002=BBtwo\n00000003=CCthree\r\n00000004=DDfour\r\n\r\n",
            {{1, Found{"AA", "one"}}, {2, Found{"BB", "two"}}, {3, Found{"CC", "three"}}, {4, Found{"DD", "four"}}}},
        TextCase{
            "NulEndsTheText", "00000001=AAone\r\n\0\r\n00000002=BBtwo"s, {{1, Found{"AA", "one"}}, {2, std::nullopt}}},
        TextCase{
            "KeyAnywhereInALine", "7FE00010=OXPixel Data 00280100", {{0x00280100, Found{"OX", "Pixel Data 00280100"}}}},
        TextCase{"ShortLines",
                 "00000001\r\n00000002=U\r\n00000003=US",
                 {{1, Found{"  ", ""}}, {2, Found{"U ", ""}}, {3, Found{"US", ""}}}},
        TextCase{"NothingTrimmed", " 00000001= Sname \r\n", {{1, Found{"= ", "Sname "}}}}),
    [](const testing::TestParamInfo<TextCase>& info) { return info.param.name; });

// An implicit element the dictionary does not know is listed with "--" and
// its bytes as text.
TEST_F(DictionaryTest, ReaderUsesTheLoadedDictionary)
{
    LoadDicomDictionaryFromText("00280010=USNumber of rows");
    test::TestDicomWriter w;
    w.Raw(std::string(136, '\0'))  // 17 empty elements of tag 0000,0000
        .Implicit(0x00280010, w.Bytes16(7))
        .Implicit(0x00280101, "AB")
        .Implicit(0x7FE00010, "PX");
    const TDicomBeeld image(w.Span());
    const auto lines = image.TagList();
    ASSERT_EQ(lines.size(), 20u);
    EXPECT_EQ(lines[0], "00000000, , --, ");
    EXPECT_EQ(lines[17], "00280010, 7, US, Number of rows");
    EXPECT_EQ(lines[18], "00280101, AB, --, ");
    EXPECT_EQ(lines[19], "7FE00010, 164, --, ");
    EXPECT_EQ(image.Rows(), 7);
}

// Loading from the working directory, each case in a fresh directory.
class DictionaryFileTest : public DictionaryTest {
protected:
    void SetUp() override
    {
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.Path());
    }
    void TearDown() override
    {
        std::filesystem::current_path(previous_);
        DictionaryTest::TearDown();
    }
    void WriteLibrary(const std::string& text)
    {
        std::ofstream(dir_.Path() / "DicomLibrary.txt", std::ios::binary) << text;
    }
    int OpenLibrary() { return ::open((dir_.Path() / "DicomLibrary.txt").c_str(), O_RDONLY | O_CLOEXEC); }

    test::TempFolder dir_;
    std::filesystem::path previous_;
};

TEST_F(DictionaryFileTest, WithoutFileTheBuiltInTextIsUsed)
{
    LoadDicomDictionaryFromText("");
    LoadDicomDictionary();
    EXPECT_EQ(Lookup(0x00280010), (Found{"US", "Rows"}));
}

TEST_F(DictionaryFileTest, FileReplacesTheBuiltInText)
{
    WriteLibrary("00280010=USNumber of rows\r\n");
    LoadDicomDictionary();
    EXPECT_EQ(Lookup(0x00280010), (Found{"US", "Number of rows"}));
    EXPECT_EQ(Lookup(0x00280101), std::nullopt);
}

TEST_F(DictionaryFileTest, EmptyFileGivesAnEmptyDictionary)
{
    WriteLibrary("");
    LoadDicomDictionary();
    EXPECT_EQ(Lookup(0x00280010), std::nullopt);
}

TEST_F(DictionaryFileTest, LockedFileFallsBackToTheBuiltInText)
{
    WriteLibrary("00280010=USNumber of rows");
    for (const int lock : {LOCK_EX, LOCK_SH}) {
        const int fd = OpenLibrary();
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, lock), 0);
        LoadDicomDictionary();
        EXPECT_EQ(Lookup(0x00280010), (Found{"US", "Rows"})) << "lock " << lock;
        ::close(fd);
    }
    // Released: the file is used, and the loader left no lock behind.
    LoadDicomDictionary();
    EXPECT_EQ(Lookup(0x00280010), (Found{"US", "Number of rows"}));
    const int fd = OpenLibrary();
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
}

TEST_F(DictionaryFileTest, UnreadableFileFallsBackToTheBuiltInText)
{
    std::filesystem::create_directory(dir_.Path() / "DicomLibrary.txt");
    LoadDicomDictionary();
    EXPECT_EQ(Lookup(0x00280010), (Found{"US", "Rows"}));
}

}  // namespace
}  // namespace evenor::test
