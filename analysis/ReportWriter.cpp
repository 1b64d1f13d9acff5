#include "analysis/ReportWriter.h"

#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

#include "base/EvenorError.h"
#include "stats/SignalToNoise.h"

namespace evenor {

namespace {

// ---- Number formats ---------------------------------------------------------

// A non-negative decimal number as at most 18 significant digits:
// 0.d1d2d3... x 10^(exponent + 1), that is d1.d2d3... x 10^exponent.
struct DecimalDigits {
    char digits[20];
    int count = 0;  // 0 means the value is zero
    int exponent = 0;
};

// The 18 significant digits of |value|, correctly rounded from its exact
// binary value (what an 80-bit runtime formats from).
DecimalDigits ToDecimalDigits(double value)
{
    DecimalDigits d;
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, std::fabs(value), std::chars_format::scientific, 17);
    // text is "d.ddddddddddddddddde+XX"
    const char* p = text;
    d.digits[d.count++] = *p++;
    if (*p == '.') ++p;
    while (p < result.ptr && *p != 'e') d.digits[d.count++] = *p++;
    int exponent = 0;
    std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), result.ptr, exponent);
    d.exponent = exponent;
    while (d.count > 0 && d.digits[d.count - 1] == '0') --d.count;
    if (d.count == 0) d.exponent = 0;
    return d;
}

// Keeps the first `kept` significant digits, rounding half away from zero on
// the decimal digits. A carry may add a leading digit; kept <= 0 can round up
// to a single 1 one place higher, or down to zero.
void RoundDigits(DecimalDigits& d, int kept)
{
    if (d.count <= kept) return;
    if (kept < 0 || (kept == 0 && d.digits[0] < '5')) {
        d.count = 0;
        d.exponent = 0;
        return;
    }
    const bool up = d.digits[kept] >= '5';
    d.count = kept;
    if (up) {
        int i = kept - 1;
        while (i >= 0 && d.digits[i] == '9') --i;
        if (i < 0) {
            d.digits[0] = '1';
            d.count = 1;
            ++d.exponent;
        } else {
            ++d.digits[i];
            d.count = i + 1;
        }
    }
    while (d.count > 0 && d.digits[d.count - 1] == '0') --d.count;
    if (d.count == 0) d.exponent = 0;
}

char DigitAt(const DecimalDigits& d, int index) { return index >= 0 && index < d.count ? d.digits[index] : '0'; }

// Appends the digits in positional form with `decimals` fraction digits.
void AppendPositional(std::string& out, const DecimalDigits& d, int decimals, char separator)
{
    if (d.count == 0 || d.exponent < 0) {
        out += '0';
    } else {
        for (int i = 0; i <= d.exponent; ++i) out += DigitAt(d, i);
    }
    if (decimals > 0) {
        out += separator;
        for (int k = 1; k <= decimals; ++k) out += DigitAt(d, d.exponent + k);
    }
}

bool AppendNonFinite(std::string& out, double value)
{
    if (std::isnan(value)) {
        out += "NAN";
        return true;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-INF" : "INF";
        return true;
    }
    return false;
}

// fixed(-, decimals) without a width: "." always; rounded half away from zero;
// "-" only when the rounded value is not zero.
void AppendFixed(std::string& out, double value, int decimals)
{
    if (AppendNonFinite(out, value)) return;
    DecimalDigits d = ToDecimalDigits(value);
    RoundDigits(d, d.exponent + 1 + decimals);
    if (value < 0 && d.count > 0) out += '-';
    AppendPositional(out, d, decimals, '.');
}

// snr: rounded to at most 5 significant digits and at most 2 decimals, written
// with exactly 2 decimals and the locale's separator. With more than five
// digits before the separator: 5 significant digits in exponent form,
// d<sep>ddddE+ddd (at least three exponent digits), e.g. 1.2346E+005.
void AppendSnr(std::string& out, double value, char separator)
{
    if (AppendNonFinite(out, value)) return;
    constexpr int kPrecision = 5;
    constexpr int kDecimals = 2;
    DecimalDigits d = ToDecimalDigits(value);
    RoundDigits(d, std::min(kPrecision, d.exponent + 1 + kDecimals));
    if (value < 0 && d.count > 0) out += '-';
    if (d.count > 0 && d.exponent + 1 > kPrecision) {
        out += DigitAt(d, 0);
        out += separator;
        for (int i = 1; i < kPrecision; ++i) out += DigitAt(d, i);
        out += 'E';
        out += d.exponent < 0 ? '-' : '+';
        char exponent[16];
        const auto end = std::to_chars(exponent, exponent + sizeof exponent, std::abs(d.exponent)).ptr;
        for (auto width = end - exponent; width < 3; ++width) out += '0';
        out.append(exponent, end);
        return;
    }
    AppendPositional(out, d, kDecimals, separator);
}

void PadLeft(std::string& out, std::size_t start, int width)
{
    const std::size_t length = out.size() - start;
    if (length < static_cast<std::size_t>(width)) out.insert(start, static_cast<std::size_t>(width) - length, ' ');
}

