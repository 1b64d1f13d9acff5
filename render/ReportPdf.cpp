#include "render/ReportPdf.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QHashFunctions>
#include <QLinearGradient>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <ostream>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/AnalysisSettings.h"
#include "base/EvenorError.h"
#include "cmake/EvenorVersion.h"
#include "dicom/TerminalText.h"
#include "insight/DetectorInsight.h"
#include "insight/ResultExport.h"
#include "render/TrendChart.h"

namespace evenor {

namespace {

using Json = nlohmann::ordered_json;

// Device units: the writer's resolution, points converted to it.
constexpr int kResolution = 600;
double Pt(double points) { return points * kResolution / 72.0; }

const QColor kText(0, 0, 0);
const QColor kMuted(90, 90, 90);
const QColor kRule(170, 170, 170);
const QColor kShade(242, 242, 242);
const QColor kWarningText(170, 60, 0);

QString Q(const std::string& text)
{
    QString result = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    result.remove(QChar(0));
    return result;
}

QString Q(std::string_view text) { return Q(std::string(text)); }

// A tag's value as shown: padding gone, at most 200 characters.
// Text from a DICOM tag: its control characters shown escaped (a Detector ID
// holding a line break must not forge a line of the report).
QString TagText(const std::string& text)
{
    QString shown = Q(Printable(text)).trimmed();
    if (shown.size() > 200) shown = shown.left(200) + QStringLiteral("...");
    return shown.isEmpty() ? QStringLiteral("-") : shown;
}

QColor VerdictColour(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Pass:
        return QColor(0, 120, 0);
    case Verdict::Warning:
        return QColor(190, 100, 0);
    case Verdict::Fail:
        return QColor(200, 0, 0);
    case Verdict::NotEvaluated:
    case Verdict::NotJudged:
        break;
    }
    return kMuted;
}

// A measured value as the report shows it: rounded to two decimals, as the
// text summary shows it (the JSON keeps every digit); a value that rounds to
// 0 shows as 0.00, without a sign.
QString Rounded(double value, int decimals = 2)
{
    if (!std::isfinite(value)) return QStringLiteral("n/a");
    QString text = QString::number(value, 'f', decimals);
    static const QRegularExpression negativeZero(QStringLiteral("^-[0.]+$"));
    if (negativeZero.match(text).hasMatch()) text.remove(0, 1);
    return text;
}

// A number of the JSON result as the report shows it: a count as it is, a
// measured value Rounded.
QString Num(const Json& value)
{
    if (value.is_number_integer() || value.is_number_unsigned()) return QString::fromStdString(value.dump());
    if (value.is_number_float()) return Rounded(value.get<double>());
    return QStringLiteral("n/a");
}

QString Num(std::optional<double> value) { return value ? Rounded(*value) : QStringLiteral("n/a"); }

// A number given rather than measured (a setting as typed, a tag's pixel
// spacing, a preset's limit, a count kept as a real): the shortest text that
// reads back to it, as the JSON has it.
QString Given(const Json& value)
{
    if (value.is_number_float()) {
        const std::string text = FormatReal(value.get<double>());
        return text.empty() ? QStringLiteral("n/a") : QString::fromStdString(text);
    }
    return Num(value);
}

// A value rounded for tables where the exact value is in the JSON or the
// history (trend rows, baseline checks).
QString Fixed(std::optional<double> value, int decimals)
{
    if (!value || !std::isfinite(*value)) return QStringLiteral("-");
    return Rounded(*value, decimals);
}

// With its sign; a value that rounds to 0 shows as 0, without one.
QString Signed(std::optional<double> value, int decimals)
{
    if (!value || !std::isfinite(*value)) return QStringLiteral("-");
    const double rounded = std::round(*value * std::pow(10.0, decimals)) / std::pow(10.0, decimals);
    if (rounded == 0.0) return QString::number(0.0, 'f', decimals);
    return (rounded > 0 ? QStringLiteral("+") : QString()) + QString::number(rounded, 'f', decimals);
}

QString LimitText(const std::optional<double>& limit)
{
    return limit ? QString::fromStdString(FormatReal(*limit)) : QStringLiteral("-");
}

// A count as written: "1 pixel", "0 pixels", "2 pixels".
QString Counted(const QString& count, const char* singular, const char* plural)
{
    return count + QLatin1Char(' ') + QLatin1String(count == QLatin1String("1") ? singular : plural);
}
QString Counted(long long count, const char* singular, const char* plural)
{
    return Counted(QString::number(count), singular, plural);
}

struct Fonts {
    QFont Title, Heading, Subheading, Body, Bold, Small, SmallBold, Mono, Footer;
};

Fonts MakeFonts()
{
    const auto font = [](double points, bool bold = false, bool mono = false) {
        QFont f(mono ? QStringLiteral("DejaVu Sans Mono") : QStringLiteral("DejaVu Sans"));
        f.setStyleHint(mono ? QFont::Monospace : QFont::SansSerif);
        f.setPointSizeF(points);
        f.setBold(bold);
        f.setKerning(false);
        // No ligatures: "file" must read back as f, i, not as one glyph.
        f.setStyleStrategy(QFont::PreferNoShaping);
        return f;
    };
    return Fonts{font(16, true), font(12, true),  font(10, true),         font(9),  font(9, true),
                 font(7.5),      font(7.5, true), font(7.5, false, true), font(7.5)};
}

struct Cell {
    QString Text;
    QColor Colour = kText;
    bool Bold = false;
    bool Anywhere = false;  // may break inside words (paths)
    bool OneLine = false;   // in the monospaced font on one line, smaller if need be (checksums)
};

// The font of a one-line cell: monospaced at the size of font, smaller where
// text would not fit in width.
QFont OneLineFont(const QFont& font, const QPaintDevice* device, double width, const QString& text)
{
    QFont mono(QStringLiteral("DejaVu Sans Mono"));
    mono.setStyleHint(QFont::Monospace);
    mono.setPointSizeF(font.pointSizeF());
    mono.setBold(font.bold());
    mono.setKerning(false);
    mono.setStyleStrategy(QFont::PreferNoShaping);
    const double advance = QFontMetricsF(mono, const_cast<QPaintDevice*>(device)).horizontalAdvance(text);
    if (advance > width && advance > 0)
        mono.setPointSizeF(std::floor(font.pointSizeF() * width / advance * 20.0) / 20.0);
    return mono;
}

using Paint = std::function<void(QPainter&, const QRectF&)>;

// How text wraps in width: at word boundaries, or anywhere when a word (a
// long tag value, a path) is wider than the width and would be cut off.
int WrapFlag(const QFont& font, const QPaintDevice* device, double width, const QString& text)
{
    const QFontMetricsF metrics(font, const_cast<QPaintDevice*>(device));
    for (const QString& word : text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts))
        if (metrics.horizontalAdvance(word) > width) return Qt::TextWrapAnywhere;
    return Qt::TextWordWrap;
}

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

