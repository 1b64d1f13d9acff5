// End-to-end tests of "evenor-cli analyse": generated DICOM files in, whole
// report files out, compared with reports derived by hand.
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/AnalysisRun.h"
#include "tests/cli/CliTestSupport.h"

namespace evenor::test {
namespace {

using test::CliResult;
using test::RunInProcess;
using test::RunProgram;

std::string Lines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines) text += line + "\r\n";
    return text;
}

// 23 x 23 pixels of 1000 with 680 at column 3, row 2; 1 mm spacing, so 1 cm is
// a box of 10 pixels: grid positions 0, 5, 10 and the far edge 12.
test::TestImage SmallImage() { return test::FlatImage(23, 23, 1000, {{3, 2, 680}}); }

// Worked by hand. The area: 529 pixels summing to 528680, mean 999.3951; one
// pixel 320 below 1000, so SD = 320 / sqrt(529) = 13.9130, SNR 71.8315. ROI
// (0,0) holds 680 among 99 pixels of 1000: mean 996.8, SD 32, SNR 31.15; all
// other ROIs are flat (SD 0, SNR 0). The ROI SNRs are one 31.15 and fifteen
// 0: mean 1.946875, SD 31.15 / 4 = 7.7875. Against that mean every ROI's SNR
// deviates more than 5 %, so every ROI is listed as deviating; only 680
// deviates more than 20 % from its ROI's mean.
std::string SmallImageReport()
{
    const std::pair<int, int> order[] = {{0, 0},   {0, 5},  {0, 10}, {5, 0},   {5, 5},  {5, 10}, {10, 0},  {10, 5},
                                         {10, 10}, {12, 0}, {12, 5}, {12, 10}, {0, 12}, {5, 12}, {10, 12}, {12, 12}};
    auto position = [](int x, int y) {
        char text[32];
        std::snprintf(text, sizeof text, "%10d%10d", x, y);
        return std::string(text);
    };
    std::vector<std::string> rois;
    std::vector<std::string> deviating;
    for (const auto& [x, y] : order) {
        const bool planted = x == 0 && y == 0;
        const std::string stats = planted ? "    996.80     32.00     31.15" : "   1000.00      0.00      0.00";
        rois.push_back(position(x, y) + stats + (planted ? "      1000       680" : "      1000      1000"));
        deviating.push_back(position(x, y) + stats);
    }
    std::vector<std::string> lines = {"Results evenor test:",
                                      "Average pixel value :    999.40",
                                      "Standard deviation  :     13.91",
                                      "SNR                 :     71.83",
                                      "",
                                      "",
                                      "Results of ROI's:",
                                      "         X         Y      Mean        SD       SNR       Max       Min"};
    lines.insert(lines.end(), rois.begin(), rois.end());
    lines.insert(lines.end(), {"", "Mean SNR in ROI's:1.95(SD:7.79)", "", "Deviating ROI's: > 5.00% from mean",
                               "         X         Y      Mean        SD       SNR"});
    lines.insert(lines.end(), deviating.begin(), deviating.end());
    lines.insert(lines.end(),
                 {"", "Deviating Pixels: >20.00% from mean in ROI", "         X         Y     Value   Mean in ROI",
                  "         3         2       680        996.80"});
    return Lines(lines);
}

TEST(CliAnalyseTest, WholeReportOfASmallImage)
{
    test::TempFolder folder;
    test::WriteDicomFile(folder / "small.dcm", SmallImage());
    const std::string report = (folder / "report.txt").string();
    const CliResult result = RunInProcess({"analyse", (folder / "small.dcm").string(), "-o", report});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "Results written to Output File\n");
    EXPECT_EQ(test::ReadWholeFile(report), SmallImageReport());
}

TEST(CliAnalyseTest, TheProgramFollowsTheUsersLocaleOnTheMeanSnrLineOnly)
{
    test::TempFolder folder;
    test::WriteDicomFile(folder / "small.dcm", SmallImage());
    const std::string report = (folder / "report.txt").string();
    const CliResult result =
        RunProgram(folder, "LC_ALL=de_DE.UTF-8", {"analyse", (folder / "small.dcm").string(), "-o", report});
    ASSERT_EQ(result.status, 0) << result.err;
    std::string expected = SmallImageReport();
    const std::string line = "Mean SNR in ROI's:1.95(SD:7.79)";
    expected.replace(expected.find(line), line.size(), "Mean SNR in ROI's:1,95(SD:7,79)");
    EXPECT_EQ(test::ReadWholeFile(report), expected)
        << "the locale de_DE.UTF-8 must be installed (scripts/install-deps)";

    const CliResult inC = RunProgram(folder, "LC_ALL=C", {"analyse", (folder / "small.dcm").string(), "-o", report});
    ASSERT_EQ(inC.status, 0) << inC.err;
    EXPECT_EQ(test::ReadWholeFile(report), SmallImageReport());
}

