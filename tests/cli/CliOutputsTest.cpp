// "evenor-cli analyse" on one image: the JSON, CSV and PNG outputs, the
// summary with its verdicts, the presets, the exit status of
// --fail-on-deviation, the processed-image warning and the images Evenor
// does not judge.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "insight/Guidelines.h"
#include "insight/ImageInfo.h"
#include "insight/Metrics.h"
#include "insight/RobustMetrics.h"
#include "tests/cli/CliTestSupport.h"

namespace evenor::test {
namespace {

using test::CliResult;
using test::ReadPngSize;
using test::RunInProcess;

std::size_t CountLines(const std::string& text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The lines of the report's ROI table (between its header and the blank line).
std::size_t ReportRoiLines(const std::string& report)
{
    const std::string header = "Results of ROI's:\r\n";
    std::size_t at = report.find(header);
    if (at == std::string::npos) return 0;
    at = report.find("\r\n", at + header.size()) + 2;  // the column titles
    std::size_t lines = 0;
    for (std::size_t end; (end = report.find("\r\n", at)) != std::string::npos && end > at; at = end + 2) ++lines;
    return lines;
}

bool ValidJson(const std::vector<std::string>& files, std::string& problems)
{
    std::string command = "/usr/bin/python3 " + test::Quoted(EVENOR_SOURCE_DIR "/tests/cli/validate_json_files.py") +
                          " " + test::Quoted(EVENOR_SOURCE_DIR "/docs/result.schema.json");
    for (const auto& file : files) command.append(1, ' ').append(test::Quoted(file));
    command += " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) problems += buffer;
    return pclose(pipe) == 0;
}

TEST(CliOutputsTest, JsonFollowsTheSchemaAndTheCsvHasOneRowPerRoi)
{
    test::TempFolder folder;
    test::TestImage image = test::BlotchedImage(64);
    image.Pixels[5 * 64 + 50] = 100;  // one deviating pixel
    test::WriteDicomFile(folder / "blotch.dcm", image);
    const std::string file = (folder / "blotch.dcm").string();
    const std::string json = (folder / "result.json").string();
    const std::string csv = (folder / "rois.csv").string();

    const CliResult plain = RunInProcess({"analyse", file, "-o", (folder / "plain.txt").string()});
    ASSERT_EQ(plain.status, 0) << plain.err;
    const CliResult result =
        RunInProcess({"analyse", file, "-o", (folder / "report.txt").string(), "--json", json, "--csv", csv});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "Results written to Output File\n");

    // The extra outputs leave the report as it is.
    const std::string report = test::ReadWholeFile(folder / "report.txt");
    EXPECT_EQ(report, test::ReadWholeFile(folder / "plain.txt"));

    std::string problems;
    EXPECT_TRUE(ValidJson({json}, problems)) << problems;

    const auto document = nlohmann::json::parse(test::ReadWholeFile(json));
    const std::size_t rois = ReportRoiLines(report);
    ASSERT_GT(rois, 30u);
    EXPECT_EQ(document["counts"]["rois"], rois);
    EXPECT_EQ(document["rois"].size(), rois);
    EXPECT_EQ(CountLines(test::ReadWholeFile(csv)), rois + 1);  // and the header
    EXPECT_EQ(document["input_file"], file);
    EXPECT_EQ(document["counts"]["deviating_pixels"], 1);
    EXPECT_EQ(document["guideline"]["preset"], "evenor-default");
    EXPECT_EQ(document["guideline"]["overall"], "fail");
    EXPECT_EQ(document["settings"]["box_pixels"], 10);
}

TEST(CliOutputsTest, FailOnDeviationTurnsAFailVerdictIntoStatus3)
{
    test::TempFolder folder;
    test::WriteDicomFile(folder / "flat.dcm", test::NoisyFlatImage(64));
    test::WriteDicomFile(folder / "blotch.dcm", test::BlotchedImage(64));
    struct Case {
        const char* image;
        std::vector<std::string> args;
        int status;
        const char* verdict;  // the summary's last line; null: no summary
    };
    const Case cases[] = {
        {"flat.dcm", {}, 0, "Overall verdict: pass"},
        {"flat.dcm", {"--fail-on-deviation"}, 0, "Overall verdict: pass"},
        {"blotch.dcm", {}, 0, "Overall verdict: fail"},
        {"blotch.dcm", {"--fail-on-deviation"}, 3, "Overall verdict: fail"},
        {"blotch.dcm", {"--fail-on-deviation", "--quiet"}, 3, nullptr},
        // The area beside the blotch is uniform.
        {"blotch.dcm", {"--fail-on-deviation", "--area", "40,40,63,63"}, 0, "Overall verdict: pass"},
        // A refused run stays a failure, whatever its image.
        {"blotch.dcm", {"--fail-on-deviation", "--box-cm", "7"}, 1, nullptr},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"analyse", (folder / c.image).string(), "-o", (folder / "r.txt").string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CliResult result = RunInProcess(args);
        std::string label = c.image;
        for (const auto& arg : c.args) label += " " + arg;
        EXPECT_EQ(result.status, c.status) << label << "\n" << result.err;
        if (c.verdict) {
            EXPECT_TRUE(result.out.ends_with(std::string(c.verdict) + "\n")) << label << "\n" << result.out;
        } else {
            EXPECT_EQ(result.out, "") << label;
        }
    }
}

TEST(CliOutputsTest, SummaryNamesEveryMetricWithItsDescriptionAndVerdict)
{
    test::TempFolder folder;
    test::WriteDicomFile(folder / "blotch.dcm", test::BlotchedImage(64));
    const CliResult result =
        RunInProcess({"analyse", (folder / "blotch.dcm").string(), "-o", (folder / "r.txt").string()});
    ASSERT_EQ(result.status, 0) << result.err;
    // The metrics judge the detector: their descriptions say which pixels
    // they include (no pixel deviates in this image, so no every-pixel value
    // is shown beside them).
    for (const auto& info : AllMetricInfos()) {
        EXPECT_NE(result.out.find("  " + std::string(info.Name) + " "), std::string::npos) << info.Name;
        EXPECT_NE(result.out.find(MetricDescription(info.Id, PixelBasis::WithoutDeviatingPixels) + "\n"),
                  std::string::npos)
            << info.Name;
    }
    EXPECT_EQ(result.out.find("every pixel included: "), std::string::npos) << result.out;
    for (const char* check : {"  Largest defect cluster ", "  Line defects ", "  Row correlated noise ",
                              "  Column correlated noise ", "\nDefects: no deviating pixels\n",
                              "\nLine defects: ", "\nRim: No rim found\n", "\nStructured noise: pixel noise SD ",
                              "\nOutside the ROI grid: columns 63; rows 63; 0 deviating pixels there "})
        EXPECT_NE(result.out.find(check), std::string::npos) << check << result.out;
    // 12 grid positions each way (11 half-box steps and the far edge). Global
    // uniformity: ROI means 1000 and 850 in an area of mean
    // (3696 * 1000 + 400 * 850) / 4096 = 985.35, so 150 / 985.35 = 15.22 %.
    EXPECT_NE(result.out.find("Counts: 144 ROIs,"), std::string::npos) << result.out;
    const std::size_t global = result.out.find("  Global uniformity ");
    ASSERT_NE(global, std::string::npos);
    const std::string line = result.out.substr(global, result.out.find('\n', global) - global);
    EXPECT_NE(line.find(" 15.22 % "), std::string::npos) << line;
    EXPECT_NE(line.find(" fail "), std::string::npos) << line;
    EXPECT_NE(result.out.find("  Defect pixels "), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("(preset evenor-default)"), std::string::npos);
}

TEST(CliOutputsTest, PresetsChooseTheVerdictLimitsAndTheDefaultPercentages)
{
    test::TempFolder folder;
    test::WriteDicomFile(folder / "flat.dcm", test::NoisyFlatImage(64));
    const std::string file = (folder / "flat.dcm").string();
    const std::string report = (folder / "r.txt").string();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string reportLine;  // in the report; empty: not checked
        std::string outText;     // in standard output, or standard error for status 2
    };
    const Case cases[] = {
        {{}, 0, "Deviating ROI's: > 5.00% from mean", "(preset evenor-default)"},
        {{"--preset", "european"}, 0, "Deviating ROI's: >15.00% from mean", "(preset european)"},
        {{"--preset", "european", "--roi-dev", "7"}, 0, "Deviating ROI's: > 7.00% from mean", "(preset european)"},
        {{"--preset", "european", "--pixel-dev", "3"},
         0,
         "Deviating Pixels: > 3.00% from mean in ROI",
         "pixels were searched at 3 %, the preset judges them at 20 %"},
        {{"--preset", "European"}, 2, "", "the presets are evenor-default, european"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"analyse", file, "-o", report};
        args.insert(args.end(), c.args.begin(), c.args.end());
        test::WriteWholeFile(report, "");
        const CliResult result = RunInProcess(args);
        std::string label;
        for (const auto& arg : c.args) label += arg + " ";
        EXPECT_EQ(result.status, c.status) << label << result.err;
        if (!c.reportLine.empty()) {
            EXPECT_NE(test::ReadWholeFile(report).find(c.reportLine + "\r\n"), std::string::npos) << label;
        }
        EXPECT_NE((c.status == 2 ? result.err : result.out).find(c.outText), std::string::npos) << label;
    }

