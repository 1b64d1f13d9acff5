#pragma once
// The parts the PDF reports are made of (internal to the render library): the
// document that lays blocks out over pages and paints them with the page
// count known, the writer that gives it reproducible bytes, the fonts and
// colours, and the texts numbers and tags are shown as.
#include <QColor>
#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPdfWriter>
#include <QRegularExpression>
#include <QString>
#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "insight/Guidelines.h"
#include "qa/ReportData.h"

namespace evenor::pdf {

using Json = nlohmann::ordered_json;

// Device units: the writer's resolution, points converted to it.
inline constexpr int kResolution = 600;
inline double Pt(double points) { return points * kResolution / 72.0; }

inline const QColor kText(0, 0, 0);
inline const QColor kMuted(90, 90, 90);
inline const QColor kRule(170, 170, 170);
inline const QColor kShade(242, 242, 242);
inline const QColor kWarningText(170, 60, 0);

// UTF-8 text as shown, NUL characters left out.
QString Q(const std::string& text);
QString Q(std::string_view text);

// A tag's value as shown: padding gone, at most 200 characters.
// Text from a DICOM tag: its control characters shown escaped (a Detector ID
// holding a line break must not forge a line of the report).
QString TagText(const std::string& text);

QColor VerdictColour(Verdict verdict);

// A measured value as the report shows it: rounded to two decimals, as the
// text summary shows it (the JSON keeps every digit); a value that rounds to
// 0 shows as 0.00, without a sign.
QString Rounded(double value, int decimals = 2);

// A number of the JSON result as the report shows it: a count as it is, a
// measured value Rounded.
QString Num(const Json& value);
QString Num(std::optional<double> value);

// A number given rather than measured (a setting as typed, a tag's pixel
// spacing, a preset's limit, a count kept as a real): the shortest text that
// reads back to it, as the JSON has it.
QString Given(const Json& value);

// A value rounded for tables where the exact value is in the JSON or the
// history (trend rows, baseline checks).
QString Fixed(std::optional<double> value, int decimals);

// With its sign; a value that rounds to 0 shows as 0, without one.
QString Signed(std::optional<double> value, int decimals);

QString LimitText(const std::optional<double>& limit);

// A count as written: "1 pixel", "0 pixels", "2 pixels".
QString Counted(const QString& count, const char* singular, const char* plural);
QString Counted(long long count, const char* singular, const char* plural);

struct Fonts {
    QFont Title, Heading, Subheading, Body, Bold, Small, SmallBold, Mono, Footer;
};

Fonts MakeFonts();

struct Cell {
    QString Text;
    QColor Colour = kText;
    bool Bold = false;
    bool Anywhere = false;  // may break inside words (paths)
    bool OneLine = false;   // in the monospaced font on one line, smaller if need be (checksums)
};

// The font of a one-line cell: monospaced at the size of font, smaller where
// text would not fit in width.
QFont OneLineFont(const QFont& font, const QPaintDevice* device, double width, const QString& text);

using Paint = std::function<void(QPainter&, const QRectF&)>;

// How text wraps in width: at word boundaries, or anywhere when a word (a
// long tag value, a path) is wider than the width and would be cut off.
int WrapFlag(const QFont& font, const QPaintDevice* device, double width, const QString& text);

// Lays out blocks top to bottom over pages, then paints them with the page
// count known. A block never splits; a block marked keep-with-next moves to
// the next page with the block after it.
class Document {
public:
    Document(QPdfWriter& writer, QString footer) : writer_(writer), footer_(std::move(footer)), fonts_(MakeFonts())
    {
        const double margin = Pt(40);
        content_ = QRectF(margin, margin, writer.width() - 2 * margin, writer.height() - 2 * margin - Pt(14));
        pages_.emplace_back();
        y_ = content_.top();
    }

    const Fonts& F() const { return fonts_; }
    const QPaintDevice* Device() const { return &writer_; }
    double Width() const { return content_.width(); }
    double Height() const { return content_.height(); }
    double Left() const { return content_.left(); }
    double Remaining() const { return content_.bottom() - y_; }

