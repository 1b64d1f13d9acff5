#pragma once
// The Results page of the main window: the pictures of the last successful
// analysis (the area map with the detector's defects marked and the three ROI
// heat maps), its summary numbers, its robust metrics beside the every-pixel
// ones, the defects, rim and structured noise the detector inspection found,
// and the verdicts of a guideline preset the user chooses.
//
// An analysis's result lives only while the run lasts, so everything the page
// shows is drawn and copied into a RunResults while the run still has it
// (PrepareRunResults). The page keeps that copy until the next successful
// run replaces it; changing the preset judges the copy again (the detector
// inspection is kept, not run again).
#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include <QImage>
#include <QPoint>
#include <QString>
#include <QWidget>

#include "analysis/AnalysisSettings.h"
#include "analysis/PixelPreparation.h"
#include "analysis/RoiGrid.h"
#include "insight/DetectorInsight.h"
#include "insight/Guidelines.h"
#include "insight/ImageInfo.h"
#include "insight/Metrics.h"
#include "qa/ReportData.h"
#include "render/MapRenderer.h"
#include "stats/StatFuncties.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QSplitter;
class QTextBrowser;

namespace evenor {

class RunProgress;
class TDicomBeeld;
struct AnalysisOutcome;
struct AnalysisResult;

// The pictures, in the order of the page's picture list.
enum class ResultPictureKind { AreaMap, MeanHeatMap, SnrHeatMap, NoiseHeatMap };
inline constexpr std::size_t ResultPictureCount = 4;

struct ResultPicture {
    QImage Image;   // null when it could not be drawn
    QString Error;  // why, then
    // What the colours mean, shown in the window's font beside the picture,
    // which may be scaled down too far for its own numbers to be read.
    QString Legend;
    // Picture pixels marked again at screen size when the picture is shown
    // scaled down, where its own small marks would vanish (the area map's
    // deviating pixels).
    std::vector<QPoint> Marks;
    // The defect marks of the area map, drawn again over those marks.
    std::vector<AreaMapShape> Shapes;
    // Where the ROI cells of a heat map lie.
    std::optional<HeatMapLayout> Cells;
};

// What the page shows of one analysis.
struct RunResults {
    QString FileName;              // the analysed image's file name, without folder
    bool Processed = false;        // Presentation Intent Type is FOR PRESENTATION
    bool LossyCompressed = false;  // TDicomBeeld::LossyCompressed
    AnalysisSettings Settings;     // as the analysis ran
    DetectorInsight Insight;       // robust and every-pixel metrics, defects, rims, structured noise
    QString RimText;               // DescribeRims of the insight's rims, with the image's pixel spacing
    // By ResultPictureKind; the heat maps are drawn when first asked for
    // (ResultPictureOf): a small box on a large image makes each a picture
    // of hundreds of thousands of cells, and the page shows one at a time.
    std::array<ResultPicture, ResultPictureCount> Pictures;

    // What the pictures show, to name the ROI under the mouse.
    std::vector<RoiResult> Rois;     // in the analysis's order
    std::vector<bool> RoiDeviating;  // per ROI: in the deviating-ROI map
    std::uint32_t BoxPixels = 0;
    double AreaMean = 0.0;
    double MeanRoiSNR = 0.0;
    AreaMapGeometry AreaGeometry;
    std::vector<std::uint32_t> RoiColumns;  // distinct ROI left columns: the heat maps' cell columns
    std::vector<std::uint32_t> RoiRows;     // distinct ROI top rows: the heat maps' cell rows

