#pragma once
// StatFuncties (statistics functions): extremes, mean and sample standard
// deviation of pixel blocks and of series of reals, and the maps of deviating
// ROIs and pixels. TMeetSerie = measurement series.
//
// Mean and SD are computed in two passes: an exact 64-bit integer sum (pixel
// blocks) or a sequential double sum (reals) for the mean, then a sequential
// double sum of squared differences in index order; the divisor is n - 1. The
// order of accumulation is part of the result and must not change. For n = 1
// both mean and SD are the single value. Every routine needs n >= 1.
#include <cstdint>
#include <cstddef>
#include <span>
#include <vector>

namespace evenor {

struct RoiResult {
    std::uint32_t X = 0;  // left column
    std::uint32_t Y = 0;  // top row
    std::uint16_t Maximum = 0;
    std::uint16_t Minimum = 0;
    double Mean = 0.0;
    double SD = 0.0;
    double SNR = 0.0;  // Mean / SD, 0 when SD is 0
};
using TMeetSerie = std::vector<RoiResult>;

std::uint16_t WordMax(std::span<const std::uint16_t> values);
std::uint16_t WordMin(std::span<const std::uint16_t> values);
void WordMeanSD(std::span<const std::uint16_t> values, double& mean, double& sd);
void RealMeanSD(std::span<const double> values, double& mean, double& sd);

}  // namespace evenor

// ---- Deviation maps -------------------------------------------------------

namespace evenor {

// A ROI whose mean or SNR deviates from the whole area.
struct BadROI {
    std::uint32_t X = 0;  // left column
    std::uint32_t Y = 0;  // top row
    double Mean = 0.0;
    double SD = 0.0;
};
using TBadROIMap = std::vector<BadROI>;

// A pixel that deviates from the mean of its ROI.
struct BadPixel {
    std::uint32_t X = 0;  // image column
    std::uint32_t Y = 0;  // image row
    std::uint16_t Value = 0;
    double RoiMean = 0.0;  // mean of the ROI in which it was first found
};

// The deviating pixels in order of discovery, at most one entry per position.
// Keeps a position index beside the entries so the duplicate test of
// MakeBadPixelMap takes constant time.
class TBadPixelMap {
public:
    using const_iterator = std::vector<BadPixel>::const_iterator;
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const BadPixel& operator[](std::size_t i) const { return entries_[i]; }
    const std::vector<BadPixel>& Entries() const { return entries_; }

    bool Contains(std::uint32_t x, std::uint32_t y) const;
    // Appends the entry unless its position is already present; true when appended.
    bool Add(const BadPixel& pixel);

private:
    std::vector<BadPixel> entries_;
    // Position index: implementation detail of StatFuncties.cpp.
    std::vector<std::uint64_t> positionBits_;
    std::uint32_t indexWidth_ = 0;
};

// Appends every ROI of rois whose Mean or SNR lies strictly outside
// reference +/- percent/100 * reference, in series order.
void MakeBadROIMap(const TMeetSerie& rois, TBadROIMap& map, double referenceMean, double referenceSNR,
                   double percent);

// Appends every pixel of one ROI block (width values to a row, its first value
// at (leftColumn, topRow)) that lies strictly outside roiMean +/- percent/100 *
// roiMean and is not yet in the map, row by row, left to right.
void MakeBadPixelMap(std::span<const std::uint16_t> block, std::uint32_t leftColumn, std::uint32_t topRow,
                     std::uint32_t width, double roiMean, double percent, TBadPixelMap& map);

}  // namespace evenor