    double TextHeight(const QFont& font, double width, const QString& text, int flags = 0) const
    {
        const QFontMetricsF metrics(font, &writer_);
        const int wrap = (flags & Qt::TextWrapAnywhere) ? 0 : WrapFlag(font, &writer_, width, text);
        return metrics.boundingRect(QRectF(0, 0, width, 1e7), flags | wrap, text).height();
    }

    void Add(double height, Paint paint, bool keepWithNext = false)
    {
        if (y_ + height > content_.bottom() && y_ > TopOfPage()) {
            // Take the trailing kept blocks along, unless they fill the page.
            std::vector<Item> moved;
            auto& items = pages_.back();
            while (!items.empty() && items.back().Keep && items.size() > FirstMovable()) {
                moved.insert(moved.begin(), std::move(items.back()));
                items.pop_back();
            }
            const bool headerMoved =
                std::any_of(moved.begin(), moved.end(), [](const Item& item) { return item.Header; });
            NewPage(!headerMoved);
            for (auto& item : moved) Place(item.Height, std::move(item.Draw), item.Keep, item.Header);
        }
        Place(height, std::move(paint), keepWithNext);
    }

    void Space(double points)
    {
        if (y_ > TopOfPage()) y_ = std::min(y_ + Pt(points), content_.bottom());
    }

    void NewPage(bool withHeader = true)
    {
        pages_.emplace_back();
        y_ = content_.top();
        if (repeat_ && withHeader) Place(repeat_->Height, repeat_->Draw, false, true);
    }

    // A table's header: added here, and drawn first on every further page
    // until EndHeader.
    void Header(double height, Paint paint)
    {
        Add(height, paint, true);
        pages_.back().back().Header = true;
        repeat_ = Item{0, height, std::move(paint), false, true};
    }
    void EndHeader() { repeat_.reset(); }

    void Paragraph(const QString& text, const QFont& font, QColor colour = kText, int flags = Qt::AlignLeft,
                   bool keepWithNext = false)
    {
        const double width = Width();
        const double height = TextHeight(font, width, text, flags);
        Add(
            height,
            [=](QPainter& p, const QRectF& r) {
                p.setFont(font);
                p.setPen(colour);
                const int wrap = (flags & Qt::TextWrapAnywhere) ? 0 : WrapFlag(font, p.device(), r.width(), text);
                p.drawText(r, flags | wrap, text);
            },
            keepWithNext);
    }

    void Heading(const QString& text)
    {
        Space(10);
        const QFont font = fonts_.Heading;
        const double height = TextHeight(font, Width(), text) + Pt(5);
        Add(
            height,
            [=](QPainter& p, const QRectF& r) {
                p.setFont(font);
                p.setPen(kText);
                p.drawText(r, Qt::AlignLeft | Qt::AlignTop | WrapFlag(font, p.device(), r.width(), text), text);
                p.setPen(QPen(kRule, Pt(0.6)));
                p.drawLine(QPointF(r.left(), r.bottom() - Pt(2)), QPointF(r.right(), r.bottom() - Pt(2)));
            },
            true);
        Space(3);
    }

    void Subheading(const QString& text)
    {
        Space(6);
        Paragraph(text, fonts_.Subheading, kText, Qt::AlignLeft, true);
        Space(2);
    }