    const CliResult list = RunInProcess({"analyse", "--list-presets"});
    EXPECT_EQ(list.status, 0);
    for (const auto& preset : AllPresets()) {
        EXPECT_NE(list.out.find(std::string(preset.Name)), std::string::npos);
        EXPECT_NE(list.out.find("    " + std::string(preset.Description) + "\n"), std::string::npos);
    }
    EXPECT_NE(list.out.find(std::string(DefaultPreset().Name) + " (default)\n"), std::string::npos);
}

TEST(CliOutputsTest, ProcessedImageWarning)
{
    const std::string warning = "Warning: " + std::string(ProcessedImageWarning) + "\n";
    struct Case {
        const char* intent;  // 0008,0068; null: no element
        bool processed;
    };
    const Case cases[] = {
        {"FOR PRESENTATION", true},
        {"for presentation", true},
        {"FOR PROCESSING", false},
        {nullptr, false},
    };
    test::TempFolder folder;
    const std::string file = (folder / "image.dcm").string();
    const std::string json = (folder / "r.json").string();
    for (const auto& c : cases) {
        const test::TestImage image = test::NoisyFlatImage(32);
        test::WriteWholeFile(file, c.intent ? test::BytesWithPresentationIntent(image, c.intent)
                                            : test::DicomFileBytes(image));
        const CliResult result = RunInProcess({"analyse", file, "-o", (folder / "r.txt").string(), "--json", json});
        const std::string label = c.intent ? c.intent : "none";
        ASSERT_EQ(result.status, 0) << label << result.err;
        EXPECT_EQ(result.err, (c.processed ? warning : "") + "Results written to Output File\n") << label;
        const auto document = nlohmann::json::parse(test::ReadWholeFile(json));
        EXPECT_EQ(document["image"]["processed"], c.processed) << label;
        EXPECT_EQ(document["warnings"].size(), c.processed ? 1u : 0u) << label;
        if (c.processed) {
            EXPECT_EQ(document["warnings"][0], std::string(ProcessedImageWarning));
        }
    }
}

// Images Evenor reads but does not judge: the report is written from the
// samples as read, the warning names the reason on standard error and in the
// JSON, every verdict is "not judged", and --record records nothing (single
// image and batch). The plain image beside them is judged and recorded.
TEST(CliOutputsTest, ImagesNotJudgedAreWarnedAboutAndNotRecorded)
{
    test::TempFolder folder;
    const test::TestImage plain = test::NoisyFlatImage(64);
    std::vector<test::NotJudgedImage> cases = test::NotJudgedImages(plain);
    cases.push_back({"plain", plain, ""});
    const std::string db = (folder / "history.sqlite").string();
    std::vector<std::string> files, jsons;
    for (const auto& c : cases) {
        const std::string file = (folder / (c.Name + ".dcm")).string();
        const std::string report = (folder / (c.Name + ".txt")).string();
        const std::string json = (folder / (c.Name + ".json")).string();
        test::WriteDicomFile(file, c.Image);
        const CliResult result = RunInProcess({"analyse", file, "-o", report, "--json", json, "--record", "--db", db});
        const bool judged = c.Warning.empty();
        EXPECT_EQ(result.status, judged ? 0 : 1) << c.Name << '\n' << result.err;
        EXPECT_EQ(result.err, judged ? "Results written to Output File\n"
                                     : "Warning: " + c.Warning +
                                           "\nResults written to Output File\nNot recorded: " + c.Warning + "\n")
            << c.Name;
        EXPECT_NE(result.out.find(judged ? "Overall verdict: pass\n" : "Overall verdict: not judged\n"),
                  std::string::npos)
            << c.Name << '\n'
            << result.out;
        EXPECT_NE(test::ReadWholeFile(report).find("Results of ROI's:"), std::string::npos) << c.Name;
        const auto document = nlohmann::json::parse(test::ReadWholeFile(json));
        EXPECT_EQ(document["warnings"], judged ? nlohmann::json::array() : nlohmann::json::array({c.Warning}))
            << c.Name;
        EXPECT_EQ(document["guideline"]["overall"], judged ? "pass" : "not judged") << c.Name;
        for (const auto& check : document["guideline"]["checks"])
            EXPECT_EQ(check["verdict"] == "not judged", !judged) << c.Name << ' ' << check.dump();
        files.push_back(file);
        jsons.push_back(json);
    }
    std::string problems;
    EXPECT_TRUE(ValidJson(jsons, problems)) << problems;
    const CliResult history = RunInProcess({"history", "--db", db, "--json"});
    const auto records = nlohmann::json::parse(history.out)["records"];
    ASSERT_EQ(records.size(), 1u) << history.out;
    EXPECT_EQ(records[0]["file"], files.back());

    std::vector<std::string> batch{"analyse",  "--out-dir", (folder / "batch").string(),
                                   "--record", "--db",      (folder / "batch.sqlite").string()};
    batch.insert(batch.end(), files.begin(), files.end());
    const CliResult run = RunInProcess(batch);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.out.find("6 images: 6 analysed (1 pass, 0 warning, 0 fail, 5 not judged), 0 failed"),
              std::string::npos)
        << run.out;
    for (const auto& c : cases) {
        if (!c.Warning.empty()) {
            EXPECT_NE(run.err.find(": Not recorded: " + c.Warning + "\n"), std::string::npos) << c.Name << run.err;
        }
    }
}

