#include "analysis/ReportWriter.h"

#include <cerrno>
#include <clocale>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/TempFolder.h"
#include "tests/support/TestDicomWriter.h"

namespace evenor::test {
namespace {

std::string Lines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines) text += line + "\r\n";
    return text;
}

std::string Report(const AnalysisSettings& settings, const AnalysisResult& result,
                   const PixelPreparation& preparation = {})
{
    std::ostringstream out;
    WriteResultsReport(out, settings, result, preparation);
    return out.str();
}

RoiResult Roi(std::uint32_t x, std::uint32_t y, std::uint16_t max, std::uint16_t min, double mean, double sd,
              double snr)
{
    RoiResult roi;
    roi.X = x;
    roi.Y = y;
    roi.Maximum = max;
    roi.Minimum = min;
    roi.Mean = mean;
    roi.SD = sd;
    roi.SNR = snr;
    return roi;
}

// The example run: offset 100, nothing clipped, two ROIs, one deviating pixel.
struct ExampleRun {
    AnalysisSettings settings;
    AnalysisResult result;
    ExampleRun()
    {
        settings.PixelOffset = 100;
        settings.RoiDeviationPercent = 5;
        settings.PixelDeviationPercent = 20;
        settings.DetectDeviatingPixels = true;
        result.AreaMean = 512.25;
        result.AreaSD = 12.5;
        result.AreaSNR = 40.98;
        result.Rois = {Roi(0, 0, 550, 470, 510.0, 12.0, 42.5), Roi(0, 49, 556, 475, 514.6, 12.4, 41.5)};
        result.MeanRoiSNR = 41.3666;
        result.RoiSNRSD = 1.5234;
        result.BadPixelMap.Add(BadPixel{17, 3, 98, 509.73});
    }
};

TEST(ReportWriterTest, ExampleReportLineForLine)
{
    ExampleRun run;
    EXPECT_EQ(Report(run.settings, run.result),
              Lines({"Results evenor test:",
                     "Average pixel value :    512.25",
                     "Standard deviation  :     12.50",
                     "SNR                 :     40.98",
                     "",
                     "- Results have been calculated with pixeloffset subtracted from pixel values",
                     "  - To get original pixel values add 100 to pixel values",
                     "",
                     "Results of ROI's:",
                     "         X         Y      Mean        SD       SNR       Max       Min",
                     "         0         0    510.00     12.00     42.50       550       470",
                     "         0        49    514.60     12.40     41.50       556       475",
                     "",
                     "Mean SNR in ROI's:41.37(SD:1.52)",
                     "",
                     "Deviating ROI's: > 5.00% from mean",
                     "--NONE--",
                     "",
                     "Deviating Pixels: >20.00% from mean in ROI",
                     "         X         Y     Value   Mean in ROI",
                     "        17         3        98        509.73"}));
}

// The notes between the SNR line and "Results of ROI's:".
TEST(ReportWriterTest, PreparationNotes)
{
    const std::string inverted1 = "- Results have been calculated with inverted pixel values";
    const std::string inverted2 = "  - To get original pixel values subtract pixel value from 4095";
    const std::string offset1 = "- Results have been calculated with pixeloffset subtracted from pixel values";
    const std::string offset2 = "  - To get original pixel values add 7 to pixel values";
    const std::string clipped =
        "  - There were original pixel values smaller than the offset, these pixel values have been set to 0";
    struct Case {
        bool pixelsInverted;
        std::uint16_t offset;
        bool clipped;
        std::vector<std::string> notes;
    };
    const Case cases[] = {
        {false, 0, false, {}},
        {false, 0, true, {}},  // clipped only counts when an offset was subtracted
        {true, 0, false, {inverted1, inverted2}},
        {false, 7, false, {offset1, offset2}},
        {false, 7, true, {offset1, offset2, clipped}},
        {true, 7, true, {inverted1, inverted2, offset1, offset2, clipped}},
    };
    for (const auto& c : cases) {
        AnalysisSettings settings;
        settings.PixelOffset = c.offset;
        PixelPreparation preparation;
        preparation.Inverted = c.pixelsInverted;
        preparation.InversionMaximum = 4095;
        preparation.ClippedBelowOffset = c.clipped;
        const std::string report = Report(settings, AnalysisResult{}, preparation);
        const std::string head = "SNR                 :      0.00\r\n\r\n";
        const std::string expected = head + Lines(c.notes) + "\r\nResults of ROI's:\r\n";
        EXPECT_NE(report.find(expected), std::string::npos)
            << c.pixelsInverted << " " << c.offset << " " << c.clipped << "\n"
            << report;
    }
}

