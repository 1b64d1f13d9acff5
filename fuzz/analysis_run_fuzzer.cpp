// Fuzzes a whole analysis run: a small image (up to 64 x 64, 8 or 16 bits,
// explicit little-endian, implicit little-endian or explicit big-endian)
// written as a valid DICOM file, opened as the window opens it, and analysed
// twice with fuzzed settings texts. A refusal is fine; a crash, an exception,
// a touched report after a refusal, or two different reports are not.
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "AnalysisRun.h"
#include "DicomLib.h"
#include "FieldSyntax.h"
#include "FrontEndRun.h"
#include "FuzzSupport.h"
#include "ReferenceAnalysis.h"
#include "RoiGrid.h"

namespace evenor::fuzz {
namespace {

enum class Syntax { ExplicitLittle, ImplicitLittle, ExplicitBig };

class FileWriter {
public:
    explicit FileWriter(Syntax syntax) : syntax_(syntax) {}

    void Raw(std::string_view bytes) { out_ += bytes; }
    void U16(std::uint16_t v, bool big)
    {
        const char low = static_cast<char>(v & 0xFF), high = static_cast<char>(v >> 8);
        out_ += big ? std::string{high, low} : std::string{low, high};
    }
    void U32(std::uint32_t v, bool big)
    {
        U16(static_cast<std::uint16_t>(big ? v >> 16 : v & 0xFFFF), big);
        U16(static_cast<std::uint16_t>(big ? v & 0xFFFF : v >> 16), big);
    }
    // One element of the data set in the file's syntax; values are padded to
    // an even length, so the length-13 rule never applies.
    void Element(std::uint16_t group, std::uint16_t number, const char* vr, std::string value)
    {
        if (value.size() % 2 != 0) value += ' ';
        const bool big = syntax_ == Syntax::ExplicitBig;
        U16(group, big);
        U16(number, big);
        const std::string_view code(vr);
        if (syntax_ == Syntax::ImplicitLittle) {
            U32(static_cast<std::uint32_t>(value.size()), false);
        } else if (code == "OB" || code == "OW" || code == "SQ" || code == "UN" || code == "UT") {
            Raw(code);
            U16(0, big);
            U32(static_cast<std::uint32_t>(value.size()), big);
        } else {
            Raw(code);
            U16(static_cast<std::uint16_t>(value.size()), big);
        }
        Raw(value);
    }
    std::string Word(std::uint16_t v) const
    {
        const char low = static_cast<char>(v & 0xFF), high = static_cast<char>(v >> 8);
        return syntax_ == Syntax::ExplicitBig ? std::string{high, low} : std::string{low, high};
    }
    std::string& Bytes() { return out_; }

private:
    Syntax syntax_;
    std::string out_;
};

std::string MetaGroup(Syntax syntax)
{
    const char* uid = syntax == Syntax::ImplicitLittle ? "1.2.840.10008.1.2"
                      : syntax == Syntax::ExplicitBig  ? "1.2.840.10008.1.2.2"
                                                       : "1.2.840.10008.1.2.1";
    FileWriter meta(Syntax::ExplicitLittle);
    std::string text = uid;
    if (text.size() % 2 != 0) text += '\0';
    meta.Element(0x0002, 0x0010, "UI", text);
    FileWriter group(Syntax::ExplicitLittle);
    group.U16(0x0002, false);
    group.U16(0x0000, false);
    group.Raw("UL");
    group.U16(4, false);
    group.U32(static_cast<std::uint32_t>(meta.Bytes().size()), false);
    return group.Bytes() + meta.Bytes();
}

bool Same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void CheckSameRois(const TMeetSerie& a, const TMeetSerie& b)
{
    FUZZ_CHECK(a.size() == b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        FUZZ_CHECK(a[i].X == b[i].X && a[i].Y == b[i].Y);
        FUZZ_CHECK(a[i].Maximum == b[i].Maximum && a[i].Minimum == b[i].Minimum);
        FUZZ_CHECK(Same(a[i].Mean, b[i].Mean) && Same(a[i].SD, b[i].SD) && Same(a[i].SNR, b[i].SNR));
    }
}

// The program's result against the reference, to the last bit.
void CheckAgainstReference(const AnalysisResult& result, const Reference& ref)
{
    FUZZ_CHECK(result.BoxPixels == ref.BoxPixels);
    FUZZ_CHECK(Same(result.AreaMean, ref.Result.AreaMean));
    FUZZ_CHECK(Same(result.AreaSD, ref.Result.AreaSD));
    FUZZ_CHECK(Same(result.AreaSNR, ref.Result.AreaSNR));
    CheckSameRois(result.Rois, ref.Result.Rois);
    FUZZ_CHECK(Same(result.MeanRoiSNR, ref.Result.MeanRoiSNR));
    FUZZ_CHECK(Same(result.RoiSNRSD, ref.Result.RoiSNRSD));
    FUZZ_CHECK(result.BadROIMap.size() == ref.Result.BadROIMap.size());
    for (std::size_t i = 0; i < result.BadROIMap.size(); ++i) {
        const BadROI& a = result.BadROIMap[i];
        const BadROI& b = ref.Result.BadROIMap[i];
        FUZZ_CHECK(a.X == b.X && a.Y == b.Y && Same(a.Mean, b.Mean) && Same(a.SD, b.SD));
    }
    FUZZ_CHECK(result.BadPixelMap.size() == ref.BadPixels.size());
    for (std::size_t i = 0; i < ref.BadPixels.size(); ++i) {
        const BadPixel& a = result.BadPixelMap[i];
        const BadPixel& b = ref.BadPixels[i];
        FUZZ_CHECK(a.X == b.X && a.Y == b.Y && a.Value == b.Value && Same(a.RoiMean, b.RoiMean));
    }
}

// Records the run's messages.
class Host : public RunHost {
public:
    void ShowMessage(const std::string& text) override { Events.push_back("message: " + text); }
    std::vector<std::string> Events;
};

// Checks a result against the reference on the prepared pixels, and against
// the analysis of the same pixels by one thread and by two.
void CheckOutcome(const AnalysisOutcome& outcome, const TDicomBeeld& image, const AnalysisSettings& settings)
{
    const AnalysisResult& result = outcome.Result;
    FUZZ_CHECK(!result.Rois.empty());
    FUZZ_CHECK(result.BoxPixels >= 2);
    const auto columns = static_cast<std::uint32_t>(image.Columns());
    const auto rows = static_cast<std::uint32_t>(image.Rows());
    FUZZ_CHECK(outcome.Columns == columns && outcome.Pixels.size() == std::size_t{rows} * columns);
    FUZZ_CHECK(image.Pixels().empty());
    const std::span<const std::uint16_t> pixels(outcome.Pixels);
    const Reference ref = ReferenceAnalyse(pixels, columns, image.PixelSpacing(), settings);
    CheckAgainstReference(result, ref);
    for (unsigned threads : {1u, 2u})
        CheckAgainstReference(AnalyseRoiGrid(pixels, columns, rows, image.PixelSpacing(), settings, threads), ref);
}

struct RunOutcome {
    bool Written = false;
    std::vector<std::string> Events;
    std::string Report;
};

RunOutcome Run(const SettingsFields& fields, TDicomBeeld& image, AnalysisSettings& settings, bool check)
{
    constexpr const char* kEarlier = "an earlier report\r\n";
    WriteFile(settings.OutputFileName, kEarlier);
    Host host;
    RunOutcome outcome;
    std::optional<AnalysisOutcome> analysed;
    try {
        outcome.Written = test::RunLikeAFrontEnd(fields, &image, settings, host, &analysed);
    } catch (const EvenorError& e) {
        std::fprintf(stderr, "run failed: %s\n", e.Message().c_str());
        std::abort();
    }
    if (analysed && check) CheckOutcome(*analysed, image, settings);
    outcome.Events = host.Events;
    outcome.Report = ReadFile(settings.OutputFileName);

    FUZZ_CHECK(!host.Events.empty());
    if (outcome.Written) {
        FUZZ_CHECK(host.Events.back() == "message: Results written to Output File");
        FUZZ_CHECK(outcome.Report.starts_with("Results evenor test:\r\n"));
        FUZZ_CHECK(outcome.Report.ends_with("\r\n"));
    } else {
        // A refused run leaves an existing report as it was.
        FUZZ_CHECK(outcome.Report == kEarlier);
    }
    return outcome;
}

}  // namespace
}  // namespace evenor::fuzz