TEST(CliAnalyseTest, RefusalsAndUsageErrors)
{
    test::TempFolder folder;
    test::WriteDicomFile(folder / "small.dcm", SmallImage());
    const std::string image = (folder / "small.dcm").string();
    const std::string report = (folder / "report.txt").string();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;  // a line of standard error
    };
    const Case cases[] = {
        {{}, 2, ""},
        {{"analyse", image}, 2, ""},
        {{"analyse", image, "-o", report, "--offset", "65536"},
         2,
         "--offset: A positive integer under 16384 is expected"},
        {{"analyse", image, "-o", report, "--offset=-1"}, 2, "--offset: A positive integer under 16384 is expected"},
        {{"analyse", image, "-o", report, "--box-cm", "1,5"}, 2, "--box-cm: A number is expected"},
        {{"analyse", image, "-o", report, "--roi-dev", "five"}, 2, "--roi-dev: A number is expected"},
        {{"analyse", image, "-o", report, "--pixel-dev", ""}, 2, "--pixel-dev: A number is expected"},
        {{"analyse", image, "-o", report, "--area", "0,0,22"},
         2,
         "--area: four values are expected: FIRSTCOL,FIRSTROW,LASTCOL,LASTROW"},
        {{"analyse", image, "-o", report, "--area", "0,0,x,22"}, 2, "--area: A positive integer is expected"},
        {{"analyse", image, "-o", report, "--inverted", "--no-inverted"}, 2, ""},
        {{"analyse", image, "-o", report, "--area", "5,0,4,22"}, 1, "Area not correct"},
        {{"analyse", image, "-o", report, "--area", "0,0,23,22"}, 1, "Area outside the image"},
        {{"analyse", image, "-o", report, "--box-cm", "0"},
         1,
         "Box dimension too small, the analysing box must be at least 2 pixels wide"},
        {{"analyse", image, "-o", report, "--box-cm", "2.5"}, 1, "Area smaller than box dimension"},
        {{"analyse", image, "-o", ""}, 1, "Select a export file first"},
        {{"analyse", (folder / "none.dcm").string(), "-o", report},
         1,
         "Cannot open file " + (folder / "none.dcm").string()},
        {{"analyse", image, "-o", "/dev/full"}, 1, "Disk full"},
        {{"analyse", image, "-o", (folder / "missing" / "r.txt").string()}, 1, "File not found"},
    };
    for (const auto& c : cases) {
        test::WriteWholeFile(report, "earlier report");
        const CliResult result = RunInProcess(c.args);
        std::string label;
        for (const auto& arg : c.args) label += arg + " ";
        EXPECT_EQ(result.status, c.status) << label << "\n" << result.err;
        if (!c.message.empty()) {
            EXPECT_NE(result.err.find(c.message + "\n"), std::string::npos) << label << result.err;
        }
        EXPECT_EQ(test::ReadWholeFile(report), "earlier report") << label;
    }
}

TEST(CliAnalyseTest, NoOutputIsWrittenOverTheImage)
{
    namespace fs = std::filesystem;
    test::TempFolder folder;
    const fs::path image = folder / "small.dcm";
    test::WriteDicomFile(image, SmallImage());
    const std::string bytes = test::ReadWholeFile(image);
    fs::create_hard_link(image, folder / "hard.dcm");
    fs::create_symlink(image, folder / "link.dcm");
    fs::create_directories(folder / "sub");
    const std::string report = (folder / "report.txt").string();
    const std::vector<std::vector<std::string>> outputs = {
        {"-o", image.string()},
        {"-o", (folder / "sub" / ".." / "small.dcm").string()},
        {"-o", (folder / "hard.dcm").string()},
        {"-o", (folder / "link.dcm").string()},
        {"-o", report, "--json", (folder / "hard.dcm").string()},
        {"-o", report, "--csv", (folder / "link.dcm").string()},
    };
    for (const auto& output : outputs) {
        std::vector<std::string> args = {"analyse", image.string()};
        args.insert(args.end(), output.begin(), output.end());
        const CliResult result = RunInProcess(args);
        EXPECT_EQ(result.status, 1) << output[1] << result.err;
        EXPECT_NE(result.err.find(kOutputIsImage), std::string::npos) << output[1] << result.err;
        EXPECT_EQ(test::ReadWholeFile(image), bytes) << output[1];
        EXPECT_FALSE(fs::exists(report)) << output[1];
    }
}