    // What the PDF report shows beyond the above.
    QImage ReportAreaGrey;  // the area map's grey at print resolution (RenderReportAreaGrey); null if not drawn
    AnalysisResult Result;  // the whole result
    PixelPreparation Preparation;
    double PixelSpacing = 0.0;  // mm; 0 when unknown
    ImageInfo Image;
    std::string DeviceSerialNumber, SoftwareVersions, AcquisitionTime;
    std::string FileSha256;             // of the analysed file; the window fills it in
    std::vector<std::string> Warnings;  // the tags' warnings and the processed image's, in the window's order
    std::string InversionReason;
    // When the analysis finished (AnalysisTimeNow) and who made it: the
    // Preferences' "analysed by", else the user's login.
    std::string AnalysedAt, AnalysedBy;
};

// Inspects the detector (InspectDetector), draws the area map and the PDF
// report's grey (the heat maps follow when shown) and computes the metrics
// of a finished analysis from its outcome (the pixel values as the
// analysis prepared them); image gives the tags and the pixel spacing. A
// picture that cannot be drawn is left null with the reason, so the report is
// written all the same. Needs a QGuiApplication for the pictures' text; may
// run on a thread other than the application's, and draws on a second one.
// progress, when given, is told of steps 1 (the inspection) and 2 (the
// pictures and the report), and its cancel is honoured at each
// (RunCancelled is thrown). beside, when given, runs on a thread of
// its own while the pictures that follow the inspection are drawn (the
// window writes the report meanwhile); what it throws is thrown here.
RunResults PrepareRunResults(const AnalysisSettings& settings, const AnalysisOutcome& outcome, const TDicomBeeld& image,
                             RunProgress* progress = nullptr, const std::function<void()>& beside = {});

// The picture of kind of results, drawn first if it is a heat map not yet
// drawn (from the result and the inspection the results keep). Needs a
// QGuiApplication.
const ResultPicture& ResultPictureOf(RunResults& results, ResultPictureKind kind);

// Per ROI of rois: whether the deviating-ROI map lists it (by position).
std::vector<bool> DeviatingRoiFlags(const TMeetSerie& rois, const TBadROIMap& bad);

// The summary as rich text: file name, processed-image warning, counts; the
// robust metrics (largest ROI deviations with their positions, uniformity)
// with their descriptions, which say which pixels they include, and the
// every-pixel value beside each when deviating pixels were left out; the
// defects (clusters, largest cluster, line defects) and the rim; the
// structured noise; and the verdicts against preset (Judge of the insight).
QString ResultsSummaryHtml(const RunResults& results, const GuidelinePreset& preset);

// The PDF report of results judged against preset (render/ReportPdf.h), with
// the history part when the test is recorded. Needs a QGuiApplication;
// throws EvenorError when it cannot be drawn.
QByteArray ResultsReportPdf(const RunResults& results, const GuidelinePreset& preset, PaperSize paper,
                            std::optional<ReportBaseline> history = std::nullopt);

// What lies at pixel of a picture, as its tooltip says it: on the area map
// the image pixel and the ROI whose box holds it with the nearest centre, on
// a heat map the ROI of the cell; each ROI with its position, mean, SD and
// SNR, their deviations and whether it deviates (on the noise heat map also
// the SD's deviation from the mean ROI SD). Empty where there is none.
QString DescribePicturePoint(const RunResults& results, ResultPictureKind kind, QPoint pixel);

class TPictureView;
class TPictureWindow;

class TResultsPage : public QWidget {
    Q_OBJECT
public:
    explicit TResultsPage(QWidget* parent = nullptr);

    // Replaces what the page shows. The chosen picture and preset stay.
    void ShowResults(RunResults results);
    const std::optional<RunResults>& Results() const { return results_; }
    // The picture shown now; null before the first results.
    QImage ShownPicture() const;
    // The page's focusable controls in tab order.
    std::vector<QWidget*> TabChain() const;
    // The picture's own window; null until it is first opened.
    QWidget* PictureWindow() const;
    // The guideline preset chosen for the verdicts.
    const GuidelinePreset& ChosenPreset() const;
    // Gives the history part of the PDF report of the shown results, when
    // they are recorded.
    void SetHistorySource(std::function<std::optional<ReportBaseline>()> source) { historySource_ = std::move(source); }
    // Runs work beside the window with the Calculating notice following
    // progress; false when it was cancelled, rethrowing what work threw. The
    // PDF report is drawn and written through it; without one, directly.
    using BackgroundRunner = std::function<bool(RunProgress& progress, const std::function<void()>& work)>;
    void SetBackgroundRunner(BackgroundRunner runner) { backgroundRunner_ = std::move(runner); }

private slots:
    void ComboBoxPictureChange();
    void ComboBoxPresetChange();
    void CheckBoxActualSizeClick();
    // Opens the chosen picture in a window of its own, resizable, with zoom.
    void ButtonPictureWindowClick();
    // Asks for a file and writes the PDF report of the results there,
    // judged against the chosen preset.
    void ButtonSavePdfClick();

private:
    void ShowSummary();

    std::optional<RunResults> results_;
    std::function<std::optional<ReportBaseline>()> historySource_;
    BackgroundRunner backgroundRunner_;
    QComboBox* comboBoxPicture_ = nullptr;
    QCheckBox* checkBoxActualSize_ = nullptr;
    QPushButton* buttonPictureWindow_ = nullptr;
    QPushButton* buttonSavePdf_ = nullptr;
    TPictureWindow* pictureWindow_ = nullptr;
    QScrollArea* scrollPicture_ = nullptr;
    TPictureView* picture_ = nullptr;
    QLabel* labelLegend_ = nullptr;
    QSplitter* splitter_ = nullptr;
    QComboBox* comboBoxPreset_ = nullptr;
    QTextBrowser* memoResults_ = nullptr;
};

}  // namespace evenor
