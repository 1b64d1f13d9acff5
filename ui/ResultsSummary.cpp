#include "ui/ResultsPage.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <functional>
#include <future>
#include <span>
#include <system_error>
#include <unordered_set>
#include <utility>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QPainter>
#include <QPen>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QSplitter>
#include <QTextBrowser>
#include <QToolTip>
#include <QVBoxLayout>
#include <QWheelEvent>

#include "analysis/AnalysisRun.h"
#include "analysis/RoiGrid.h"
#include "dicom/DicomLib.h"
#include "dicom/DicomTags.h"
#include "history/QaRecord.h"
#include "insight/ImageInfo.h"
#include "insight/ResultExport.h"
#include "render/MapRenderer.h"
#include "render/ReportPdf.h"
#include "ui/Dialogs.h"
#include "ui/Evenor.h"
#include "ui/Preferences.h"
#include "ui/ResultsText.h"
#include "ui/RunProgress.h"

// The summary beside the picture: numbers, metrics, verdicts, defects, rim,
// structured noise, as HTML.
namespace evenor {

using namespace resultstext;

namespace {

QString VerdictHtml(Verdict verdict)
{
    const char* colour = "#707070";
    switch (verdict) {
    case Verdict::Pass:
        colour = "#1a7f37";
        break;
    case Verdict::Warning:
        colour = "#b35900";
        break;
    case Verdict::Fail:
        colour = "#c00000";
        break;
    case Verdict::NotEvaluated:
    case Verdict::NotJudged:
        break;
    }
    return QStringLiteral("<b style=\"color:%1\">%2</b>").arg(QLatin1String(colour), Html(VerdictName(verdict)));
}

QString LimitsText(const Limits& limits, const QString& unit)
{
    QStringList parts;
    if (limits.Warning) parts << QStringLiteral("warning above ") + QString::number(*limits.Warning) + unit;
    if (limits.Action) parts << QStringLiteral("action above ") + QString::number(*limits.Action) + unit;
    return parts.isEmpty() ? QStringLiteral("no limits") : parts.join(QStringLiteral(", "));
}

// "Name: value %", with the ROI where it occurs when the metric has one.
QString MetricLine(const UniformityMetrics& metrics, MetricId id, bool withSign)
{
    const MetricValue& value = metrics[id];
    QString line = Html(InfoOf(id).Name) + QStringLiteral(": ") + Percent(value.Value, withSign);
    if (value.Value && value.Where)
        line += QStringLiteral(" at ROI X %1, Y %2").arg(value.Where->X).arg(value.Where->Y);
    return line;
}

}  // namespace

namespace {

// The defects: clusters of deviating pixels, the largest, line defects, rim.
QString DefectsHtml(const RunResults& results)
{
    const DetectorInsight& insight = results.Insight;
    QString html = QStringLiteral("<p><b>Defects</b>");
    const ClusterSummary& clusters = insight.Clusters;
    if (!insight.PixelsSearched) {
        html += QStringLiteral("<br>Clusters: not searched (deviating pixels were not searched)");
    } else if (clusters.Clusters.empty()) {
        html += QStringLiteral("<br>Clusters: none (no deviating pixels)");
    } else {
        html += QStringLiteral("<br>Clusters of deviating pixels: %1 single, %2 pairs, %3 of three or more")
                    .arg(clusters.Singles)
                    .arg(clusters.Pairs)
                    .arg(clusters.Larger);
        const DefectCluster& largest = clusters.Clusters.front();
        html += QStringLiteral("<br>Largest cluster: %1 at columns %2-%3, rows %4-%5 (centre X %6, Y %7); "
                               "%8 above, %9 below their ROI mean")
                    .arg(largest.Size == 1 ? QStringLiteral("1 pixel") : QStringLiteral("%1 pixels").arg(largest.Size))
                    .arg(largest.Left)
                    .arg(largest.Right)
                    .arg(largest.Top)
                    .arg(largest.Bottom)
                    .arg(QString::number(largest.CentreX, 'f', 1), QString::number(largest.CentreY, 'f', 1))
                    .arg(largest.Hot)
                    .arg(largest.Size - largest.Hot);
    }

    if (!insight.LinesSearched) {
        html += QStringLiteral("<br>Line defects: not searched (%1)")
                    .arg(QString::fromLatin1(LinesNotSearchedReason(insight)).toHtmlEscaped());
    } else if (insight.Lines.empty()) {
        html += QStringLiteral("<br>Line defects: none");
    } else {
        // A detector with very many defect lines needs no list of them all.
        constexpr std::size_t listed = 10;
        html += QStringLiteral("<br>Line defects: %1").arg(insight.Lines.size());
        for (std::size_t i = 0; i < std::min(listed, insight.Lines.size()); ++i) {
            const LineDefect& line = insight.Lines[i];
            html += QStringLiteral("<br>&nbsp;&nbsp;%1 %2: %3 from its neighbours")
                        .arg(Html(OrientationName(line.Orientation)))
                        .arg(line.Index)
                        .arg(Percent(line.DeviationPercent, true));
            html += line.DeviatingPixels ? QStringLiteral(", most of its pixels deviating")
                                         : QStringLiteral(" (%1 SD)").arg(QString::number(line.Sigmas, 'f', 1));
        }
        if (insight.Lines.size() > listed)
            html += QStringLiteral("<br>&nbsp;&nbsp;and %1 more").arg(insight.Lines.size() - listed);
    }
    html += QStringLiteral("<br>%1</p>").arg(results.RimText.toHtmlEscaped());
    return html;
}

QString StructuredNoiseHtml(const StructuredNoise& noise)
{
    QString html = QStringLiteral("<p><b>Structured noise</b><br>Pixel noise: %1")
                       .arg(noise.PixelNoise ? Number(*noise.PixelNoise) + QStringLiteral(" (SD of one pixel)")
                                             : QStringLiteral("not available"));
    for (const auto& [info, line] :
         {std::pair{&kRowNoiseInfo, &noise.Rows}, std::pair{&kColumnNoiseInfo, &noise.Columns}}) {
        html += QStringLiteral("<br>%1: %2").arg(Html(info->Name), Percent(line->CorrelatedPercent, false));
        if (line->Ratio)
            html += QStringLiteral(" (line means spread %1 times what pixel noise gives)")
                        .arg(QString::number(*line->Ratio, 'f', 2));
        html += QStringLiteral("<br><span style=\"color:#606060\">%1</span>").arg(Html(info->Description));
    }
    return html + QStringLiteral("</p>");
}

}  // namespace

QString ResultsSummaryHtml(const RunResults& results, const GuidelinePreset& preset)
{
    const RobustMetrics& robust = results.Insight.Metrics;
    const UniformityMetrics& metrics = robust.Robust;
    QString html;
    html += QStringLiteral("<p><b>Results of %1</b></p>").arg(results.FileName.toHtmlEscaped());
    for (const auto& warning : results.Image.TagWarnings)
        html += QStringLiteral("<p style=\"color:#c00000\">%1</p>").arg(Html(warning));
    if (results.Processed) html += QStringLiteral("<p style=\"color:#c00000\">%1</p>").arg(Html(ProcessedImageWarning));
    if (results.LossyCompressed)
        html += QStringLiteral("<p style=\"color:#c00000\">%1</p>").arg(Html(LossyImageWarning));
    for (const auto& reason : results.Image.NotJudged)
        html += QStringLiteral("<p style=\"color:#c00000\">%1</p>").arg(Html(reason));

    const QString pixels = results.Settings.DetectDeviatingPixels ? QString::number(metrics.DeviatingPixelCount)
                                                                  : QStringLiteral("not searched");
    html += QStringLiteral("<p>ROIs: %1, deviating ROIs: %2, deviating pixels: %3</p>")
                .arg(metrics.RoiCount)
                .arg(metrics.DeviatingRoiCount)
                .arg(pixels);

    // The robust value first; the every-pixel one beside it when deviating
    // pixels were left out, so the two can differ.
    const bool leftOut = robust.Basis == PixelBasis::WithoutDeviatingPixels && metrics.DeviatingPixelCount > 0;
    html += QStringLiteral("<p><b>Metrics</b>");
    for (const MetricId id : {MetricId::RoiMeanDeviation, MetricId::RoiSnrDeviation, MetricId::GlobalUniformity,
                              MetricId::LocalUniformity, MetricId::NoiseUniformity}) {
        const bool withSign = id == MetricId::RoiMeanDeviation || id == MetricId::RoiSnrDeviation;
        QString line = MetricLine(metrics, id, withSign);
        if (leftOut) line += QStringLiteral(" (every pixel: %1)").arg(Percent(robust.EveryPixel[id].Value, withSign));
        html += QStringLiteral("<br>%1<br><span style=\"color:#606060\">%2</span>")
                    .arg(line, Html(MetricDescription(id, robust.Basis)));
    }
    html += QStringLiteral("</p>");
    html += DefectsHtml(results);
    html += StructuredNoiseHtml(results.Insight.Noise);

    const GuidelineVerdict verdict = Judge(results.Insight, results.Settings, preset, results.Image);
    html += QStringLiteral("<p><b>Guideline preset %1: </b>%2").arg(Html(preset.Name), VerdictHtml(verdict.Overall));
    for (const CheckVerdict& check : verdict.Checks) {
        const bool cluster = check.Key == LargestClusterCheckKey;
        const bool count = check.Key == DeviatingPixelsCheckKey || check.Key == LineDefectsCheckKey || cluster;
        const bool signedValue =
            check.Key == InfoOf(MetricId::RoiMeanDeviation).Key || check.Key == InfoOf(MetricId::RoiSnrDeviation).Key;
        const QString unit = cluster ? QStringLiteral(" pixels") : count ? QString() : QStringLiteral(" %");
        QString value;
        if (check.Value)
            value =
                QLatin1Char(' ') + (count ? QString::number(*check.Value) + unit : Percent(check.Value, signedValue));
        html += QStringLiteral("<br>%1%2: %3 ").arg(Html(check.Name), value, VerdictHtml(check.Result));
        QString limits = LimitsText(check.Limit, unit);
        if (check.SamplingAllowance > 0.0)
            limits += QStringLiteral(", incl. %1 % for ROI sampling").arg(QString::number(check.SamplingAllowance));
        html += check.Note.empty() ? QStringLiteral("(%1)").arg(limits) : QStringLiteral("(%1)").arg(Html(check.Note));
    }
    html += QStringLiteral("</p>");
    return html;
}

}  // namespace evenor
