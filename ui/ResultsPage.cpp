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
#include "history/QaRecord.h"
#include "insight/ImageInfo.h"
#include "insight/ResultExport.h"
#include "qa/TestRun.h"
#include "render/MapRenderer.h"
#include "render/ReportPdf.h"
#include "ui/Dialogs.h"
#include "ui/Evenor.h"
#include "ui/Preferences.h"
#include "ui/RunProgress.h"

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

// Draws one picture; a failure is kept as the picture's text instead of
// ending the run, whose report does not depend on it.
template <class Draw> ResultPicture DrawPicture(Draw&& draw)
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

// A heat map with its legend (the colour bar's range) and its cells.
ResultPicture DrawHeatMap(const AnalysisResult& result, HeatMapKind kind, const TMeetSerie* noiseRois)
{
    double limit = 0.0;
    HeatMapLayout cells;
    ResultPicture picture = DrawPicture([&] {
        HeatMap map = RenderHeatMap(result, kind, noiseRois);
        limit = map.Limit;
        cells = map.Layout;
        return map.Image;
    });
    if (!picture.Image.isNull()) {
        picture.Legend = QStringLiteral("Blue -%1 %, white 0 %, red +%1 %. Black frames: deviating ROIs.")
                             .arg(QString::number(limit, 'g', 4));
        picture.Cells = cells;
    }
    return picture;
}

}  // namespace

// The chosen picture, scaled to fit the view keeping its aspect, or at a
// zoom factor (the scroll area around it then scrolls). Its tooltip names
// what lies under the mouse.
class TPictureView : public QWidget {
public:
    // Picture pixel -> tooltip text (empty: none).
    using Describer = std::function<QString(QPoint)>;

    explicit TPictureView(QWidget* parent, const QString& name) : QWidget(parent) { setObjectName(name); }

    // zoom: 0 fits the picture to the view, else picture pixels per screen pixel.
    void SetPicture(const QImage& image, const std::vector<QPoint>& marks, const std::vector<AreaMapShape>& shapes,
                    const QString& message, double zoom, Describer describe)
    {
        image_ = image;
        marks_ = marks;
        shapes_ = shapes;
        message_ = message;
        describe_ = std::move(describe);
        scaled_ = QImage();
        SetZoom(zoom);
    }
    void SetZoom(double zoom)
    {
        zoom_ = zoom;
        const bool fixed = zoom_ > 0.0 && !image_.isNull();
        setMinimumSize(fixed ? QSize(int(std::ceil(image_.width() * zoom_)), int(std::ceil(image_.height() * zoom_)))
                             : QSize(0, 0));
        update();
    }
    double Zoom() const { return zoom_; }
    const QImage& Image() const { return image_; }

