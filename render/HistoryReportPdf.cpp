#include "dicom/TerminalText.h"
#include "render/PdfDocument.h"
#include "render/PdfPictures.h"
#include "render/ReportPdf.h"

namespace evenor {

namespace {

using namespace pdf;

// The report of one detector's history.
void HistoryReport(Document& doc, const HistoryReportData& data)
{
    const Fonts& f = doc.F();
    doc.Paragraph(QStringLiteral("Detector QA history"), f.Title);
    doc.Paragraph(Q(Printable(data.Title)), f.Heading);
    doc.Space(2);
    doc.Paragraph(Q(data.Overdue), f.Bold,
                  data.Overdue.rfind("Overdue", 0) == 0 ? QColor(200, 0, 0) : QColor(0, 120, 0));
    doc.Heading(QStringLiteral("Detector"));
    doc.KeyValues({
        {"Key", {TagText(data.Key) + QStringLiteral(" (") + Q(data.KeyKind) + QStringLiteral(")")}},
        {"Manufacturer", {TagText(data.Manufacturer)}},
        {"Model", {TagText(data.Model)}},
        {"Device serial number", {TagText(data.Serial)}},
        {"Detector ID", {TagText(data.DetectorId)}},
        {"Station", {TagText(data.Station)}},
        {"Test interval", {Counted(data.TestIntervalDays, "day", "days")}},
        {"Last tested", {data.LastTestedAt.empty() ? QStringLiteral("never") : Q(data.LastTestedAt)}},
        {"Records shown",
         {QStringLiteral("%1%2")
              .arg(data.Records.size())
              .arg(data.Since.empty()
                       ? QStringLiteral(" (all)")
                       : QStringLiteral(" (tested on or after ") + Q(data.Since) + QStringLiteral(")"))}},
        {"History database", {Q(data.Database), kText, false, true}},
    });

    doc.Heading(QStringLiteral("Baselines"));
    if (data.Baselines.empty()) doc.Paragraph(QStringLiteral("No baseline has been set."), f.Body);
    for (std::size_t k = 0; k < data.Baselines.size(); ++k) {
        const ReportBaselineVersion& b = data.Baselines[k];
        const bool inForce = k + 1 == data.Baselines.size();
        doc.Paragraph(QStringLiteral("Baseline %1%2: set %3 UTC by %4 (%5), from %6")
                          .arg(b.Version)
                          .arg(inForce ? QStringLiteral(" (in force)") : QString())
                          .arg(Q(b.SetAt), Q(b.SetBy), Q(b.Reason), Q(b.Source)),
                      inForce ? f.Bold : f.Body, kText, Qt::AlignLeft, true);
        doc.Paragraph(QStringLiteral("exposure %1; area mean %2, area SNR %3, mean ROI SNR %4, "
                                     "uniformity global %5 %, local %6 %, noise %7 %, "
                                     "deviating ROIs %8")
                          .arg(b.Exposure.empty() ? QStringLiteral("differs between its records") : Q(b.Exposure))
                          .arg(Fixed(b.AreaMean, 2), Fixed(b.AreaSnr, 2), Fixed(b.MeanRoiSnr, 2),
                               Fixed(b.GlobalUniformity, 2), Fixed(b.LocalUniformity, 2), Fixed(b.NoiseUniformity, 2))
                          .arg(b.DeviatingRois),
                      f.Small, kMuted);
        doc.Space(4);
    }
    if (!data.Limits.empty()) {
        doc.Subheading(QStringLiteral("Limits in force (% of the baseline value)"));
        std::vector<std::vector<Cell>> rows;
        for (const ReportLimit& l : data.Limits)
            rows.push_back({{Q(l.Name)}, {LimitText(l.Limit.Warning)}, {LimitText(l.Limit.Action)}});
        doc.Table({3, 1, 1}, {Qt::AlignLeft, Qt::AlignRight, Qt::AlignRight},
                  {{"Check"}, {"Warning above"}, {"Action above"}}, rows, f.Body, f.Small);
    }

    doc.Heading(QStringLiteral("Records"));
    if (data.Records.empty())
        doc.Paragraph(QStringLiteral("No records."), f.Body);
    else {
        std::vector<std::vector<Cell>> rows;
        for (const ReportRecordRow& r : data.Records) {
            const QColor colour = r.Excluded ? kMuted : kText;
            rows.push_back(
                {{QString::number(r.Id), colour},
                 {Q(r.TestedAt), colour},
                 {Fixed(r.AreaSnr, 2), colour},
                 {Fixed(r.MeanRoiSnr, 2), colour},
                 {Fixed(r.GlobalUniformity, 2), colour},
                 {Fixed(r.LocalUniformity, 2), colour},
                 {Fixed(r.NoiseUniformity, 2), colour},
                 {QString::number(r.DeviatingRois), colour},
                 {QString::number(r.DeviatingPixels), colour},
                 {Q(VerdictName(r.Overall)), VerdictColour(r.Overall), true},
                 {r.BaselineVersion ? QStringLiteral("%1: ").arg(*r.BaselineVersion) + Q(VerdictName(r.BaselineOverall))
                                    : QStringLiteral("-"),
                  r.BaselineVersion ? VerdictColour(r.BaselineOverall) : kMuted, r.BaselineVersion.has_value()}});
            QString note = QStringLiteral("%1; %2").arg(Q(r.File), Q(r.Exposure));
            if (r.NewPixels > 0)
                note += QStringLiteral("; %1 new since the baseline")
                            .arg(Counted(r.NewPixels, "deviating pixel", "deviating pixels"));
            if (r.Excluded) note += QStringLiteral("; EXCLUDED");
            if (!r.Notes.empty()) note += QStringLiteral("; ") + Q(r.Notes);
            rows.push_back({Cell{note}});
        }
        doc.Table({0.55, 2.1, 0.95, 0.95, 0.9, 0.9, 0.9, 0.8, 0.8, 1.1, 1.35},
                  {Qt::AlignRight, Qt::AlignLeft, Qt::AlignRight, Qt::AlignRight, Qt::AlignRight, Qt::AlignRight,
                   Qt::AlignRight, Qt::AlignRight, Qt::AlignRight, Qt::AlignLeft, Qt::AlignLeft},
                  {{"No."},
                   {"Tested"},
                   {"Area SNR"},
                   {"ROI SNR"},
                   {"Global unif. %"},
                   {"Local unif. %"},
                   {"Noise unif. %"},
                   {"Dev. ROIs"},
                   {"Dev. pixels"},
                   {"Verdict"},
                   {"Baseline"}},
                  rows, f.Small, f.Small);
    }
    if (!data.Trends.empty() && !data.Records.empty()) {
        doc.NewPage();
        doc.Heading(QStringLiteral("Trends"));
        TrendCharts(doc, data.Trends, 1);
    }
    SignOff(doc);
}

}  // namespace

QByteArray RenderHistoryReportPdf(const HistoryReportData& data)
{
    return WritePdf(data.Paper, QStringLiteral("QA history: ") + Q(Printable(data.Title)),
                    FooterText(QStringLiteral("QA history of ") + Q(Printable(data.Key))),
                    [&](Document& doc) { HistoryReport(doc, data); });
}

}  // namespace evenor
