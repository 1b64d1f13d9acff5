#pragma once
// The maps of deviating ROIs and of deviating pixels.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <unordered_set>
#include <vector>

#include "stats/StatFuncties.h"

namespace evenor {

// A ROI whose mean or SNR deviates from the whole area.
struct BadROI {
    std::uint32_t X = 0;  // left column
    std::uint32_t Y = 0;  // top row
    double Mean = 0.0;
    double SD = 0.0;
};
using TBadROIMap = std::vector<BadROI>;

struct BadPixelScan;

// A pixel that deviates from the mean of its ROI.
struct BadPixel {
    std::uint32_t X = 0;  // image column
    std::uint32_t Y = 0;  // image row
    std::uint16_t Value = 0;
    double RoiMean = 0.0;  // mean of the ROI in which it was first found
};

// The deviating pixels in order of discovery, at most one entry per position.
// Keeps a position index beside the entries so the duplicate test takes
// constant time: a bitmap over the extent set by SetExtent (one bit per pixel
// of the evaluated area), and a hash set for positions outside it (or for
// every position when no extent was set). The bitmap's bits are exactly the
// positions of the entries inside the extent.
//
// The bitmap comes zeroed from the system (ZeroedWords.h), so its pages
// cost nothing until a bit on them is set or read: a map of a clean image, the
// usual case, touches hardly any of its megabytes. Copies and Append work
// entry by entry where there are few entries, for the same reason.
class TBadPixelMap {
public:
    TBadPixelMap() = default;
    TBadPixelMap(const TBadPixelMap& other);
    TBadPixelMap& operator=(const TBadPixelMap& other);
    TBadPixelMap(TBadPixelMap&&) noexcept = default;
    TBadPixelMap& operator=(TBadPixelMap&&) noexcept = default;
    ~TBadPixelMap() = default;

    using const_iterator = std::vector<BadPixel>::const_iterator;
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const BadPixel& operator[](std::size_t i) const { return entries_[i]; }
    const std::vector<BadPixel>& Entries() const { return entries_; }

    // Sizes the bitmap index to the rectangle of width x height pixels whose
    // top-left pixel is (firstColumn, firstRow). Existing entries are kept
    // and re-indexed. Throws std::bad_alloc when the bitmap does not fit.
    void SetExtent(std::uint32_t firstColumn, std::uint32_t firstRow, std::uint32_t width, std::uint32_t height);

    bool Contains(std::uint32_t x, std::uint32_t y) const;
    // Appends the entry unless its position is already present; true when appended.
    bool Add(const BadPixel& pixel)
    {
        if (!InExtent(pixel.X, pixel.Y)) return AddOutsideExtent(pixel);
        const std::size_t bit = BitIndex(pixel.X, pixel.Y);
        std::uint64_t& word = positionBits_[bit >> 6];
        const std::uint64_t mask = std::uint64_t{1} << (bit & 63);
        if (word & mask) return false;
        word |= mask;
        entries_.push_back(pixel);
        return true;
    }

    // Appends, in their order, the entries of `later` whose positions are not
    // in this map: the result is what adding later's entries one by one
    // gives. `later` is left empty. Used to join the maps that two workers
    // built over consecutive parts of one ROI list.
    void Append(TBadPixelMap&& later);

private:
    friend struct BadPixelScan;  // the box scan's batched Add

    bool InExtent(std::uint32_t x, std::uint32_t y) const
    {
        return x - firstColumn_ < width_ && y - firstRow_ < height_;
    }
    std::size_t BitIndex(std::uint32_t x, std::uint32_t y) const
    {
        return static_cast<std::size_t>(y - firstRow_) * width_ + (x - firstColumn_);
    }
    void Index(const BadPixel& pixel);
    bool AddOutsideExtent(const BadPixel& pixel);
    void MakeRoom(std::size_t count);

    // Zeroed words of AllocateZeroedWords, released with FreeZeroedWords.
    struct FreeWords {
        void operator()(std::uint64_t* words) const;
    };
    using Words = std::unique_ptr<std::uint64_t[], FreeWords>;
    // wordCount zeroed words; throws std::bad_alloc when they cannot be had.
    static Words ZeroedWords(std::size_t wordCount);

    std::vector<BadPixel> entries_;
    Words positionBits_;  // bit BitIndex(x, y) set when (x, y) is present
    std::size_t wordCount_ = 0;
    std::uint32_t firstColumn_ = 0;
    std::uint32_t firstRow_ = 0;
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
    std::unordered_set<std::uint64_t> otherPositions_;  // (y << 32 | x) outside the extent
    bool reservedExtent_ = false;                       // room for every position of the extent was asked for once
};

// Appends every ROI of rois whose Mean or SNR lies strictly outside
// reference +/- percent/100 * reference, in series order.
void MakeBadROIMap(const TMeetSerie& rois, TBadROIMap& map, double referenceMean, double referenceSNR, double percent);

// Appends every pixel of one ROI block (width values to a row, its first value
// at (leftColumn, topRow)) that lies strictly outside roiMean +/- percent/100 *
// roiMean and is not yet in the map, row by row, left to right. Nothing
// happens for a width of 0.
void MakeBadPixelMap(std::span<const std::uint16_t> block, std::uint32_t leftColumn, std::uint32_t topRow,
                     std::uint32_t width, double roiMean, double percent, TBadPixelMap& map);

}  // namespace evenor