TEST(ReportWriterTest, DeviationSectionsAndWidening)
{
    AnalysisSettings settings;
    settings.RoiDeviationPercent = 100;
    settings.PixelDeviationPercent = -2.5;
    settings.DetectDeviatingPixels = true;
    AnalysisResult result;
    result.Rois = {Roi(100, 50, 65535, 0, 12345678.9, 1.0, 12345678.9)};
    result.BadROIMap = {BadROI{100, 50, 812.5, 0.0}, BadROI{7, 8, 100.0, 8.0}};
    const std::string report = Report(settings, result);
    EXPECT_NE(report.find("       100        5012345678.90      1.0012345678.90     65535         0\r\n"),
              std::string::npos)
        << report;
    EXPECT_NE(
        report.find(Lines({"Deviating ROI's: >100.00% from mean", "         X         Y      Mean        SD       SNR",
                           "       100        50    812.50      0.00      0.00",
                           "         7         8    100.00      8.00     12.50", "",
                           "Deviating Pixels: >-2.50% from mean in ROI", "--NONE--"})),
        std::string::npos)
        << report;
    EXPECT_TRUE(report.ends_with("--NONE--\r\n"));
}

TEST(ReportWriterTest, PixelSectionLeftOutWithoutDetection)
{
    AnalysisSettings settings;
    settings.DetectDeviatingPixels = false;
    settings.RoiDeviationPercent = 5;
    AnalysisResult result;
    result.BadPixelMap.Add(BadPixel{1, 1, 1, 1.0});  // ignored when detection is off
    const std::string report = Report(settings, result);
    EXPECT_TRUE(report.ends_with("\r\n\r\nDeviating ROI's: > 5.00% from mean\r\n--NONE--\r\n")) << report;
    EXPECT_EQ(report.find("Deviating Pixels"), std::string::npos);
}

TEST(ReportWriterTest, EveryTableLineIsWrittenBeyond16Bits)
{
    AnalysisSettings settings;
    settings.DetectDeviatingPixels = true;
    AnalysisResult result;
    for (std::uint32_t i = 0; i < 70000; ++i) result.BadPixelMap.Add(BadPixel{i % 1000, i / 1000, 5, 100.0 + i / 500});
    result.Rois.assign(70000, Roi(1, 2, 3, 4, 5, 6, 7));
    const std::string report = Report(settings, result);
    std::size_t lines = 0;
    for (char c : report) lines += c == '\n';
    // 8 lines before the ROI rows, 8 between the tables.
    EXPECT_EQ(lines, 8u + 70000u + 8u + 70000u);
    EXPECT_NE(report.find("       999        69         5        239.00\r\n"), std::string::npos);
}