    // The picture pixel under a position of the view; false off the picture.
    bool PictureAt(QPoint position, QPoint& pixel) const
    {
        if (image_.isNull()) return false;
        const auto [origin, scale] = Placement();
        if (scale <= 0.0) return false;
        const QPointF at = (QPointF(position) - origin) / scale;
        pixel = QPoint(int(std::floor(at.x())), int(std::floor(at.y())));
        return image_.rect().contains(pixel);
    }

protected:
    bool event(QEvent* event) override
    {
        if (event->type() != QEvent::ToolTip) return QWidget::event(event);
        const auto* help = static_cast<QHelpEvent*>(event);
        QPoint pixel;
        const QString text = describe_ && PictureAt(help->pos(), pixel) ? describe_(pixel) : QString();
        if (text.isEmpty()) {
            QToolTip::hideText();
            event->ignore();
        } else {
            QToolTip::showText(help->globalPos(), text, this);
        }
        return true;
    }

    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), palette().base());
        if (image_.isNull()) {
            painter.setPen(palette().color(QPalette::Disabled, QPalette::Text));
            painter.drawText(rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap, message_);
            return;
        }
        const auto [origin, scale] = Placement();
        if (scale <= 0.0) return;
        if (zoom_ > 0.0) {
            // Only the part in view is drawn; enlarged pixels stay sharp.
            painter.setRenderHint(QPainter::SmoothPixmapTransform, scale < 1.0);
            painter.translate(origin);
            painter.scale(scale, scale);
            painter.drawImage(0, 0, image_);
            painter.resetTransform();
        } else {
            const QSize target(int(std::lround(image_.width() * scale)), int(std::lround(image_.height() * scale)));
            if (target.isEmpty()) return;
            if (scaled_.size() != target) {
                // Smooth when shrinking (text and grid lines stay legible),
                // sharp pixels when enlarging a small area map.
                const bool shrinking = target.width() < image_.width();
                scaled_ = image_.scaled(target, Qt::IgnoreAspectRatio,
                                        shrinking ? Qt::SmoothTransformation : Qt::FastTransformation);
            }
            painter.drawImage(origin, scaled_);
        }
        if (scale >= 1.0) return;
        // The marks as the picture draws them at its own scale: 3 x 3 yellow
        // framed in black, frames first so a cluster reads as one patch.
        std::vector<QPoint> centres;
        centres.reserve(marks_.size());
        for (const QPoint& mark : marks_)
            centres.emplace_back(int(origin.x() + (mark.x() + 0.5) * scale),
                                 int(origin.y() + (mark.y() + 0.5) * scale));
        for (const QPoint& at : centres) painter.fillRect(at.x() - 2, at.y() - 2, 5, 5, Qt::black);
        for (const QPoint& at : centres) painter.fillRect(at.x() - 1, at.y() - 1, 3, 3, Qt::yellow);
        // The defect marks over them, at least a screen pixel wide (rings
        // two), as the picture has them.
        for (const AreaMapShape& shape : shapes_) {
            if (shape.Kind == AreaMapShape::Fill) {
                const QRect& r = shape.Rect;
                const int left = int(std::floor(origin.x() + r.left() * scale));
                const int top = int(std::floor(origin.y() + r.top() * scale));
                const int right = std::max(left + 1, int(std::ceil(origin.x() + (r.right() + 1) * scale)));
                const int bottom = std::max(top + 1, int(std::ceil(origin.y() + (r.bottom() + 1) * scale)));
                painter.fillRect(QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)), shape.Colour);
            } else {
                painter.setRenderHint(QPainter::Antialiasing, true);
                painter.setPen(QPen(shape.Colour, std::max(2.0, (shape.Outer - shape.Inner) * scale)));
                painter.setBrush(Qt::NoBrush);
                const double radius = (shape.Inner + shape.Outer) / 2.0 * scale;
                painter.drawEllipse(origin + shape.Centre * scale, radius, radius);
                painter.setRenderHint(QPainter::Antialiasing, false);
            }
        }
    }

private:
    // Where the picture's top-left corner lies and how many screen pixels a
    // picture pixel takes: fitted or zoomed, centred when smaller than the view.
    std::pair<QPointF, double> Placement() const
    {
        double scale = zoom_;
        if (scale <= 0.0) {
            scale = std::min(double(width()) / image_.width(), double(height()) / image_.height());
            // Whole screen pixels, as the cached scaled copy has.
            scale = std::min(std::floor(image_.width() * scale) / image_.width(),
                             std::floor(image_.height() * scale) / image_.height());
        }
        const QPointF origin(std::max(0.0, std::floor((width() - image_.width() * scale) / 2)),
                             std::max(0.0, std::floor((height() - image_.height() * scale) / 2)));
        return {origin, scale};
    }

    QImage image_;
    std::vector<QPoint> marks_;
    std::vector<AreaMapShape> shapes_;
    QString message_;
    Describer describe_;
    double zoom_ = 0.0;
    QImage scaled_;  // image_ at the size last painted, when fitted
};

// The zoom steps of the picture window; 0 fits the picture to the window.
constexpr double ZoomSteps[] = {0.0, 0.25, 0.5, 1.0, 2.0, 4.0, 8.0};

