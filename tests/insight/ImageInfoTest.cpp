#include "insight/ImageInfo.h"

#include <gtest/gtest.h>

namespace evenor::test {
namespace {

std::vector<std::string> LinesOf(const std::vector<TagEntry>& table)
{
    std::vector<std::string> lines;
    for (const auto& e : table) lines.push_back(e.Tag + ", " + e.Value + ", " + e.VR + ", " + e.Description);
    return lines;
}

TEST(ImageInfo, ReadsAndTrimsTheIdentifyingTags)
{
    const std::vector<TagEntry> tags{
        {"00080022", "20240131", "DA", "Acquisition Date"},
        {"00080068", "FOR PROCESSING  ", "CS", "Presentation Intent Type"},
        {"00080070", "Acme, Inc. ", "LO", "Manufacturer"},
        {"00081010", "ROOM3", "SH", "Station Name"},
        {"00081010", "LATER", "SH", "Station Name"},
        {"00081090", "FlatPanel 4343", "LO", "Manufacturer's Model Name"},
        {"00180060", "70 ", "DS", "KVP"},
        {"00181152", "2 ", "IS", "Exposure"},
        {"00181153", "2500", "IS", "Exposure in uAs"},
        {"0018700A", std::string("SN-0042\0", 8), "SH", "Detector ID"},
    };
    for (const bool fromLines : {true, false}) {
        SCOPED_TRACE(fromLines ? "tag list" : "tag table");
        const ImageInfo info = fromLines ? ReadImageInfo(LinesOf(tags)) : ReadImageInfo(tags);
        // A tag-list line cannot carry a comma inside its value; the table can.
        EXPECT_EQ(info.Manufacturer, fromLines ? "Acme" : "Acme, Inc.");
        EXPECT_EQ(info.Model, "FlatPanel 4343");
        EXPECT_EQ(info.Station, "ROOM3");
        EXPECT_EQ(info.DetectorId, "SN-0042");
        EXPECT_EQ(info.AcquisitionDate, "20240131");
        EXPECT_EQ(info.KVp, "70");
        EXPECT_EQ(info.Exposure, "2500");  // the finer uAs value wins
        EXPECT_EQ(info.ExposureUnit, "uAs");
        EXPECT_EQ(info.PresentationIntentType, "FOR PROCESSING");
        EXPECT_FALSE(info.IsProcessed());
    }
}

TEST(ImageInfo, ExposureAndProcessedImages)
{
    struct Case {
        const char* name;
        std::vector<TagEntry> tags;
        std::string exposure, unit;
        bool processed;
    };
    const std::vector<Case> cases{
        {"mAs only", {{"00181152", "12", "IS", ""}}, "12", "mAs", false},
        {"blank uAs falls back to mAs", {{"00181152", "3", "IS", ""}, {"00181153", "  ", "IS", ""}}, "3", "mAs", false},
        {"nothing", {}, "", "", false},
        {"for presentation", {{"00080068", "FOR PRESENTATION ", "CS", ""}}, "", "", true},
        {"lower case", {{"00080068", "for presentation", "CS", ""}}, "", "", true},
        {"longer value", {{"00080068", "FOR PRESENTATION X", "CS", ""}}, "", "", false},
        {"shorter value", {{"00080068", "FOR PRESENTATIO", "CS", ""}}, "", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ImageInfo info = ReadImageInfo(LinesOf(c.tags));
        EXPECT_EQ(info.Exposure, c.exposure);
        EXPECT_EQ(info.ExposureUnit, c.unit);
        EXPECT_EQ(info.IsProcessed(), c.processed);
    }
    EXPECT_EQ(TrimPadding(std::string(" \0a b\0 ", 7)), "a b");
}

}  // namespace
}  // namespace evenor::test
