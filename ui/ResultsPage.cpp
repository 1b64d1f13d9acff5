#include "ResultsPage.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <span>
#include <utility>

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "AnalysisRun.h"
#include "DicomLib.h"
#include "Evenor.h"
#include "ImageInfo.h"
#include "MapRenderer.h"
#include "RoiGrid.h"

namespace evenor {

namespace {

// Marks beyond these many would cover the picture anyway.
constexpr std::size_t MaxMarks = 100000;

const QString NoResultsYet = QStringLiteral("No results yet: they appear here after a successful Calculate.");

// Numbers are written with "." whatever the locale (QString::number uses none).
QString Number(double value) { return QString::number(value, 'f', 2); }
QString Signed(double value) { return (value > 0.0 ? QStringLiteral("+") : QString()) + Number(value); }
QString Percent(const std::optional<double>& value, bool withSign)
{
    if (!value) return QStringLiteral("not available");
    return (withSign ? Signed(*value) : Number(*value)) + QStringLiteral(" %");
}
QString Text(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
QString Html(std::string_view text) { return Text(text).toHtmlEscaped(); }

QString VerdictHtml(Verdict verdict)
{
    const char* colour = "#707070";
    switch (verdict) {
    case Verdict::Pass: colour = "#1a7f37"; break;
    case Verdict::Warning: colour = "#b35900"; break;
    case Verdict::Fail: colour = "#c00000"; break;
    case Verdict::NotEvaluated: break;
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

// Draws one picture; a failure is kept as the picture's text instead of
// ending the run, whose report does not depend on it.
template <class Draw>
ResultPicture DrawPicture(Draw&& draw)
{
    ResultPicture picture;
    try {
        picture.Image = draw();
    } catch (const std::exception& error) {
        picture.Image = QImage();
        picture.Error = QString::fromLocal8Bit(error.what());
    }
    if (picture.Image.isNull() && picture.Error.isEmpty()) picture.Error = QStringLiteral("nothing to draw");
    return picture;
}

}  // namespace

// The chosen picture, scaled to fit the view keeping its aspect, or at its
// own size (the scroll area around it then scrolls).
class TPictureView : public QWidget {
public:
    explicit TPictureView(QWidget* parent) : QWidget(parent) { setObjectName(QStringLiteral("PictureResults")); }

    void SetPicture(const QImage& image, const std::vector<QPoint>& marks, const QString& message, bool actualSize)
    {
        image_ = image;
        marks_ = marks;
        message_ = message;
        actualSize_ = actualSize;
        scaled_ = QImage();
        setMinimumSize(actualSize_ && !image_.isNull() ? image_.size() : QSize(0, 0));
        update();
    }
    const QImage& Image() const { return image_; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), palette().base());
        if (image_.isNull()) {
            painter.setPen(palette().color(QPalette::Disabled, QPalette::Text));
            painter.drawText(rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap, message_);
            return;
        }
        if (actualSize_) {
            painter.drawImage(0, 0, image_);
            return;
        }
        const QSize target = image_.size().scaled(size(), Qt::KeepAspectRatio);
        if (target.isEmpty()) return;
        if (scaled_.size() != target) {
            // Smooth when shrinking (text and grid lines stay legible), sharp
            // pixels when enlarging a small area map.
            const bool shrinking = target.width() < image_.width();
            scaled_ = image_.scaled(target, Qt::KeepAspectRatio,
                                    shrinking ? Qt::SmoothTransformation : Qt::FastTransformation);
        }
        const QPoint origin((width() - scaled_.width()) / 2, (height() - scaled_.height()) / 2);
        painter.drawImage(origin, scaled_);
        if (scaled_.width() >= image_.width()) return;
        // The marks as the picture draws them at its own scale: 3 x 3 yellow
        // framed in black, frames first so a cluster reads as one patch.
        const double scale = double(scaled_.width()) / image_.width();
        std::vector<QPoint> centres;
        centres.reserve(marks_.size());
        for (const QPoint& mark : marks_)
            centres.emplace_back(origin.x() + int((mark.x() + 0.5) * scale), origin.y() + int((mark.y() + 0.5) * scale));
        for (const QPoint& at : centres) painter.fillRect(at.x() - 2, at.y() - 2, 5, 5, Qt::black);
        for (const QPoint& at : centres) painter.fillRect(at.x() - 1, at.y() - 1, 3, 3, Qt::yellow);
    }

private:
    QImage image_;
    std::vector<QPoint> marks_;
    QString message_;
    bool actualSize_ = false;
    QImage scaled_;  // image_ at the size last painted
};

// Picture above, summary below. The picture keeps its share of the height
// when the page is resized; moving the handle sets a new share.
class TResultsSplitter : public QSplitter {
public:
    explicit TResultsSplitter(QWidget* parent) : QSplitter(Qt::Vertical, parent)
    {
        connect(this, &QSplitter::splitterMoved, this, [this] {
            const QList<int> parts = sizes();
            if (parts.size() == 2 && parts[0] + parts[1] > 0) pictureShare_ = double(parts[0]) / (parts[0] + parts[1]);
        });
    }

protected:
    void resizeEvent(QResizeEvent* event) override
    {
        QSplitter::resizeEvent(event);
        const QList<int> parts = sizes();
        if (parts.size() != 2) return;
        const int total = parts[0] + parts[1];
        const int picture = static_cast<int>(std::lround(total * pictureShare_));
        setSizes({picture, total - picture});
    }

private:
    double pictureShare_ = 0.6;
};

RunResults PrepareRunResults(const AnalysisSettings& settings, const AnalysisOutcome& outcome, const TDicomBeeld& image)
{
    const AnalysisResult& result = outcome.Result;
    RunResults results;
    results.FileName = QFile::decodeName(QByteArray::fromStdString(FileNamePart(settings.DicomFileName)));
    results.Processed = ReadImageInfo(image.TagTable()).IsProcessed();
    results.Settings = settings;
    results.Metrics = ComputeMetrics(result);

    const std::span<const std::uint16_t> pixels(outcome.Pixels);
    const std::uint32_t columns = outcome.Columns;
    auto& pictures = results.Pictures;
    ResultPicture& area = pictures[std::size_t(ResultPictureKind::AreaMap)];
    area = DrawPicture([&] { return RenderAreaMap(pixels, columns, settings, result); });
    area.Legend = QStringLiteral("Grey: mean \u00b1 3 SD. Red: deviating ROIs. Yellow: deviating pixels.");
    if (!area.Image.isNull()) {
        const AreaMapGeometry geometry = AreaMapGeometryFor(settings);
        area.Marks.reserve(std::min<std::size_t>(result.BadPixelMap.size(), MaxMarks));
        for (const BadPixel& bad : result.BadPixelMap) {
            if (area.Marks.size() == MaxMarks) break;
            if (bad.X < settings.FirstColumn || bad.X > settings.LastColumn || bad.Y < settings.FirstRow ||
                bad.Y > settings.LastRow)
                continue;
            area.Marks.push_back(geometry.PixelOf(bad.X, bad.Y));
        }
    }

    // The colour bar's range, for the legend.
    double limit = 0.0;
    const auto heatMap = [&](HeatMapKind kind) {
        HeatMap map = RenderHeatMap(result, kind);
        limit = map.Limit;
        return map.Image;
    };
    const auto heatLegend = [&] {
        const QString bound = QString::number(limit, 'g', 4);
        return QStringLiteral("Blue -%1 %, white 0 %, red +%1 %. Black frames: deviating ROIs.").arg(bound);
    };
    for (const auto& [index, kind] : {std::pair{ResultPictureKind::MeanHeatMap, HeatMapKind::RoiMeanDeviation},
                                      std::pair{ResultPictureKind::SnrHeatMap, HeatMapKind::RoiSnrDeviation}}) {
        ResultPicture& picture = pictures[std::size_t(index)];
        picture = DrawPicture([&] { return heatMap(kind); });
        if (!picture.Image.isNull()) picture.Legend = heatLegend();
    }
    return results;
}

QString ResultsSummaryHtml(const RunResults& results, const GuidelinePreset& preset)
{
    const UniformityMetrics& metrics = results.Metrics;
    QString html;
    html += QStringLiteral("<p><b>Results of %1</b></p>").arg(results.FileName.toHtmlEscaped());
    if (results.Processed)
        html += QStringLiteral("<p style=\"color:#c00000\">%1</p>").arg(Html(ProcessedImageWarning));

    const QString pixels = results.Settings.DetectDeviatingPixels
                               ? QString::number(metrics.DeviatingPixelCount)
                               : QStringLiteral("not searched");
    html += QStringLiteral("<p>ROIs: %1, deviating ROIs: %2, deviating pixels: %3<br>%4<br>%5</p>")
                .arg(metrics.RoiCount)
                .arg(metrics.DeviatingRoiCount)
                .arg(pixels, MetricLine(metrics, MetricId::RoiMeanDeviation, true),
                     MetricLine(metrics, MetricId::RoiSnrDeviation, true));

    html += QStringLiteral("<p><b>Metrics</b>");
    for (const MetricId id : {MetricId::GlobalUniformity, MetricId::LocalUniformity, MetricId::NoiseUniformity}) {
        html += QStringLiteral("<br>%1<br><span style=\"color:#606060\">%2</span>")
                    .arg(MetricLine(metrics, id, false), Html(InfoOf(id).Description));
    }
    html += QStringLiteral("</p>");

    const GuidelineVerdict verdict = Judge(metrics, results.Settings, preset);
    html += QStringLiteral("<p><b>Guideline preset %1: </b>%2").arg(Html(preset.Name), VerdictHtml(verdict.Overall));
    for (const CheckVerdict& check : verdict.Checks) {
        const bool count = check.Key == DeviatingPixelsCheckKey;
        const bool signedValue = check.Key == InfoOf(MetricId::RoiMeanDeviation).Key ||
                                 check.Key == InfoOf(MetricId::RoiSnrDeviation).Key;
        const QString unit = count ? QString() : QStringLiteral(" %");
        QString value;
        if (check.Value)
            value = QLatin1Char(' ') + (count ? QString::number(*check.Value) : Percent(check.Value, signedValue));
        html += QStringLiteral("<br>%1%2: %3 ").arg(Html(check.Name), value, VerdictHtml(check.Result));
        html += check.Note.empty() ? QStringLiteral("(%1)").arg(LimitsText(check.Limit, unit))
                                   : QStringLiteral("(%1)").arg(Html(check.Note));
    }
    html += QStringLiteral("</p>");
    return html;
}

TResultsPage::TResultsPage(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("Results"));