// The PDF's creation date: SOURCE_DATE_EPOCH when it is a number of seconds.
std::optional<QDateTime> SourceDate()
{
    const std::optional<std::int64_t> seconds = SourceDateEpoch();
    if (!seconds) return std::nullopt;
    return QDateTime::fromSecsSinceEpoch(*seconds, Qt::UTC);
}

// The value that follows each opening up to the closing character, within
// bytes [from, to), replaced by a text of the same length from make (given
// the old value's length); make returns an empty text when it has none of
// that length.
void ReplaceValues(QByteArray& bytes, qsizetype from, qsizetype to, const QByteArray& opening, char closing,
                   const std::function<QByteArray(qsizetype)>& make)
{
    for (qsizetype at = bytes.indexOf(opening, from); at >= 0 && at < to; at = bytes.indexOf(opening, at + 1)) {
        const qsizetype start = at + opening.size();
        const qsizetype end = bytes.indexOf(closing, start);
        if (end < 0 || end >= to) return;
        const QByteArray value = make(end - start);
        if (value.size() == end - start) bytes.replace(start, value.size(), value);
    }
}

}  // namespace

void MakePdfReproducible(QByteArray& bytes)
{
    // Only where each value is: a picture's JPEG or a font's bytes may hold
    // any sequence, and must stay as they are. The XMP metadata is one
    // uncompressed packet; the trailer comes after every object.
    const qsizetype packet = bytes.indexOf("<?xpacket begin");
    const qsizetype packetEnd = packet < 0 ? -1 : bytes.indexOf("<?xpacket end", packet);
    const bool xmp = packet >= 0 && packetEnd > packet;
    if (const std::optional<QDateTime> fixed = SourceDate()) {
        const QByteArray pdf = fixed->toString(QStringLiteral("yyyyMMddhhmmss")).toLatin1();
        const QByteArray iso = fixed->toString(QStringLiteral("yyyy-MM-ddThh:mm:ss")).toLatin1();
        const auto pick = [](const QByteArray& base, std::initializer_list<const char*> suffixes, qsizetype length) {
            for (const char* suffix : suffixes)
                if (base.size() + qsizetype(std::strlen(suffix)) == length) return base + suffix;
            return QByteArray();
        };
        // The document information dictionary's; the opening is long and the
        // length must match, so that no stream's bytes are taken for it.
        ReplaceValues(bytes, 0, bytes.size(), "/CreationDate (D:", ')', [&](qsizetype n) {
            return pick(pdf, {"", "Z", "+00'00'", "+00'00"}, n);
        });
        if (xmp)
            for (const char* tag : {"<xmp:CreateDate>", "<xmp:ModifyDate>", "<xmp:MetadataDate>"})
                ReplaceValues(bytes, packet, packetEnd, tag, '<', [&](qsizetype n) {
                    return pick(iso, {"", "Z", "+00:00"}, n);
                });
    }
    // The document ID ("/ID [<hex> <hex>]" in the trailer) and the XMP's
    // "uuid:...", from the bytes with the dates fixed.
    const QByteArray digest = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
    const auto hex = [&](qsizetype n) {
        QByteArray value;
        while (value.size() < n) value += digest;
        return value.left(n);
    };
    const qsizetype trailer = bytes.lastIndexOf("trailer");
    const qsizetype id = trailer < 0 ? -1 : bytes.indexOf("/ID [", trailer);
    const qsizetype idEnd = id < 0 ? -1 : bytes.indexOf(']', id);
    if (idEnd > id) ReplaceValues(bytes, id, idEnd, "<", '>', hex);
    if (xmp)
        ReplaceValues(bytes, packet, packetEnd, "uuid:", '<', [&](qsizetype n) {
            QByteArray value = hex(n);
            for (const qsizetype dash : {8, 13, 18, 23})
                if (dash < n) value[dash] = '-';
            return value;
        });
}

