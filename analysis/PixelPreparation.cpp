#include "analysis/PixelPreparation.h"

#include <algorithm>
#include <string>

#include "analysis/AnalysisRun.h"
#include "analysis/FieldSyntax.h"
#include "dicom/DicomLib.h"
#include "dicom/DicomTags.h"

namespace evenor {

namespace {

// The number of values both operations work on: Rows x Columns, but never
// more than Pixels holds (a reload of a truncated file leaves it empty).
std::size_t PreparedCount(const TDicomBeeld& image)
{
    const auto rows = static_cast<std::size_t>(std::max(image.Rows(), 0));
    const auto columns = static_cast<std::size_t>(std::max(image.Columns(), 0));
    return std::min(rows * columns, image.Pixels().size());
}

}  // namespace

bool InvertPixels(TDicomBeeld& image, PixelPreparation& preparation, RunHost& host)
{
    std::string bitsStoredText;
    FindTagValue(image.TagList(), tags::BitsStored.Key, bitsStoredText);
    std::int32_t bitsStored = 0;
    if (!ParseInteger(bitsStoredText, bitsStored)) {
        host.ShowMessage("Can't find Bits Stored (tag 0028,0101), Pixel values NOT inverted");
        return false;
    }
    if (bitsStored < 1 || bitsStored > 16) {
        host.ShowMessage("Bits Stored (tag 0028,0101) out of range, Pixel values NOT inverted");
        return false;
    }
    const auto maximum = static_cast<std::uint16_t>((std::uint32_t{1} << bitsStored) - 1);
    preparation.Inverted = true;
    preparation.InversionMaximum = maximum;

    // 16-bit subtraction that wraps: with 12 bits stored, 5000 becomes 64631.
    auto& pixels = image.Pixels();
    const std::size_t count = PreparedCount(image);
    for (std::size_t i = 0; i < count; ++i) pixels[i] = static_cast<std::uint16_t>(maximum - pixels[i]);
    return true;
}

bool SubtractPixelOffset(TDicomBeeld& image, std::uint16_t offset)
{
    bool noneBelow = true;
    auto& pixels = image.Pixels();
    const std::size_t count = PreparedCount(image);
    for (std::size_t i = 0; i < count; ++i) {
        if (pixels[i] < offset) {
            pixels[i] = 0;
            noneBelow = false;
        } else {
            pixels[i] = static_cast<std::uint16_t>(pixels[i] - offset);
        }
    }
    return noneBelow;
}

}  // namespace evenor