    auto* pictureLabel = new QLabel(QStringLiteral("Picture:"), this);
    comboBoxPicture_ = new QComboBox(this);
    comboBoxPicture_->setObjectName(QStringLiteral("ComboBoxPicture"));
    comboBoxPicture_->addItems({QStringLiteral("Area map"), QStringLiteral("ROI mean deviation"),
                                QStringLiteral("ROI SNR deviation")});
    comboBoxPicture_->setItemData(0, QStringLiteral("The evaluated area with the ROI grid; deviating ROIs outlined "
                                                    "in red, deviating pixels marked yellow"),
                                  Qt::ToolTipRole);
    comboBoxPicture_->setItemData(1, QStringLiteral("Each ROI's mean relative to the area mean, in %"),
                                  Qt::ToolTipRole);
    comboBoxPicture_->setItemData(2, QStringLiteral("Each ROI's SNR relative to the mean ROI SNR, in %"),
                                  Qt::ToolTipRole);
    pictureLabel->setBuddy(comboBoxPicture_);
    checkBoxActualSize_ = new QCheckBox(QStringLiteral("Actual size"), this);
    checkBoxActualSize_->setObjectName(QStringLiteral("CheckBoxActualSize"));
    checkBoxActualSize_->setToolTip(QStringLiteral("Show the picture pixel for pixel instead of fitting it to the page"));

