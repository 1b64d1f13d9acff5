#pragma once
// The picture of the Results page: the view beside the summary (fitted or at
// a zoom, its tooltip naming what lies under the mouse) and the window of its
// own that "Open in Window" shows (internal to the window).
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QToolTip>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "ui/ResultsPage.h"

namespace evenor {

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
inline constexpr double ZoomSteps[] = {0.0, 0.25, 0.5, 1.0, 2.0, 4.0, 8.0};

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

}  // namespace evenor