    // A table: weights share the width out; a row of one cell spans the whole
    // width (a description under a row).
    void Table(const std::vector<double>& weights, const std::vector<int>& aligns, const std::vector<Cell>& header,
               const std::vector<std::vector<Cell>>& rows, const QFont& font, const QFont& spanFont)
    {
        const double padX = Pt(3), padY = Pt(1.8);
        QFont bold = font;
        bold.setBold(true);
        const std::vector<double> widths = ColumnWidths(weights, header, rows, font, bold, padX);

        const auto measure = [&](const std::vector<Cell>& row, bool isHeader) {
            double height = 0;
            if (row.size() == 1 && weights.size() > 1)
                return TextHeight(spanFont, Width() - 2 * padX, row[0].Text) + 2 * padY;
            for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) {
                const QFont& f = isHeader || row[i].Bold ? bold : font;
                const double cellWidth = widths[i] - 2 * padX;
                if (row[i].OneLine)
                    height = std::max(height, QFontMetricsF(f, &writer_).height());
                else
                    height = std::max(
                        height, TextHeight(f, cellWidth, row[i].Text, row[i].Anywhere ? Qt::TextWrapAnywhere : 0));
            }
            return height + 2 * padY;
        };
        const auto painter = [=](std::vector<Cell> row, bool isHeader, bool shaded) -> Paint {
            return [=](QPainter& p, const QRectF& r) {
                if (isHeader)
                    p.fillRect(r, QColor(225, 230, 238));
                else if (shaded)
                    p.fillRect(r, kShade);
                if (row.size() == 1 && widths.size() > 1) {
                    p.setFont(spanFont);
                    p.setPen(row[0].Colour == kText ? kMuted : row[0].Colour);
                    const QRectF inner = r.adjusted(padX, padY, -padX, -padY);
                    p.drawText(inner, Qt::AlignLeft | WrapFlag(spanFont, p.device(), inner.width(), row[0].Text),
                               row[0].Text);
                    return;
                }
                double x = r.left();
                for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) {
                    const QFont& cellFont = isHeader || row[i].Bold ? bold : font;
                    p.setPen(row[i].Colour);
                    const QRectF cell(x + padX, r.top() + padY, widths[i] - 2 * padX, r.height() - 2 * padY);
                    if (row[i].OneLine) {
                        // No wrapping at all; the text is as wide as the cell at most.
                        p.setFont(OneLineFont(cellFont, p.device(), cell.width(), row[i].Text));
                        p.drawText(cell, aligns[i] | Qt::AlignVCenter | Qt::TextSingleLine, row[i].Text);
                        x += widths[i];
                        continue;
                    }
                    p.setFont(cellFont);
                    const int wrap = row[i].Anywhere ? Qt::TextWrapAnywhere
                                                     : WrapFlag(cellFont, p.device(), cell.width(), row[i].Text);
                    p.drawText(cell, aligns[i] | Qt::AlignTop | wrap, row[i].Text);
                    x += widths[i];
                }
            };
        };
        if (!header.empty()) {
            const double height = measure(header, true);
            Header(height, painter(header, true, false));
        }
        bool shaded = false;
        for (std::size_t k = 0; k < rows.size(); ++k) {
            const auto& row = rows[k];
            const bool span = row.size() == 1 && weights.size() > 1;
            if (!span) shaded = !shaded;
            // A row keeps its description with it.
            const bool keep = k + 1 < rows.size() && rows[k + 1].size() == 1 && weights.size() > 1;
            Add(measure(row, false), painter(row, false, header.empty() ? false : shaded), keep);
        }
        EndHeader();
    }

    // The widths of a table's columns: Width() shared out by weight, except
    // that a number is never broken over lines (a record number of 1802 is
    // not "180" over "2"): a column holding a number wider than its share
    // gets the number's width, taken from the other columns by their weights.
    std::vector<double> ColumnWidths(const std::vector<double>& weights, const std::vector<Cell>& header,
                                     const std::vector<std::vector<Cell>>& rows, const QFont& font, const QFont& bold,
                                     double padX) const
    {
        static const QRegularExpression number(QStringLiteral("^[-+]?[0-9][0-9.,]*$"));
        std::vector<double> least(weights.size(), 0.0);
        const auto widen = [&](const std::vector<Cell>& row, bool isHeader) {
            if (row.size() != weights.size()) return;
            for (std::size_t i = 0; i < row.size(); ++i) {
                if (row[i].OneLine || !number.match(row[i].Text).hasMatch()) continue;
                const QFontMetricsF metrics(isHeader || row[i].Bold ? bold : font, &writer_);
                least[i] = std::max(least[i], metrics.horizontalAdvance(row[i].Text) + 2 * padX + Pt(0.5));
            }
        };
        widen(header, true);
        for (const auto& row : rows) widen(row, false);
        std::vector<double> widths(weights.size(), 0.0);
        std::vector<bool> fixed(weights.size(), false);
        for (bool changed = true; changed;) {
            changed = false;
            double room = Width(), share = 0;
            for (std::size_t i = 0; i < weights.size(); ++i) {
                if (fixed[i])
                    room -= least[i];
                else
                    share += weights[i];
            }
            for (std::size_t i = 0; i < weights.size(); ++i) {
                if (fixed[i]) {
                    widths[i] = least[i];
                    continue;
                }
                widths[i] = share > 0 ? std::max(0.0, room) * weights[i] / share : 0.0;
                if (widths[i] < least[i]) fixed[i] = changed = true;
            }
        }
        return widths;
    }

    // Two columns: names and values.
    void KeyValues(const std::vector<std::pair<QString, Cell>>& pairs)
    {
        std::vector<std::vector<Cell>> rows;
        for (const auto& [key, value] : pairs) rows.push_back({Cell{key, kMuted}, value});
        Table({0.3, 0.7}, {Qt::AlignLeft, Qt::AlignLeft}, {}, rows, fonts_.Body, fonts_.Small);
    }

    // Paints every page; footer left, "Page X of Y" right.
    void Finish(QPainter& painter)
    {
        const int count = static_cast<int>(pages_.size());
        for (int index = 0; index < count; ++index) {
            if (index > 0) writer_.newPage();
            for (const Item& item : pages_[index]) {
                painter.save();
                item.Draw(painter, QRectF(content_.left(), item.Top, content_.width(), item.Height));
                painter.restore();
            }
            const double top = content_.bottom() + Pt(6);
            painter.setPen(QPen(kRule, Pt(0.5)));
            painter.drawLine(QPointF(content_.left(), top), QPointF(content_.right(), top));
            painter.setFont(fonts_.Footer);
            painter.setPen(kMuted);
            const QRectF line(content_.left(), top + Pt(2), content_.width(), Pt(10));
            const QString pageText = QStringLiteral("Page %1 of %2").arg(index + 1).arg(count);
            const double pageWidth = QFontMetricsF(fonts_.Footer, &writer_).horizontalAdvance(pageText) + Pt(12);
            // A long footer (a long file name) loses its middle, marked "…".
            const QRectF room = line.adjusted(0, 0, -pageWidth, 0);
            const QString footer =
                QFontMetricsF(fonts_.Footer, &writer_).elidedText(footer_, Qt::ElideMiddle, room.width());
            painter.drawText(room, Qt::AlignLeft | Qt::AlignTop, footer);
            painter.drawText(line, Qt::AlignRight | Qt::AlignTop, pageText);
        }
    }

