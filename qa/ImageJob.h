#pragma once
// One image through a whole test: open it, take the defaults from its tags,
// run the test (which writes the report), then write the requested extra
// outputs (JSON result, ROI table, PNG maps, PDF report) and judge the
// summary metrics against a guideline preset. Shared by the single-file and
// the batch form of "analyse" and by the intake.
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/AnalysisSettings.h"
#include "history/QaRecord.h"
#include "insight/Defects.h"
#include "insight/DetectorInsight.h"
#include "insight/GridGaps.h"
#include "insight/Guidelines.h"
#include "insight/ImageInfo.h"
#include "insight/Metrics.h"
#include "insight/Rims.h"
#include "insight/RobustMetrics.h"
#include "insight/StructuredNoise.h"
#include "qa/AnalyseOptions.h"
#include "qa/ReportData.h"
#include "qa/SeriesRun.h"
#include "spectrum/SpectrumPeaks.h"

namespace evenor {

// The files one image produces. Empty names are not written.
struct ImageOutputs {
    std::string Report;     // the results report; always written on success
    std::string Json;       // the JSON result
    std::string Csv;        // one row per ROI
    std::string MapFolder;  // the PNG maps go here ...
    std::string MapPrefix;  // ... each name prefixed with this
    std::string Pdf;        // the PDF report (needs a MapSession)
    PaperSize Paper = PaperSize::A4;
};

// The map files inside ImageOutputs::MapFolder, after the prefix.
inline constexpr const char* kAreaMapName = "area.png";
inline constexpr const char* kMeanHeatMapName = "roi-mean-deviation.png";
inline constexpr const char* kSnrHeatMapName = "roi-snr-deviation.png";
inline constexpr const char* kNoiseHeatMapName = "roi-noise-deviation.png";
// With ImageJob::WantSpectrum, the noise power spectrum's plots beside them.
inline constexpr const char* kSpectrumPlotName = "nnps.png";
inline constexpr const char* kSpectrumPictureName = "nnps-2d.png";

// Draws the pictures that outputs ask for: the PNG maps (MapFolder) and the
// PDF report (Pdf). The command line draws them with its map module; a job
// whose outputs ask for none needs neither. Both throw EvenorError naming the
// file that could not be drawn or written.
struct ImagePictures {
    std::function<void(const std::string& folder, const std::string& prefix, std::span<const std::uint16_t> pixels,
                       std::uint32_t columns, const AnalysisSettings& settings, const AnalysisResult& result,
                       const DetectorInsight* insight)>
        Maps;
    std::function<void(const std::string& path, const TestReportData& data, std::span<const std::uint16_t> pixels,
                       std::uint32_t columns)>
        Pdf;
    // The noise power spectrum's plots (kSpectrumPlotName, kSpectrumPictureName).
    std::function<void(const std::string& folder, const std::string& prefix, const NoiseSpectrum& spectrum,
                       const PeakSearch& peaks)>
        Spectrum;
};

struct ImageJob {
    std::string File;
    const AnalyseOptions* Options = nullptr;  // already checked
    const GuidelinePreset* Preset = nullptr;
    ImageOutputs Outputs;
    ImagePictures Pictures;       // for the maps and the PDF report
    bool WantSummaryRow = false;  // fill ImageOutcome::SummaryRow
    bool WantRecord = false;      // fill ImageOutcome::Record (inspects the detector)
    std::string FileSha256;       // of File's bytes when the caller knows it; empty: computed for the record
    std::string AnalysedBy;       // who, as the PDF report names them; empty: the user's login
    bool WantSpectrum = false;    // the noise power spectrum of the area (JSON "nps", summary)
    // With WantRecord and a PDF report: records the test before the report
    // is drawn, so that the report shows the baseline comparison. Returns
    // the text saying so ("Recorded as record ...") and the report's history
    // part; throws EvenorError when it cannot record (the report is then
    // drawn without its history part).
    std::function<ReportBaseline(QaRecord)> RecordForReport;
    // When set, the detector's metrics, verdicts and the JSON describe
    // kerma-linear values made with this response (the report stays on the
    // stored values). Not with WantRecord, a PDF report, maps or the ROI
    // table, which describe the stored values (the command line refuses them).
    std::optional<SeriesResponse> Response;
};

// What the summary shows of the detector inspection (DetectorInsight), without
// its per-ROI and per-cluster lists, so that a batch can keep it for every
// image.
struct DetectorFindings {
    RobustMetrics Metrics;
    bool PixelsSearched = false;
    std::size_t Clusters = 0, Singles = 0, Pairs = 0, Larger = 0;
    std::optional<DefectCluster> Largest;
    std::vector<LineRange> GapColumns, GapRows;  // no ROI covers them (GridGaps)
    std::size_t GapPixels = 0;                   // deviating pixels found in them
    bool LinesSearched = false;
    std::string LinesNotSearched;  // why not, when not
    std::vector<LineDefect> Lines;
    RimReport Rims;
    StructuredNoise Noise;
};

// What the summary shows of the noise power spectrum, without its curves.
struct SpectrumFindings {
    std::string NotComputed;  // why there is none, when there is none
    bool Linearised = false;
    std::size_t Rois = 0;
    std::vector<SpectrumMetric> Metrics;
    PeakSearch Peaks;
};

struct ImageOutcome {
    bool Ok = false;    // the report and every requested output were written
    std::string Error;  // when not Ok: what ended the image (also passed to the message sink)
    // The rest is filled when the analysis succeeded (even if a later output failed).
    bool Analysed = false;
    double AreaMean = 0.0, AreaSD = 0.0, AreaSNR = 0.0, MeanRoiSNR = 0.0, RoiSNRSD = 0.0;
    UniformityMetrics Metrics;  // every pixel; the counts
    DetectorFindings Detector;
    std::optional<SpectrumFindings> Spectrum;  // with ImageJob::WantSpectrum
    GuidelineVerdict Verdict;                  // of the detector: robust metrics, defects, structured noise
    double PixelSpacing = 0.0;                 // mm; 0 when unknown
    double BorderMm = 0.0;                     // --border-mm
    std::uint32_t BorderPixels = 0;
    std::uint32_t FirstColumn = 0, FirstRow = 0, LastColumn = 0, LastRow = 0;  // the area evaluated
    std::string SummaryRow;          // SummaryCsvRow or SummaryCsvErrorRow, when asked for
    std::optional<QaRecord> Record;  // for the history, when asked for and every output was written
    // Recorded already (ImageJob::RecordForReport): what it said, or why not;
    // why not also when Evenor does not judge the image (NotRecordedText).
    std::optional<std::string> Recorded, RecordError;
};

// "Not recorded: " and ImageInfo::NotJudgedText: why a run with ImageJob::WantRecord recorded nothing
// (ImageOutcome::RecordError).
std::string NotRecordedText(const ImageInfo& image);

// Everything the image has to say (tag warnings prefixed "Warning: ", the
// run's messages, the error that ended it), in order, one line each.
using MessageSink = std::function<void(const std::string&)>;

// Runs the job. Never throws for a failure of the image or its outputs: the
// outcome says what happened. A refused run leaves every output untouched;
// the extras are written only after the report.
ImageOutcome AnalyseImage(const ImageJob& job, const MessageSink& message);

}  // namespace evenor
