#include "ImageInfo.h"

#include <gtest/gtest.h>

namespace evenor {
namespace {

std::string Line(const TagEntry& entry)
{
    return entry.Tag + ", " + entry.Value + ", " + entry.VR + ", " + entry.Description;
}

std::vector<std::string> LinesOf(const std::vector<TagEntry>& table)
{
    std::vector<std::string> lines;
    for (const auto& entry : table) lines.push_back(Line(entry));
    return lines;
}

const std::vector<TagEntry> kDetectorTags{
    {"00080022", "20240131", "DA", "Acquisition Date"},
    {"00080068", "FOR PROCESSING  ", "CS", "Presentation Intent Type"},
    {"00080070", "Acme Imaging ", "LO", "Manufacturer"},
    {"00081010", "ROOM3", "SH", "Station Name"},
    {"00081090", "FlatPanel 4343", "LO", "Manufacturer's Model Name"},
    {"00180060", "70 ", "DS", "KVP"},
    {"00181152", "2 ", "IS", "Exposure"},
    {"00181153", "2500", "IS", "Exposure in uAs"},
    {"0018700A", std::string("SN-0042\0", 8), "SH", "Detector ID"},
};

TEST(ImageInfo, ReadsAndTrimsTheIdentifyingTags)
{
    for (const bool fromLines : {true, false}) {
        SCOPED_TRACE(fromLines ? "tag list" : "tag table");
        const ImageInfo info = fromLines ? ReadImageInfo(LinesOf(kDetectorTags)) : ReadImageInfo(kDetectorTags);
        EXPECT_EQ(info.Manufacturer, "Acme Imaging");
        EXPECT_EQ(info.Model, "FlatPanel 4343");
        EXPECT_EQ(info.Station, "ROOM3");
        EXPECT_EQ(info.DetectorId, "SN-0042");
        EXPECT_EQ(info.AcquisitionDate, "20240131");
        EXPECT_EQ(info.KVp, "70");
        // The finer microampere-second value wins over Exposure in mAs.
        EXPECT_EQ(info.Exposure, "2500");
        EXPECT_EQ(info.ExposureUnit, "uAs");
        EXPECT_EQ(info.PresentationIntentType, "FOR PROCESSING");
        EXPECT_FALSE(info.IsProcessed());
    }
}

TEST(ImageInfo, ExposureUnitFollowsTheTagFound)
{
    struct Case {
        const char* name;
        std::vector<TagEntry> tags;
        std::string exposure;
        std::string unit;
    };
    const std::vector<Case> cases{
        {"mAs only", {{"00181152", "12", "IS", "Exposure"}}, "12", "mAs"},
        {"uAs only", {{"00181153", "800 ", "IS", "Exposure in uAs"}}, "800", "uAs"},
        {"empty uAs falls back to mAs", {{"00181152", "3", "IS", ""}, {"00181153", "  ", "IS", ""}}, "3", "mAs"},
        {"none", {{"00080070", "X", "LO", ""}}, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ImageInfo info = ReadImageInfo(LinesOf(c.tags));
        EXPECT_EQ(info.Exposure, c.exposure);
        EXPECT_EQ(info.ExposureUnit, c.unit);
    }
}

TEST(ImageInfo, ProcessedImages)
{
    struct Case {
        std::string value;
        bool processed;
    };
    const std::vector<Case> cases{
        {"FOR PRESENTATION", true},    {"FOR PRESENTATION ", true}, {"for presentation", true},
        {"FOR PROCESSING", false},     {"", false},                 {"FOR PRESENTATION X", false},
        {"FOR PRESENTATIO", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        const ImageInfo info = ReadImageInfo(std::vector<TagEntry>{{"00080068", c.value, "CS", ""}});
        EXPECT_EQ(info.IsProcessed(), c.processed);
    }
    EXPECT_EQ(ProcessedImageWarning,
              "Presentation Intent Type is FOR PRESENTATION: the image is processed, the result may not describe "
              "the detector");
}

TEST(ImageInfo, CommaInAValue)
{
    // The tag-list line cannot carry a comma inside its value; the tag table can.
    const std::vector<TagEntry> tags{{"00080070", "Acme, Inc.", "LO", "Manufacturer"}};
    EXPECT_EQ(ReadImageInfo(LinesOf(tags)).Manufacturer, "Acme");
    EXPECT_EQ(ReadImageInfo(tags).Manufacturer, "Acme, Inc.");
}

TEST(ImageInfo, MissingTagsAndFirstMatchWins)
{
    const ImageInfo none = ReadImageInfo(std::vector<std::string>{});
    EXPECT_TRUE(none.Manufacturer.empty() && none.Model.empty() && none.KVp.empty() && none.Exposure.empty());
    const std::vector<TagEntry> twice{{"00081010", "FIRST", "SH", ""}, {"00081010", "SECOND", "SH", ""}};
    EXPECT_EQ(ReadImageInfo(twice).Station, "FIRST");
    EXPECT_EQ(ReadImageInfo(LinesOf(twice)).Station, "FIRST");
    EXPECT_EQ(TrimPadding(std::string(" \0a b\0 ", 7)), "a b");
    EXPECT_EQ(TrimPadding(std::string("\0\0", 2)), "");
}

}  // namespace
}  // namespace evenor
