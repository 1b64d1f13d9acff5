#include "ResultExport.h"

#include <gtest/gtest.h>

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <locale>
#include <sstream>

#include "EvenorError.h"
#include "Phantom.h"

namespace evenor {
namespace {

using testing::AddTo;
using testing::Analyse;
using testing::Checkerboard;
using testing::Roi;
using testing::WholeArea;
using Json = nlohmann::ordered_json;

struct Blotch {
    AnalysisSettings Settings;
    AnalysisResult Result;
};

// The blotch phantom of the metrics tests: four deviating ROIs at (30|40, 30|40).
Blotch MakeBlotch()
{
    auto phantom = Checkerboard(100, 100, 1000, 10);
    AddTo(phantom, 40, 40, 10, 10, -100);
    Blotch blotch;
    blotch.Settings = WholeArea(phantom, 10.0, 20.0, true);
    blotch.Result = Analyse(phantom, blotch.Settings, 20);
    return blotch;
}

double ParseReal(std::string_view text)
{
    double value = std::numeric_limits<double>::quiet_NaN();
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    EXPECT_TRUE(error == std::errc() && end == text.data() + text.size()) << "not a number: " << text;
    return value;
}

// Splits one CSV line into its fields, undoing the quoting.
std::vector<std::string> SplitCsv(const std::string& line)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
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

// Switches the process to a comma-decimal locale for one test.
class GermanLocale {
public:
    GermanLocale() : previous_(std::locale())
    {
        ok_ = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
        if (ok_) std::locale::global(std::locale("de_DE.UTF-8"));
    }
    ~GermanLocale()
    {
        std::locale::global(previous_);
        std::setlocale(LC_ALL, "C");
    }
    bool Ok() const { return ok_; }

private:
    std::locale previous_;
    bool ok_ = false;
};

TEST(ResultJson, HoldsEverythingWithExactNumbers)
{
    Blotch blotch = MakeBlotch();
    blotch.Settings.PixelOffset = 100;
    blotch.Settings.ClippedBelowOffset = true;
    blotch.Settings.InversionMaximum = 4095;
    ResultContext context;
    context.PixelsInverted = true;
    context.PixelSpacing = 0.143;
    context.Image.Manufacturer = "Acme Imaging";
    context.Image.PresentationIntentType = "FOR PRESENTATION";
    context.Preset = FindPreset("european");

    // Through the text, as a reader gets it.
    std::ostringstream out;
    WriteResultJson(out, blotch.Settings, blotch.Result, context);
    const Json json = Json::parse(out.str());

    EXPECT_EQ(json["schema_version"], ResultSchemaVersion);
    EXPECT_EQ(json["tool"]["name"], "Evenor");
    EXPECT_EQ(json["input_file"], "/data/phantom.dcm");
    const auto& settings = json["settings"];
    EXPECT_EQ(settings["area"]["last_column"], 99);
    EXPECT_EQ(settings["box_pixels"], 20);
    EXPECT_EQ(settings["pixel_spacing_mm"].get<double>(), 0.143);
    EXPECT_EQ(settings["inversion_maximum"], 4095);
    EXPECT_EQ(settings["clipped_below_offset"], true);
    EXPECT_EQ(json["image"]["manufacturer"], "Acme Imaging");
    EXPECT_TRUE(json["image"]["model"].is_null());
    EXPECT_EQ(json["image"]["processed"], true);
    EXPECT_EQ(json["warnings"], Json::array({ProcessedImageWarning}));

    EXPECT_EQ(json["area"]["sd"].get<double>(), blotch.Result.AreaSD);
    EXPECT_EQ(json["roi_snr"]["mean"].get<double>(), blotch.Result.MeanRoiSNR);
    ASSERT_EQ(json["rois"].size(), blotch.Result.Rois.size());
    for (std::size_t i = 0; i < blotch.Result.Rois.size(); ++i) {
        const auto& roi = json["rois"][i];
        const RoiResult& expected = blotch.Result.Rois[i];
        ASSERT_EQ(roi["index"], i);
        ASSERT_EQ(roi["x"], expected.X);
        ASSERT_EQ(roi["y"], expected.Y);
        ASSERT_EQ(roi["max"], expected.Maximum);
        // Bit for bit, through the decimal text.
        ASSERT_EQ(roi["sd"].get<double>(), expected.SD);
        ASSERT_EQ(roi["snr"].get<double>(), expected.SNR);
    }
    ASSERT_EQ(json["deviating_rois"].size(), 4u);
    EXPECT_EQ(json["deviating_rois"][0]["x"], 30);
    EXPECT_EQ(json["deviating_rois"][0]["snr"].get<double>(),
              blotch.Result.BadROIMap[0].Mean / blotch.Result.BadROIMap[0].SD);
    EXPECT_EQ(json["deviating_pixels"].size(), blotch.Result.BadPixelMap.size());
    EXPECT_EQ(json["counts"]["deviating_rois"], 4);

    const auto& local = json["metrics"]["local_uniformity"];
    EXPECT_EQ(local["value"].get<double>(), *ComputeMetrics(blotch.Result)[MetricId::LocalUniformity].Value);
    EXPECT_EQ(local["position"], (Json{{"x", 30}, {"y", 30}}));
    EXPECT_EQ(local["description"], InfoOf(MetricId::LocalUniformity).Description);
    EXPECT_TRUE(json["metrics"]["global_uniformity"]["position"].is_null());

    const auto& guideline = json["guideline"];
    EXPECT_EQ(guideline["preset"], "european");
    ASSERT_EQ(guideline["checks"].size(), MetricCount + 1);
    EXPECT_EQ(guideline["checks"][0]["key"], "global_uniformity");
    EXPECT_EQ(guideline["checks"][0]["limits"]["action"].get<double>(), 10.0);
    const GuidelineVerdict verdict =
        Judge(ComputeMetrics(blotch.Result), blotch.Settings, *FindPreset("european"));
    EXPECT_EQ(guideline["overall"], VerdictName(verdict.Overall));
}

TEST(ResultJson, StaleFlagsAndMissingValues)
{
    Blotch blotch = MakeBlotch();
    // Left over from an earlier run: this run neither inverted nor subtracted.
    blotch.Settings.InversionMaximum = 4095;
    blotch.Settings.ClippedBelowOffset = true;
    blotch.Settings.PixelOffset = 0;
    blotch.Result.AreaMean = 0.0;
    blotch.Result.AreaSNR = std::numeric_limits<double>::quiet_NaN();
    blotch.Result.Rois[0].SNR = std::numeric_limits<double>::infinity();
    const Json json = ResultToJson(blotch.Settings, blotch.Result, ResultContext{});

    EXPECT_TRUE(json["settings"]["inversion_maximum"].is_null());
    EXPECT_EQ(json["settings"]["clipped_below_offset"], false);
    EXPECT_TRUE(json["settings"]["pixel_spacing_mm"].is_null());
    EXPECT_TRUE(json["area"]["snr"].is_null());
    EXPECT_TRUE(json["rois"][0]["snr"].is_null());
    EXPECT_TRUE(json["metrics"]["global_uniformity"]["value"].is_null());
    EXPECT_TRUE(json["metrics"]["roi_mean_deviation"]["position"].is_null());
    EXPECT_TRUE(json["guideline"].is_null());
    EXPECT_EQ(json["warnings"], Json::array());
    const std::string text = json.dump();
    EXPECT_EQ(text.find("nan"), std::string::npos);
    EXPECT_EQ(text.find("inf"), std::string::npos);
}

TEST(ResultJson, FullStopsUnderACommaLocale)
{
    const Blotch blotch = MakeBlotch();
    GermanLocale german;
    ASSERT_TRUE(german.Ok()) << "the de_DE.UTF-8 locale is missing (scripts/install-deps generates it)";
    std::ostringstream out;
    out.imbue(std::locale());
    WriteResultJson(out, blotch.Settings, blotch.Result, ResultContext{});
    EXPECT_NE(out.str().find("\"mean\": 999.0,"), std::string::npos);
    EXPECT_NE(out.str().find("\"box_cm\": 2.0,"), std::string::npos);
}

TEST(ResultJson, BytesThatAreNotUtf8AreReplaced)
{
    Blotch blotch = MakeBlotch();
    blotch.Settings.DicomFileName = "/data/r\xf6ntgen.dcm";  // Latin-1 o-umlaut
    ResultContext context;
    context.Image.Station = std::string("ST\xff\x01", 4);
    std::ostringstream out;
    ASSERT_NO_THROW(WriteResultJson(out, blotch.Settings, blotch.Result, context));
    const Json json = Json::parse(out.str());
    EXPECT_EQ(json["input_file"], "/data/r\xef\xbf\xbdntgen.dcm");
    EXPECT_EQ(json["image"]["station"], "ST\xef\xbf\xbd\x01");
}

TEST(FormatReal, ShortestRoundTripWithFullStop)
{
    struct Case {
        double value;
        std::string text;
    };
    const std::vector<Case> cases{
        {0.1, "0.1"},
        {975.0, "975"},
        {1.0 / 3.0, "0.3333333333333333"},
        {0.1 + 0.2, "0.30000000000000004"},
        {-1.5, "-1.5"},
        {1e300, "1e+300"},
        {5e-324, "5e-324"},
        {std::numeric_limits<double>::quiet_NaN(), ""},
        {std::numeric_limits<double>::infinity(), ""},
        {-std::numeric_limits<double>::infinity(), ""},
    };
    GermanLocale german;
    ASSERT_TRUE(german.Ok()) << "the de_DE.UTF-8 locale is missing (scripts/install-deps generates it)";
    for (const auto& c : cases) {
        EXPECT_EQ(FormatReal(c.value), c.text);
        if (!c.text.empty()) {
            EXPECT_EQ(ParseReal(c.text), c.value);
        }
    }
}

TEST(RoiCsv, OneRowPerRoiWithFullStopsUnderACommaLocale)
{
    const Blotch blotch = MakeBlotch();
    GermanLocale german;
    ASSERT_TRUE(german.Ok()) << "the de_DE.UTF-8 locale is missing (scripts/install-deps generates it)";
    std::ostringstream out;
    out.imbue(std::locale());
    WriteRoiCsv(out, blotch.Result);

    const auto lines = Lines(out.str());
    ASSERT_EQ(lines.size(), blotch.Result.Rois.size() + 1);
    EXPECT_EQ(lines[0], "index,x,y,max,min,mean,sd,snr,mean_dev_pct,snr_dev_pct,deviating");
    std::size_t deviating = 0;
    for (std::size_t i = 0; i < blotch.Result.Rois.size(); ++i) {
        const auto fields = SplitCsv(lines[i + 1]);
        ASSERT_EQ(fields.size(), 11u) << lines[i + 1];
        const RoiResult& roi = blotch.Result.Rois[i];
        EXPECT_EQ(fields[0], std::to_string(i));
        EXPECT_EQ(fields[1], std::to_string(roi.X));
        EXPECT_EQ(fields[2], std::to_string(roi.Y));
        EXPECT_EQ(ParseReal(fields[6]), roi.SD);
        EXPECT_EQ(ParseReal(fields[7]), roi.SNR);
        EXPECT_EQ(ParseReal(fields[8]), *DeviationPercent(roi.Mean, blotch.Result.AreaMean));
        EXPECT_EQ(ParseReal(fields[9]), *DeviationPercent(roi.SNR, blotch.Result.MeanRoiSNR));
        const bool inBlotch = (roi.X == 30 || roi.X == 40) && (roi.Y == 30 || roi.Y == 40);
        EXPECT_EQ(fields[10], inBlotch ? "1" : "0");
        deviating += fields[10] == "1";
    }
    EXPECT_EQ(deviating, 4u);
}

TEST(RoiCsv, DeviationsWithoutReferenceAreEmpty)
{
    AnalysisResult result;
    result.Rois.push_back(Roi(0, 0, 0.0, 0.0));
    std::ostringstream out;
    WriteRoiCsv(out, result);
    EXPECT_EQ(Lines(out.str()).at(1), "0,0,0,0,0,0,0,0,,,0");
}

TEST(SummaryCsv, RowsMatchTheHeader)
{
    const Blotch blotch = MakeBlotch();
    ResultContext context;
    context.Preset = FindPreset("european");
    context.Image.Manufacturer = "Acme, \"Imaging\"";
    context.Image.Station = "=HYPERLINK(\"x\")";
    context.Image.PresentationIntentType = "FOR PRESENTATION";

    const auto header = SplitCsv(SummaryCsvHeader());
    const auto row = SplitCsv(SummaryCsvRow("/qa/2024/flat.dcm", blotch.Settings, blotch.Result, context));
    const auto error = SplitCsv(SummaryCsvErrorRow("-bad.dcm", "Not a DICOM file, no DICM"));
    ASSERT_EQ(row.size(), header.size());
    ASSERT_EQ(error.size(), header.size());

    const auto column = [&](std::string_view name) {
        const auto at = std::find(header.begin(), header.end(), name);
        EXPECT_NE(at, header.end()) << name;
        return static_cast<std::size_t>(at - header.begin());
    };
    EXPECT_EQ(row[column("file")], "/qa/2024/flat.dcm");
    EXPECT_EQ(row[column("status")], "ok");
    EXPECT_EQ(row[column("error")], "");
    EXPECT_EQ(row[column("manufacturer")], "Acme, \"Imaging\"");
    EXPECT_EQ(row[column("station")], "'=HYPERLINK(\"x\")");
    EXPECT_EQ(row[column("processed")], "1");
    EXPECT_EQ(row[column("rois")], "81");
    EXPECT_EQ(row[column("deviating_rois")], "4");
    EXPECT_EQ(ParseReal(row[column("area_mean")]), 999.0);
    const UniformityMetrics metrics = ComputeMetrics(blotch.Result);
    EXPECT_EQ(ParseReal(row[column("local_uniformity_pct")]), *metrics[MetricId::LocalUniformity].Value);
    EXPECT_EQ(row[column("local_uniformity_x")], "30");
    EXPECT_EQ(row[column("roi_mean_deviation_y")], "30");
    EXPECT_EQ(row[column("preset")], "european");
    EXPECT_EQ(row[column("verdict")],
              VerdictName(Judge(metrics, blotch.Settings, *context.Preset).Overall));

    EXPECT_EQ(error[column("file")], "'-bad.dcm");
    EXPECT_EQ(error[column("status")], "error");
    EXPECT_EQ(error[column("error")], "Not a DICOM file, no DICM");
    EXPECT_EQ(error[column("rois")], "");

    context.Preset = nullptr;
    const auto withoutPreset = SplitCsv(SummaryCsvRow("a.dcm", blotch.Settings, blotch.Result, context));
    EXPECT_EQ(withoutPreset[column("verdict")], "");
}

TEST(ExportFiles, FailuresThrowTheReportsErrors)
{
    const Blotch blotch = MakeBlotch();
    struct Case {
        const char* path;
        int code;
        const char* message;
    };
    const std::vector<Case> cases{
        {"/dev/full", 101, "Disk full"},
        {"/nonexistent-folder-of-evenor/result.json", 2, "File not found"},
        {"/", 5, "File access denied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        for (int writer = 0; writer < 2; ++writer) {
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
}

TEST(ExportFiles, WritesAndReplacesAFile)
{
    const Blotch blotch = MakeBlotch();
    const auto path = std::filesystem::temp_directory_path() / "evenor-insight-test-rois.csv";
    {
        std::ofstream old(path);
        old << std::string(100000, 'x');
    }
    WriteRoiCsv(path.string(), blotch.Result);
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::ostringstream expected;
    WriteRoiCsv(expected, blotch.Result);
    EXPECT_EQ(text.str(), expected.str());
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace evenor