TEST(ReportWriterTest, FixedFormat)
{
    struct Case {
        double value;
        int width;
        int decimals;
        const char* text;
    };
    const Case cases[] = {
        {0.0, 10, 2, "      0.00"},
        {512.25, 10, 2, "    512.25"},
        {0.125, 0, 2, "0.13"},
        {2.675, 0, 2, "2.67"},
        {0.005, 0, 2, "0.01"},
        {0.0049999, 0, 2, "0.00"},
        {9.999, 0, 2, "10.00"},
        {1.005, 0, 2, "1.00"},
        {-5.0, 5, 2, "-5.00"},
        {-0.001, 0, 2, "0.00"},
        {-0.0, 5, 2, " 0.00"},
        {100.0, 5, 2, "100.00"},
        {1e20, 10, 2, "100000000000000000000.00"},
        {12345678.9, 10, 2, "12345678.90"},
        {0.5, 0, 0, "1"},
        {1.5, 3, 1, "1.5"},
        {999.996, 0, 2, "1000.00"},
        {99.995, 0, 2, "100.00"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatFixed(c.value, c.width, c.decimals), c.text) << c.value;
}

TEST(ReportWriterTest, SnrFormat)
{
    struct Case {
        double value;
        char separator;
        const char* text;
    };
    const Case cases[] = {
        {41.3666, '.', "41.37"},
        {1.5234, '.', "1.52"},
        {0.0, '.', "0.00"},
        {12345.678, '.', "12346.00"},
        {99999.996, '.', "1.0000E+005"},
        {123456.0, '.', "1.2346E+005"},
        {1234567.0, '.', "1.2346E+006"},
        {200000.0, '.', "2.0000E+005"},
        {0.001, '.', "0.00"},
        {1.23456, '.', "1.23"},
        {999.996, '.', "1000.00"},
        {0.124996, '.', "0.12"},
        {41.3666, ',', "41,37"},
        {123456.0, ',', "1,2346E+005"},
        {99999.4, '.', "99999.00"},
        {1e300, '.', "1.0000E+300"},
        {0.005, '.', "0.01"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatSnr(c.value, c.separator), c.text) << c.value;
}

TEST(ReportWriterTest, OnlyTheMeanSnrLineFollowsTheLocale)
{
    ExampleRun run;
    run.result.AreaMean = 1234.5;
    const std::string inC = Report(run.settings, run.result);
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "locale de_DE.UTF-8 missing: run scripts/install-deps";
    const std::string inGerman = Report(run.settings, run.result);
    std::setlocale(LC_ALL, "C");
    std::string expected = inC;
    const std::string cLine = "Mean SNR in ROI's:41.37(SD:1.52)";
    expected.replace(expected.find(cLine), cLine.size(), "Mean SNR in ROI's:41,37(SD:1,52)");
    EXPECT_EQ(inGerman, expected);
}

TEST(ReportWriterTest, ReplacesALongerFileEntirely)
{
    test::TempFolder folder;
    ExampleRun run;
    run.settings.OutputFileName = (folder / "report.txt").string();
    test::WriteWholeFile(run.settings.OutputFileName, std::string(100000, 'x'));
    WriteResultsReport(run.settings, run.result, {});
    EXPECT_EQ(test::ReadWholeFile(run.settings.OutputFileName), Report(run.settings, run.result));
}

TEST(ReportWriterTest, WriteFailuresCarryTheirCodeAndText)
{
    test::TempFolder folder;
    test::WriteWholeFile(folder / "plain-file", "x");
    std::filesystem::create_directory(folder / "a-folder");
    // Running as root, permissions do not stop a write; a folder in which
    // nothing may be created does.
    std::filesystem::path readOnly = "/sys/evenor-report.txt";
    if (geteuid() != 0) {
        std::filesystem::create_directory(folder / "read-only");
        chmod((folder / "read-only").c_str(), 0555);
        readOnly = folder / "read-only" / "report.txt";
    }
    struct Case {
        std::string path;
        int code;
        const char* text;
    };
    const Case cases[] = {
        {"/dev/full", 101, "Disk full"},
        {(folder / "missing" / "report.txt").string(), 2, "File not found"},
        {(folder / "plain-file" / "report.txt").string(), 2, "File not found"},
        {(folder / std::string(300, 'n')).string(), 3, "Invalid filename"},
        {(folder / "a-folder").string(), 5, "File access denied"},
        {readOnly.string(), 5, "File access denied"},
    };
    ExampleRun run;
    for (const auto& c : cases) {
        run.settings.OutputFileName = c.path;
        try {
            WriteResultsReport(run.settings, run.result, {});
            ADD_FAILURE() << "no error for " << c.path;
        } catch (const InOutError& e) {
            EXPECT_EQ(e.Code(), c.code) << c.path;
            EXPECT_STREQ(e.what(), c.text) << c.path;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "missing"));
}

TEST(ReportWriterTest, ErrorTexts)
{
    const std::pair<int, const char*> codes[] = {{2, "File not found"},      {3, "Invalid filename"},
                                                 {4, "Too many open files"}, {5, "File access denied"},
                                                 {101, "Disk full"},         {32, "I/O error 32"}};
    for (const auto& [code, text] : codes) EXPECT_EQ(InOutErrorText(code), text);
    const std::pair<int, const char*> errnos[] = {
        {ENOENT, "File not found"},     {ENOTDIR, "File not found"},     {ENAMETOOLONG, "Invalid filename"},
        {EINVAL, "Invalid filename"},   {EMFILE, "Too many open files"}, {ENFILE, "Too many open files"},
        {EACCES, "File access denied"}, {EROFS, "File access denied"},   {EPERM, "File access denied"},
        {EISDIR, "File access denied"}, {ENOSPC, "Disk full"},           {EDQUOT, "Disk full"},
        {EIO, "I/O error 5"},           {EFBIG, "I/O error 27"},
    };
    for (const auto& [error, text] : errnos) EXPECT_STREQ(InOutErrorFromErrno(error).what(), text) << error;
}

TEST(ReportWriterTest, StreamFailureStopsTheReport)
{
    ExampleRun run;
    std::ostringstream out;
    out.setstate(std::ios::badbit);
    WriteResultsReport(out, run.settings, run.result, {});
    EXPECT_TRUE(out.str().empty());
}

}  // namespace
}  // namespace evenor::test
