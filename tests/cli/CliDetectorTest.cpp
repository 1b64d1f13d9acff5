// "evenor-cli analyse" judges the detector rather than its few bad pixels:
// the verdicts of --fail-on-deviation, the border (--border-mm) in single and
// batch runs, the JSON's robust metrics and findings, and the sample image.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/cli/CliTestSupport.h"

namespace evenor::test {
namespace {

namespace fs = std::filesystem;
using test::CliResult;
using test::RunInProcess;

std::string Label(const std::vector<std::string>& args)
{
    std::string label;
    for (const auto& arg : args) label += arg + " ";
    return label;
}

// The flat chessboard field (1 mm pixels) with three hot pixels far apart.
test::TestImage HotPixelImage()
{
    test::TestImage image = test::NoisyFlatImage(64);
    for (const auto& [x, y] : {std::pair{7, 9}, std::pair{33, 41}, std::pair{55, 20}})
        image.Pixels[std::size_t{y} * 64 + x] = 4000;
    return image;
}

// The same field with row 30 offset by 4 %: a line defect.
test::TestImage OffsetRowImage()
{
    test::TestImage image = test::NoisyFlatImage(64);
    for (std::size_t x = 0; x < 64; ++x) image.Pixels[30 * 64 + x] += 40;
    return image;
}

// The field with its 6 left columns in a collimator's shadow.
test::TestImage CollimatedImage()
{
    test::TestImage image = test::NoisyFlatImage(64);
    for (std::size_t y = 0; y < 64; ++y)
        for (std::size_t x = 0; x < 6; ++x) image.Pixels[y * 64 + x] = 150;
    return image;
}

std::string LineOf(const std::string& text, const std::string& start)
{
    const std::size_t at = text.find("\n" + start);
    if (at == std::string::npos) return "<no line " + start + ">";
    return text.substr(at + 1, text.find('\n', at + 1) - at - 1);
}

// A few hot pixels no longer fail the detector; a line defect does.
TEST(CliDetectorTest, TheOverallVerdictJudgesTheDetector)
{
    test::TempFolder folder;
    test::WriteDicomFile(folder / "hot.dcm", HotPixelImage());
    test::WriteDicomFile(folder / "row.dcm", OffsetRowImage());
    struct Case {
        const char* image;
        int status;  // with --fail-on-deviation
        const char* verdict;
        std::vector<std::string> lines;  // lines of the summary
    };
    const Case cases[] = {
        // Every-pixel noise uniformity and SNR deviation are far above their
        // limits; without the three pixels the field is uniform. Any
        // deviating pixel is a warning; three single pixels are not a cluster.
        {"hot.dcm",
         0,
         "warning",
         {"Defects: 3 clusters of deviating pixels (3 single pixels, 0 pairs, 0 larger); largest 1 pixel at (7.0, "
          "9.0), columns 7..7, rows 9..9, 1 hot, 0 dead",
          "Line defects: none"}},
        {"row.dcm", 3, "fail", {"Line defects: row 30 (+4.", "Defects: no deviating pixels"}},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> args = {"analyse", (folder / c.image).string(), "-o",
                                               (folder / "r.txt").string(), "--fail-on-deviation"};
        const CliResult result = RunInProcess(args);
        EXPECT_EQ(result.status, c.status) << c.image << result.err;
        EXPECT_TRUE(result.out.ends_with("Overall verdict: " + std::string(c.verdict) + "\n")) << c.image << result.out;
        for (const auto& line : c.lines)
            EXPECT_TRUE(LineOf(result.out, line.substr(0, 6)).starts_with(line)) << c.image << "\n" << result.out;
    }
    // Hot pixels: the every-pixel value is shown beside the robust one.
    const CliResult hot = RunInProcess({"analyse", (folder / "hot.dcm").string(), "-o", (folder / "r.txt").string()});
    const std::string noise = LineOf(hot.out, "  Noise uniformity");
    EXPECT_NE(noise.find(" pass "), std::string::npos) << hot.out;
    EXPECT_NE(hot.out.find("ROI statistics without the deviating pixels\n      every pixel included: "),
              std::string::npos)
        << hot.out;
}

TEST(CliDetectorTest, BorderLeavesMillimetresOutOnEverySide)
{
    test::TempFolder folder;
    test::WriteDicomFile(folder / "blotch.dcm", test::BlotchedImage(64));
    test::TestImage unspaced = test::NoisyFlatImage(64);
    unspaced.PixelSpacing.clear();
    test::WriteDicomFile(folder / "unspaced.dcm", unspaced);
    const std::string blotch = (folder / "blotch.dcm").string();
    const std::string report = (folder / "r.txt").string();
    const std::string reference = (folder / "reference.txt").string();

    struct Case {
        std::vector<std::string> args;  // after "analyse"
        int status;
        std::string message;     // in standard error ("" : only the success message)
        std::string sameAreaAs;  // --area whose report the run's must equal; "" : not checked
        std::string summary;     // a line of the summary; "" : none looked for
    };
    const Case cases[] = {
        {{blotch, "--border-mm", "0"}, 0, "", "0,0,63,63", ""},
        // 2.5 mm at 1 mm: 3 pixels, so that at least 2.5 mm is left out.
        {{blotch, "--border-mm", "2.5"},
         0,
         "",
         "3,3,60,60",
         "Border: 2.5 mm (3 pixels) left out on every side; evaluated columns 3..60, rows 3..60"},
        // Taken off the area given.
        {{blotch, "--area", "10,10,63,63", "--border-mm", "1"},
         0,
         "",
         "11,11,62,62",
         "Border: 1 mm (1 pixel) left out on every side; evaluated columns 11..62, rows 11..62"},
        {{blotch, "--border-mm", "x"}, 2, "--border-mm: A number of millimetres, 0 or more, is expected", "", ""},
        {{blotch, "--border-mm=-1"}, 2, "--border-mm: A number of millimetres, 0 or more, is expected", "", ""},
        {{blotch, "--border-mm", "inf"}, 2, "--border-mm: A number of millimetres, 0 or more, is expected", "", ""},
        {{blotch, "--border-mm", "32"},
         1,
         "A border of 32 mm on every side leaves nothing of the area (64 x 64 pixels at 1 mm)",
         "",
         ""},
        {{(folder / "unspaced.dcm").string(), "--border-mm", "1"},
         1,
         "A border in millimetres needs the pixel spacing, and the image has none",
         "",
         ""},
        // An area the checks refuse keeps their message.
        {{blotch, "--area", "0,0,64,63", "--border-mm", "1"}, 1, "Area outside the image", "", ""},
        // What is left must still hold a box.
        {{blotch, "--border-mm", "28"}, 1, "Area smaller than box dimension", "", ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"analyse"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {"-o", report});
        test::WriteWholeFile(report, "earlier");
        const CliResult result = RunInProcess(args);
        const std::string label = Label(c.args);
        EXPECT_EQ(result.status, c.status) << label << result.err;
        if (c.status == 0) {
            EXPECT_EQ(result.err, "Results written to Output File\n") << label;
        } else {
            EXPECT_NE(result.err.find(c.message + "\n"), std::string::npos) << label << result.err;
            EXPECT_EQ(test::ReadWholeFile(report), "earlier") << label;
        }
        if (!c.sameAreaAs.empty()) {
            const CliResult area = RunInProcess({"analyse", blotch, "--area", c.sameAreaAs, "-o", reference});
            ASSERT_EQ(area.status, 0) << area.err;
            EXPECT_EQ(test::ReadWholeFile(report), test::ReadWholeFile(reference)) << label;
        }
        if (!c.summary.empty()) {
            EXPECT_EQ(LineOf(result.out, c.summary.substr(0, 7)), c.summary) << label << result.out;
        } else if (c.status == 0) {
            EXPECT_EQ(result.out.find("\nBorder: "), std::string::npos) << label;
        }
    }
}

// The rim's message names the border that leaves it out, and that border does.
TEST(CliDetectorTest, TheRimMessageSuggestsTheBorderThatRemovesIt)
{
    test::TempFolder folder;
    test::WriteDicomFile(folder / "collimated.dcm", CollimatedImage());
    const std::string image = (folder / "collimated.dcm").string();
    const std::string report = (folder / "r.txt").string();
    const CliResult first = RunInProcess({"analyse", image, "-o", report});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(LineOf(first.out, "Rim: "),
              "Rim: Rim at the edges of the area: 6 columns at the left (dark); without it the area is columns "
              "6..63, rows 0..63 (a border of 6 mm on every side leaves it out); to leave it out: --border-mm 6")
        << first.out;
    const CliResult second = RunInProcess({"analyse", image, "-o", report, "--border-mm", "6"});
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(LineOf(second.out, "Rim: "), "Rim: No rim found") << second.out;
    EXPECT_EQ(LineOf(second.out, "Overall verdict: "), "Overall verdict: pass") << second.out;

    // A border too small for the rim: the suggestion counts the border given.
    const CliResult partial = RunInProcess({"analyse", image, "-o", report, "--border-mm", "2"});
    ASSERT_EQ(partial.status, 0) << partial.err;
    EXPECT_TRUE(LineOf(partial.out, "Rim: ").ends_with("; to leave it out: --border-mm 6")) << partial.out;
}

TEST(CliDetectorTest, BatchTakesTheBorderForEveryImageAndRefusesOnlyThoseItCannotApply)
{
    test::TempFolder folder;
    test::WriteDicomFile(folder / "a.dcm", test::BlotchedImage(64));
    test::WriteDicomFile(folder / "b.dcm", HotPixelImage());
    test::TestImage unspaced = test::NoisyFlatImage(64);
    unspaced.PixelSpacing.clear();
    test::WriteDicomFile(folder / "c.dcm", unspaced);
    const fs::path out = folder / "out";
    const CliResult batch =
        RunInProcess({"analyse", (folder / "a.dcm").string(), (folder / "b.dcm").string(), (folder / "c.dcm").string(),
                      "--out-dir", out.string(), "--border-mm", "2.5", "--each-json"});
    EXPECT_EQ(batch.status, 1) << batch.err;
    EXPECT_EQ(batch.err, (folder / "c.dcm").string() +
                             ": A border in millimetres needs the pixel spacing, and the image has none\n");
    for (const char* name : {"a", "b"}) {
        const fs::path single = folder / name;
        fs::create_directories(single);
        const CliResult alone =
            RunInProcess({"analyse", (folder / (std::string(name) + ".dcm")).string(), "-o",
                          (single / "r.txt").string(), "--json", (single / "r.json").string(), "--border-mm", "2.5"});
        ASSERT_EQ(alone.status, 0) << alone.err;
        EXPECT_EQ(test::ReadWholeFile(out / (std::string(name) + ".txt")), test::ReadWholeFile(single / "r.txt"));
        EXPECT_EQ(test::ReadWholeFile(out / (std::string(name) + ".json")), test::ReadWholeFile(single / "r.json"));
    }
    const auto json = nlohmann::json::parse(test::ReadWholeFile(out / "a.json"));
    EXPECT_EQ(json["settings"]["border_mm"], 2.5);
    EXPECT_EQ(json["settings"]["border_pixels"], 3);
    EXPECT_EQ(json["settings"]["area"]["first_column"], 3);
    EXPECT_EQ(json["settings"]["area"]["last_row"], 60);

    // summary.csv: the border and the detector verdict in their columns.
    const std::string summary = test::ReadWholeFile(out / "summary.csv");
    const std::string header = summary.substr(0, summary.find('\n'));
    EXPECT_TRUE(header.ends_with(",verdict,metrics_basis,robust_global_uniformity_pct,robust_local_uniformity_pct,"
                                 "robust_noise_uniformity_pct,robust_roi_mean_deviation_pct,robust_roi_snr_deviation_"
                                 "pct,defect_clusters,single_pixels,pixel_pairs,larger_clusters,largest_cluster,line_"
                                 "defects,rim,rim_border_mm,row_correlated_noise_pct,column_correlated_noise_pct,"
                                 "detector_verdict,border_mm"))
        << header;
    const std::size_t second = summary.find('\n') + 1;
    const std::string rowA = summary.substr(second, summary.find('\n', second) - second);
    EXPECT_TRUE(rowA.ends_with(",fail,2.5")) << rowA;  // the blotch fails the detector too
    const std::size_t third = summary.find('\n', second) + 1;
    const std::string rowB = summary.substr(third, summary.find('\n', third) - third);
    // The hot pixels: every-pixel verdict fail, the detector's a warning.
    EXPECT_NE(rowB.find(",evenor-default,fail,without_deviating_pixels,"), std::string::npos) << rowB;
    EXPECT_TRUE(rowB.ends_with(",3,3,0,0,1,0,0,,0,0,warning,2.5")) << rowB;
}

// The JSON holds the robust metrics and the findings, and follows the schema.
TEST(CliDetectorTest, JsonOfTheDetectorFollowsTheSchema)
{
    test::TempFolder folder;
    test::WriteDicomFile(folder / "hot.dcm", HotPixelImage());
    test::WriteDicomFile(folder / "row.dcm", OffsetRowImage());
    test::WriteDicomFile(folder / "collimated.dcm", CollimatedImage());
    std::vector<std::string> files;
    for (const char* name : {"hot", "row", "collimated"}) {
        const std::string json = (folder / (std::string(name) + ".json")).string();
        const CliResult result = RunInProcess({"analyse", (folder / (std::string(name) + ".dcm")).string(), "-o",
                                               (folder / "r.txt").string(), "--json", json});
        ASSERT_EQ(result.status, 0) << name << result.err;
        files.push_back(json);
    }
    std::string command = "/usr/bin/python3 " + test::Quoted(EVENOR_SOURCE_DIR "/tests/cli/validate_json_files.py") +
                          " " + test::Quoted(EVENOR_SOURCE_DIR "/docs/result.schema.json");
    for (const auto& file : files) command.append(1, ' ').append(test::Quoted(file));
    EXPECT_EQ(std::system(command.c_str()), 0);

    const auto hot = nlohmann::json::parse(test::ReadWholeFile(files[0]));
    EXPECT_EQ(hot["metrics_basis"], "without_deviating_pixels");
    EXPECT_LT(hot["metrics"]["noise_uniformity"]["value"].get<double>(), 10.0);
    EXPECT_GT(hot["metrics"]["noise_uniformity"]["every_pixel_value"].get<double>(), 100.0);
    EXPECT_EQ(hot["defects"]["cluster_count"], 3);
    // Equal sizes in the order of their first pixel, row by row.
    EXPECT_EQ(hot["defects"]["clusters"][1]["x"], 55.0);
    EXPECT_EQ(hot["defects"]["clusters"][1]["y"], 20.0);
    EXPECT_EQ(hot["guideline"]["overall"], "warning");
    const auto row = nlohmann::json::parse(test::ReadWholeFile(files[1]));
    ASSERT_EQ(row["defects"]["lines"].size(), 1u);
    EXPECT_EQ(row["defects"]["lines"][0]["orientation"], "row");
    EXPECT_EQ(row["defects"]["lines"][0]["index"], 30);
    const auto collimated = nlohmann::json::parse(test::ReadWholeFile(files[2]));
    EXPECT_EQ(collimated["rims"]["left"]["lines"], 6);
    EXPECT_EQ(collimated["rims"]["left"]["kind"], "dark");
    EXPECT_EQ(collimated["rims"]["border_mm"], 6.0);
}

// The sample: four hot and four dead single pixels made the every-pixel noise
// uniformity 398 %. Without them it is far below; what still fails is the
// ROI SNR deviation at the soft blotch (the blotch's shading raises the SD of
// the ROIs across its edge), a real non-uniformity of the image.
TEST(CliDetectorTest, TheSampleIsJudgedWithoutItsEightPlantedPixels)
{
    test::TempFolder folder;
    const std::string json = (folder / "sample.json").string();
    const CliResult result = RunInProcess(
        {"analyse", EVENOR_SOURCE_DIR "/samples/flatfield.dcm", "-o", (folder / "r.txt").string(), "--json", json});
    ASSERT_EQ(result.status, 0) << result.err;
    const auto document = nlohmann::json::parse(test::ReadWholeFile(json));
    const auto& noise = document["metrics"]["noise_uniformity"];
    EXPECT_GT(noise["every_pixel_value"].get<double>(), 398.0);
    EXPECT_LT(noise["value"].get<double>(), 20.0);  // below the action limit
    EXPECT_EQ(document["defects"]["single_pixels"], 8);
    EXPECT_EQ(document["defects"]["largest_cluster"], 1);
    std::vector<std::string> failing;
    for (const auto& check : document["guideline"]["checks"])
        if (check["verdict"] == "fail") failing.push_back(check["key"]);
    EXPECT_EQ(failing, std::vector<std::string>{"roi_snr_deviation"});
    EXPECT_EQ(document["metrics"]["roi_snr_deviation"]["position"], (nlohmann::json{{"x", 612}, {"y", 340}}));
    EXPECT_NE(result.out.find("every pixel included: 398.18 % at (68, 170)"), std::string::npos) << result.out;
}

}  // namespace
}  // namespace evenor::test
