#include "render/PdfDocument.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QGuiApplication>
#include <QHashFunctions>
#include <QPageSize>
#include <cmath>
#include <cstring>
#include <ostream>

#include "base/EvenorError.h"
#include "cmake/EvenorVersion.h"
#include "dicom/TerminalText.h"
#include "insight/ResultExport.h"
#include "render/ReportPdf.h"

namespace evenor {

namespace {

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
void SaveReportPdf(const QByteArray& bytes, const std::string& path)
{
    WriteFile(path, [&](std::ostream& out) { out.write(bytes.constData(), bytes.size()); });
}

namespace pdf {

QString Q(const std::string& text)
{
    QString result = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    result.remove(QChar(0));
    return result;
}

QString Q(std::string_view text) { return Q(std::string(text)); }

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
QString Rounded(double value, int decimals)
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

}  // namespace pdf

}  // namespace evenor
