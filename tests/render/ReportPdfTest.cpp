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
#include "tests/support/Phantom.h"
#include "tests/support/TempFolder.h"

namespace evenor::test {
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
    test::Phantom Phantom;
    AnalysisSettings Settings;
    AnalysisResult Result;
    DetectorInsight Insight;
    ResultContext Context;
    TestReportData Data;
};

// The report of phantom analysed with boxes of box pixels, deviations of
// 10 % (ROIs) and 20 % (pixels).
std::unique_ptr<Report> PhantomReport(test::Phantom phantom, std::uint32_t box)
{
    auto r = std::make_unique<Report>();
    r->Phantom = std::move(phantom);
    r->Settings = test::WholeArea(r->Phantom, 10.0, 20.0, true);
    r->Result = test::Analyse(r->Phantom, r->Settings, box);
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

// The blotch phantom with one hot pixel: one deviating pixel, one cluster.
std::unique_ptr<Report> BlotchReport()
{
    test::Phantom phantom = test::BlotchPhantom();
    phantom.At(75, 15) = 3000;
    return PhantomReport(std::move(phantom), 20);
}

// The text of a PDF as pdftotext reads it, whitespace runs made one space.
std::string PdfText(const std::string& path)
{
    return std::regex_replace(Output("pdftotext '" + path + "' -"), std::regex("\\s+"), " ");
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

// The deviating ROIs and pixels run on over pages up to ReportTableRows
// each, their header on every page, then say how many are left out.
TEST(ReportPdf, LongTablesRunOnOverPagesUpToTheirLimit)
{
    // 200 x 200, boxes of 4 (99 x 99 ROIs): a band 30 % brighter in columns
    // 0..39 makes its 1,881 ROIs deviate; 1,200 pixels half as bright again
    // outside it deviate from their ROIs' means, which stay within 10 %.
    test::Phantom phantom = test::Checkerboard(200, 200, 1000, 10);
    for (std::uint32_t y = 0; y < 200; ++y)
        for (std::uint32_t x = 0; x < 40; ++x) phantom.At(x, y) += 300;
    for (std::uint32_t y = 2; y < 200; y += 5)
        for (std::uint32_t x = 52; x < 200; x += 5) phantom.At(x, y) = 1500;
    const auto r = PhantomReport(std::move(phantom), 4);
    const std::size_t rois = r->Result.BadROIMap.size(), pixels = r->Result.BadPixelMap.size();
    EXPECT_GE(ReportTableRows, 1000u);
    ASSERT_GT(rois, ReportTableRows + 100);
    ASSERT_GT(pixels, ReportTableRows + 100);

    const test::TempFolder folder;
    const std::string path = (folder / "long.pdf").string();
    SaveReportPdf(RenderTestReportPdf(r->Data, DrawReportPictures({}, r->Settings, r->Result, r->Insight)), path);
    const std::string text = PdfText(path);
    for (const std::size_t left : {rois - ReportTableRows, pixels - ReportTableRows})
        EXPECT_NE(text.find("and " + std::to_string(left) + " more (the text report lists them all)"),
                  std::string::npos)
            << left;
    // Each table's header on every page of it: the rows run on, a page's worth at a time.
    const std::string info = Output("pdfinfo '" + path + "'");
    std::smatch pages;
    ASSERT_TRUE(std::regex_search(info, pages, std::regex("Pages:\\s+(\\d+)")));
    int roiPages = 0, pixelPages = 0;
    for (int page = 1; page <= std::stoi(pages[1]); ++page) {
        const std::string shown = std::regex_replace(
            Output("pdftotext -f " + std::to_string(page) + " -l " + std::to_string(page) + " '" + path + "' -"),
            std::regex("\\s+"), " ");
        roiPages += shown.find("x y Mean SD SNR") != std::string::npos;
        pixelPages += shown.find("x y Value ROI mean") != std::string::npos;
    }
    EXPECT_GE(roiPages, 1000 / 70);
    EXPECT_GE(pixelPages, 1000 / 70);
}

// Numbers are never broken over lines: record numbers of any length, and
// large counts, stay whole in the detector report's records table; values
// are rounded, without "-0.00".
TEST(ReportPdf, RecordNumbersOfAnyLengthStayWhole)
{
    HistoryReportData data;
    data.Title = data.Key = "DET-0042";
    data.Overdue = "Not overdue";
    for (const std::int64_t id : {7LL, 1802LL, 123456789012LL}) {
        ReportRecordRow row;
        row.Id = id;
        row.TestedAt = "2024-03-15 09:30:12";
        row.File = "flat.dcm";
        row.DeviatingPixels = id == 7 ? 987654321 : 0;
        row.AreaSnr = 123.456;
        row.LocalUniformity = -0.001;
        data.Records.push_back(row);
    }
    const test::TempFolder folder;
    const std::string path = (folder / "history.pdf").string();
    SaveReportPdf(RenderHistoryReportPdf(data), path);
    const std::string text = PdfText(path);
    for (const char* number : {" 7 ", " 1802 ", " 123456789012 ", " 987654321 ", " 123.46 "})
        EXPECT_NE(text.find(number), std::string::npos) << "\"" << number << "\" is broken in " << text;
    EXPECT_EQ(text.find("-0.00"), std::string::npos) << "a value that rounds to 0 keeps its sign";
}

// Text from tags shows its control characters escaped: a Detector ID holding
// a line break forges no line of the detector report.
TEST(ReportPdf, TagTextsForgeNoLine)
{
    HistoryReportData data;
    data.Title = data.Key = data.DetectorId = "EVIL\nRecord 99 FAKE pass\x1b]0;t\x07";
    data.Overdue = "Not overdue";
    const test::TempFolder folder;
    const std::string path = (folder / "history.pdf").string();
    SaveReportPdf(RenderHistoryReportPdf(data), path);
    const std::string text = Output("pdftotext '" + path + "' -");
    EXPECT_EQ(text.find("\nRecord 99"), std::string::npos) << text;
    EXPECT_NE(text.find("EVIL\\nRecord 99 FAKE pass\\x1b]0;t\\x07"), std::string::npos) << text;
}

// Only the trailer's document ID and the XMP's dates and UUIDs change: a
// picture's or font's stream that holds the same byte patterns keeps them.
TEST(ReportPdf, OnlyTheTrailersIdentifierIsRewritten)
{
    const std::string hex32(32, 'A');
    const std::string stream =
        "\xff\xd8 > <" + hex32 + "> /ID [<" + hex32 + "> <" + hex32 + ">] uuid:" + std::string(36, 'B') + "< \xff\xd9";
    const std::string xmp = "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta>"
                            "<xmpMM:DocumentID>uuid:00000000-0000-0000-0000-000000000000</xmpMM:DocumentID>"
                            "</x:xmpmeta><?xpacket end='w'?>";
    const std::string original = "%PDF-1.4\n1 0 obj\n<< /Length " + std::to_string(stream.size()) +
                                 " /Filter /DCTDecode >>\nstream\n" + stream + "\nendstream\nendobj\n" +
                                 "2 0 obj\n<< /Type /Metadata >>\nstream\n" + xmp +
                                 "\nendstream\nendobj\ntrailer\n<<\n/Size 3\n/ID [<" + std::string(32, '0') + "> <" +
                                 std::string(32, '0') + ">]\n>>\nstartxref\n0\n%%EOF\n";
    QByteArray bytes = QByteArray::fromStdString(original);
    MakePdfReproducible(bytes);
    const std::string made = bytes.toStdString();
    ASSERT_EQ(made.size(), original.size());
    EXPECT_NE(made.find(stream), std::string::npos) << "the picture's stream was changed";
    const std::regex id("/ID \\[<([0-9a-f]{32})> <([0-9a-f]{32})>\\]\\n>>\\nstartxref");
    std::smatch ids;
    ASSERT_TRUE(std::regex_search(made, ids, id)) << made;
    EXPECT_EQ(ids[1], ids[2]);
    EXPECT_NE(ids[1], std::string(32, '0'));
    EXPECT_EQ(made.find("uuid:00000000"), std::string::npos) << "the XMP's UUID was kept";
    // The same content, the same bytes.
    QByteArray again = QByteArray::fromStdString(original);
    MakePdfReproducible(again);
    EXPECT_EQ(again, bytes);
}

}  // namespace
}  // namespace evenor::test
