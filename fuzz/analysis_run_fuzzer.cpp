// Fuzzes a whole analysis run: a small image (up to 64 x 64, 8 or 16 bits,
// explicit little-endian, implicit little-endian or explicit big-endian)
// written as a valid DICOM file, opened as the window opens it, and analysed
// twice with fuzzed settings texts. A refusal is fine; a crash, an exception,
// a touched report after a refusal, or two different reports are not.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/AnalysisRun.h"
#include "analysis/FieldSyntax.h"
#include "analysis/RoiGrid.h"
#include "dicom/DicomLib.h"
#include "fuzz/FuzzSupport.h"
#include "tests/support/FrontEndRun.h"
#include "tests/support/ReferenceAnalysis.h"
#include "tests/support/TestDicomWriter.h"

namespace evenor::fuzz {
namespace {

enum class Syntax { ExplicitLittle, ImplicitLittle, ExplicitBig };

const char* TransferSyntaxOf(Syntax syntax)
{
    return syntax == Syntax::ImplicitLittle ? "1.2.840.10008.1.2"
           : syntax == Syntax::ExplicitBig  ? "1.2.840.10008.1.2.2"
                                            : "1.2.840.10008.1.2.1";
}

// The program's result against the reference, to the last bit.
void CheckAgainstReference(const AnalysisResult& result, const test::Reference& ref)
{
    const std::string difference = test::FirstDifference(result, ref);
    if (!difference.empty()) std::fprintf(stderr, "differs from the reference: %s\n", difference.c_str());
    FUZZ_CHECK(difference.empty());
}

using Host = test::MessageLog;

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
    const test::Reference ref = test::ReferenceAnalyse(pixels, columns, image.PixelSpacing(), settings);
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
    outcome.Events = host.Messages;
    outcome.Report = ReadWholeFile(settings.OutputFileName);

    FUZZ_CHECK(!host.Messages.empty());
    if (outcome.Written) {
        FUZZ_CHECK(host.Messages.back() == kResultsWritten);
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
    const Syntax syntax = (flags >> 1 & 3) == 1   ? Syntax::ImplicitLittle
                          : (flags >> 1 & 3) == 2 ? Syntax::ExplicitBig
                                                  : Syntax::ExplicitLittle;
    fields.DetectDeviatingPixels = flags & 8;
    fields.Inverted = flags & 16;
    const bool withBitsStored = flags & 32;
    const bool withSpacing = !(flags & 64);
    const bool truncated = flags & 128;

    test::TestDicomWriter file;
    file.Preamble().FileMeta(TransferSyntaxOf(syntax));
    if (syntax == Syntax::ExplicitBig) file.SetOrder(test::Order::Big);
    // One element of the data set in the file's syntax; values are padded to
    // an even length, so the length-13 rule never applies.
    const auto element = [&](std::uint32_t tag, std::string_view vr, std::string_view value) {
        const std::string even = test::TestDicomWriter::EvenText(value);
        if (syntax == Syntax::ImplicitLittle)
            file.Implicit(tag, even);
        else
            file.Explicit(tag, vr, even);
    };
    element(0x00080060, "CS", "DX");
    element(0x00280002, "US", file.Bytes16(1));
    element(0x00280004, "CS", "MONOCHROME2");
    element(0x00280010, "US", file.Bytes16(rows));
    element(0x00280011, "US", file.Bytes16(columns));
    if (withSpacing) element(0x00181164, "DS", spacing);
    element(0x00280100, "US", file.Bytes16(sixteenBits ? 16 : 8));
    if (withBitsStored) element(0x00280101, "US", file.Bytes16(bitsStored % 20));
    element(0x00280103, "US", file.Bytes16(0));
    element(0x00281040, "CS", "LIN");
    const std::size_t pixelBytes = static_cast<std::size_t>(rows) * columns * (sixteenBits ? 2 : 1);
    std::string pixels(pixelBytes, '\0');
    if (input.Remaining() > 0)
        for (std::size_t i = 0; i < pixelBytes; ++i) pixels[i] = static_cast<char>(input.Rest()[i % input.Remaining()]);
    if (pixels.size() % 2 != 0) pixels += '\0';
    element(0x7FE00010, sixteenBits ? "OW" : "OB", pixels);
    std::string bytes = file.String();
    // Cut the file inside the pixel samples themselves (not only the padding).
    if (truncated) {
        const std::size_t cut = std::min(pixels.size(), pixels.size() - pixelBytes + 1 + offsetWord % 8);
        bytes.resize(bytes.size() - cut);
    }

    const std::filesystem::path path = ScratchFolder::Path() / "run.dcm";
    WriteFile(path, bytes);
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
