#include "insight/ResultExport.h"

#include <gtest/gtest.h>

#include <charconv>
#include <clocale>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "base/EvenorError.h"
#include "insight/DetectorInsight.h"
#include "tests/support/DetectorPhantoms.h"
#include "tests/support/Phantom.h"
#include "tests/support/TempFolder.h"

namespace evenor::test {
namespace {

using Json = nlohmann::ordered_json;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Blotch {
    AnalysisSettings Settings;
    AnalysisResult Result;
};

Blotch MakeBlotch()
{
    const auto phantom = test::BlotchPhantom();
    Blotch blotch{test::WholeArea(phantom, 10.0, 20.0, true), {}};
    blotch.Result = test::Analyse(phantom, blotch.Settings, 20);
    return blotch;
}

double ParseReal(std::string_view text)
{
    double value = kNaN;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    EXPECT_TRUE(error == std::errc() && end == text.data() + text.size()) << "not a number: " << text;
    return value;
}

// One CSV line into its fields, undoing the quoting.
std::vector<std::string> SplitCsv(const std::string& line)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"')
            fields.back() += line[++i];
        else if (line[i] == '"')
            quoted = !quoted;
        else if (line[i] == ',' && !quoted)
            fields.emplace_back();
        else
            fields.back() += line[i];
    }
    return fields;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The process in a comma-decimal locale for one test.
struct GermanLocale {
    GermanLocale()
    {
        if (std::setlocale(LC_ALL, "de_DE.UTF-8")) std::locale::global(std::locale("de_DE.UTF-8"));
    }
    ~GermanLocale()
    {
        std::locale::global(std::locale::classic());
        std::setlocale(LC_ALL, "C");
    }
    static bool Active() { return std::use_facet<std::numpunct<char>>(std::locale()).decimal_point() == ','; }
};

TEST(ResultJson, HoldsEverythingWithExactNumbersUnderACommaLocale)
{
    Blotch blotch = MakeBlotch();
    blotch.Settings.PixelOffset = 100;
    ResultContext context{{true, 4095, true}, 0.143, {}, FindPreset("european")};
    context.Image.Manufacturer = "Acme Imaging";
    context.Image.PresentationIntentType = "FOR PRESENTATION";

    GermanLocale german;
    ASSERT_TRUE(GermanLocale::Active()) << "de_DE.UTF-8 is missing: scripts/install-deps generates it";
    std::ostringstream out;
    out.imbue(std::locale());
    WriteResultJson(out, blotch.Settings, blotch.Result, context);
    EXPECT_NE(out.str().find("\"mean\": 999.0,"), std::string::npos);
    const Json json = Json::parse(out.str());

    EXPECT_EQ(json["input_file"], "/data/phantom.dcm");
    EXPECT_EQ(json["settings"]["pixel_spacing_mm"].get<double>(), 0.143);
    EXPECT_EQ(json["settings"]["inversion_maximum"], 4095);
    EXPECT_EQ(json["settings"]["clipped_below_offset"], true);
    EXPECT_EQ(json["image"]["manufacturer"], "Acme Imaging");
    EXPECT_TRUE(json["image"]["model"].is_null());
    EXPECT_EQ(json["warnings"], Json::array({ProcessedImageWarning}));
    EXPECT_EQ(json["area"]["sd"].get<double>(), blotch.Result.AreaSD);
    ASSERT_EQ(json["rois"].size(), blotch.Result.Rois.size());
    for (std::size_t i = 0; i < blotch.Result.Rois.size(); ++i) {
        const RoiResult& roi = blotch.Result.Rois[i];
        ASSERT_EQ(json["rois"][i]["index"], i);
        ASSERT_EQ(json["rois"][i]["y"], roi.Y);
        ASSERT_EQ(json["rois"][i]["sd"].get<double>(), roi.SD);  // bit for bit through the text
        ASSERT_EQ(json["rois"][i]["snr"].get<double>(), roi.SNR);
    }
    ASSERT_EQ(json["deviating_rois"].size(), 4u);
    EXPECT_EQ(json["deviating_rois"][0]["snr"].get<double>(),
              blotch.Result.BadROIMap[0].Mean / blotch.Result.BadROIMap[0].SD);
    const UniformityMetrics metrics = ComputeMetrics(blotch.Result);
    EXPECT_EQ(json["metrics"]["local_uniformity"]["value"].get<double>(), *metrics[MetricId::LocalUniformity].Value);
    EXPECT_EQ(json["metrics"]["local_uniformity"]["position"], (Json{{"x", 30}, {"y", 30}}));
    EXPECT_EQ(json["guideline"]["checks"].size(), MetricCount + 1);
    EXPECT_EQ(json["guideline"]["overall"], VerdictName(Judge(metrics, blotch.Settings, *context.Preset).Overall));
}

TEST(ResultJson, StaleFlagsMissingValuesAndForeignBytes)
{
    Blotch blotch = MakeBlotch();
    // Clipping counts only when an offset was subtracted.
    blotch.Settings.DicomFileName = "/data/r\xf6ntgen.dcm";  // Latin-1
    blotch.Result.AreaMean = 0.0;
    blotch.Result.AreaSNR = kNaN;
    blotch.Result.Rois[0].SNR = kInf;
    std::ostringstream out;
    ResultContext context;
    context.Preparation = {false, 4095, true};  // not inverted; no offset subtracted
    ASSERT_NO_THROW(WriteResultJson(out, blotch.Settings, blotch.Result, context));
    EXPECT_EQ(out.str().find("NaN"), std::string::npos);
    const Json json = Json::parse(out.str());

    EXPECT_EQ(json["input_file"], "/data/r\xef\xbf\xbdntgen.dcm");
    EXPECT_TRUE(json["settings"]["inversion_maximum"].is_null());
    EXPECT_EQ(json["settings"]["clipped_below_offset"], false);
    EXPECT_TRUE(json["area"]["snr"].is_null());
    EXPECT_TRUE(json["rois"][0]["snr"].is_null());
    EXPECT_TRUE(json["metrics"]["global_uniformity"]["value"].is_null());
    EXPECT_TRUE(json["metrics"]["roi_mean_deviation"]["position"].is_null());
    EXPECT_TRUE(json["guideline"].is_null());
}

TEST(FormatReal, ShortestRoundTripWithFullStop)
{
    GermanLocale german;
    ASSERT_TRUE(GermanLocale::Active()) << "de_DE.UTF-8 is missing: scripts/install-deps generates it";
    const std::vector<std::pair<double, std::string>> cases{
        {0.1, "0.1"},      {975.0, "975"}, {0.1 + 0.2, "0.30000000000000004"},
        {1e300, "1e+300"}, {-1.5, "-1.5"}, {5e-324, "5e-324"},
        {kNaN, ""},        {kInf, ""},     {-kInf, ""},
    };
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(FormatReal(value), text);
        if (!text.empty()) {
            EXPECT_EQ(ParseReal(text), value);
        }
    }
}