    scrollPicture_ = new QScrollArea;
    scrollPicture_->setObjectName(QStringLiteral("ScrollPicture"));
    scrollPicture_->setWidgetResizable(true);
    scrollPicture_->setAlignment(Qt::AlignCenter);
    picture_ = new TPictureView(scrollPicture_);
    scrollPicture_->setWidget(picture_);
    labelLegend_ = new QLabel;
    labelLegend_->setObjectName(QStringLiteral("LabelLegend"));
    labelLegend_->setWordWrap(true);
    auto* pictureBox = new QWidget;
    auto* pictureLayout = new QVBoxLayout(pictureBox);
    pictureLayout->setContentsMargins(0, 0, 0, 0);
    pictureLayout->setSpacing(2);
    pictureLayout->addWidget(scrollPicture_, 1);
    pictureLayout->addWidget(labelLegend_);

    auto* summary = new QWidget;
    auto* presetLabel = new QLabel(QStringLiteral("Guideline preset:"), summary);
    comboBoxPreset_ = new QComboBox(summary);
    comboBoxPreset_->setObjectName(QStringLiteral("ComboBoxPreset"));
    const auto presets = AllPresets();
    for (std::size_t i = 0; i < presets.size(); ++i) {
        comboBoxPreset_->addItem(Text(presets[i].Name));
        comboBoxPreset_->setItemData(static_cast<int>(i), Text(presets[i].Description), Qt::ToolTipRole);
    }
    comboBoxPreset_->setCurrentText(Text(DefaultPreset().Name));
    presetLabel->setBuddy(comboBoxPreset_);
    memoResults_ = new QTextBrowser(summary);
    memoResults_->setObjectName(QStringLiteral("MemoResults"));
    memoResults_->setOpenLinks(false);
    memoResults_->setTabChangesFocus(true);
    memoResults_->document()->setDocumentMargin(3);
    memoResults_->setPlainText(NoResultsYet);

