#pragma once
// A series run: several flat fields of one detector (pairs or stacks at one
// dose, doses from low to high, dark images), read one after the other and
// judged together: the noise at each dose told into its quantum and fixed
// parts, the persistent and transient deviating pixels, with three or more
// doses the response to dose and the noise components, the Exposure Index
// against the kerma given, and the dark images' offset and noise. No Qt, no
// argument parsing: any front end fills a SeriesRequest.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/AnalysisRun.h"
#include "dicom/DicomLib.h"
#include "insight/Guidelines.h"
#include "insight/SeriesFits.h"
#include "insight/SeriesNoise.h"
#include "spectrum/SpectrumPeaks.h"

namespace evenor {

struct SeriesRequest {
    std::vector<std::string> Files;
    // The air kerma at the detector in µGy for each file, in order; empty:
    // not given (every image is then taken at one dose).
    std::vector<double> Kerma;
    std::vector<std::string> Darks;
    std::string Area;  // FIRSTCOL,FIRSTROW,LASTCOL,LASTROW; empty: the whole image
    std::string BorderMm = "0";
    std::string BoxCm = "1";  // side of the boxes of the fixed-pattern map and the noise uniformity
    bool Decompress = false;
    // The noise power spectrum of each dose, averaged over the ROIs of its
    // images; of kerma-linear values when the response is fitted.
    bool Nps = false;
};

// The side of the central region whose mean is the response: the central
// 10 x 10 mm of the area (all of it when smaller).
inline constexpr double SeriesCentralRegionMm = 10.0;
// The pixel spacing taken when an image has none, with a warning.
inline constexpr double SeriesAssumedSpacingMm = 0.1;
// A dark image's pixel deviates when it lies more than this many dark noise
// SDs from the dark mean (a percentage of a mean near 0 means nothing).
inline constexpr double DarkDefectSds = 5.0;

struct SeriesImage {
    std::string File;
    std::optional<double> Kerma;
    double Mean = 0.0, SD = 0.0;                // of the area
    double CentralMean = 0.0, CentralSD = 0.0;  // of the central region
    std::optional<double> ExposureIndex, TargetExposureIndex, DeviationIndex;
    ExposureIndexCheck ExposureCheck;
};

struct SeriesDose {
    std::optional<double> Kerma;
    std::vector<std::size_t> Images;  // indexes into SeriesResult::Images
    double CentralMean = 0.0;         // mean of the images' central means
    DoseNoise Noise;
    std::optional<SpectrumAnalysis> Nps;  // with SeriesRequest::Nps
};

struct SeriesDark {
    std::size_t Images = 0;
    double Mean = 0.0;
    double NoiseSd = 0.0;  // from pair differences when there are two or more, else the image SD
    bool FromPairs = false;
    // dark variance / fitted electronic term; empty without the fit or with e = 0
    std::optional<double> ElectronicRatio;
    std::size_t DefectPixels = 0;  // beyond DarkDefectSds in every dark image
};

struct SeriesResult {
    std::string Detector;  // how the images name their detector, for the summary
    std::uint32_t Rows = 0, Columns = 0;
    double PixelSpacing = 0.0;  // mm as read; 0 when unknown
    AreaRect Area, Central;
    std::uint32_t BorderPixels = 0;
    BoxGrid Grid;
    double PixelDeviationPercent = 0.0;
    std::vector<SeriesImage> Images;
    std::vector<SeriesDose> Doses;  // by kerma, rising; one dose without kerma
    std::size_t NoiseDose = 0;      // the dose the noise block shows: most images, then highest kerma
    SeriesDefects Defects;
    std::optional<ResponseChoice> Response;           // with three or more distinct kerma values
    std::optional<NoiseComponentFit> Components;      // the same
    Verdict ExposureVerdict = Verdict::NotEvaluated;  // the worst of the images' checks
    Verdict NoiseUniformityVerdict = Verdict::NotEvaluated;
    std::optional<SeriesDark> Dark;
    std::vector<std::string> Warnings;
};

// The response a series JSON (written by --json) holds: its chosen model and
// coefficients, and the detector it was measured on.
struct SeriesResponse {
    ResponseFit Fit;
    std::string Detector;
};

// Reads the response of a series JSON. Throws EvenorError naming the file
// and what is wrong ("... holds no response: the series had fewer than three
// doses").
SeriesResponse ReadSeriesResponse(const std::string& path);

// How a series names the detector of an image: manufacturer, model, Detector
// ID and Device Serial Number, those present, space-separated.
std::string DetectorText(const TDicomBeeld& image);

// The ROI analysis of the image's kerma-linear values (LinearisePixels, the
// reference being the stored mean of the area of settings), for Evenor's own
// metrics and verdicts. image holds its stored values (LoadPixels); settings
// passed the checks. basis is set to what the JSON says about the values.
AnalysisOutcome LinearisedOutcome(const AnalysisSettings& settings, const TDicomBeeld& image,
                                  const SeriesResponse& response, std::optional<nlohmann::ordered_json>& basis);

using SeriesMessageSink = std::function<void(const std::string&)>;

// Runs the series. Throws EvenorError with the text to show when a file
// cannot be read or the images do not belong together ("FILE: 2048 x 2048
// pixels, not 1024 x 1024 as FIRST"); warnings go to the sink, prefixed
// "Warning: ", as they arise.
SeriesResult RunSeries(const SeriesRequest& request, const SeriesMessageSink& message);

// The result as JSON (the README's section on series lists its names).
nlohmann::ordered_json SeriesToJson(const SeriesResult& result);

// A short text for standard output.
std::string SeriesSummaryText(const SeriesResult& result);

// A fitted response's coefficients under its model's names, as the series
// JSON and the linearised basis write them.
nlohmann::ordered_json CoefficientsJson(const ResponseFit& fit);

// The kerma values of --kerma: `count` comma-separated numbers, 0 or more.
// Empty with the problem set when the text is not that.
std::optional<std::vector<double>> ParseKermaList(const std::string& text, std::size_t count, std::string& problem);

// The kerma values of a CSV of lines "file,kerma_uGy" (a first line whose
// kerma is not a number is a header) for files in order. A line's file
// matches a FILE given exactly as written, else by its file name when no
// other line has that name. Empty with the problem set when the file cannot
// be read, a line is malformed, or a FILE has no kerma.
std::optional<std::vector<double>> ReadKermaCsv(const std::string& path, const std::vector<std::string>& files,
                                                std::string& problem);

}  // namespace evenor