TEST(RoiCsv, OneRowPerRoiWithFullStopsUnderACommaLocale)
{
    const Blotch blotch = MakeBlotch();
    GermanLocale german;
    ASSERT_TRUE(GermanLocale::Active()) << "de_DE.UTF-8 is missing: scripts/install-deps generates it";
    std::ostringstream out;
    out.imbue(std::locale());
    WriteRoiCsv(out, blotch.Result);

    const auto lines = Lines(out.str());
    ASSERT_EQ(lines.size(), blotch.Result.Rois.size() + 1);
    EXPECT_EQ(lines[0], "index,x,y,max,min,mean,sd,snr,mean_dev_pct,snr_dev_pct,deviating");
    for (std::size_t i = 0; i < blotch.Result.Rois.size(); ++i) {
        const auto fields = SplitCsv(lines[i + 1]);
        ASSERT_EQ(fields.size(), 11u) << lines[i + 1];
        const RoiResult& roi = blotch.Result.Rois[i];
        EXPECT_EQ(fields[0] + " " + fields[1] + " " + fields[2],
                  std::to_string(i) + " " + std::to_string(roi.X) + " " + std::to_string(roi.Y));
        EXPECT_EQ(ParseReal(fields[6]), roi.SD);
        EXPECT_EQ(ParseReal(fields[8]), *DeviationPercent(roi.Mean, blotch.Result.AreaMean));
        EXPECT_EQ(ParseReal(fields[9]), *DeviationPercent(roi.SNR, blotch.Result.MeanRoiSNR));
        const bool inBlotch = (roi.X == 30 || roi.X == 40) && (roi.Y == 30 || roi.Y == 40);
        EXPECT_EQ(fields[10], inBlotch ? "1" : "0");
    }

    AnalysisResult dark;  // no reference: empty deviation fields
    dark.Rois.push_back(test::Roi(0, 0, 0.0, 0.0));
    std::ostringstream darkOut;
    WriteRoiCsv(darkOut, dark);
    EXPECT_EQ(Lines(darkOut.str()).at(1), "0,0,0,0,0,0,0,0,,,0");
}