// Bits Allocated 0 takes each byte of 16-bit samples for a pixel: nearly
// every pixel deviates, and the JSON lists them all. It is written as it
// goes; built whole first, it took about 600 MB for 1024 x 1024 pixels.
TEST(CliOutputsTest, AJsonListingAMillionDeviatingPixelsTakesLittleMemory)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's shadow memory and quarantine make the peak meaningless";
#endif
    test::TempFolder folder;
    const test::NotJudgedImage bits0 = test::NotJudgedImages(test::NoisyFlatImage(1024))[1];
    ASSERT_EQ(bits0.Name, "bits0");
    test::WriteDicomFile(folder / "bits0.dcm", bits0.Image);
    std::vector<std::string> args{EVENOR_CLI_PATH,
                                  "analyse",
                                  (folder / "bits0.dcm").string(),
                                  "-o",
                                  (folder / "r.txt").string(),
                                  "--json",
                                  (folder / "r.json").string()};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    ASSERT_EQ(wait4(pid, &status, 0, &usage), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(usage.ru_maxrss, 200 * 1024) << "kB at the peak";
    const std::string json = test::ReadWholeFile(folder / "r.json");
    // The report's count (the grid's gaps have a count of their own later on).
    const std::string count = "\"deviating_pixels\": ";
    const std::size_t at = json.find(count, json.find("\"counts\": {"));
    ASSERT_NE(at, std::string::npos);
    const std::size_t deviating = std::stoul(json.substr(at + count.size()));
    EXPECT_GT(deviating, 500'000u);
    // Every one listed: an entry is the only place with a "roi_mean".
    std::size_t listed = 0;
    for (std::size_t i = json.find("\"roi_mean\""); i != std::string::npos; i = json.find("\"roi_mean\"", i + 1))
        ++listed;
    EXPECT_EQ(listed, deviating);
}

TEST(CliOutputsTest, ExtraOutputsComeAfterTheReport)
{
    test::TempFolder folder;
    test::WriteDicomFile(folder / "flat.dcm", test::NoisyFlatImage(32));
    const std::string file = (folder / "flat.dcm").string();
    const std::string report = (folder / "r.txt").string();
    const std::string json = (folder / "r.json").string();
    const std::string csv = (folder / "r.csv").string();

    // A JSON file that cannot be written: the report is there, the run failed.
    const std::string missing = (folder / "missing" / "r.json").string();
    CliResult result = RunInProcess({"analyse", file, "-o", report, "--json", missing, "--csv", csv});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(missing + ": File not found\n"), std::string::npos) << result.err;
    EXPECT_NE(test::ReadWholeFile(report).find("Results evenor test:"), std::string::npos);
    EXPECT_EQ(result.out, "");

    // A refused run leaves every earlier output as it was.
    for (const auto& path : {report, json, csv}) test::WriteWholeFile(path, "earlier");
    result = RunInProcess({"analyse", file, "-o", report, "--json", json, "--csv", csv, "--box-cm", "4"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Area smaller than box dimension\n");
    for (const auto& path : {report, json, csv}) EXPECT_EQ(test::ReadWholeFile(path), "earlier") << path;
}

TEST(CliOutputsTest, UsageErrorsWriteNothing)
{
    test::TempFolder folder;
    test::WriteDicomFile(folder / "a.dcm", test::NoisyFlatImage(32));
    const std::string a = (folder / "a.dcm").string();
    const std::string report = (folder / "r.txt").string();
    const std::string out = (folder / "out").string();
    struct Case {
        std::vector<std::string> args;
        std::string message;  // in standard error
    };
    const Case cases[] = {
        {{a, a, "-o", report}, "-o takes one FILE; use --out-dir OUT for several"},
        {{a}, "--output is required (or --out-dir for several images)"},
        {{"--out-dir", out}, "FILE is required"},
        {{a, "-o", report, "--out-dir", out}, "excludes"},
        {{a, "--out-dir", out, "--json", (folder / "x.json").string()}, "excludes"},
        {{a, "-o", report, "--each-json"}, "requires"},
        {{a, "-o", report, "--recursive"}, "requires"},
        {{a, "--out-dir", out, "--jobs", "0"}, "--jobs"},
        {{a, "--out-dir", ""}, "--out-dir: a folder is expected"},
        {{a, "-o", report, "--box-cm", "x"}, "--box-cm: A number is expected"},
        {{a, "--out-dir", out, "--box-cm", "x"}, "--box-cm: A number is expected"},
        // The paper of a PDF report without one.
        {{a, "-o", report, "--paper", "letter"}, "--paper: only with --pdf or --each-pdf"},
        {{a, "--out-dir", out, "--each-json", "--paper", "a4"}, "--paper: only with --pdf or --each-pdf"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"analyse"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        test::WriteWholeFile(report, "earlier");
        const CliResult result = RunInProcess(args);
        std::string label;
        for (const auto& arg : c.args) label += arg + " ";
        EXPECT_EQ(result.status, 2) << label << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << label << result.err;
        EXPECT_EQ(test::ReadWholeFile(report), "earlier") << label;
        EXPECT_FALSE(std::filesystem::exists(out)) << label;
    }
}

TEST(CliMapsTest, PngDrawsTheAreaMapAndThreeHeatMaps)
{
    test::TempFolder folder;
    test::WriteDicomFile(folder / "blotch.dcm", test::BlotchedImage(64));
    const std::string maps = (folder / "maps" / "new").string();
    // The real program: it has to start its own offscreen Qt.
    const test::CliResult result =
        test::RunProgram(folder, "-u QT_QPA_PLATFORM LC_ALL=C",
                         {"analyse", (folder / "blotch.dcm").string(), "-o", (folder / "r.txt").string(), "--png", maps,
                          "--area", "0,0,59,49"});
#if EVENOR_CLI_HAS_MAPS
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "Results written to Output File\n");
    struct Expected {
        const char* name;
        std::uint32_t width, height;  // 0: any size of at least 100
    };
    const Expected pictures[] = {{"area.png", 60, 50},
                                 {"roi-mean-deviation.png", 0, 0},
                                 {"roi-snr-deviation.png", 0, 0},
                                 {"roi-noise-deviation.png", 0, 0}};
    for (const auto& picture : pictures) {
        std::uint32_t width = 0, height = 0;
        ASSERT_TRUE(ReadPngSize(test::ReadWholeFile(std::filesystem::path(maps) / picture.name), width, height))
            << picture.name;
        if (picture.width) {
            EXPECT_EQ(width, picture.width) << picture.name;
            EXPECT_EQ(height, picture.height) << picture.name;
        } else {
            EXPECT_GE(width, 100u) << picture.name;
            EXPECT_GE(height, 100u) << picture.name;
        }
    }
#else
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("--png: this evenor-cli was not built with maps"), std::string::npos) << result.err;
    EXPECT_FALSE(std::filesystem::exists(maps));
#endif
}

TEST(CliMapsTest, BatchMapsAreTheSingleRunsMapsUnderTheImagesNames)
{
    test::TempFolder folder;
    test::WriteDicomFile(folder / "flat.dcm", test::NoisyFlatImage(64));
    test::WriteDicomFile(folder / "blotch.dcm", test::BlotchedImage(64));
    const std::string out = (folder / "out").string();
    const test::CliResult batch =
        test::RunProgram(folder, "-u QT_QPA_PLATFORM LC_ALL=C",
                         {"analyse", (folder / "flat.dcm").string(), (folder / "blotch.dcm").string(), "--out-dir", out,
                          "--each-png", "--quiet"});
#if EVENOR_CLI_HAS_MAPS
    ASSERT_EQ(batch.status, 0) << batch.err;
    for (const char* name : {"flat", "blotch"}) {
        const std::string single = (folder / (std::string("single-") + name)).string();
        const test::CliResult alone = test::RunProgram(folder, "-u QT_QPA_PLATFORM LC_ALL=C",
                                                       {"analyse", (folder / (std::string(name) + ".dcm")).string(),
                                                        "-o", (folder / "r.txt").string(), "--png", single, "--quiet"});
        ASSERT_EQ(alone.status, 0) << alone.err;
        for (const char* map :
             {"area.png", "roi-mean-deviation.png", "roi-snr-deviation.png", "roi-noise-deviation.png"}) {
            const std::string drawn = test::ReadWholeFile(std::filesystem::path(out) / (std::string(name) + "-" + map));
            EXPECT_FALSE(drawn.empty()) << name << map;
            EXPECT_EQ(drawn, test::ReadWholeFile(std::filesystem::path(single) / map)) << name << map;
        }
    }
#else
    EXPECT_EQ(batch.status, 2);
    EXPECT_NE(batch.err.find("--each-png: this evenor-cli was not built with maps"), std::string::npos) << batch.err;
#endif
}

}  // namespace
}  // namespace evenor::test