// The input: rows, columns, a flags byte, Bits Stored, the pixel offset, the
// spacing text and the seven field texts (each a length byte and its bytes),
// then the pixel bytes, repeated as needed to fill the image.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace evenor;
    using namespace evenor::fuzz;
    InputReader input(data, size);
    const std::uint16_t rows = static_cast<std::uint16_t>(input.Byte() % 64 + 1);
    const std::uint16_t columns = static_cast<std::uint16_t>(input.Byte() % 64 + 1);
    const std::uint8_t flags = input.Byte();
    const std::uint8_t bitsStored = input.Byte();
    const std::uint16_t offsetWord = input.Word();
    const std::string spacing = input.Text(32);
    SettingsFields fields;
    for (std::string* field : {&fields.FirstRow, &fields.LastRow, &fields.FirstColumn, &fields.LastColumn,
                               &fields.BoxCm, &fields.RoiDeviation, &fields.PixelDeviation})
        *field = input.Text(24);
    const bool sixteenBits = flags & 1;
    const Syntax syntax = (flags >> 1 & 3) == 1 ? Syntax::ImplicitLittle
                          : (flags >> 1 & 3) == 2 ? Syntax::ExplicitBig
                                                  : Syntax::ExplicitLittle;
    fields.DetectDeviatingPixels = flags & 8;
    fields.Inverted = flags & 16;
    const bool withBitsStored = flags & 32;
    const bool withSpacing = !(flags & 64);
    const bool truncated = flags & 128;

    FileWriter file(syntax);
    file.Raw(std::string(128, '\0'));
    file.Raw("DICM");
    file.Raw(MetaGroup(syntax));
    file.Element(0x0008, 0x0060, "CS", "DX");
    file.Element(0x0028, 0x0002, "US", file.Word(1));
    file.Element(0x0028, 0x0004, "CS", "MONOCHROME2");
    file.Element(0x0028, 0x0010, "US", file.Word(rows));
    file.Element(0x0028, 0x0011, "US", file.Word(columns));
    if (withSpacing) file.Element(0x0018, 0x1164, "DS", spacing);
    file.Element(0x0028, 0x0100, "US", file.Word(sixteenBits ? 16 : 8));
    if (withBitsStored) file.Element(0x0028, 0x0101, "US", file.Word(bitsStored % 20));
    file.Element(0x0028, 0x0103, "US", file.Word(0));
    file.Element(0x0028, 0x1040, "CS", "LIN");
    const std::size_t pixelBytes = static_cast<std::size_t>(rows) * columns * (sixteenBits ? 2 : 1);
    std::string pixels(pixelBytes, '\0');
    if (input.Remaining() > 0)
        for (std::size_t i = 0; i < pixelBytes; ++i) pixels[i] = static_cast<char>(input.Rest()[i % input.Remaining()]);
    if (pixels.size() % 2 != 0) pixels += '\0';
    file.Element(0x7FE0, 0x0010, sixteenBits ? "OW" : "OB", pixels);
    // Cut the file inside the pixel samples themselves (not only the padding).
    if (truncated) {
        const std::size_t cut = std::min(pixels.size(), pixels.size() - pixelBytes + 1 + offsetWord % 8);
        file.Bytes().resize(file.Bytes().size() - cut);
    }

    const std::filesystem::path path = ScratchFolder::Path() / "run.dcm";
    WriteFile(path, file.Bytes());
    // Opening a valid file never fails.
    TDicomBeeld image(ScratchFolder::Path().string() + "/", "run.dcm");
    FUZZ_CHECK(image.Rows() == rows && image.Columns() == columns);
    const TagDefaults defaults = DefaultsFromTags(image.TagList());
    fields.Logarithmic = defaults.Logarithmic.value_or(false);

    AnalysisSettings settings;
    settings.DicomFileName = path.string();
    settings.OutputFileName = (ScratchFolder::Path() / "report.txt").string();
    settings.PixelOffset = offsetWord;

    const RunOutcome first = Run(fields, image, settings, true);
    // Pressing Calculate again on the same image and settings gives the same
    // report: every run starts from the values in the file.
    const RunOutcome second = Run(fields, image, settings, false);
    FUZZ_CHECK(first.Written == second.Written);
    FUZZ_CHECK(first.Events == second.Events);
    FUZZ_CHECK(first.Report == second.Report);
    // A file cut inside its pixel samples never gives a report.
    if (truncated) FUZZ_CHECK(!first.Written);
    return 0;
}