// The chosen picture in a window of its own: resizable, with a zoom choice
// (also Ctrl + mouse wheel over the picture) and the same tooltips.
class TPictureWindow : public QWidget {
public:
    explicit TPictureWindow(QWidget* owner) : QWidget(owner, Qt::Window)
    {
        setObjectName(QStringLiteral("PictureWindow"));
        auto* zoomLabel = new QLabel(QStringLiteral("Zoom:"), this);
        zoom_ = new QComboBox(this);
        zoom_->setObjectName(QStringLiteral("ComboBoxZoom"));
        for (const double step : ZoomSteps)
            zoom_->addItem(step == 0.0 ? QStringLiteral("Fit") : QString::number(step * 100) + QStringLiteral(" %"));
        zoomLabel->setBuddy(zoom_);
        legend_ = new QLabel(this);
        legend_->setObjectName(QStringLiteral("LabelWindowLegend"));
        legend_->setWordWrap(true);
        scroll_ = new QScrollArea(this);
        scroll_->setWidgetResizable(true);
        scroll_->setAlignment(Qt::AlignCenter);
        view_ = new TPictureView(scroll_, QStringLiteral("PictureWindowView"));
        scroll_->setWidget(view_);
        view_->installEventFilter(this);

        auto* top = new QHBoxLayout;
        top->addWidget(zoomLabel);
        top->addWidget(zoom_);
        top->addSpacing(8);
        top->addWidget(legend_, 1);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(6, 6, 6, 6);
        layout->addLayout(top);
        layout->addWidget(scroll_, 1);
        resize(720, 640);
        connect(zoom_, &QComboBox::currentIndexChanged, this,
                [this](int index) { view_->SetZoom(ZoomSteps[std::clamp(index, 0, int(std::size(ZoomSteps)) - 1)]); });
        // The usual keys to close a window of a document's view.
        for (const QKeySequence& keys : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
            auto* shortcut = new QShortcut(keys, this);
            connect(shortcut, &QShortcut::activated, this, &QWidget::close);
        }
    }

    void Show(const QString& title, const ResultPicture& picture, TPictureView::Describer describe)
    {
        setWindowTitle(title);
        legend_->setText(picture.Legend);
        view_->SetPicture(picture.Image, picture.Marks, picture.Shapes,
                          QStringLiteral("The picture could not be drawn: ") + picture.Error,
                          ZoomSteps[std::clamp(zoom_->currentIndex(), 0, int(std::size(ZoomSteps)) - 1)],
                          std::move(describe));
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == view_ && event->type() == QEvent::Wheel) {
            auto* wheel = static_cast<QWheelEvent*>(event);
            if (wheel->modifiers() & Qt::ControlModifier) {
                const int step = wheel->angleDelta().y() > 0 ? 1 : -1;
                // From Fit, the next step is the nearest zoom above or below the fitted one.
                zoom_->setCurrentIndex(
                    std::clamp(std::max(zoom_->currentIndex(), step > 0 ? 0 : 2) + step, 0, zoom_->count() - 1));
                return true;
            }
        }
        return QWidget::eventFilter(watched, event);
    }

private:
    QComboBox* zoom_ = nullptr;
    QLabel* legend_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    TPictureView* view_ = nullptr;
};

// Picture beside summary. Until the user moves the handle the picture's side
// is as wide as it is high (the maps are about square), within 35 to 60 % of
// the width (at the reference size 60 %, the summary still about 25
// characters wide); a moved handle sets a share that resizing keeps.
class TResultsSplitter : public QSplitter {
public:
    explicit TResultsSplitter(QWidget* parent) : QSplitter(Qt::Horizontal, parent)
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
        const double share =
            pictureShare_ > 0.0 ? pictureShare_ : std::clamp(double(height()) / std::max(total, 1), 0.35, 0.6);
        const int picture = static_cast<int>(std::lround(total * share));
        setSizes({picture, total - picture});
    }

private:
    double pictureShare_ = 0.0;  // 0: not set by the user
};

std::vector<bool> DeviatingRoiFlags(const TMeetSerie& rois, const TBadROIMap& bad)
{
    // One pass over each list: a small box on a large image has hundreds of
    // thousands of ROIs, of which a large share may deviate.
    const auto key = [](std::uint32_t x, std::uint32_t y) { return (std::uint64_t{x} << 32) | y; };
    std::unordered_set<std::uint64_t> deviating;
    deviating.reserve(bad.size());
    for (const BadROI& roi : bad) deviating.insert(key(roi.X, roi.Y));
    std::vector<bool> flags(rois.size(), false);
    if (deviating.empty()) return flags;
    for (std::size_t i = 0; i < rois.size(); ++i) flags[i] = deviating.contains(key(rois[i].X, rois[i].Y));
    return flags;
}