    auto* presetRow = new QHBoxLayout;
    presetRow->addWidget(presetLabel);
    presetRow->addWidget(comboBoxPreset_);
    presetRow->addStretch(1);
    auto* summaryLayout = new QVBoxLayout(summary);
    summaryLayout->setContentsMargins(0, 0, 0, 0);
    summaryLayout->setSpacing(4);
    summaryLayout->addLayout(presetRow);
    summaryLayout->addWidget(memoResults_, 1);

    // The picture above, the summary below; the user can move the boundary.
    splitter_ = new TResultsSplitter(this);
    splitter_->setObjectName(QStringLiteral("SplitterResults"));
    splitter_->setChildrenCollapsible(false);
    splitter_->addWidget(pictureBox);
    splitter_->addWidget(summary);

    auto* pictureRow = new QHBoxLayout;
    pictureRow->addWidget(pictureLabel);
    pictureRow->addWidget(comboBoxPicture_);
    pictureRow->addSpacing(8);
    pictureRow->addWidget(checkBoxActualSize_);
    pictureRow->addStretch(1);
    // The margins of the DICOM Tags page's memo.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 4, 8, 4);
    layout->setSpacing(4);
    layout->addLayout(pictureRow);
    layout->addWidget(splitter_, 1);

    setTabOrder(comboBoxPicture_, checkBoxActualSize_);
    setTabOrder(checkBoxActualSize_, comboBoxPreset_);
    setTabOrder(comboBoxPreset_, memoResults_);

    connect(comboBoxPicture_, &QComboBox::currentIndexChanged, this, &TResultsPage::ComboBoxPictureChange);
    connect(comboBoxPreset_, &QComboBox::currentIndexChanged, this, &TResultsPage::ComboBoxPresetChange);
    connect(checkBoxActualSize_, &QCheckBox::toggled, this, &TResultsPage::CheckBoxActualSizeClick);
    ComboBoxPictureChange();
}

std::vector<QWidget*> TResultsPage::TabChain() const
{
    return {comboBoxPicture_, checkBoxActualSize_, comboBoxPreset_, memoResults_};
}

void TResultsPage::ShowResults(RunResults results)
{
    results_ = std::move(results);
    ComboBoxPictureChange();
    ShowSummary();
    memoResults_->verticalScrollBar()->setValue(0);
}

QImage TResultsPage::ShownPicture() const { return picture_->Image(); }

void TResultsPage::ComboBoxPictureChange()
{
    if (!results_) {
        // The summary below says why the page is empty.
        picture_->SetPicture(QImage(), {}, QString(), checkBoxActualSize_->isChecked());
        labelLegend_->clear();
        return;
    }
    const int index = std::clamp(comboBoxPicture_->currentIndex(), 0, int(ResultPictureCount) - 1);
    const ResultPicture& picture = results_->Pictures[static_cast<std::size_t>(index)];
    picture_->SetPicture(picture.Image, picture.Marks, QStringLiteral("The picture could not be drawn: ") + picture.Error,
                         checkBoxActualSize_->isChecked());
    labelLegend_->setText(picture.Legend);
}

void TResultsPage::ComboBoxPresetChange() { ShowSummary(); }

void TResultsPage::CheckBoxActualSizeClick() { ComboBoxPictureChange(); }

void TResultsPage::ShowSummary()
{
    if (!results_) return;
    const auto presets = AllPresets();
    const int index = comboBoxPreset_->currentIndex();
    const GuidelinePreset& preset =
        index >= 0 && index < static_cast<int>(presets.size()) ? presets[static_cast<std::size_t>(index)] : DefaultPreset();
    // Keep the reader's place when only the preset changes.
    const int scrolled = memoResults_->verticalScrollBar()->value();
    memoResults_->setHtml(ResultsSummaryHtml(*results_, preset));
    memoResults_->verticalScrollBar()->setValue(scrolled);
}

}  // namespace evenor
