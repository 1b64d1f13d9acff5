// The PDF report of a test, read back with poppler-utils (pdfimages,
// pdftotext): the pictures are embedded at print resolution on A4 and Letter,
// a checksum stays on one line, counts of one are singular; and the area
// map's plan gives about 300 pixels per inch for areas of every size.
#include "render/ReportPdf.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <sstream>

#include "insight/DetectorInsight.h"
#include "insight/Guidelines.h"
#include "insight/ResultExport.h"
#include "tests/insight/Phantom.h"
#include "tests/support/TempFolder.h"

namespace evenor {
namespace {

// What a command prints on standard output.
std::string Output(const std::string& command)
{
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
        EXPECT_EQ(::pclose(pipe), 0) << command << " failed; scripts/install-deps installs poppler-utils";
    }
    return text;
}

TEST(ReportAreaMapPlan, AboutThreeHundredPixelsPerInchForEveryArea)
{
    struct Case {
        std::uint32_t width, height;
        int magnify;  // 0: any
    };
    const Case cases[] = {{1, 1, 0},       {60, 50, 0},     {100, 100, 0},   {700, 600, 2},
                          {1024, 1024, 2}, {1200, 1500, 2}, {2000, 2000, 1}, {2500, 3000, 1},
                          {3000, 2000, 1}, {4096, 4096, 1}, {4300, 3500, 1}, {9000, 300, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
        AnalysisSettings settings;
        settings.FirstColumn = 7;
        settings.LastColumn = 7 + c.width - 1;
        settings.LastRow = c.height - 1;
        const ReportAreaMapPlan plan = ReportAreaMapPlanFor(settings);
        const double inches = std::max(plan.PrintWidth, plan.PrintHeight) / 72.0;
        const double ppi = std::max(plan.Geometry.Width, plan.Geometry.Height) * plan.Magnify / inches;
        EXPECT_GE(ppi, 0.8 * ReportPictureResolution);
        EXPECT_LT(ppi, 1.6 * ReportPictureResolution);
        if (c.magnify) {
            EXPECT_EQ(plan.Magnify, c.magnify);
        }
        // Fits the page beside the grey bar, keeping the area's shape.
        EXPECT_LE(plan.PrintWidth, 420.0 + 1e-9);
        EXPECT_LE(plan.PrintHeight, 600.0 + 1e-9);
        EXPECT_NEAR(plan.PrintWidth / plan.PrintHeight, double(c.width) / c.height, 1e-9);
        // A magnified map is the whole area, pixel for pixel.
        if (plan.Magnify > 1) {
            EXPECT_EQ(QSize(plan.Geometry.Width, plan.Geometry.Height), QSize(c.width, c.height));
        }
    }
    // 4096 square: two by two image pixels to a map pixel, marks twice as wide.
    AnalysisSettings square;
    square.LastColumn = square.LastRow = 4095;
    const ReportAreaMapPlan plan = ReportAreaMapPlanFor(square);
    EXPECT_EQ(QSize(plan.Geometry.Width, plan.Geometry.Height), QSize(2048, 2048));
    EXPECT_EQ(plan.MarkScale, 2);
}

struct Report {
    testing::Phantom Phantom;
    AnalysisSettings Settings;
    AnalysisResult Result;
    DetectorInsight Insight;
    ResultContext Context;
    TestReportData Data;
};

// The blotch phantom with one hot pixel: one deviating pixel, one cluster.
std::unique_ptr<Report> BlotchReport()
{
    auto r = std::make_unique<Report>();
    r->Phantom = testing::BlotchPhantom();
    r->Phantom.At(75, 15) = 3000;
    r->Settings = testing::WholeArea(r->Phantom, 10.0, 20.0, true);
    r->Result = testing::Analyse(r->Phantom, r->Settings, 20);
    r->Insight = InspectDetector(r->Settings, r->Result, r->Phantom.Pixels, r->Phantom.Width);
    r->Context.Insight = &r->Insight;
    r->Context.Preset = &DefaultPreset();
    r->Context.BorderMm = 10.0;
    r->Context.BorderPixels = 1;
    r->Data.Settings = &r->Settings;
    r->Data.Result = &r->Result;
    r->Data.Context = &r->Context;
    return r;
}

TEST(ReportPdf, PicturesAtPrintResolutionChecksumOnOneLineSingularCounts)
{
    const auto r = BlotchReport();
    ASSERT_EQ(r->Result.BadPixelMap.size(), 1u);
    // The widest hex digits of DejaVu Sans: wrapped at the old size on A4.
    const std::string digest = "0b8d9b6d0b8d9b6d0b8d9b6d0b8d9b6d0b8d9b6d0b8d9b6d0b8d9b6d0b8d9b6d";
    r->Data.FileSha256 = digest;
    const QImage grey = RenderReportAreaGrey(r->Phantom.Pixels, r->Phantom.Width, r->Settings, r->Result);
    const ReportPictures pictures = DrawReportPictures(grey, r->Settings, r->Result, r->Insight);
    // The marks lie over the grey, magnified alike: a deviating ROI's outline
    // is red, the middle of a plain ROI clear.
    ASSERT_EQ(pictures.AreaMarks.size(), pictures.AreaMap.size());
    const int magnify = pictures.AreaMap.width() / 100;
    EXPECT_GE(magnify, 2);
    EXPECT_EQ(pictures.AreaMarks.pixel(30 * magnify, 35 * magnify), qRgb(255, 0, 0));
    EXPECT_EQ(qAlpha(pictures.AreaMarks.pixel(5 * magnify, 5 * magnify)), 0);
    EXPECT_EQ(pictures.AreaMap.pixel(5 * magnify, 5 * magnify),
              pictures.AreaMap.pixel(5 * magnify + 1, 5 * magnify + 1));

    const test::TempFolder folder;
    for (const PaperSize paper : {PaperSize::A4, PaperSize::Letter}) {
        SCOPED_TRACE(PaperName(paper));
        r->Data.Paper = paper;
        const auto path = folder / (std::string(PaperName(paper)) + ".pdf");
        SaveReportPdf(RenderTestReportPdf(r->Data, pictures), path.string());

        // Every picture at 0.8 times the resolution at least: the area map's
        // grey and marks, and the three heat maps at the full resolution.
        std::istringstream images(Output("pdfimages -list '" + path.string() + "'"));
        std::string line;
        int pictureCount = 0, heatMaps = 0;
        const std::regex row(
            R"(^\s*(\d+)\s+\d+\s+(image|smask|mask)\s+\d+\s+\d+\s+\S+\s+\S+\s+\S+\s+\S+\s+\S+\s+\d+\s+\d+\s+(\d+)\s+(\d+))");
        while (std::getline(images, line)) {
            std::smatch m;
            if (!std::regex_search(line, m, row)) continue;
            ++pictureCount;
            EXPECT_GE(std::stoi(m[3]), 0.8 * ReportPictureResolution) << line;
            EXPECT_GE(std::stoi(m[4]), 0.8 * ReportPictureResolution) << line;
            if (m[1] == "4") {
                ++heatMaps;
                EXPECT_GE(std::stoi(m[3]), ReportPictureResolution) << line;
            }
        }
        EXPECT_EQ(heatMaps, 3);
        EXPECT_GE(pictureCount, 5);

        const std::string text = Output("pdftotext -layout '" + path.string() + "' -");
        EXPECT_NE(text.find("SHA-256"), std::string::npos);
        EXPECT_NE(text.find(digest), std::string::npos) << "the checksum is not on one line";
        for (const char* part : {"1 cluster of deviating pixels (1 single pixel, 0 pairs, 0 larger); largest "
                                 "cluster 1 pixel.",
                                 "10 mm (1 pixel) left out on every side", "(+3 SD)", "(mean)", "(-3 SD)"}) {
            const std::string flat = std::regex_replace(text, std::regex("\\s+"), " ");
            EXPECT_NE(flat.find(part), std::string::npos) << part;
        }
    }
}

}  // namespace
}  // namespace evenor