namespace {

// Runs draw on a writer of the paper, the document's bytes made reproducible.
QByteArray WritePdf(PaperSize paper, const QString& title, const QString& footer,
                    const std::function<void(Document&)>& build)
{
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr)
        throw EvenorError("Drawing a PDF report needs a QGuiApplication");
    QByteArray bytes;
    // The writer keeps its fonts in a hash and writes them in its order: a
    // fixed seed for the writer's hashes keeps that order from run to run.
    struct FixedHashSeed {
        FixedHashSeed() { QHashSeed::setDeterministicGlobalSeed(); }
        ~FixedHashSeed() { QHashSeed::resetRandomGlobalSeed(); }
    };
    {
        const FixedHashSeed seed;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QPdfWriter writer(&buffer);
        writer.setResolution(kResolution);
        writer.setPageSize(QPageSize(paper == PaperSize::Letter ? QPageSize::Letter : QPageSize::A4));
        writer.setPageMargins(QMarginsF(0, 0, 0, 0), QPageLayout::Point);
        writer.setTitle(title);
        writer.setCreator(QStringLiteral("Evenor ") + QString::fromUtf8(EvenorVersion));
        Document document(writer, footer);
        build(document);
        QPainter painter;
        if (!painter.begin(&writer)) throw EvenorError("The PDF report could not be started");
        painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
        // The pictures as drawn (Flate), not as JPEG: sharp cells, marks
        // and lines without ringing.
        painter.setRenderHint(QPainter::LosslessImageRendering, true);
        document.Finish(painter);
        if (!painter.end()) throw EvenorError("The PDF report could not be finished");
    }
    MakePdfReproducible(bytes);
    return bytes;
}