TEST(SummaryCsv, RowsMatchTheHeader)
{
    const Blotch blotch = MakeBlotch();
    ResultContext context;
    context.Preset = FindPreset("european");
    context.Image.Manufacturer = "Acme, \"Imaging\"";
    context.Image.Station = "=HYPERLINK(\"x\")";

    const auto header = SplitCsv(SummaryCsvHeader());
    const auto row = SplitCsv(SummaryCsvRow("/qa/flat.dcm", blotch.Settings, blotch.Result, context));
    const auto error = SplitCsv(SummaryCsvErrorRow("-bad.dcm", "Not a DICOM file, no DICM"));
    ASSERT_EQ(row.size(), header.size());
    ASSERT_EQ(error.size(), header.size());
    const auto field = [&](const std::vector<std::string>& fields, std::string_view name) {
        const auto at = std::find(header.begin(), header.end(), name);
        return at == header.end() ? std::string("<no column>") : fields[at - header.begin()];
    };
    const UniformityMetrics metrics = ComputeMetrics(blotch.Result);
    const std::vector<std::pair<const char*, std::string>> expected{
        {"file", "/qa/flat.dcm"},
        {"status", "ok"},
        {"error", ""},
        {"manufacturer", "Acme, \"Imaging\""},
        {"station", "'=HYPERLINK(\"x\")"},
        {"rois", "81"},
        {"deviating_rois", "4"},
        {"area_mean", "999"},
        {"local_uniformity_pct", FormatReal(*metrics[MetricId::LocalUniformity].Value)},
        {"local_uniformity_x", "30"},
        {"roi_mean_deviation_y", "30"},
        {"preset", "european"},
        {"verdict", std::string(VerdictName(Judge(metrics, blotch.Settings, *context.Preset).Overall))},
    };
    for (const auto& [name, value] : expected) EXPECT_EQ(field(row, name), value) << name;
    EXPECT_EQ(field(error, "file"), "'-bad.dcm");
    EXPECT_EQ(field(error, "status"), "error");
    EXPECT_EQ(field(error, "error"), "Not a DICOM file, no DICM");
    EXPECT_EQ(field(error, "rois"), "");
}

// A field with eight hot pixels, inspected: the JSON's value is the robust
// metric, every_pixel_value the report's, the description says which; the
// verdicts are those the summaries show; the summary row keeps every earlier
// column as it was and adds the detector's at the end.
// The writers stream the long lists (a result may list millions of deviating
// pixels) and write, byte for byte, the document ResultToJson gives: with and
// without the detector's findings, lists cut at ListLimit or empty, foreign
// bytes replaced, an image not judged.
TEST(ResultJson, WrittenFileIsTheDocumentByteForByte)
{
    test::Image image = test::PoissonImage(test::FlatSignal(128, 128, 2000.0), 5);
    for (std::uint32_t i = 0; i < 6; ++i) image.At(10 + 19 * i, 12 + 17 * i) = 16000;
    test::Inspection run = test::Inspect(image);
    run.Settings.DicomFileName = "/data/r\xf6ntgen.dcm";
    ASSERT_EQ(run.Result.BadPixelMap.size(), 6u);
    ASSERT_EQ(run.Insight.Clusters.Clusters.size(), 6u);
    const test::TempFolder folder;
    for (const bool withInsight : {true, false})
        for (const std::size_t limit : {SIZE_MAX, std::size_t{2}, std::size_t{0}}) {
            ResultContext context;
            context.Preset = &DefaultPreset();
            context.Insight = withInsight ? &run.Insight : nullptr;
            context.ListLimit = limit;
            if (limit == 2) context.Image.NotJudged = {"Pixel Representation is 1: signed"};
            const std::string label = (withInsight ? "insight, limit " : "no insight, limit ") + std::to_string(limit);
            const std::string expected =
                ResultToJson(run.Settings, run.Result, context).dump(2, ' ', false, Json::error_handler_t::replace) +
                "\n";
            std::ostringstream out;
            WriteResultJson(out, run.Settings, run.Result, context);
            EXPECT_EQ(out.str(), expected) << label;
            const auto path = folder / "result.json";
            WriteResultJson(path.string(), run.Settings, run.Result, context);
            EXPECT_EQ(test::ReadWholeFile(path), expected) << label;
        }
}