RunResults PrepareRunResults(const AnalysisSettings& settings, const AnalysisOutcome& outcome, const TDicomBeeld& image,
                             RunProgress* progress, const std::function<void()>& beside)
{
    const AnalysisResult& result = outcome.Result;
    RunResults results;
    results.AnalysedAt = AnalysisTimeNow();
    results.AnalysedBy = Preferences::AnalysedBy().trimmed().toStdString();
    if (results.AnalysedBy.empty()) results.AnalysedBy = OperatingSystemUser();
    const auto step = [progress](int index, const char* text) {
        if (progress != nullptr) progress->Step(index, text);
    };
    step(1, "inspecting the detector");
    // Beside the inspection, on a thread of its own, the PDF report's grey:
    // finer than the page's map, it needs the pixels, which the run does not
    // keep. Null when it cannot be drawn (the area map says why). Its future
    // waits for it however this function ends.
    const std::span<const std::uint16_t> pixels(outcome.Pixels);
    const std::uint32_t columns = outcome.Columns;
    const auto drawEarly = [&] {
        try {
            return RenderReportAreaGrey(pixels, columns, settings, result);
        } catch (const std::exception&) {
            return QImage();
        }
    };
    std::future<QImage> drawing;
    try {
        drawing = std::async(std::launch::async, drawEarly);
    } catch (const std::system_error&) {
        // No thread to be had: drawn below, after the inspection.
    }
    results.FileName = QFile::decodeName(QByteArray::fromStdString(FileNamePart(settings.DicomFileName)));
    results.Processed = ReadImageInfo(image.TagTable()).IsProcessed();
    results.LossyCompressed = image.LossyCompressed();
    results.Settings = settings;
    results.Insight = InspectDetector(settings, outcome);
    results.RimText = QString::fromStdString(DescribeRims(results.Insight.Rims, image.PixelSpacing()));
    results.Rois = result.Rois;
    results.RoiDeviating = DeviatingRoiFlags(result.Rois, result.BadROIMap);
    results.BoxPixels = result.BoxPixels;
    results.AreaMean = result.AreaMean;
    results.MeanRoiSNR = result.MeanRoiSNR;
    results.AreaGeometry = AreaMapGeometryFor(settings);
    const RoiLattice lattice = BuildRoiLattice(result.Rois);
    results.RoiColumns = lattice.Xs;
    results.RoiRows = lattice.Ys;
    results.Result = result;
    results.Preparation = outcome.Preparation;
    const TagDefaults tagDefaults = DefaultsFromTags(image.TagList());
    ImageFacts facts = ReadImageFacts(image, tagDefaults);
    results.PixelSpacing = facts.PixelSpacing;
    results.Image = std::move(facts.Image);
    results.DeviceSerialNumber = std::move(facts.DeviceSerialNumber);
    results.SoftwareVersions = std::move(facts.SoftwareVersions);
    results.AcquisitionTime = std::move(facts.AcquisitionTime);
    results.Warnings = std::move(facts.Warnings);
    const std::string sign = "tag 0028,1041 (Pixel Intensity Relationship Sign) ";
    if (!tagDefaults.Inverted)
        results.InversionReason = "set in the window; " + sign + "is missing or not 1 or -1";
    else if (*tagDefaults.Inverted == settings.Inverted)
        results.InversionReason = sign + "is " + (settings.Inverted ? "-1" : "1");
    else
        results.InversionReason =
            "set in the window against " + sign + "(" + (*tagDefaults.Inverted ? "-1" : "1") + ")";

    step(2, "drawing the pictures, writing the report");
    std::future<void> besideDone;
    if (beside) {
        try {
            besideDone = std::async(std::launch::async, beside);
        } catch (const std::system_error&) {
            beside();
        }
    }
    auto& pictures = results.Pictures;
    ResultPicture& area = pictures[std::size_t(ResultPictureKind::AreaMap)];
    const DetectorInsight& insight = results.Insight;
    area = DrawPicture([&] { return RenderAreaMap(pixels, columns, settings, result, AreaMapDefectsOf(insight)); });
    area.Legend = QStringLiteral("Grey: mean \u00b1 3 SD. Red: deviating ROIs. Yellow: deviating pixels.");
    // The defect marks only where the map has them (a ring around a cluster
    // that covers most of the area lies outside the map).
    const AreaMapGeometry mapGeometry = AreaMapGeometryFor(settings);
    const QRectF mapRect(0, 0, mapGeometry.Width, mapGeometry.Height);
    const auto ringOnMap = [&](const AreaMapShape& shape) {
        if (shape.Kind != AreaMapShape::Ring) return false;
        const QPointF nearest(std::clamp(shape.Centre.x(), mapRect.left(), mapRect.right()),
                              std::clamp(shape.Centre.y(), mapRect.top(), mapRect.bottom()));
        const double farthest = std::hypot(std::max(shape.Centre.x(), mapRect.right() - shape.Centre.x()),
                                           std::max(shape.Centre.y(), mapRect.bottom() - shape.Centre.y()));
        return std::hypot(nearest.x() - shape.Centre.x(), nearest.y() - shape.Centre.y()) < shape.Outer &&
               farthest >= shape.Inner;
    };
    const std::vector<AreaMapShape> shapes = AreaMapDefectShapes(mapGeometry, AreaMapDefectsOf(insight));
    if (std::any_of(shapes.begin(), shapes.end(), ringOnMap))
        area.Legend += QStringLiteral(" Magenta rings: clusters.");
    if (!insight.Lines.empty()) area.Legend += QStringLiteral(" Orange: line defects.");
    if (insight.Rims.Found() && !insight.Rims.Interior.Empty())
        area.Legend += QStringLiteral(" Green: inner edge of the rim.");
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
        area.Shapes = shapes;
    }

    // The heat maps are drawn when first shown (ResultPictureOf).
    results.ReportAreaGrey = drawing.valid() ? drawing.get() : drawEarly();
    if (besideDone.valid()) besideDone.get();
    return results;
}