QString FooterText(const QString& what)
{
    return QStringLiteral("Evenor %1 - %2").arg(QString::fromUtf8(EvenorVersion), what);
}

// The signature lines at the end of a report, kept together.
void SignOff(Document& doc)
{
    doc.Heading(QStringLiteral("Sign-off"));
    const QFont body = doc.F().Body;
    const QFont small = doc.F().Small;
    const double line = Pt(34);
    const double height = 3 * line + Pt(4);
    doc.Add(height, [=](QPainter& p, const QRectF& r) {
        const char* labels[] = {"Tested by", "Reviewed by", "Remarks"};
        for (int k = 0; k < 3; ++k) {
            const double base = r.top() + (k + 1) * line - Pt(8);
            p.setFont(body);
            p.setPen(kText);
            p.drawText(QRectF(r.left(), base - Pt(12), Pt(70), Pt(12)), Qt::AlignLeft | Qt::AlignBottom,
                       QString::fromLatin1(labels[k]));
            p.setPen(QPen(kText, Pt(0.5)));
            if (k < 2) {
                const double nameEnd = r.left() + r.width() * 0.45;
                const double dateStart = nameEnd + Pt(10), dateEnd = r.left() + r.width() * 0.62;
                const double signStart = dateEnd + Pt(10);
                p.drawLine(QPointF(r.left() + Pt(72), base), QPointF(nameEnd, base));
                p.drawLine(QPointF(dateStart, base), QPointF(dateEnd, base));
                p.drawLine(QPointF(signStart, base), QPointF(r.right(), base));
                p.setFont(small);
                p.setPen(kMuted);
                p.drawText(QRectF(r.left() + Pt(72), base + Pt(1), Pt(100), Pt(10)), Qt::AlignLeft, "Name");
                p.drawText(QRectF(dateStart, base + Pt(1), Pt(100), Pt(10)), Qt::AlignLeft, "Date");
                p.drawText(QRectF(signStart, base + Pt(1), Pt(100), Pt(10)), Qt::AlignLeft, "Signature");
            } else {
                p.drawLine(QPointF(r.left() + Pt(72), base), QPointF(r.right(), base));
            }
        }
    });
}

// The box the area map is fitted into, in points: what is left of either
// paper's width beside the grey bar, and of its height below the page's
// heading and caption. The map's resolution is planned for it
// (ReportAreaMapPlanFor), so that it is the same on A4 and Letter.
constexpr double kAreaMapBoxWidth = 420.0, kAreaMapBoxHeight = 600.0;

// The printed size (points) of an area width x height fitted into the box.
QSizeF AreaMapPrintSize(double width, double height)
{
    const double scale = std::min(kAreaMapBoxWidth / std::max(width, 1.0), kAreaMapBoxHeight / std::max(height, 1.0));
    return {width * scale, height * scale};
}

