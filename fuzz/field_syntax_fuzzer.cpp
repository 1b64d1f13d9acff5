// Fuzzes the number syntax of the settings fields and the run's conversion of
// the fields, cross-checking the parsers against each other and against what
// the run stores.
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/AnalysisRun.h"
#include "analysis/FieldSyntax.h"
#include "dicom/DicomLib.h"
#include "fuzz/FuzzSupport.h"
#include "tests/support/FrontEndRun.h"
#include "tests/support/TestDicomWriter.h"

namespace evenor::fuzz {
namespace {

constexpr double kUntouched = -12345.678;

bool SameReal(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The text after leading blanks and an optional sign.
std::string_view Body(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    return text.substr(i);
}

bool IsHexForm(std::string_view text)
{
    const std::string_view body = Body(text);
    return !body.empty() && (body[0] == '$' || body[0] == 'x' || body[0] == 'X' ||
                             (body.size() > 1 && body[0] == '0' && (body[1] == 'x' || body[1] == 'X')));
}

void CheckText(std::string_view text)
{
    // Integers: 32-bit and 64-bit agree wherever the value fits 32 bits.
    std::int32_t value32 = 0x5A5A5A5A;
    const bool ok32 = ParseInteger(text, value32);
    std::int64_t value64 = 0x5A5A5A5A5A5A5A5A;
    const bool ok64 = ParseInteger64(text, value64);
    if (!ok32) FUZZ_CHECK(value32 == 0x5A5A5A5A);
    if (!ok64) FUZZ_CHECK(value64 == 0x5A5A5A5A5A5A5A5A);
    if (ok32) FUZZ_CHECK(ok64 && value64 == value32);
    if (ok64 && value64 >= std::numeric_limits<std::int32_t>::min() &&
        value64 <= std::numeric_limits<std::int32_t>::max())
        FUZZ_CHECK(ok32);
    FUZZ_CHECK(IsPositiveInteger(text) == (ok32 && value32 >= 0));
    std::uint16_t offset = 7;
    const bool okOffset = ParsePixelOffset(text, offset);
    FUZZ_CHECK(okOffset == (ok32 && value32 >= 0 && value32 <= 65535));
    FUZZ_CHECK(okOffset ? offset == value32 : offset == 7);

    // A parsed integer printed back parses to the same value, as an integer
    // and as a real; a decimal integer text is a real text of the same value.
    if (ok64) {
        const std::string printed = std::to_string(value64);
        std::int64_t again = 0;
        FUZZ_CHECK(ParseInteger64(printed, again) && again == value64);
        double real = kUntouched;
        FUZZ_CHECK(ParseReal(printed, real) && real == static_cast<double>(value64));
        if (!IsHexForm(text)) {
            real = kUntouched;
            FUZZ_CHECK(ParseReal(text, real));
            FUZZ_CHECK(real == static_cast<double>(value64));
        }
    }

    // Reals: IsNumber is exactly ParseReal's success; a failure leaves the
    // value alone; a success is finite, prints back to the same double, and
    // agrees with the C library where that reads the text without range
    // trouble.
    double real = kUntouched;
    const bool okReal = ParseReal(text, real);
    FUZZ_CHECK(IsNumber(text) == okReal);
    if (!okReal) {
        FUZZ_CHECK(SameReal(real, kUntouched));
        return;
    }
    FUZZ_CHECK(std::isfinite(real));
    char buffer[64];
    const auto printed = std::to_chars(buffer, buffer + sizeof buffer, real);
    FUZZ_CHECK(printed.ec == std::errc());
    double again = kUntouched;
    FUZZ_CHECK(ParseReal(std::string_view(buffer, static_cast<std::size_t>(printed.ptr - buffer)), again));
    FUZZ_CHECK(SameReal(again, real));
    const std::string copy(text);
    errno = 0;
    char* end = nullptr;
    const double expected = std::strtod(copy.c_str(), &end);
    if (errno == 0 && end == copy.c_str() + copy.size()) FUZZ_CHECK(real == expected);
}

// A plain 16 x 16 image with 1 mm spacing, written once per process.
class FixedImage {
public:
    FixedImage()
    {
        test::TestDicomWriter file;
        file.Preamble().Explicit(0x00020010, "UI", std::string("1.2.840.10008.1.2.1\0", 20));
        file.Explicit(0x00280010, "US", file.Bytes16(16));
        file.Explicit(0x00280011, "US", file.Bytes16(16));
        file.Explicit(0x00280030, "DS", "1\\1 ");
        file.Explicit(0x00280100, "US", file.Bytes16(16));
        file.Explicit(0x00280101, "US", file.Bytes16(12));
        std::string pixels;
        for (int i = 0; i < 256; ++i) pixels += file.Bytes16(static_cast<std::uint16_t>(1000 + (i * 37) % 50));
        file.Explicit(0x7FE00010, "OW", pixels);
        const std::filesystem::path path = ScratchFolder::Path() / "fields.dcm";
        WriteFile(path, file.String());
        image = std::make_unique<TDicomBeeld>(ScratchFolder::Path().string() + "/", "fields.dcm");
        dicomFileName = path.string();
        reportFileName = (ScratchFolder::Path() / "fields-report.txt").string();
    }
    std::unique_ptr<TDicomBeeld> image;
    std::string dicomFileName;
    std::string reportFileName;
};

using Host = test::MessageLog;

void CheckRunConversions(const std::vector<std::string>& texts, std::uint8_t flags)
{
    static const FixedImage fixed;
    SettingsFields fields;
    std::string* targets[] = {&fields.FirstRow, &fields.LastRow,      &fields.FirstColumn,   &fields.LastColumn,
                              &fields.BoxCm,    &fields.RoiDeviation, &fields.PixelDeviation};
    for (std::size_t i = 0; i < 7; ++i) *targets[i] = i < texts.size() ? texts[i] : std::string();
    fields.DetectDeviatingPixels = flags & 1;
    fields.Logarithmic = flags & 2;
    fields.Inverted = flags & 4;

    AnalysisSettings settings;
    settings.DicomFileName = fixed.dicomFileName;
    settings.OutputFileName = fixed.reportFileName;
    settings.PixelOffset = static_cast<std::uint16_t>(flags & 8 ? 1003 : 0);
    WriteFile(fixed.reportFileName, "earlier report");
    Host host;
    const bool written = test::RunLikeAFrontEnd(fields, fixed.image.get(), settings, host);

    FUZZ_CHECK(!host.Messages.empty());
    if (!written) {
        FUZZ_CHECK(ReadWholeFile(fixed.reportFileName) == "earlier report");
    } else {
        FUZZ_CHECK(host.Messages.back() == "Results written to Output File");
        FUZZ_CHECK(ReadWholeFile(fixed.reportFileName).starts_with("Results evenor test:\r\n"));
    }

    // The fields are stored in order up to the first one refused.
    const std::pair<const std::string*, const std::uint32_t*> wholes[] = {{&fields.FirstRow, &settings.FirstRow},
                                                                          {&fields.LastRow, &settings.LastRow},
                                                                          {&fields.FirstColumn, &settings.FirstColumn},
                                                                          {&fields.LastColumn, &settings.LastColumn}};
    for (const auto& [text, stored] : wholes) {
        std::uint32_t expected = 0;
        if (!ReadAreaField(*text, expected)) {
            FUZZ_CHECK(!written && host.Messages.back() == "A positive integer is expected");
            return;
        }
        FUZZ_CHECK(*stored == expected);
    }
    const std::pair<const std::string*, const double*> reals[] = {
        {&fields.BoxCm, &settings.BoxDimension},
        {&fields.RoiDeviation, &settings.RoiDeviationPercent},
        {&fields.PixelDeviation, &settings.PixelDeviationPercent}};
    for (const auto& [text, stored] : reals) {
        double expected = 0.0;
        if (!ReadRealField(*text, expected)) {
            FUZZ_CHECK(!written && host.Messages.back() == "A number is expected");
            return;
        }
        FUZZ_CHECK(SameReal(*stored, expected));
    }
    FUZZ_CHECK(settings.DetectDeviatingPixels == fields.DetectDeviatingPixels);
    FUZZ_CHECK(settings.Logarithmic == fields.Logarithmic);
    FUZZ_CHECK(settings.Inverted == fields.Inverted);
}

}  // namespace
}  // namespace evenor::fuzz

// The input: a flags byte, then texts separated by newlines. Every text is
// checked on its own; the first seven are also the run's seven fields.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace evenor::fuzz;
    if (size == 0) return 0;
    const std::uint8_t flags = data[0];
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<std::string> texts;
    std::size_t start = 0;
    while (start <= rest.size()) {
        const std::size_t end = std::min(rest.find('\n', start), rest.size());
        texts.emplace_back(rest.substr(start, end - start));
        start = end + 1;
    }
    CheckText(rest);
    for (const auto& text : texts) CheckText(text);

    std::vector<std::string> lines(texts.begin(), texts.end());
    std::string value = "untouched";
    if (!lines.empty() && lines[0].size() >= 8) {
        const std::string key = lines[0].substr(0, 8);
        if (evenor::FindTagValue(lines, key, value)) {
            FUZZ_CHECK(value.find(',') == std::string::npos);
            FUZZ_CHECK(lines[0].size() <= 10 || lines[0].compare(10, value.size(), value) == 0);
        }
    }
    if (flags & 0x80) CheckRunConversions(texts, flags);
    return 0;
}