const ResultPicture& ResultPictureOf(RunResults& results, ResultPictureKind kind)
{
    ResultPicture& picture = results.Pictures[std::size_t(kind)];
    if (!picture.Image.isNull() || !picture.Error.isEmpty()) return picture;
    switch (kind) {
    case ResultPictureKind::AreaMap:
        break;
    case ResultPictureKind::MeanHeatMap:
        picture = DrawHeatMap(results.Result, HeatMapKind::RoiMeanDeviation, nullptr);
        break;
    case ResultPictureKind::SnrHeatMap:
        picture = DrawHeatMap(results.Result, HeatMapKind::RoiSnrDeviation, nullptr);
        break;
    case ResultPictureKind::NoiseHeatMap:
        // The robust ROI statistics of the inspection.
        picture = DrawHeatMap(results.Result, HeatMapKind::RoiNoiseDeviation, &results.Insight.RobustRois.Rois);
        break;
    }
    return picture;
}

namespace {

// One ROI as the tooltips name it.
QString RoiText(const RunResults& results, std::size_t index, ResultPictureKind kind)
{
    const RoiResult& roi = results.Rois[index];
    QString text = QStringLiteral("ROI X %1, Y %2").arg(roi.X).arg(roi.Y);
    if (results.RoiDeviating[index]) text += QStringLiteral(", deviating");
    const auto deviation = [](double value, double reference) {
        return reference != 0.0 ? Signed((value - reference) / reference * 100.0) + QStringLiteral(" %")
                                : QStringLiteral("not available");
    };
    text += QStringLiteral("\nMean %1 (%2 from the area mean)")
                .arg(Number(roi.Mean), deviation(roi.Mean, results.AreaMean));
    text += QStringLiteral("\nSD %1, SNR %2 (%3 from the mean ROI SNR)")
                .arg(Number(roi.SD), Number(roi.SNR), deviation(roi.SNR, results.MeanRoiSNR));
    if (kind == ResultPictureKind::NoiseHeatMap) {
        const auto& noise = results.Insight.RoiNoiseDeviation;
        text += QStringLiteral("\nSD %1 from the mean ROI SD")
                    .arg(index < noise.size() ? Percent(noise[index], true) : QStringLiteral("not available"));
    }
    return text;
}

}  // namespace

