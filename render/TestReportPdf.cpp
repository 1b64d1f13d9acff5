#include <cmath>
#include <string>

#include "analysis/AnalysisSettings.h"
#include "base/EvenorError.h"
#include "dicom/TerminalText.h"
#include "insight/DetectorInsight.h"
#include "insight/ResultExport.h"
#include "render/PdfDocument.h"
#include "render/PdfPictures.h"
#include "render/ReportPdf.h"

namespace evenor {

namespace {

using namespace pdf;

const Json& Member(const Json& json, const char* key)
{
    static const Json null;
    if (!json.is_object()) return null;
    const auto found = json.find(key);
    return found == json.end() ? null : *found;
}

// A text of the JSON result; values taken from tags are shortened as TagText does.
QString JsonText(const Json& value, bool fromTag = false)
{
    if (value.is_string()) return fromTag ? TagText(value.get<std::string>()) : Q(value.get<std::string>());
    if (value.is_null()) return QStringLiteral("-");
    return QString::fromStdString(value.dump());
}

QString PositionText(const Json& position)
{
    if (!position.is_object()) return QStringLiteral("-");
    return QStringLiteral("(%1, %2)").arg(Num(Member(position, "x")), Num(Member(position, "y")));
}

QString DateText(const std::string& date, const std::string& time)
{
    QString text;
    if (date.size() == 8)
        text = Q(date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6, 2));
    else
        text = TagText(date);
    const std::string clock = time.substr(0, time.find('.'));
    if (clock.size() >= 4)
        text += QStringLiteral(" ") + Q(clock.substr(0, 2) + ":" + clock.substr(2, 2) +
                                        (clock.size() >= 6 ? ":" + clock.substr(4, 2) : std::string()));
    else if (!time.empty())
        text += QStringLiteral(" ") + TagText(time);
    return text;
}

// A check's value: a count (deviating pixels, line defects, the largest
// cluster's pixels) whole, a percentage Rounded.
QString CheckValue(const Json& check)
{
    const Json& key = Member(check, "key");
    const Json& value = Member(check, "value");
    for (const std::string_view count : {DeviatingPixelsCheckKey, LineDefectsCheckKey, LargestClusterCheckKey})
        if (key.is_string() && key.get<std::string>() == count) return Given(value);
    return Num(value);
}

// When and by whom the analysis was made: "2024-03-15 09:30:12 UTC by NAME".
QString AnalysedText(const TestReportData& data)
{
    QString text = data.AnalysedAt.empty() ? QStringLiteral("-") : Q(data.AnalysedAt) + QStringLiteral(" UTC");
    if (!Q(data.AnalysedBy).trimmed().isEmpty()) text += QStringLiteral(" by ") + TagText(data.AnalysedBy);
    return text;
}

// The title, the detector and when it was tested and analysed, the overall verdict.
void TitleBlock(Document& doc, const TestReportData& data, const Json& json)
{
    const Fonts& f = doc.F();
    const ImageInfo& info = data.Context->Image;
    const Json& guideline = Member(json, "guideline");
    const Verdict overall = VerdictFromName(Member(guideline, "overall").get<std::string>());
    doc.Paragraph(QStringLiteral("Uniformity test report"), f.Title);
    // The detector as far as the image names it: "Maker Model, detector ID
    // X, tested ...", or only what there is.
    QStringList identity;
    for (const std::string* part : {&info.Manufacturer, &info.Model})
        if (!Q(*part).trimmed().isEmpty()) identity << TagText(*part);
    QString detector = identity.join(QLatin1Char(' '));
    if (!Q(info.DetectorId).trimmed().isEmpty())
        detector += (detector.isEmpty() ? QStringLiteral("Detector ID ") : QStringLiteral(", detector ID ")) +
                    TagText(info.DetectorId);
    const QString tested = DateText(info.AcquisitionDate, data.AcquisitionTime);
    const QString analysed = AnalysedText(data);
    doc.Paragraph(
        (detector.isEmpty() ? QStringLiteral("Tested ") + tested : detector + QStringLiteral(", tested ") + tested) +
            QStringLiteral("; analysed ") + analysed,
        f.Body, kMuted);
    doc.Space(4);
    doc.Paragraph(QStringLiteral("Overall verdict: %1 (preset %2)")
                      .arg(Q(VerdictName(overall)).toUpper(), JsonText(Member(guideline, "preset"))),
                  f.Heading, VerdictColour(overall));
}

void DetectorAndImage(Document& doc, const TestReportData& data)
{
    const AnalysisSettings& settings = *data.Settings;
    const ImageInfo& info = data.Context->Image;
    const QString analysed = AnalysedText(data);
    doc.Heading(QStringLiteral("Detector and image"));
    const QString exposure = info.Exposure.empty()
                                 ? QStringLiteral("-")
                                 : TagText(info.Exposure) + QStringLiteral(" ") + Q(info.ExposureUnit);
    doc.KeyValues({
        {"Manufacturer", {TagText(info.Manufacturer)}},
        {"Model", {TagText(info.Model)}},
        {"Device serial number", {TagText(data.DeviceSerialNumber)}},
        {"Detector ID", {TagText(info.DetectorId)}},
        {"Station", {TagText(info.Station)}},
        {"Software versions", {TagText(data.SoftwareVersions)}},
        {"Acquisition date and time", {DateText(info.AcquisitionDate, data.AcquisitionTime)}},
        {"Analysed", {analysed}},
        {"kVp", {TagText(info.KVp)}},
        {"Exposure", {exposure}},
        {"Presentation Intent Type", {TagText(info.PresentationIntentType), info.IsProcessed() ? kWarningText : kText}},
        {"Input file", {Q(settings.DicomFileName), kText, false, true}},
        {"SHA-256", {data.FileSha256.empty() ? QStringLiteral("-") : Q(data.FileSha256), kText, false, false, true}},
    });
}

void Warnings(Document& doc, const TestReportData& data)
{
    const Fonts& f = doc.F();
    doc.Heading(QStringLiteral("Warnings"));
    if (data.Warnings.empty()) doc.Paragraph(QStringLiteral("None."), f.Body);
    for (const std::string& warning : data.Warnings) {
        doc.Paragraph(QStringLiteral("Warning: ") + Q(warning), f.Body, kWarningText);
        doc.Space(2);
    }
}

void SettingsSection(Document& doc, const TestReportData& data, const Json& json)
{
    const AnalysisSettings& settings = *data.Settings;
    const ResultContext& context = *data.Context;
    doc.Heading(QStringLiteral("Settings"));
    const Json& s = Member(json, "settings");
    const Json& area = Member(s, "area");
    QString areaText = QStringLiteral("columns %1 to %2, rows %3 to %4 (0-based, inclusive)")
                           .arg(Num(Member(area, "first_column")), Num(Member(area, "last_column")),
                                Num(Member(area, "first_row")), Num(Member(area, "last_row")));
    if (context.BorderMm > 0.0)
        areaText +=
            QStringLiteral("; %1 mm (%2) left out on every side")
                .arg(Given(Member(s, "border_mm")), Counted(Num(Member(s, "border_pixels")), "pixel", "pixels"));
    const QString spacing = Member(s, "pixel_spacing_mm").is_null()
                                ? QStringLiteral("unknown")
                                : Given(Member(s, "pixel_spacing_mm")) + QStringLiteral(" mm");
    QString inversion = settings.Inverted ? QStringLiteral("inverted") : QStringLiteral("not inverted");
    if (context.Preparation.Inverted)
        inversion += QStringLiteral(" against %1").arg(Num(Member(s, "inversion_maximum")));
    if (!data.InversionReason.empty()) inversion += QStringLiteral(": ") + Q(data.InversionReason);
    QString offset = Num(Member(s, "pixel_offset"));
    if (Member(s, "clipped_below_offset").is_boolean() && Member(s, "clipped_below_offset").get<bool>())
        offset += QStringLiteral(" (values below it clipped to 0)");
    doc.KeyValues({
        {"Area", {areaText}},
        {"Analysing box",
         {QStringLiteral("%1 cm = %2 (pixel spacing %3)")
              .arg(Given(Member(s, "box_cm")), Counted(Num(Member(s, "box_pixels")), "pixel", "pixels"), spacing)}},
        {"ROI deviation", {Given(Member(s, "roi_deviation_percent")) + QStringLiteral(" %")}},
        {"Pixel deviation",
         {settings.DetectDeviatingPixels ? Given(Member(s, "pixel_deviation_percent")) + QStringLiteral(" %")
                                         : QStringLiteral("not searched")}},
        {"Pixel offset", {offset}},
        {"Inversion", {inversion}},
    });
}

void Results(Document& doc, const TestReportData& data, const Json& json)
{
    const AnalysisSettings& settings = *data.Settings;
    doc.Heading(QStringLiteral("Results"));
    const Json& counts = Member(json, "counts");
    doc.KeyValues({
        {"Area mean", {Num(Member(Member(json, "area"), "mean"))}},
        {"Area SD", {Num(Member(Member(json, "area"), "sd"))}},
        {"Area SNR", {Num(Member(Member(json, "area"), "snr"))}},
        {"ROI SNR mean", {Num(Member(Member(json, "roi_snr"), "mean"))}},
        {"ROI SNR SD", {Num(Member(Member(json, "roi_snr"), "sd"))}},
        {"ROIs", {Num(Member(counts, "rois"))}},
        {"Deviating ROIs", {Num(Member(counts, "deviating_rois"))}},
        {"Deviating pixels",
         {settings.DetectDeviatingPixels ? Num(Member(counts, "deviating_pixels")) : QStringLiteral("not searched")}},
    });
}

void Metrics(Document& doc, const Json& json)
{
    const Fonts& f = doc.F();
    doc.Subheading(QStringLiteral("Metrics"));
    const bool robust = Member(json, "metrics_basis").get<std::string>() == "without_deviating_pixels";
    std::vector<std::vector<Cell>> metricRows;
    std::vector<Cell> metricHeader{{"Metric"}, {"Value (%)"}, {"At ROI (x, y)"}};
    if (robust) metricHeader.push_back({"Every pixel (%)"});
    for (const auto& item : Member(json, "metrics").items()) {
        const Json& metric = item.value();
        std::vector<Cell> row{{JsonText(Member(metric, "name"))},
                              {Num(Member(metric, "value"))},
                              {PositionText(Member(metric, "position"))}};
        if (robust)
            row.push_back({Num(Member(metric, "every_pixel_value")) +
                           (Member(metric, "every_pixel_position").is_object()
                                ? QStringLiteral(" at ") + PositionText(Member(metric, "every_pixel_position"))
                                : QString())});
        metricRows.push_back(std::move(row));
        metricRows.push_back({Cell{JsonText(Member(metric, "description"))}});
    }
    if (robust)
        doc.Table({2.2, 2.2, 1.4, 2.8}, {Qt::AlignLeft, Qt::AlignLeft, Qt::AlignLeft, Qt::AlignLeft}, metricHeader,
                  metricRows, f.Body, f.Small);
    else
        doc.Table({2.2, 2.2, 1.4}, {Qt::AlignLeft, Qt::AlignLeft, Qt::AlignLeft}, metricHeader, metricRows, f.Body,
                  f.Small);
}

void Verdicts(Document& doc, const Json& json)
{
    const Fonts& f = doc.F();
    const Json& guideline = Member(json, "guideline");
    const Verdict overall = VerdictFromName(Member(guideline, "overall").get<std::string>());
    doc.Subheading(QStringLiteral("Verdicts, preset %1").arg(JsonText(Member(guideline, "preset"))));
    doc.Paragraph(JsonText(Member(guideline, "description")), f.Small, kMuted);
    doc.Space(2);
    doc.Paragraph(JsonText(Member(guideline, "detector_description")), f.Small, kMuted);
    doc.Space(4);
    std::vector<std::vector<Cell>> checkRows;
    for (const Json& check : Member(guideline, "checks")) {
        const Verdict verdict = VerdictFromName(Member(check, "verdict").get<std::string>());
        const Json& limits = Member(check, "limits");
        checkRows.push_back(
            {{JsonText(Member(check, "name"))},
             {CheckValue(check)},
             {Member(limits, "warning").is_null() ? QStringLiteral("-") : Given(Member(limits, "warning"))},
             {Member(limits, "action").is_null() ? QStringLiteral("-") : Given(Member(limits, "action"))},
             {Q(VerdictName(verdict)), VerdictColour(verdict), true}});
        if (Member(check, "note").is_string()) checkRows.push_back({Cell{Q(Member(check, "note").get<std::string>())}});
    }
    doc.Table({2.4, 2.2, 1.1, 1.1, 1.2}, {Qt::AlignLeft, Qt::AlignLeft, Qt::AlignRight, Qt::AlignRight, Qt::AlignLeft},
              {{"Check"}, {"Value"}, {"Warning above"}, {"Action above"}, {"Verdict"}}, checkRows, f.Body, f.Small);
    doc.Space(3);
    doc.Paragraph(QStringLiteral("Overall verdict: %1").arg(Q(VerdictName(overall))), f.Bold, VerdictColour(overall));
}

// The detector inspection in words.
void DetectorInspection(Document& doc, const TestReportData& data, const Json& json)
{
    const Fonts& f = doc.F();
    const DetectorInsight& insight = *data.Context->Insight;
    doc.Subheading(QStringLiteral("Detector inspection"));
    const Json& defects = Member(json, "defects");
    QString defectText;
    if (!insight.PixelsSearched) {
        defectText = QStringLiteral("Deviating pixels were not searched.");
    } else {
        defectText =
            QStringLiteral("%1 of deviating pixels (%2, %3, %4 larger); largest cluster %5.")
                .arg(Counted(Num(Member(defects, "cluster_count")), "cluster", "clusters"),
                     Counted(Num(Member(defects, "single_pixels")), "single pixel", "single pixels"),
                     Counted(Num(Member(defects, "pairs")), "pair", "pairs"), Num(Member(defects, "larger_clusters")),
                     Counted(Num(Member(defects, "largest_cluster")), "pixel", "pixels"));
    }
    doc.Paragraph(QStringLiteral("Defects: ") + defectText, f.Body);
    QString lines;
    if (!insight.LinesSearched) {
        lines = QStringLiteral("not searched (%1)").arg(Q(std::string(LinesNotSearchedReason(insight))));
    } else if (insight.Lines.empty()) {
        lines = QStringLiteral("none");
    } else {
        for (const Json& line : Member(defects, "lines"))
            lines += (lines.isEmpty() ? QString() : QStringLiteral("; ")) +
                     QStringLiteral("%1 %2 (%3 % from its neighbours)")
                         .arg(JsonText(Member(line, "orientation")), Num(Member(line, "index")),
                              Num(Member(line, "deviation_percent")));
    }
    doc.Paragraph(QStringLiteral("Line defects: ") + lines, f.Body);
    doc.Paragraph(QStringLiteral("Rim: ") + JsonText(Member(Member(json, "rims"), "description")), f.Body);
    const Json& noise = Member(json, "structured_noise");
    doc.Paragraph(QStringLiteral("Structured noise: pixel noise SD %1; row correlated noise %2 %, column correlated "
                                 "noise %3 %")
                      .arg(Num(Member(noise, "pixel_noise")), Num(Member(Member(noise, "rows"), "correlated_percent")),
                           Num(Member(Member(noise, "columns"), "correlated_percent"))),
                  f.Body);
}

void AreaMap(Document& doc, const TestReportData& data, const ReportPictures& pictures)
{
    const Fonts& f = doc.F();
    const AnalysisResult& result = *data.Result;
    doc.NewPage();
    doc.Heading(QStringLiteral("Area map"));
    // An area without spread (SD 0) is drawn over the mean +- 1 instead.
    const bool spread = result.AreaSD > 0 && std::isfinite(result.AreaMean + 3.0 * result.AreaSD);
    doc.Paragraph((spread
                       ? QStringLiteral("The evaluated area in grey (black at the area mean - 3 SD, white at + 3 SD, "
                                        "as the bar shows)")
                       : QStringLiteral("The evaluated area in grey (it has no spread: black at the area mean - 1, "
                                        "white at + 1, as the bar shows)")) +
                      QStringLiteral(" with the ROI grid; deviating ROIs outlined in red, deviating pixels as "
                                     "yellow squares, clusters circled in magenta, line defects dashed orange, a "
                                     "rim's edge green."),
                  f.Small, kMuted);
    doc.Space(4);
    AreaMapPicture(doc, pictures, result);
}

void HeatMaps(Document& doc, const TestReportData& data, const ReportPictures& pictures)
{
    const Fonts& f = doc.F();
    const AnalysisResult& result = *data.Result;
    doc.NewPage();
    doc.Heading(QStringLiteral("Heat maps"));
    doc.Paragraph(QStringLiteral("One cell per ROI grid position; blue below, red above the reference; grey where "
                                 "there is no value."),
                  f.Small, kMuted);
    doc.Space(4);
    const QString titles[] = {QStringLiteral("ROI mean deviation from the area mean (%)"),
                              QStringLiteral("ROI SNR deviation from the mean ROI SNR (%)"),
                              QStringLiteral("ROI noise (SD) deviation from the mean ROI SD (%)")};
    const QString note = GridNote(result);
    const double gap = Pt(14);
    const double half = (doc.Width() - gap) / 2;
    const double mapHeight = std::min(half + Pt(20), (doc.Remaining() - gap) / 2);
    const Fonts fonts = f;
    for (int row = 0; row < 2; ++row) {
        const std::array<HeatMap, 3> maps = pictures.HeatMaps;
        doc.Add(mapHeight, [=](QPainter& p, const QRectF& r) {
            for (int k = row * 2; k < std::min(3, row * 2 + 2); ++k) {
                const QRectF area(r.left() + (k % 2) * (half + gap), r.top(), half, r.height());
                if (maps[k].Image.isNull()) continue;
                DrawHeatMap(p, area, maps[k], titles[k], note, fonts, p.device());
            }
        });
        doc.Space(10);
    }
}

void DeviatingRois(Document& doc, const TestReportData& data, const Json& json)
{
    const Fonts& f = doc.F();
    const AnalysisResult& result = *data.Result;
    doc.NewPage();
    doc.Heading(QStringLiteral("Deviating ROIs"));
    const Json& badRois = Member(json, "deviating_rois");
    if (badRois.empty())
        doc.Paragraph(QStringLiteral("None."), f.Body);
    else {
        std::vector<std::vector<Cell>> rows;
        for (std::size_t k = 0; k < badRois.size() && k < ReportTableRows; ++k) {
            const Json& roi = badRois[k];
            rows.push_back({{Num(Member(roi, "x"))},
                            {Num(Member(roi, "y"))},
                            {Num(Member(roi, "mean"))},
                            {Num(Member(roi, "sd"))},
                            {Num(Member(roi, "snr"))}});
        }
        doc.Table({0.8, 0.8, 2.2, 2.2, 2.2},
                  {Qt::AlignRight, Qt::AlignRight, Qt::AlignRight, Qt::AlignRight, Qt::AlignRight},
                  {{"x"}, {"y"}, {"Mean"}, {"SD"}, {"SNR"}}, rows, f.Small, f.Small);
        if (result.BadROIMap.size() > badRois.size())
            doc.Paragraph(QStringLiteral("and %1 more (the text report lists them all)")
                              .arg(result.BadROIMap.size() - badRois.size()),
                          f.Body, kMuted);
    }
}

void DeviatingPixels(Document& doc, const TestReportData& data, const Json& json)
{
    const Fonts& f = doc.F();
    const AnalysisSettings& settings = *data.Settings;
    const AnalysisResult& result = *data.Result;
    doc.Heading(QStringLiteral("Deviating pixels"));
    const Json& badPixels = Member(json, "deviating_pixels");
    if (!settings.DetectDeviatingPixels)
        doc.Paragraph(QStringLiteral("Not searched."), f.Body);
    else if (badPixels.empty())
        doc.Paragraph(QStringLiteral("None."), f.Body);
    else {
        std::vector<std::vector<Cell>> rows;
        for (std::size_t k = 0; k < badPixels.size() && k < ReportTableRows; ++k) {
            const Json& pixel = badPixels[k];
            rows.push_back({{Num(Member(pixel, "x"))},
                            {Num(Member(pixel, "y"))},
                            {Num(Member(pixel, "value"))},
                            {Num(Member(pixel, "roi_mean"))}});
        }
        doc.Table({0.8, 0.8, 1.4, 2.2}, {Qt::AlignRight, Qt::AlignRight, Qt::AlignRight, Qt::AlignRight},
                  {{"x"}, {"y"}, {"Value"}, {"ROI mean"}}, rows, f.Small, f.Small);
        if (result.BadPixelMap.size() > badPixels.size())
            doc.Paragraph(QStringLiteral("and %1 more (the text report lists them all)")
                              .arg(result.BadPixelMap.size() - badPixels.size()),
                          f.Body, kMuted);
    }
}

// Only when the test was recorded in the history.
void BaselineComparison(Document& doc, const ReportBaseline& history)
{
    const Fonts& f = doc.F();
    doc.NewPage();
    doc.Heading(QStringLiteral("Baseline comparison"));
    doc.Paragraph(Q(Printable(history.Recorded)), f.Body);
    for (const std::string& n : history.Notes) doc.Paragraph(QStringLiteral("Note: ") + Q(n), f.Body, kWarningText);
    if (history.Baseline.empty()) {
        doc.Paragraph(QStringLiteral("The detector has no baseline yet."), f.Body);
    } else {
        doc.Paragraph(Q(history.Baseline), f.Body);
        doc.Space(3);
        std::vector<std::vector<Cell>> rows;
        for (const ReportBaselineCheck& c : history.Checks) {
            const auto shown = [&](const std::optional<double>& value) {
                return c.Count && value ? Given(Json(*value)) : Num(value);
            };
            rows.push_back({{Q(c.Name)},
                            {shown(c.Value)},
                            {shown(c.Reference)},
                            {c.DeviationPercent ? Signed(c.DeviationPercent, 2) + QStringLiteral(" %") : Q(c.Note)},
                            {LimitText(c.Limit.Warning) + QStringLiteral(" / ") + LimitText(c.Limit.Action)},
                            {Q(VerdictName(c.Result)), VerdictColour(c.Result), true}});
        }
        doc.Table({2.0, 2.0, 2.0, 1.6, 1.2, 1.1},
                  {Qt::AlignLeft, Qt::AlignLeft, Qt::AlignLeft, Qt::AlignLeft, Qt::AlignLeft, Qt::AlignLeft},
                  {{"Check"}, {"Value"}, {"Baseline"}, {"Deviation"}, {"Limits (%)"}, {"Verdict"}}, rows, f.Small,
                  f.Small);
        doc.Space(3);
        doc.Paragraph(QStringLiteral("Against the baseline: %1. New since the baseline: %2, %3, %4.")
                          .arg(Q(VerdictName(history.Overall)),
                               Counted(history.NewPixels, "deviating pixel", "deviating pixels"),
                               Counted(history.NewClusters, "cluster", "clusters"),
                               Counted(history.NewLines, "line defect", "line defects")),
                      f.Bold, VerdictColour(history.Overall));
    }
    if (!history.Trends.empty()) {
        doc.Subheading(QStringLiteral("Trends of the last records"));
        TrendCharts(doc, history.Trends, 2);
    }
}

void TestReport(Document& doc, const TestReportData& data, const ReportPictures& pictures, const Json& json)
{
    TitleBlock(doc, data, json);
    DetectorAndImage(doc, data);
    Warnings(doc, data);
    SettingsSection(doc, data, json);
    Results(doc, data, json);
    Metrics(doc, json);
    Verdicts(doc, json);
    DetectorInspection(doc, data, json);
    // The pictures, each on a page of its own.
    AreaMap(doc, data, pictures);
    HeatMaps(doc, data, pictures);
    // The deviating ROIs and pixels.
    DeviatingRois(doc, data, json);
    DeviatingPixels(doc, data, json);
    if (data.History) BaselineComparison(doc, *data.History);
    SignOff(doc);
}

}  // namespace

QByteArray RenderTestReportPdf(const TestReportData& data, const ReportPictures& pictures)
{
    if (data.Settings == nullptr || data.Result == nullptr || data.Context == nullptr ||
        data.Context->Insight == nullptr || data.Context->Preset == nullptr)
        throw EvenorError("The PDF report needs the settings, the result, the detector inspection and a preset");
    ResultContext context = *data.Context;
    context.ListLimit = ReportTableRows;
    const Json json = ResultToJson(*data.Settings, *data.Result, context);
    const QString file = Q(data.Settings->DicomFileName);
    const QString name = file.section(QLatin1Char('/'), -1);
    return WritePdf(data.Paper, QStringLiteral("Uniformity test report: ") + name,
                    FooterText(QStringLiteral("uniformity test of ") + name),
                    [&](Document& doc) { TestReport(doc, data, pictures, json); });
}

}  // namespace evenor