// The decimal separator of the C locale the program set with
// setlocale(LC_ALL, ""); "." when it is not a single byte.
char LocaleDecimalSeparator()
{
    const std::lconv* conventions = std::localeconv();
    if (conventions == nullptr || conventions->decimal_point == nullptr) return '.';
    const char* point = conventions->decimal_point;
    return std::strlen(point) == 1 ? point[0] : '.';
}

// ---- Output -------------------------------------------------------------------

// Where the report's bytes go. Write returns false on failure; the report then
// stops at once.
class ReportSink {
public:
    virtual ~ReportSink() = default;
    virtual bool Write(std::string_view bytes) = 0;
};

// Collects lines in one large buffer and hands it to the sink in big chunks.
class ReportLines {
public:
    explicit ReportLines(ReportSink& sink) : sink_(sink) { text_.reserve(kChunk + 4096); }

    ReportLines& Text(std::string_view text)
    {
        text_ += text;
        return *this;
    }
    ReportLines& Right(std::string_view text, int width)
    {
        const std::size_t start = text_.size();
        text_ += text;
        PadLeft(text_, start, width);
        return *this;
    }
    ReportLines& Fixed(double value, int width, int decimals)
    {
        const std::size_t start = text_.size();
        AppendFixed(text_, value, decimals);
        PadLeft(text_, start, width);
        return *this;
    }
    // A fixed(width, 2) field whose text is kept from the last call with the
    // same value: the pixel table repeats one ROI mean on many lines.
    ReportLines& FixedCached(double value, int width)
    {
        if (!cacheValid_ || std::memcmp(&value, &cachedValue_, sizeof value) != 0) {
            cachedText_.clear();
            AppendFixed(cachedText_, value, 2);
            PadLeft(cachedText_, 0, width);
            cachedValue_ = value;
            cacheValid_ = true;
        }
        text_ += cachedText_;
        return *this;
    }
    ReportLines& Int(std::uint64_t value, int width = 0)
    {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        return Right(std::string_view(digits, static_cast<std::size_t>(end - digits)), width);
    }
    ReportLines& Snr(double value, char separator)
    {
        AppendSnr(text_, value, separator);
        return *this;
    }
    // Ends the line with CR LF. False once the sink has failed.
    bool End()
    {
        text_ += "\r\n";
        if (text_.size() >= kChunk) return Flush();
        return true;
    }
    bool Flush()
    {
        if (text_.empty()) return true;
        const bool ok = sink_.Write(text_);
        text_.clear();
        return ok;
    }

private:
    static constexpr std::size_t kChunk = std::size_t{1} << 20;
    ReportSink& sink_;
    std::string text_;
    std::string cachedText_;
    double cachedValue_ = 0.0;
    bool cacheValid_ = false;
};

// Writes every line of the report; false at the first failure of the sink.
bool WriteReportLines(ReportSink& sink, const AnalysisSettings& settings, const AnalysisResult& result,
                      const PixelPreparation& preparation)
{
    ReportLines out(sink);
    constexpr int kField = 10;

    if (!out.Text("Results evenor test:").End()) return false;
    if (!out.Text("Average pixel value :").Fixed(result.AreaMean, kField, 2).End()) return false;
    if (!out.Text("Standard deviation  :").Fixed(result.AreaSD, kField, 2).End()) return false;
    if (!out.Text("SNR                 :").Fixed(result.AreaSNR, kField, 2).End()) return false;
    if (!out.End()) return false;
    if (preparation.Inverted) {
        if (!out.Text("- Results have been calculated with inverted pixel values").End()) return false;
        if (!out.Text("  - To get original pixel values subtract pixel value from ")
                 .Int(preparation.InversionMaximum)
                 .End())
            return false;
    }
    if (settings.PixelOffset > 0) {
        if (!out.Text("- Results have been calculated with pixeloffset subtracted from pixel values").End())
            return false;
        if (!out.Text("  - To get original pixel values add ").Int(settings.PixelOffset).Text(" to pixel values").End())
            return false;
        if (preparation.ClippedBelowOffset &&
            !out.Text("  - There were original pixel values smaller than the offset, these pixel values have been "
                      "set to 0")
                 .End())
            return false;
    }
    if (!out.End()) return false;

    if (!out.Text("Results of ROI's:").End()) return false;
    for (const char* caption : {"X", "Y", "Mean", "SD", "SNR", "Max", "Min"}) out.Right(caption, kField);
    if (!out.End()) return false;
    for (const RoiResult& roi : result.Rois) {
        out.Int(roi.X, kField).Int(roi.Y, kField);
        out.Fixed(roi.Mean, kField, 2).Fixed(roi.SD, kField, 2).Fixed(roi.SNR, kField, 2);
        if (!out.Int(roi.Maximum, kField).Int(roi.Minimum, kField).End()) return false;
    }
    if (!out.End()) return false;

    const char separator = LocaleDecimalSeparator();
    if (!out.Text("Mean SNR in ROI's:")
             .Snr(result.MeanRoiSNR, separator)
             .Text("(SD:")
             .Snr(result.RoiSNRSD, separator)
             .Text(")")
             .End())
        return false;
    if (!out.End()) return false;

    if (!out.Text("Deviating ROI's: >").Fixed(settings.RoiDeviationPercent, 5, 2).Text("% from mean").End())
        return false;
    if (result.BadROIMap.empty()) {
        if (!out.Text("--NONE--").End()) return false;
    } else {
        for (const char* caption : {"X", "Y", "Mean", "SD", "SNR"}) out.Right(caption, kField);
        if (!out.End()) return false;
        for (const BadROI& roi : result.BadROIMap) {
            const double snr = SignalToNoise(roi.Mean, roi.SD);
            out.Int(roi.X, kField).Int(roi.Y, kField);
            if (!out.Fixed(roi.Mean, kField, 2).Fixed(roi.SD, kField, 2).Fixed(snr, kField, 2).End()) return false;
        }
    }

    if (settings.DetectDeviatingPixels) {
        if (!out.End()) return false;
        if (!out.Text("Deviating Pixels: >")
                 .Fixed(settings.PixelDeviationPercent, 5, 2)
                 .Text("% from mean in ROI")
                 .End())
            return false;
        if (result.BadPixelMap.empty()) {
            if (!out.Text("--NONE--").End()) return false;
        } else {
            out.Right("X", kField).Right("Y", kField).Right("Value", kField).Right("Mean in ROI", 14);
            if (!out.End()) return false;
            for (const BadPixel& pixel : result.BadPixelMap) {
                out.Int(pixel.X, kField).Int(pixel.Y, kField).Int(pixel.Value, kField);
                if (!out.FixedCached(pixel.RoiMean, 14).End()) return false;
            }
        }
    }
    return out.Flush();
}