QString DescribePicturePoint(const RunResults& results, ResultPictureKind kind, QPoint pixel)
{
    if (results.Rois.empty() || results.RoiDeviating.size() != results.Rois.size()) return {};
    const ResultPicture& picture = results.Pictures[std::size_t(kind)];
    if (picture.Image.isNull() || !picture.Image.rect().contains(pixel)) return {};

    if (kind == ResultPictureKind::AreaMap) {
        // The image pixel in the middle of those binned into this map pixel.
        const AreaMapGeometry& geometry = results.AreaGeometry;
        const auto imageAt = [](int mapPixel, int mapSide, std::uint32_t first, std::uint32_t side) {
            const auto offset = static_cast<std::uint32_t>((mapPixel + 0.5) * side / std::max(mapSide, 1));
            return first + std::min(offset, side - 1);
        };
        const std::uint32_t column = imageAt(pixel.x(), geometry.Width, geometry.FirstColumn, geometry.AreaWidth);
        const std::uint32_t row = imageAt(pixel.y(), geometry.Height, geometry.FirstRow, geometry.AreaHeight);
        // Of the ROIs whose box holds the pixel, the one with the nearest centre.
        std::optional<std::size_t> best;
        double bestDistance = 0.0;
        for (std::size_t i = 0; i < results.Rois.size(); ++i) {
            const RoiResult& roi = results.Rois[i];
            if (column < roi.X || column - roi.X >= results.BoxPixels || row < roi.Y ||
                row - roi.Y >= results.BoxPixels)
                continue;
            const double dx = column + 0.5 - (roi.X + results.BoxPixels / 2.0);
            const double dy = row + 0.5 - (roi.Y + results.BoxPixels / 2.0);
            const double distance = dx * dx + dy * dy;
            if (!best || distance < bestDistance) {
                best = i;
                bestDistance = distance;
            }
        }
        const QString where = QStringLiteral("Pixel X %1, Y %2").arg(column).arg(row);
        return best ? where + QLatin1Char('\n') + RoiText(results, *best, kind) : where;
    }

    if (!picture.Cells) return {};
    int cellColumn = 0;
    int cellRow = 0;
    if (!picture.Cells->CellAt(pixel, cellColumn, cellRow)) return {};
    if (std::size_t(cellColumn) >= results.RoiColumns.size() || std::size_t(cellRow) >= results.RoiRows.size())
        return {};
    const std::uint32_t x = results.RoiColumns[std::size_t(cellColumn)];
    const std::uint32_t y = results.RoiRows[std::size_t(cellRow)];
    for (std::size_t i = 0; i < results.Rois.size(); ++i)
        if (results.Rois[i].X == x && results.Rois[i].Y == y) return RoiText(results, i, kind);
    return {};
}

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

QByteArray ResultsReportPdf(const RunResults& results, const GuidelinePreset& preset, PaperSize paper,
                            std::optional<ReportBaseline> history)
{
    ResultContext context;
    context.Preparation = results.Preparation;
    context.PixelSpacing = results.PixelSpacing;
    context.Image = results.Image;
    context.Preset = &preset;
    context.Insight = &results.Insight;
    const ImageFacts facts{.Image = results.Image,
                           .PixelSpacing = results.PixelSpacing,
                           .DeviceSerialNumber = results.DeviceSerialNumber,
                           .SoftwareVersions = results.SoftwareVersions,
                           .AcquisitionTime = results.AcquisitionTime,
                           .Warnings = results.Warnings};
    TestReportData data = TestReportDataOf(results.Settings, results.Result, context, facts);
    data.FileSha256 = results.FileSha256;
    data.InversionReason = results.InversionReason;
    data.AnalysedAt = results.AnalysedAt;
    data.AnalysedBy = results.AnalysedBy;
    data.Paper = paper;
    data.History = std::move(history);
    return RenderTestReportPdf(
        data, DrawReportPictures(results.ReportAreaGrey, results.Settings, results.Result, results.Insight));
}

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