// A vertical scale beside a picture: gradient fills bar (its top at stop 0),
// a tick with its label right of it at the top, the quarters and the bottom.
void DrawScaleBar(QPainter& p, const QRectF& bar, const QGradientStops& stops, const QStringList& labels,
                  const QFont& font)
{
    QLinearGradient gradient(bar.topLeft(), bar.bottomLeft());
    gradient.setStops(stops);
    p.fillRect(bar, gradient);
    p.setPen(QPen(kText, Pt(0.5)));
    p.setBrush(Qt::NoBrush);
    p.drawRect(bar);
    p.setFont(font);
    const QFontMetricsF metrics(font, p.device());
    for (int k = 0; k < labels.size(); ++k) {
        const double y = bar.top() + k * bar.height() / (labels.size() - 1);
        p.drawLine(QPointF(bar.right(), y), QPointF(bar.right() + Pt(3), y));
        p.drawText(QRectF(bar.right() + Pt(5), y - metrics.height() / 2, metrics.horizontalAdvance(labels[k]) + Pt(2),
                          metrics.height()),
                   Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, labels[k]);
    }
}

double LabelsWidth(const QStringList& labels, const QFont& font, const QPaintDevice* device)
{
    const QFontMetricsF metrics(font, const_cast<QPaintDevice*>(device));
    double width = 0;
    for (const QString& label : labels) width = std::max(width, metrics.horizontalAdvance(label));
    return width + Pt(2);
}

// The grey bar's labels, top (white) to bottom (black): the pixel values, the
// ends and the middle named when the scale is the area mean +/- 3 SD.
QStringList GreyLabels(const AreaMapGreyScale& grey, const AnalysisResult& result)
{
    const double step = (grey.High - grey.Low) / 4.0;
    // Two significant digits of the step.
    const int decimals = std::clamp(1 - static_cast<int>(std::floor(std::log10(std::max(step, 1e-12)))), 0, 6);
    const bool threeSd = result.AreaSD > 0.0 && grey.High == result.AreaMean + 3.0 * result.AreaSD;
    QStringList labels;
    for (int k = 0; k <= 4; ++k) {
        const double value = grey.High - k * step;
        QString label = QString::number(std::abs(value) < step * 1e-9 ? 0.0 : value, 'f', decimals);
        if (threeSd && k == 0) label += QStringLiteral(" (+3 SD)");
        if (threeSd && k == 2) label += QStringLiteral(" (mean)");
        if (threeSd && k == 4) label += QStringLiteral(" (-3 SD)");
        labels << label;
    }
    return labels;
}

// The area map as planned (its grey as JPEG, its marks losslessly over it,
// framed), the grey bar right of it, kept whole on one page.
void AreaMapPicture(Document& doc, const ReportPictures& pictures, const AnalysisResult& result)
{
    const QImage& grey = pictures.AreaMap;
    const QImage& marks = pictures.AreaMarks;
    if (grey.isNull()) return;
    const QFont font = doc.F().Small;
    const QStringList labels = GreyLabels(pictures.Grey, result);
    const double barWidth = Pt(9), barGap = Pt(8);
    const double side = barGap + barWidth + Pt(5) + LabelsWidth(labels, font, doc.Device());
    // Half a label above the map and below it, for the labels at the bar's ends.
    const double pad = QFontMetricsF(font, doc.Device()).height() / 2;
    const QSizeF print = AreaMapPrintSize(grey.width(), grey.height());
    // Smaller only where the page has less room than the box (it has not on A4 or Letter).
    const double fit = std::min(
        {1.0, (doc.Width() - side) / Pt(print.width()), (doc.Remaining() - 2 * pad - Pt(4)) / Pt(print.height())});
    const double w = Pt(print.width()) * fit, h = Pt(print.height()) * fit;
    const QGradientStops stops{{0.0, QColor(255, 255, 255)}, {1.0, QColor(0, 0, 0)}};
    doc.Add(h + 2 * pad, [=](QPainter& p, const QRectF& r) {
        const QRectF target(r.left() + (r.width() - w - side) / 2, r.top() + pad, w, h);
        // The grey is a noisy photograph-like picture: JPEG (Qt's quality 94)
        // keeps it at half its lossless size or less. Magnified, each image
        // pixel a square of equal pixels, it would pack tighter losslessly,
        // but Qt's Flate takes up to a second for it (a 1500 x 1200 area:
        // 1.06 s against 0.40 s, 2.9 MB against 4.6 MB); at this resolution
        // the squares stay square in JPEG too. The marks, lines and text
        // over it are lossless always.
        p.setRenderHint(QPainter::LosslessImageRendering, false);
        p.drawImage(target, grey);
        p.setRenderHint(QPainter::LosslessImageRendering, true);
        if (!marks.isNull()) p.drawImage(target, marks);
        p.setPen(QPen(kRule, Pt(0.5)));
        p.setBrush(Qt::NoBrush);
        p.drawRect(target);
        DrawScaleBar(p, QRectF(target.right() + barGap, target.top(), barWidth, h), stops, labels, font);
    });
}