TEST(ResultJson, RobustValuesBesideTheEveryPixelOnesAndTheDetectorsFindings)
{
    test::Image image = test::PoissonImage(test::FlatSignal(256, 256, 2000.0), 9);
    for (std::uint32_t i = 0; i < 8; ++i) image.At(20 + 27 * i, 30 + 25 * i) = 16000;
    const test::Inspection run = test::Inspect(image);
    ASSERT_EQ(run.Result.BadPixelMap.size(), 8u);
    ResultContext context;
    context.Preset = &DefaultPreset();
    context.PixelSpacing = test::SpacingFor(image);
    context.Insight = &run.Insight;
    const Json json = ResultToJson(run.Settings, run.Result, context);

    EXPECT_EQ(json["schema_version"], 2);
    EXPECT_EQ(json["metrics_basis"], "without_deviating_pixels");
    const UniformityMetrics every = ComputeMetrics(run.Result);
    for (const auto& info : AllMetricInfos()) {
        const Json& metric = json["metrics"][std::string(info.Key)];
        EXPECT_EQ(metric["value"].get<double>(), *run.Insight.Metrics.Robust[info.Id].Value) << info.Key;
        EXPECT_EQ(metric["every_pixel_value"].get<double>(), *every[info.Id].Value) << info.Key;
        EXPECT_EQ(metric["description"], MetricDescription(info.Id, PixelBasis::WithoutDeviatingPixels));
    }
    // 16000 in ROIs of 1024 pixels around 2000: the every-pixel noise
    // uniformity is in the hundreds of per cent, the robust one small.
    EXPECT_GT(json["metrics"]["noise_uniformity"]["every_pixel_value"].get<double>(), 100.0);
    EXPECT_LT(json["metrics"]["noise_uniformity"]["value"].get<double>(), 25.0);
    EXPECT_EQ(json["metrics"]["row_correlated_noise"]["description"], kRowNoiseInfo.Description);
    EXPECT_EQ(json["metrics"]["column_correlated_noise"]["value"].get<double>(),
              *run.Insight.Noise.Columns.CorrelatedPercent);

    const Json& defects = json["defects"];
    EXPECT_EQ(defects["cluster_count"], 8);
    EXPECT_EQ(defects["single_pixels"], 8);
    EXPECT_EQ(defects["largest_cluster"], 1);
    EXPECT_EQ(defects["clusters"][0], (Json{{"size", 1},
                                            {"x", 20.0},
                                            {"y", 30.0},
                                            {"left", 20},
                                            {"top", 30},
                                            {"right", 20},
                                            {"bottom", 30},
                                            {"hot", 1},
                                            {"dead", 0}}));
    EXPECT_EQ(defects["lines"], Json::array());
    EXPECT_EQ(json["rims"]["found"], false);
    EXPECT_EQ(json["rims"]["description"], "No rim found");
    EXPECT_EQ(json["rims"]["border_mm"].get<double>(), 0.0);

    const GuidelineVerdict verdict = Judge(run.Insight, run.Settings, DefaultPreset());
    ASSERT_EQ(json["guideline"]["checks"].size(), verdict.Checks.size());
    EXPECT_EQ(verdict.Checks.size(), MetricCount + 5);
    for (std::size_t i = 0; i < verdict.Checks.size(); ++i) {
        EXPECT_EQ(json["guideline"]["checks"][i]["key"], verdict.Checks[i].Key);
        EXPECT_EQ(json["guideline"]["checks"][i]["verdict"], VerdictName(verdict.Checks[i].Result));
    }
    EXPECT_EQ(json["guideline"]["overall"], VerdictName(verdict.Overall));

    // The summary row: the earlier columns as they always were, then the new ones.
    const std::string earlier =
        "file,status,error,manufacturer,model,station,detector_id,acquisition_date,kvp,exposure,exposure_unit,"
        "presentation_intent_type,processed,box_cm,box_pixels,roi_deviation_percent,pixel_deviation_percent,rois,"
        "deviating_rois,deviating_pixels,area_mean,area_sd,area_snr,mean_roi_snr,roi_snr_sd,global_uniformity_pct,"
        "local_uniformity_pct,local_uniformity_x,local_uniformity_y,noise_uniformity_pct,noise_uniformity_x,"
        "noise_uniformity_y,roi_mean_deviation_pct,roi_mean_deviation_x,roi_mean_deviation_y,roi_snr_deviation_pct,"
        "roi_snr_deviation_x,roi_snr_deviation_y,preset,verdict,";
    ASSERT_TRUE(SummaryCsvHeader().starts_with(earlier)) << SummaryCsvHeader();
    ResultContext plain = context;
    plain.Insight = nullptr;
    const std::string withInsight = SummaryCsvRow("/qa/hot.dcm", run.Settings, run.Result, context);
    const std::string without = SummaryCsvRow("/qa/hot.dcm", run.Settings, run.Result, plain);
    const std::size_t earlierColumns = SplitCsv(earlier).size() - 1;
    const auto header = SplitCsv(SummaryCsvHeader()), row = SplitCsv(withInsight), bare = SplitCsv(without);
    ASSERT_EQ(row.size(), header.size());
    ASSERT_EQ(bare.size(), header.size());
    for (std::size_t i = 0; i < earlierColumns; ++i) EXPECT_EQ(row[i], bare[i]) << header[i];
    const auto field = [&](std::string_view name) {
        const auto at = std::find(header.begin(), header.end(), name);
        return at == header.end() ? std::string("<no column>") : row[at - header.begin()];
    };
    EXPECT_EQ(field("verdict"), VerdictName(Judge(every, run.Settings, DefaultPreset()).Overall));
    EXPECT_EQ(field("detector_verdict"), VerdictName(verdict.Overall));
    EXPECT_EQ(field("robust_noise_uniformity_pct"),
              FormatReal(*run.Insight.Metrics.Robust[MetricId::NoiseUniformity].Value));
    EXPECT_EQ(field("defect_clusters"), "8");
    EXPECT_EQ(field("largest_cluster"), "1");
    EXPECT_EQ(field("line_defects"), "0");
    EXPECT_EQ(field("rim"), "0");
    EXPECT_EQ(field("border_mm"), "0");
}