// Two outputs never share a file: the later would replace the earlier.
TEST(CliAnalyseTest, NoOutputIsWrittenOverAnother)
{
    namespace fs = std::filesystem;
    test::TempFolder folder;
    const fs::path image = folder / "small.dcm";
    test::WriteDicomFile(image, SmallImage());
    fs::create_directories(folder / "sub");
    const std::string report = (folder / "report.txt").string();
    test::WriteWholeFile(folder / "kept.json", "earlier");
    fs::create_hard_link(folder / "kept.json", folder / "hard.json");
    const std::vector<std::vector<std::string>> outputs = {
        {"-o", report, "--csv", report},
        {"-o", report, "--json", (folder / "sub" / ".." / "report.txt").string()},
        {"-o", report, "--json", (folder / "kept.json").string(), "--csv", (folder / "hard.json").string()},
    };
    for (const auto& output : outputs) {
        std::vector<std::string> args = {"analyse", image.string()};
        args.insert(args.end(), output.begin(), output.end());
        const CliResult result = RunInProcess(args);
        EXPECT_EQ(result.status, 1) << output.back() << result.err;
        EXPECT_NE(result.err.find("The file is named for two outputs; choose another file for one of them"),
                  std::string::npos)
            << output.back() << result.err;
        EXPECT_FALSE(fs::exists(report)) << output.back();
        EXPECT_EQ(test::ReadWholeFile(folder / "kept.json"), "earlier");
    }
}

TEST(CliAnalyseTest, HelpDocumentsEveryOption)
{
    const CliResult result = RunInProcess({"analyse", "--help"});
    EXPECT_EQ(result.status, 0);
    for (const char* text :
         {"FILE", "--output", "--area", "FIRSTCOL,FIRSTROW,LASTCOL,LASTROW", "--box-cm", "--roi-dev", "--pixel-dev",
          "--no-detect", "--offset", "--inverted", "--no-inverted", "0028,1041", "Exit status"})
        EXPECT_NE(result.out.find(text), std::string::npos) << text;
}

TEST(CliAnalyseTest, InversionFollowsTheTagsUnlessGiven)
{
    const std::string invertedNote = "- Results have been calculated with inverted pixel values\r\n"
                                     "  - To get original pixel values subtract pixel value from 4095\r\n";
    const std::string w2 = "Warning: Pixel-Intensity relationship (tag:00281040) is NOT present in DICOM file, "
                           "results may be meaningless\n";
    const std::string w3 = "Warning: Pixel-Intensity relationship sign (tag:00281041) is NOT \"1\" or \"-1\", "
                           "results may be meaningless\n";
    const std::string w4 = "Warning: Pixel-Intensity relationship (tag:00281041) is NOT present in DICOM file, "
                           "results may be meaningless\n";
    struct Case {
        std::optional<std::int16_t> sign;  // 0028,1041
        bool withRelationship;             // 0028,1040 "LIN"
        const char* flag;                  // null: none
        bool invertedReport;
        std::string warnings;
    };
    const Case cases[] = {
        {-1, true, nullptr, true, ""},
        {1, true, nullptr, false, ""},
        {-1, true, "--no-inverted", false, ""},
        {1, true, "--inverted", true, ""},
        {0, true, nullptr, false, w3},
        {{}, false, nullptr, false, w2 + w4},
        {{}, false, "--inverted", true, w2 + w4},
    };
    test::TempFolder folder;
    const std::string report = (folder / "report.txt").string();
    for (const auto& c : cases) {
        test::TestImage image = SmallImage();
        image.BitsStored = 12;
        image.IntensitySign = c.sign;
        if (!c.withRelationship) image.IntensityRelationship.reset();
        test::WriteDicomFile(folder / "image.dcm", image);
        std::vector<std::string> args = {"analyse", (folder / "image.dcm").string(), "-o", report};
        if (c.flag) args.push_back(c.flag);
        const CliResult result = RunInProcess(args);
        const std::string label = std::to_string(c.sign.value_or(99)) + " " + (c.flag ? c.flag : "");
        ASSERT_EQ(result.status, 0) << label << result.err;
        EXPECT_EQ(result.err, c.warnings + "Results written to Output File\n") << label;
        EXPECT_EQ(test::ReadWholeFile(report).find(invertedNote) != std::string::npos, c.invertedReport) << label;
    }
}

TEST(CliAnalyseTest, AreaOffsetAndDetection)
{
    test::TempFolder folder;
    test::WriteDicomFile(folder / "small.dcm", SmallImage());
    const std::string report = (folder / "report.txt").string();
    const CliResult result = RunInProcess({"analyse", (folder / "small.dcm").string(), "-o", report, "--area",
                                           "1,2,21,22", "--offset", "$2BC", "--no-detect", "--roi-dev", "2000"});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string text = test::ReadWholeFile(report);
    EXPECT_NE(text.find(Lines(
                  {"", "- Results have been calculated with pixeloffset subtracted from pixel values",
                   "  - To get original pixel values add 700 to pixel values",
                   "  - There were original pixel values smaller than the offset, these pixel values "
                   "have been set to 0",
                   "", "Results of ROI's:", "         X         Y      Mean        SD       SNR       Max       Min",
                   "         1         2    297.00     30.00      9.90       300         0"})),
              std::string::npos)
        << text;
    EXPECT_TRUE(text.ends_with("Deviating ROI's: >2000.00% from mean\r\n--NONE--\r\n")) << text;
}

}  // namespace
}  // namespace evenor::test