TResultsPage::TResultsPage(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("Results"));

    auto* pictureLabel = new QLabel(QStringLiteral("Picture:"), this);
    comboBoxPicture_ = new QComboBox(this);
    comboBoxPicture_->setObjectName(QStringLiteral("ComboBoxPicture"));
    comboBoxPicture_->addItems({QStringLiteral("Area map"), QStringLiteral("ROI mean deviation"),
                                QStringLiteral("ROI SNR deviation"), QStringLiteral("ROI noise deviation")});
    comboBoxPicture_->setItemData(0,
                                  QStringLiteral("The evaluated area with the ROI grid; deviating ROIs outlined "
                                                 "in red, deviating pixels marked yellow, clusters of them circled, "
                                                 "line defects and the edge of a rim marked"),
                                  Qt::ToolTipRole);
    comboBoxPicture_->setItemData(1, QStringLiteral("Each ROI's mean relative to the area mean, in %"),
                                  Qt::ToolTipRole);
    comboBoxPicture_->setItemData(2, QStringLiteral("Each ROI's SNR relative to the mean ROI SNR, in %"),
                                  Qt::ToolTipRole);
    comboBoxPicture_->setItemData(3, QStringLiteral("Each ROI's noise (SD) relative to the mean ROI SD, in %"),
                                  Qt::ToolTipRole);
    pictureLabel->setBuddy(comboBoxPicture_);
    checkBoxActualSize_ = new QCheckBox(QStringLiteral("Actual size"), this);
    checkBoxActualSize_->setObjectName(QStringLiteral("CheckBoxActualSize"));
    checkBoxActualSize_->setToolTip(
        QStringLiteral("Show the picture pixel for pixel instead of fitting it to the page"));
    buttonPictureWindow_ = new QPushButton(QStringLiteral("Open in Window"), this);
    buttonPictureWindow_->setObjectName(QStringLiteral("ButtonPictureWindow"));
    buttonPictureWindow_->setToolTip(QStringLiteral("Show the picture in a window of its own, resizable, with zoom"));
    buttonPictureWindow_->setAutoDefault(false);
    buttonPictureWindow_->setEnabled(false);
    buttonSavePdf_ = new QPushButton(QStringLiteral("Save PDF report..."), this);
    buttonSavePdf_->setObjectName(QStringLiteral("ButtonSavePdf"));
    buttonSavePdf_->setToolTip(QStringLiteral("Write the test's report as a PDF document: the detector, the settings, "
                                              "the results and verdicts of the chosen preset, the pictures, the "
                                              "deviating ROIs and pixels, the warnings and lines to sign"));
    buttonSavePdf_->setAutoDefault(false);
    buttonSavePdf_->setEnabled(false);

    scrollPicture_ = new QScrollArea;
    scrollPicture_->setObjectName(QStringLiteral("ScrollPicture"));
    scrollPicture_->setWidgetResizable(true);
    scrollPicture_->setAlignment(Qt::AlignCenter);
    picture_ = new TPictureView(scrollPicture_, QStringLiteral("PictureResults"));
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

    // The label above its list: side by side they would keep the summary
    // too wide for the picture at the reference size.
    auto* presetRow = new QHBoxLayout;
    presetRow->addWidget(comboBoxPreset_);
    presetRow->addStretch(1);
    auto* summaryLayout = new QVBoxLayout(summary);
    summaryLayout->setContentsMargins(0, 0, 0, 0);
    summaryLayout->setSpacing(4);
    summaryLayout->addWidget(presetLabel);
    summaryLayout->addLayout(presetRow);
    summaryLayout->addWidget(memoResults_, 1);
    // Under the summary: the picture's row has no room left at the
    // reference size.
    summaryLayout->addWidget(buttonSavePdf_);

    // The picture beside the summary; the user can move the boundary.
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
    pictureRow->addWidget(buttonPictureWindow_);
    // The margins of the DICOM Tags page's memo.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 4, 8, 4);
    layout->setSpacing(4);
    layout->addLayout(pictureRow);
    layout->addWidget(splitter_, 1);

    setTabOrder(comboBoxPicture_, checkBoxActualSize_);
    setTabOrder(checkBoxActualSize_, buttonPictureWindow_);
    setTabOrder(buttonPictureWindow_, comboBoxPreset_);
    setTabOrder(comboBoxPreset_, memoResults_);
    setTabOrder(memoResults_, buttonSavePdf_);

    connect(comboBoxPicture_, &QComboBox::currentIndexChanged, this, &TResultsPage::ComboBoxPictureChange);
    connect(comboBoxPreset_, &QComboBox::currentIndexChanged, this, &TResultsPage::ComboBoxPresetChange);
    connect(checkBoxActualSize_, &QCheckBox::toggled, this, &TResultsPage::CheckBoxActualSizeClick);
    connect(buttonPictureWindow_, &QPushButton::clicked, this, &TResultsPage::ButtonPictureWindowClick);
    connect(buttonSavePdf_, &QPushButton::clicked, this, &TResultsPage::ButtonSavePdfClick);
    ComboBoxPictureChange();
}

std::vector<QWidget*> TResultsPage::TabChain() const
{
    return {comboBoxPicture_, checkBoxActualSize_, buttonPictureWindow_, comboBoxPreset_, memoResults_, buttonSavePdf_};
}

