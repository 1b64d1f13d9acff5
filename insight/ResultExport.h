#pragma once
// Machine-readable results of one analysis: a JSON document (its layout is
// docs/result.schema.json), a CSV table with one row per ROI, and the
// one-row-per-image summary CSV of batch runs.
//
// Numbers: doubles are written in their shortest form that reads back to the
// same double, with "." as decimal separator whatever the locale; a value that
// is not finite (or a metric that is not available) is JSON null and an empty
// CSV field. Texts taken from the image (file names, tag values) may hold any
// byte: the JSON replaces bytes that are not UTF-8 with U+FFFD.
//
// Failure contract: the writers throw InOutError ("File access denied", "Disk
// full", ...; the code is the one the report uses) when the file cannot be
// created, written or closed, or the stream goes bad. A file that fails midway
// is left as far as it was written.
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/AnalysisSettings.h"
#include "analysis/PixelPreparation.h"
#include "analysis/RoiGrid.h"
#include "cmake/EvenorVersion.h"
#include "insight/Guidelines.h"
#include "insight/ImageInfo.h"
#include "insight/Metrics.h"

namespace evenor {

inline constexpr std::string_view ToolName = "Evenor";
inline constexpr std::string_view ToolVersion = EvenorVersion;
// Raised whenever the JSON layout changes in a way a reader must know.
// 2: metrics.*.value is the robust value (deviating pixels left out), beside
// every_pixel_value; the detector's defects, rims and structured noise.
inline constexpr int ResultSchemaVersion = 2;

struct DetectorInsight;
struct SpectrumAnalysis;

// What an export needs beyond the settings and the result.
struct ResultContext {
    PixelPreparation Preparation;  // what the run did to the pixel values
    double PixelSpacing = 0.0;     // millimetres, from the image; 0 when unknown
    ImageInfo Image;
    const GuidelinePreset* Preset = nullptr;  // verdicts are left out when null
    // InspectDetector of the same run; not owned. When null the metrics are
    // the every-pixel ones and the defects, rims and structured noise are
    // null (a reader sees which from metrics_basis).
    const DetectorInsight* Insight = nullptr;
    double BorderMm = 0.0;  // the border taken off every side of the area as given (--border-mm)
    std::uint32_t BorderPixels = 0;
    // At most this many entries in each of the lists rois, deviating_rois,
    // deviating_pixels and defects.clusters (the counts still count them
    // all): the PDF report shows only the first ones, and a result may hold
    // millions of deviating pixels. Every entry by default.
    std::size_t ListLimit = SIZE_MAX;
    // Set when the result describes kerma-linear values instead of the stored
    // ones (analyse --response): written as "values", saying so and how.
    std::optional<nlohmann::ordered_json> ValueBasis;
    // The noise power spectrum of the same run, when asked for; not owned.
    // The document has "nps" only when it is set.
    const SpectrumAnalysis* Spectrum = nullptr;
    // The run's own warnings beside the image's (a response measured on
    // another detector): written after them in "warnings".
    std::vector<std::string> Warnings;
};

// The JSON document; the input file is settings.DicomFileName.
nlohmann::ordered_json ResultToJson(const AnalysisSettings& settings, const AnalysisResult& result,
                                    const ResultContext& context);

// Writes ResultToJson indented by two spaces, ended by a line feed. The long
// lists (ROIs, deviating ROIs and pixels, defect clusters) are written entry
// by entry rather than built first, so that memory does not grow with them.
void WriteResultJson(std::ostream& out, const AnalysisSettings& settings, const AnalysisResult& result,
                     const ResultContext& context);
void WriteResultJson(const std::string& path, const AnalysisSettings& settings, const AnalysisResult& result,
                     const ResultContext& context);

// The ROI table: a header line, then one line per ROI in series order, every
// line ended by a line feed. Columns:
// index,x,y,max,min,mean,sd,snr,mean_dev_pct,snr_dev_pct,deviating
// index counts from 0; mean_dev_pct is (mean - AreaMean) / AreaMean * 100,
// snr_dev_pct (snr - MeanRoiSNR) / MeanRoiSNR * 100 (empty when the reference
// is 0); deviating is 1 for a ROI in BadROIMap, else 0.
std::string RoiCsvHeader();
void WriteRoiCsv(std::ostream& out, const AnalysisResult& result);
void WriteRoiCsv(const std::string& path, const AnalysisResult& result);

// The summary of one image for batch runs; lines carry no line end. Status is
// "ok" or "error"; an error row has only file, status and error filled. The
// columns up to "verdict" are those of every earlier version, with the same
// meaning: the every-pixel metrics and their verdict. The detector's columns
// follow: the robust metrics, the defects, the rim, the structured noise and
// detector_verdict, the overall verdict the summaries show (empty without
// ResultContext::Insight), then the border. Text
// fields are quoted where needed, and a text that a spreadsheet would take for
// a formula (first character = + - @ tab or CR) gets a leading apostrophe.
std::string SummaryCsvHeader();
std::string SummaryCsvRow(std::string_view file, const AnalysisSettings& settings, const AnalysisResult& result,
                          const ResultContext& context);
std::string SummaryCsvErrorRow(std::string_view file, std::string_view message);

// The shortest text that reads back to the same double ("." as separator);
// empty for NaN and infinity.
std::string FormatReal(double value);

// Creates or truncates path and lets write fill it; throws InOutError when the
// file cannot be created, when a write fails or when closing fails. Used for
// every file the exports write (the maps' PNG bytes too).
void WriteFile(const std::string& path, const std::function<void(std::ostream&)>& write);

// Throws InOutError if out has gone bad (after a write to a caller's stream).
void CheckStream(const std::ostream& out);

}  // namespace evenor
