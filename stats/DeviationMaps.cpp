#include "stats/DeviationMaps.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "stats/PixelScan.h"

namespace evenor {

void TBadPixelMap::SetExtent(std::uint32_t firstColumn, std::uint32_t firstRow, std::uint32_t width,
                             std::uint32_t height)
{
    const std::size_t bits = static_cast<std::size_t>(width) * height;
    std::vector<std::uint64_t> fresh((bits + 63) / 64, 0);
    positionBits_.swap(fresh);
    firstColumn_ = firstColumn;
    firstRow_ = firstRow;
    width_ = width;
    height_ = height;
    otherPositions_.clear();
    reservedExtent_ = false;
    for (const BadPixel& pixel : entries_) Index(pixel);
}

bool TBadPixelMap::Contains(std::uint32_t x, std::uint32_t y) const
{
    if (InExtent(x, y)) {
        const std::size_t bit = BitIndex(x, y);
        return (positionBits_[bit >> 6] >> (bit & 63)) & 1u;
    }
    return otherPositions_.count(static_cast<std::uint64_t>(y) << 32 | x) != 0;
}

void TBadPixelMap::Index(const BadPixel& pixel)
{
    if (InExtent(pixel.X, pixel.Y)) {
        const std::size_t bit = BitIndex(pixel.X, pixel.Y);
        positionBits_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
    } else {
        otherPositions_.insert(static_cast<std::uint64_t>(pixel.Y) << 32 | pixel.X);
    }
}

// Once a map holds many entries, room for one entry per position of the
// extent is asked for in one step: the address space is only reserved, pages
// are touched as entries arrive, and the entries are never moved again (nor
// when a second map is appended). Where the system refuses so large a
// reservation, the vector grows as usual.
void TBadPixelMap::MakeRoom(std::size_t count)
{
    constexpr std::size_t kManyEntries = 1 << 16;
    if (entries_.capacity() - entries_.size() >= count) return;
    const std::size_t extent = static_cast<std::size_t>(width_) * height_;
    if (!reservedExtent_ && entries_.size() + count > kManyEntries && extent > entries_.size() + count) {
        reservedExtent_ = true;
        try {
            entries_.reserve(extent);
            return;
        } catch (const std::bad_alloc&) {
            // Not granted: grow step by step below.
        } catch (const std::length_error&) {}
    }
    entries_.reserve(std::max(entries_.size() + count, 2 * entries_.capacity()));
}

bool TBadPixelMap::AddOutsideExtent(const BadPixel& pixel)
{
    if (!otherPositions_.insert(static_cast<std::uint64_t>(pixel.Y) << 32 | pixel.X).second) return false;
    entries_.push_back(pixel);
    return true;
}

void TBadPixelMap::Append(TBadPixelMap&& later)
{
    const bool sameExtent = later.otherPositions_.empty() && otherPositions_.empty() &&
                            later.firstColumn_ == firstColumn_ && later.firstRow_ == firstRow_ &&
                            later.width_ == width_ && later.height_ == height_;
    if (!sameExtent) {
        for (const BadPixel& pixel : later.entries_) Add(pixel);
    } else {
        // later's entries have distinct positions, all inside the common
        // extent; only those already here drop out.
        auto present = [this](const BadPixel& pixel) {
            const std::size_t bit = BitIndex(pixel.X, pixel.Y);
            return (positionBits_[bit >> 6] >> (bit & 63)) & 1u;
        };
        std::size_t kept = 0;
        for (const BadPixel& pixel : later.entries_) kept += !present(pixel);
        entries_.reserve(entries_.size() + kept);
        for (const BadPixel& pixel : later.entries_)
            if (!present(pixel)) entries_.push_back(pixel);
        for (std::size_t w = 0; w < positionBits_.size(); ++w) positionBits_[w] |= later.positionBits_[w];
    }
    later.entries_ = {};
    later.positionBits_ = {};
    later.otherPositions_.clear();
}

void MakeBadROIMap(const TMeetSerie& rois, TBadROIMap& map, double referenceMean, double referenceSNR, double percent)
{
    const double meanTolerance = percent / 100.0 * referenceMean;
    const double snrTolerance = percent / 100.0 * referenceSNR;
    const double meanAbove = referenceMean + meanTolerance;
    const double meanBelow = referenceMean - meanTolerance;
    const double snrAbove = referenceSNR + snrTolerance;
    const double snrBelow = referenceSNR - snrTolerance;
    for (const RoiResult& roi : rois) {
        if (roi.Mean > meanAbove || roi.Mean < meanBelow || roi.SNR > snrAbove || roi.SNR < snrBelow)
            map.push_back(BadROI{roi.X, roi.Y, roi.Mean, roi.SD});
    }
}

void MakeBadPixelMap(std::span<const std::uint16_t> block, std::uint32_t leftColumn, std::uint32_t topRow,
                     std::uint32_t width, double roiMean, double percent, TBadPixelMap& map)
{
    if (width == 0) return;
    const PixelBand band = BandFor(roiMean, percent);
    for (std::size_t k = 0; k < block.size(); ++k) {
        const std::int32_t v = block[k];
        if (v > band.Above || v < band.Below)
            map.Add(BadPixel{leftColumn + static_cast<std::uint32_t>(k % width),
                             topRow + static_cast<std::uint32_t>(k / width), block[k], roiMean});
    }
}

}  // namespace evenor