void TResultsPage::ShowResults(RunResults results)
{
    results_ = std::move(results);
    buttonPictureWindow_->setEnabled(true);
    buttonSavePdf_->setEnabled(true);
    ComboBoxPictureChange();
    ShowSummary();
    memoResults_->verticalScrollBar()->setValue(0);
}

QWidget* TResultsPage::PictureWindow() const { return pictureWindow_; }

QImage TResultsPage::ShownPicture() const { return picture_->Image(); }

void TResultsPage::ComboBoxPictureChange()
{
    const double zoom = checkBoxActualSize_->isChecked() ? 1.0 : 0.0;
    if (!results_) {
        // The summary beside it says why the page is empty.
        picture_->SetPicture(QImage(), {}, {}, QString(), zoom, {});
        labelLegend_->clear();
        return;
    }
    const int index = std::clamp(comboBoxPicture_->currentIndex(), 0, int(ResultPictureCount) - 1);
    const auto kind = static_cast<ResultPictureKind>(index);
    const ResultPicture& picture = ResultPictureOf(*results_, kind);
    const auto describe = [this, kind](QPoint pixel) {
        return results_ ? DescribePicturePoint(*results_, kind, pixel) : QString();
    };
    picture_->SetPicture(picture.Image, picture.Marks, picture.Shapes,
                         QStringLiteral("The picture could not be drawn: ") + picture.Error, zoom, describe);
    labelLegend_->setText(picture.Legend);
    if (pictureWindow_ != nullptr)
        pictureWindow_->Show(comboBoxPicture_->currentText() + QStringLiteral(" of ") + results_->FileName, picture,
                             describe);
}

void TResultsPage::ButtonPictureWindowClick()
{
    if (!results_) return;
    if (pictureWindow_ == nullptr) pictureWindow_ = new TPictureWindow(this);
    ComboBoxPictureChange();
    pictureWindow_->show();
    pictureWindow_->raise();
    pictureWindow_->activateWindow();
}

void TResultsPage::ButtonSavePdfClick()
{
    if (!results_) return;
    // NAME-uniformity.pdf beside the image.
    const QFileInfo image(QString::fromStdString(results_->Settings.DicomFileName));
    const QString proposed = image.dir().filePath(image.completeBaseName() + QStringLiteral("-uniformity.pdf"));
    const std::optional<QString> chosen = Dialogs::SavePdfReport(this, proposed);
    if (!chosen) return;
    try {
        std::optional<ReportBaseline> history;
        if (historySource_) history = historySource_();
        // A large result's report takes seconds: drawn beside the window,
        // which keeps painting, and written only when not cancelled.
        const GuidelinePreset& preset = ChosenPreset();
        const PaperSize paper = Preferences::ReportPaper();
        const RunResults& results = *results_;
        RunProgress progress(1);
        progress.Step(0, "drawing the PDF report");
        const auto work = [&] {
            const QByteArray document = ResultsReportPdf(results, preset, paper, std::move(history));
            progress.Commit();
            SaveReportPdf(document, chosen->toStdString());
        };
        if (backgroundRunner_) {
            if (!backgroundRunner_(progress, work)) return;
        } else {
            work();
        }
    } catch (const std::exception& e) {
        Dialogs::Error(this,
                       QDir::toNativeSeparators(*chosen) + QStringLiteral(": ") + QString::fromStdString(e.what()));
        return;
    }
    Dialogs::Message(this, QStringLiteral("PDF report written to ") + QDir::toNativeSeparators(*chosen));
}

void TResultsPage::ComboBoxPresetChange() { ShowSummary(); }

const GuidelinePreset& TResultsPage::ChosenPreset() const
{
    const auto presets = AllPresets();
    const int index = comboBoxPreset_->currentIndex();
    return index >= 0 && index < static_cast<int>(presets.size()) ? presets[static_cast<std::size_t>(index)]
                                                                  : DefaultPreset();
}

void TResultsPage::CheckBoxActualSizeClick() { ComboBoxPictureChange(); }

void TResultsPage::ShowSummary()
{
    if (!results_) return;
    const GuidelinePreset& preset = ChosenPreset();
    // Keep the reader's place when only the preset changes.
    const int scrolled = memoResults_->verticalScrollBar()->value();
    memoResults_->setHtml(ResultsSummaryHtml(*results_, preset));
    memoResults_->verticalScrollBar()->setValue(scrolled);
}

}  // namespace evenor
