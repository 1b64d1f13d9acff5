#include "stats/DeviationMaps.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "stats/PixelScan.h"
#include "stats/ZeroedWords.h"

namespace evenor {

void TBadPixelMap::FreeWords::operator()(std::uint64_t* words) const { FreeZeroedWords(words); }

TBadPixelMap::Words TBadPixelMap::ZeroedWords(std::size_t wordCount) { return Words(AllocateZeroedWords(wordCount)); }

TBadPixelMap::TBadPixelMap(const TBadPixelMap& other)
    : entries_(other.entries_), wordCount_(other.wordCount_), firstColumn_(other.firstColumn_),
      firstRow_(other.firstRow_), width_(other.width_), height_(other.height_), otherPositions_(other.otherPositions_),
      reservedExtent_(other.reservedExtent_)
{
    positionBits_ = ZeroedWords(wordCount_);
    // The bits are the entries' positions: set them again where that touches
    // fewer pages than copying every word would.
    if (entries_.size() < wordCount_ / 8) {
        for (const BadPixel& pixel : entries_)
            if (InExtent(pixel.X, pixel.Y)) {
                const std::size_t bit = BitIndex(pixel.X, pixel.Y);
                positionBits_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
            }
    } else if (wordCount_ > 0) {
        std::memcpy(positionBits_.get(), other.positionBits_.get(), wordCount_ * sizeof(std::uint64_t));
    }
}

TBadPixelMap& TBadPixelMap::operator=(const TBadPixelMap& other)
{
    if (this != &other) {
        TBadPixelMap copy(other);
        *this = std::move(copy);
    }
    return *this;
}

void TBadPixelMap::SetExtent(std::uint32_t firstColumn, std::uint32_t firstRow, std::uint32_t width,
                             std::uint32_t height)
{
    const std::size_t bits = static_cast<std::size_t>(width) * height;
    const std::size_t wordCount = (bits + 63) / 64;
    positionBits_ = ZeroedWords(wordCount);
    wordCount_ = wordCount;
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
        // extent; only those already here drop out. Setting each kept
        // entry's bit gives the union of the two bitmaps without reading
        // their untouched pages.
        auto present = [this](const BadPixel& pixel) {
            const std::size_t bit = BitIndex(pixel.X, pixel.Y);
            return (positionBits_[bit >> 6] >> (bit & 63)) & 1u;
        };
        std::size_t kept = 0;
        for (const BadPixel& pixel : later.entries_) kept += !present(pixel);
        entries_.reserve(entries_.size() + kept);
        for (const BadPixel& pixel : later.entries_)
            if (!present(pixel)) {
                entries_.push_back(pixel);
                const std::size_t bit = BitIndex(pixel.X, pixel.Y);
                positionBits_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
            }
    }
    later = TBadPixelMap();
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
