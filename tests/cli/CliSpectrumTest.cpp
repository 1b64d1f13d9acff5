// "evenor-cli analyse --nps": the summary's spectrum lines and the JSON's
// "nps", or why there is none; the report stays as it is without the flag.
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/cli/CliTestSupport.h"

namespace evenor::test {
namespace {

using test::CliResult;
using test::RunInProcess;

// Gaussian noise of SD 20 on 1000 (1 mm pixels), a sinusoid of amplitude
// `wave` along x at 0.25 mm^-1 (a 4-pixel pattern across the columns).
test::TestImage NoiseImage(std::uint16_t side, double wave)
{
    test::TestImage image = test::FlatImage(side, side, 1000);
    std::mt19937 random(3);
    std::normal_distribution<double> noise(0.0, 20.0);
    for (std::uint16_t y = 0; y < side; ++y)
        for (std::uint16_t x = 0; x < side; ++x)
            image.Pixels[std::size_t{y} * side + x] = static_cast<std::uint16_t>(
                std::lround(1000.0 + noise(random) + wave * std::cos(2.0 * 3.14159265358979 * 0.25 * x)));
    return image;
}

TEST(CliSpectrumTest, SummaryAndJsonCarryTheSpectrumOrWhyThereIsNone)
{
    struct Case {
        std::uint16_t Side;
        double Wave;
        const char* SummaryLine;
        const char* Verdict;  // nullptr: no spectrum
        const char* Peak;
    } cases[] = {
        {384, 0.0, "Noise power spectrum: no periodic pattern (stored values, 4 ROIs of 256 x 256 pixels)\n",
         "no periodic pattern", nullptr},
        {384, 40.0, "Noise power spectrum: periodic pattern (stored values, 4 ROIs of 256 x 256 pixels)\n",
         "periodic pattern", "  peak: a 4-pixel pattern across the columns at 0.25 mm^-1, "},
        {200, 0.0,
         "Noise power spectrum: not computed (The noise power spectrum needs an area of at least 256 x 256 "
         "pixels)\n",
         nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.SummaryLine);
        test::TempFolder folder;
        test::WriteDicomFile(folder / "field.dcm", NoiseImage(c.Side, c.Wave));
        const std::string file = (folder / "field.dcm").string();
        const std::string json = (folder / "result.json").string();
        const CliResult plain = RunInProcess({"analyse", file, "-o", (folder / "plain.txt").string()});
        const CliResult result =
            RunInProcess({"analyse", file, "-o", (folder / "report.txt").string(), "--json", json, "--nps"});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(test::ReadWholeFile(folder / "report.txt"), test::ReadWholeFile(folder / "plain.txt"));
        EXPECT_NE(result.out.find(c.SummaryLine), std::string::npos) << result.out;
        EXPECT_EQ(plain.out.find("Noise power spectrum"), std::string::npos);
        if (c.Peak) EXPECT_NE(result.out.find(c.Peak), std::string::npos) << result.out;

        const auto nps = nlohmann::json::parse(test::ReadWholeFile(json))["nps"];
        if (!c.Verdict) {
            EXPECT_EQ(nps["not_computed"], "The noise power spectrum needs an area of at least 256 x 256 pixels");
            continue;
        }
        EXPECT_EQ(nps["verdict"], c.Verdict);
        EXPECT_EQ(nps["values"], "stored values");
        EXPECT_EQ(nps["frequencies"].size(), 128u);
        EXPECT_EQ(nps["frequencies"].back(), 0.5);  // Nyquist at 1 mm
        for (const char* curve : {"horizontal", "vertical", "radial"}) EXPECT_EQ(nps[curve].size(), 128u);
        ASSERT_EQ(nps["metrics"].size(), 1u);  // only 0.5 mm^-1 lies within Nyquist
        EXPECT_EQ(nps["peaks"].size(), c.Peak ? 1u : 0u);
    }
}

TEST(CliSpectrumTest, WithoutTheFlagTheJsonHasNoSpectrumAndBatchesRefuseIt)
{
    test::TempFolder folder;
    test::WriteDicomFile(folder / "field.dcm", NoiseImage(64, 0.0));
    const std::string file = (folder / "field.dcm").string();
    const std::string json = (folder / "result.json").string();
    ASSERT_EQ(RunInProcess({"analyse", file, "-o", (folder / "r.txt").string(), "--json", json}).status, 0);
    EXPECT_FALSE(nlohmann::json::parse(test::ReadWholeFile(json)).contains("nps"));
    const CliResult batch = RunInProcess({"analyse", file, "--out-dir", (folder / "out").string(), "--nps"});
    EXPECT_EQ(batch.status, 2);
}

TEST(CliSpectrumTest, TheRecordKeepsTheMetricsAndPeaks)
{
    test::TempFolder folder;
    const std::string db = (folder / "h.sqlite").string();
    const std::string sample = std::string(EVENOR_SOURCE_DIR) + "/samples/flatfield.dcm";
    const CliResult recorded = RunInProcess(
        {"analyse", sample, "-o", (folder / "r.txt").string(), "-q", "--nps", "--record", "--db", db, "--by", "qa"});
    ASSERT_EQ(recorded.status, 0) << recorded.err;
    const CliResult history = RunInProcess({"history", "--db", db, "--detector", "DET-0042", "--json"});
    ASSERT_EQ(history.status, 0) << history.err;
    const auto nps = nlohmann::json::parse(history.out)["records"][0]["details"]["nps"];
    EXPECT_EQ(nps["verdict"], "no periodic pattern");
    EXPECT_EQ(nps["rois"], 49);
    EXPECT_EQ(nps["metrics"].size(), 3u);  // 4 mm^-1 lies beyond Nyquist at 0.143 mm
    EXPECT_TRUE(nps["peaks"].is_array());
    EXPECT_FALSE(nps.contains("horizontal"));
}

TEST(CliSpectrumTest, PngFolderGetsThePlotsWhichNoOtherOutputMayReplace)
{
    if (!EVENOR_CLI_HAS_MAPS) GTEST_SKIP() << "built without the map renderer";
    test::TempFolder folder;
    test::WriteDicomFile(folder / "field.dcm", NoiseImage(300, 0.0));
    const std::string file = (folder / "field.dcm").string();
    const std::string png = (folder / "png").string();
    // The real program, beside its map module.
    const CliResult result =
        test::RunProgram(folder, "-u QT_QPA_PLATFORM LC_ALL=C",
                         {"analyse", file, "-o", (folder / "r.txt").string(), "--png", png, "--nps"});
    ASSERT_EQ(result.status, 0) << result.err;
    struct Plot {
        const char* Name;
        std::uint32_t Width, Height;
    } plots[] = {{"nnps.png", 800, 500}, {"nnps-2d.png", 512, 512}};
    for (const Plot& plot : plots) {
        std::uint32_t width = 0, height = 0;
        ASSERT_TRUE(test::ReadPngSize(test::ReadWholeFile(folder / "png" / plot.Name), width, height)) << plot.Name;
        EXPECT_EQ(width, plot.Width);
        EXPECT_EQ(height, plot.Height);
    }
    // The report named as one of the plots is refused before anything is written.
    const std::string clash = (folder / "png" / "nnps.png").string();
    const CliResult refused =
        test::RunProgram(folder, "-u QT_QPA_PLATFORM LC_ALL=C", {"analyse", file, "-o", clash, "--png", png, "--nps"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("The file is named for two outputs"), std::string::npos) << refused.err;
}

}  // namespace
}  // namespace evenor::test