private:
    struct Item {
        double Top = 0, Height = 0;
        Paint Draw;
        bool Keep = false;
        bool Header = false;  // a table's header
    };

    // Below a table header that opens the page: nothing is gained by a new page.
    double TopOfPage() const
    {
        const auto& items = pages_.back();
        return !items.empty() && items.front().Header ? content_.top() + items.front().Height : content_.top();
    }
    std::size_t FirstMovable() const
    {
        const auto& items = pages_.back();
        return !items.empty() && items.front().Header ? 1 : 0;
    }

    void Place(double height, Paint paint, bool keep, bool header = false)
    {
        pages_.back().push_back(Item{y_, height, std::move(paint), keep, header});
        y_ += height;
    }

    QPdfWriter& writer_;
    QString footer_;
    Fonts fonts_;
    QRectF content_;
    std::vector<std::vector<Item>> pages_;
    double y_ = 0;
    std::optional<Item> repeat_;
};

// Runs build on a document on a writer of the paper, paints it and returns
// the document's bytes made reproducible (MakePdfReproducible). Throws
// EvenorError without a QGuiApplication, or when the painter fails.
QByteArray WritePdf(PaperSize paper, const QString& title, const QString& footer,
                    const std::function<void(Document&)>& build);

// "Evenor VERSION - what".
QString FooterText(const QString& what);

// The signature lines at the end of a report, kept together.
void SignOff(Document& doc);

}  // namespace evenor::pdf