TEST(ExportFiles, ReplaceAFileOrThrowTheReportsErrors)
{
    const Blotch blotch = MakeBlotch();
    const struct {
        const char* path;
        int code;
        const char* message;
    } cases[]{
        {"/dev/full", 101, "Disk full"},
        {"/nonexistent-folder-of-evenor/result.json", 2, "File not found"},
        {"/", 5, "File access denied"},
    };
    for (const auto& c : cases) {
        for (int writer = 0; writer < 2; ++writer) {
            SCOPED_TRACE(std::string(c.path) + (writer == 0 ? " json" : " csv"));
            try {
                if (writer == 0) WriteResultJson(c.path, blotch.Settings, blotch.Result, ResultContext{});
                if (writer == 1) WriteRoiCsv(c.path, blotch.Result);
                ADD_FAILURE() << "no error";
            } catch (const InOutError& e) {
                EXPECT_EQ(e.Code(), c.code);
                EXPECT_STREQ(e.what(), c.message);
            }
        }
    }
    std::ostringstream broken;
    broken.setstate(std::ios::badbit);
    EXPECT_THROW(WriteRoiCsv(broken, blotch.Result), InOutError);

    // A longer file at the path is replaced entirely.
    const test::TempFolder folder;
    const auto path = folder / "rois.csv";
    std::ofstream(path) << std::string(100000, 'x');
    WriteRoiCsv(path.string(), blotch.Result);
    std::ostringstream expected;
    WriteRoiCsv(expected, blotch.Result);
    EXPECT_EQ(std::filesystem::file_size(path), expected.str().size());
}

// A clean field at a low dose has thousands of pixels beyond the 20 % band and
// no defect pixel: the summary row's verdict, the JSON's and the run's warnings
// agree that it passes; without the inspection the raw count only warns.
TEST(ResultExportTest, LowDoseCleanFieldPassesInEveryVerdictAndRunWarningsReachTheJson)
{
    const Image image = FlatPoisson(1024, 200.0, 7);
    const Inspection run = Inspect(image, 1.0, 0.15);
    ASSERT_GT(run.Result.BadPixelMap.size(), 500u);
    ResultContext context;
    context.Preset = &DefaultPreset();
    context.Insight = &run.Insight;
    context.Warnings = {"The response was measured on another detector (DET-A)"};
    const auto header = SplitCsv(SummaryCsvHeader());
    const auto verdictOf = [&](const ResultContext& c) {
        const auto row = SplitCsv(SummaryCsvRow("/qa/low.dcm", run.Settings, run.Result, c));
        return row[std::find(header.begin(), header.end(), "verdict") - header.begin()];
    };
    EXPECT_EQ(verdictOf(context), "pass");
    const auto json = ResultToJson(run.Settings, run.Result, context);
    EXPECT_EQ(json["guideline"]["overall"], "pass");
    EXPECT_EQ(json["warnings"].back(), context.Warnings.front());
    ResultContext plain = context;
    plain.Insight = nullptr;
    EXPECT_EQ(verdictOf(plain), "warning");
}

}  // namespace
}  // namespace evenor::test