class StreamSink : public ReportSink {
public:
    explicit StreamSink(std::ostream& stream) : stream_(stream) {}
    bool Write(std::string_view bytes) override
    {
        stream_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return static_cast<bool>(stream_);
    }

private:
    std::ostream& stream_;
};

class FileSink : public ReportSink {
public:
    explicit FileSink(int fd) : fd_(fd) {}
    bool Write(std::string_view bytes) override
    {
        while (!bytes.empty()) {
            const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
            if (written < 0) {
                if (errno == EINTR) continue;
                error_ = errno;
                return false;
            }
            if (written == 0) {  // no progress and no error code: treat as a full medium
                error_ = ENOSPC;
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(written));
        }
        return true;
    }
    int Error() const { return error_; }

private:
    int fd_;
    int error_ = 0;
};

}  // namespace

std::string FormatFixed(double value, int width, int decimals)
{
    std::string text;
    AppendFixed(text, value, decimals);
    PadLeft(text, 0, width);
    return text;
}

std::string FormatSnr(double value, char separator)
{
    std::string text;
    AppendSnr(text, value, separator);
    return text;
}

int InOutCodeFromErrno(int errnoValue)
{
    switch (errnoValue) {
    case ENOENT:
    case ENOTDIR:
        return 2;
    case ENAMETOOLONG:
    case EINVAL:
        return 3;
    case EMFILE:
    case ENFILE:
        return 4;
    case EACCES:
    case EROFS:
    case EPERM:
    case EISDIR:
        return 5;
    case ENOSPC:
#if defined(EDQUOT)
    case EDQUOT:
#endif
        return 101;
    default:
        return errnoValue;
    }
}

std::string InOutErrorText(int code)
{
    switch (code) {
    case 2:
        return "File not found";
    case 3:
        return "Invalid filename";
    case 4:
        return "Too many open files";
    case 5:
        return "File access denied";
    case 101:
        return "Disk full";
    default:
        return "I/O error " + std::to_string(code);
    }
}

InOutError InOutErrorFromErrno(int errnoValue)
{
    const int code = InOutCodeFromErrno(errnoValue);
    // An unmapped errno that happens to equal one of the classic codes (EIO is
    // 5) must not borrow that code's text.
    const bool mapped = code != errnoValue || errnoValue == ENOENT;
    return InOutError(code, mapped ? InOutErrorText(code) : "I/O error " + std::to_string(errnoValue));
}

void WriteResultsReport(std::ostream& out, const AnalysisSettings& settings, const AnalysisResult& result,
                        const PixelPreparation& preparation)
{
    StreamSink sink(out);
    WriteReportLines(sink, settings, result, preparation);
    out.flush();
}

void WriteResultsReport(const AnalysisSettings& settings, const AnalysisResult& result,
                        const PixelPreparation& preparation)
{
    int fd = -1;
    do {
        fd = ::open(settings.OutputFileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw InOutErrorFromErrno(errno);

    FileSink sink(fd);
    if (!WriteReportLines(sink, settings, result, preparation)) {
        const int error = sink.Error();
        ::close(fd);
        throw InOutErrorFromErrno(error);
    }
    // close() reports delayed write errors (quota, network file systems).
    if (::close(fd) != 0 && errno != EINTR) throw InOutErrorFromErrno(errno);
}

}  // namespace evenor