// A heat map as the report draws it: its cells scaled up without smoothing
// to at least ReportPictureResolution, the deviating ROIs' cells outlined, a
// colour bar with five numbered ticks, a title and a line about the grid,
// the text as text.
void DrawHeatMap(QPainter& p, const QRectF& r, const HeatMap& map, const QString& title, const QString& note,
                 const Fonts& fonts, const QPaintDevice* device)
{
    const QFontMetricsF titleMetrics(fonts.SmallBold, device);
    const QFontMetricsF labelMetrics(fonts.Small, device);
    p.setFont(fonts.SmallBold);
    p.setPen(kText);
    const QRectF titleRect(r.left(), r.top(), r.width(),
                           titleMetrics.boundingRect(r, Qt::AlignLeft | Qt::TextWordWrap, title).height());
    p.drawText(titleRect, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, title);
    QStringList labels;
    for (int k = 0; k <= 4; ++k) {
        const double value = map.Limit - k * map.Limit / 2.0;
        labels << TickText(std::abs(value) < 1e-12 ? 0.0 : value);
    }
    const double labelWidth = LabelsWidth(labels, fonts.Small, device) + Pt(5);
    const double barWidth = Pt(9);
    // Room above the cells for the top tick label, centred on the bar's top.
    const double top = titleRect.bottom() + labelMetrics.height() / 2 + Pt(3);
    const double side =
        std::min(r.width() - barWidth - labelWidth - Pt(8), r.bottom() - top - labelMetrics.height() * 2.4);
    const QRect grid = map.Layout.Grid;
    double w = side, h = side;
    if (grid.width() > grid.height())
        h = side * grid.height() / grid.width();
    else
        w = side * grid.width() / std::max(1, grid.height());
    const QRectF cells(r.left(), top, w, h);
    // Each cell a whole number of pixels, enough for the resolution.
    const int columns = std::max(1, map.Layout.Columns), rows = std::max(1, map.Layout.Rows);
    const double pixels = std::max(w, h) / kResolution * ReportPictureResolution;
    const int cell = std::max(1, static_cast<int>(std::ceil(pixels / std::max(columns, rows))));
    const QImage source = map.Image.copy(grid);
    p.drawImage(cells, source.scaled(columns * cell, rows * cell, Qt::IgnoreAspectRatio, Qt::FastTransformation));
    // The deviating ROIs' cells framed inside, when the cells are big enough
    // to show it.
    const double cellWidth = w / columns, cellHeight = h / rows;
    const bool outlined = std::min(cellWidth, cellHeight) >= Pt(3);
    if (outlined) {
        const double pen = std::clamp(std::min(cellWidth, cellHeight) / 12.0, Pt(0.5), Pt(1.5));
        p.setPen(QPen(kText, pen, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
        p.setBrush(Qt::NoBrush);
        for (const QPoint& at : map.Outlined)
            p.drawRect(
                QRectF(cells.left() + at.x() * cellWidth, cells.top() + at.y() * cellHeight, cellWidth, cellHeight)
                    .adjusted(pen / 2, pen / 2, -pen / 2, -pen / 2));
    }
    p.setPen(QPen(kText, Pt(0.5)));
    p.setBrush(Qt::NoBrush);
    p.drawRect(cells);

    const QGradientStops stops{{0.0, DivergingColour(map.Limit, map.Limit)},
                               {0.5, DivergingColour(0.0, map.Limit)},
                               {1.0, DivergingColour(-map.Limit, map.Limit)}};
    DrawScaleBar(p, QRectF(cells.right() + Pt(8), top, barWidth, h), stops, labels, fonts.Small);
    p.setPen(kMuted);
    QString text = note;
    if (!map.Outlined.empty())
        text += outlined ? QStringLiteral("; deviating ROIs outlined")
                         : QStringLiteral("; cells too small to outline the deviating ROIs (see their table)");
    p.drawText(QRectF(r.left(), cells.bottom() + Pt(3), r.width(), labelMetrics.height() * 2.4),
               Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, text);
}

QString GridNote(const AnalysisResult& result)
{
    const RoiLattice lattice = BuildRoiLattice(result.Rois);
    QString note =
        QStringLiteral("%1 x %2 grid %3")
            .arg(lattice.Xs.size())
            .arg(lattice.Ys.size())
            .arg(lattice.Xs.size() * lattice.Ys.size() == 1 ? QStringLiteral("position") : QStringLiteral("positions"));
    return note;
}

// Trend charts two to a row (one per row when wide), drawn as lines and
// text: the chart laid out on a logical size, scaled onto its place.
void TrendCharts(Document& doc, const std::vector<TrendSeries>& trends, int perRow)
{
    const double gap = Pt(10);
    const double width = (doc.Width() - (perRow - 1) * gap) / perRow;
    const QSize logical = perRow == 1 ? QSize(800, 360) : QSize(520, 330);
    const double height = width * logical.height() / logical.width();
    // The report's font, unhinted: its advances are the outlines' own, the
    // same at the chart's pixel sizes as scaled onto the page.
    QFont font = doc.F().Small;
    font.setHintingPreference(QFont::PreferNoHinting);
    for (std::size_t k = 0; k < trends.size(); k += perRow) {
        const auto first = trends.begin() + static_cast<std::ptrdiff_t>(k);
        const std::vector<TrendSeries> row(first, first + std::min<std::ptrdiff_t>(perRow, trends.end() - first));
        doc.Add(height + Pt(6), [=](QPainter& p, const QRectF& r) {
            for (std::size_t i = 0; i < row.size(); ++i) {
                p.save();
                p.translate(r.left() + i * (width + gap), r.top());
                p.scale(width / logical.width(), height / logical.height());
                PaintTrendChart(p, row[i], logical, font);
                p.restore();
            }
        });
    }
}

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

void TestReport(Document& doc, const TestReportData& data, const ReportPictures& pictures, const Json& json)
{
    const Fonts& f = doc.F();
    const AnalysisSettings& settings = *data.Settings;
    const AnalysisResult& result = *data.Result;
    const ResultContext& context = *data.Context;
    const ImageInfo& info = context.Image;
    const Json& guideline = Member(json, "guideline");
    const Verdict overall = VerdictFromName(Member(guideline, "overall").get<std::string>());

    // Title and the overall verdict.
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

    doc.Heading(QStringLiteral("Warnings"));
    if (data.Warnings.empty()) doc.Paragraph(QStringLiteral("None."), f.Body);
    for (const std::string& warning : data.Warnings) {
        doc.Paragraph(QStringLiteral("Warning: ") + Q(warning), f.Body, kWarningText);
        doc.Space(2);
    }

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

    // The detector inspection in words.
    const DetectorInsight& insight = *context.Insight;
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

    // The pictures.
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

    // The deviating ROIs and pixels.
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

    if (data.History) {
        const ReportBaseline& history = *data.History;
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
    SignOff(doc);
}

}  // namespace

ReportAreaMapPlan ReportAreaMapPlanFor(const AnalysisSettings& settings)
{
    const AreaMapGeometry area = AreaMapGeometryFor(settings);
    const double width = area.AreaWidth, height = area.AreaHeight;
    const double longSide = std::max(width, height);
    const QSizeF print = AreaMapPrintSize(width, height);
    // Map pixels along the long side at the resolution, and the fewest the map may have.
    const double wanted = std::max(print.width(), print.height()) / 72.0 * ReportPictureResolution;
    const double least = 0.8 * wanted;
    ReportAreaMapPlan plan;
    plan.PrintWidth = print.width();
    plan.PrintHeight = print.height();
    int maxSide = 0;
    if (longSide >= least) {
        // Bin a whole number of image pixels onto a map pixel, the number
        // that comes nearest the resolution without going below the least:
        // uneven bins would show as stripes in the noise.
        const double binning = std::clamp(std::round(longSide / wanted), 1.0, std::floor(longSide / least));
        maxSide = static_cast<int>(std::ceil(longSide / binning));
    } else {
        maxSide = static_cast<int>(longSide);
        // The fewest pixels that reach the least: every pixel of a magnified
        // map costs time in the PDF.
        plan.Magnify = static_cast<int>(std::ceil(least / longSide));
    }
    plan.Geometry = AreaMapGeometryFor(settings, maxSide);
    plan.MarkScale = std::max(1, static_cast<int>(std::lround(std::max(plan.Geometry.Width, plan.Geometry.Height) /
                                                              static_cast<double>(MaxAreaMapSide))));
    return plan;
}

QImage RenderReportAreaGrey(std::span<const std::uint16_t> pixels, std::uint32_t columns,
                            const AnalysisSettings& settings, const AnalysisResult& result)
{
    return RenderAreaMapGrey(pixels, columns, settings, result, ReportAreaMapPlanFor(settings).Geometry);
}

ReportPictures DrawReportPictures(const QImage& areaGrey, const AnalysisSettings& settings,
                                  const AnalysisResult& result, const DetectorInsight& insight)
{
    ReportPictures pictures;
    pictures.Grey = AreaMapGreyScaleOf(result);
    if (!areaGrey.isNull()) {
        const ReportAreaMapPlan plan = ReportAreaMapPlanFor(settings);
        if (areaGrey.size() != QSize(plan.Geometry.Width, plan.Geometry.Height))
            throw EvenorError("The area map's grey does not fit its area");
        QImage marks(areaGrey.size(), QImage::Format_ARGB32_Premultiplied);
        marks.fill(Qt::transparent);
        DrawAreaMapMarks(marks, plan.Geometry, settings, result, AreaMapDefectsOf(insight), plan.MarkScale);
        QImage grey = areaGrey.convertToFormat(QImage::Format_RGB32);
        if (plan.Magnify > 1) {
            const QSize size = grey.size() * plan.Magnify;
            grey = grey.scaled(size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
            marks = marks.scaled(size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
        }
        pictures.AreaMap = std::move(grey);
        pictures.AreaMarks = std::move(marks);
    }
    pictures.HeatMaps[0] = RenderHeatMapCells(result, HeatMapKind::RoiMeanDeviation);
    pictures.HeatMaps[1] = RenderHeatMapCells(result, HeatMapKind::RoiSnrDeviation);
    pictures.HeatMaps[2] = RenderHeatMapCells(result, HeatMapKind::RoiNoiseDeviation, &insight.RobustRois.Rois);
    return pictures;
}

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

namespace {

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

void SaveReportPdf(const QByteArray& bytes, const std::string& path)
{
    WriteFile(path, [&](std::ostream& out) { out.write(bytes.constData(), bytes.size()); });
}

}  // namespace evenor
