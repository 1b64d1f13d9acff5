#include "insight/RobustMetrics.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "insight/LineProfiles.h"
#include "stats/SignalToNoise.h"
#include "stats/ZeroedWords.h"

namespace evenor {

namespace {

// One bit per pixel of the evaluated area: set for a deviating pixel. A
// spare word at the end lets Window read 64 bits from any position. The
// words come zeroed from the system, so only the pages that hold a deviating
// pixel or are read by a recomputed box are ever touched (a few hot pixels
// cost a few pages, not the area's megabytes).
class AreaMask {
public:
    AreaMask(const AnalysisSettings& s, const TBadPixelMap& map)
        : left_(s.FirstColumn), top_(s.FirstRow), width_(s.LastColumn - s.FirstColumn + 1),
          height_(s.LastRow - s.FirstRow + 1), bits_(MakeZeroedWords((std::size_t{width_} * height_ + 63) / 64 + 1))
    {
        for (const BadPixel& pixel : map)
            if (pixel.X - left_ < width_ && pixel.Y - top_ < height_) {
                const std::size_t bit = Bit(pixel.X, pixel.Y);
                bits_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
            }
    }
    std::size_t Bit(std::uint32_t x, std::uint32_t y) const
    {
        return static_cast<std::size_t>(y - top_) * width_ + (x - left_);
    }
    // The 64 bits from bit on (bit i of the result: pixel bit + i).
    std::uint64_t Window(std::size_t bit) const
    {
        const std::size_t word = bit >> 6;
        const unsigned shift = bit & 63;
        if (shift == 0) return bits_[word];
        return (bits_[word] >> shift) | (bits_[word + 1] << (64 - shift));
    }

private:
    std::uint32_t left_, top_, width_, height_;
    ZeroedWords bits_;
};

// Bits 0 .. length - 1 set (length 1 to 64).
std::uint64_t LowBits(std::uint32_t length)
{
    return length >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << length) - 1;
}

// For each byte of mask bits, eight 16-bit masks: all ones where the bit is
// clear (a kept pixel), 0 where it is set.
struct KeepTable {
    std::uint16_t Keep[256][8];
    KeepTable()
    {
        for (unsigned b = 0; b < 256; ++b)
            for (unsigned i = 0; i < 8; ++i) Keep[b][i] = (b >> i) & 1u ? 0 : 0xFFFF;
    }
};
const KeepTable kKeep;

// A box being computed again: where it lies and what its first pass gave.
struct BoxPass {
    RoiResult* Roi = nullptr;
    std::uint32_t* Left = nullptr;
    std::uint64_t Sum = 0, Count = 0;
    std::uint16_t Maximum = 0, Minimum = 0xFFFF;
    double Mean = 0.0;
};

// The first pass: the exact sum, count, maximum and minimum of the kept
// pixels. Each row is taken in pieces of up to 64 pixels with their 64 mask
// bits; a left-out pixel is masked to 0 for the sum and the maximum and to
// 0xFFFF for the minimum, so the loop has no branch per pixel and the
// compiler can vectorise it.
void FirstPass(BoxPass& box, std::uint32_t side, const std::uint16_t* pixels, std::uint32_t columns,
               const AreaMask& mask)
{
    const RoiResult& roi = *box.Roi;
    std::uint64_t sum = 0, left = 0;
    std::uint16_t maximum = 0, minimum = 0xFFFF;
    alignas(16) std::uint16_t keep[64];
    for (std::uint32_t r = 0; r < side; ++r) {
        const std::uint16_t* row = pixels + static_cast<std::size_t>(roi.Y + r) * columns + roi.X;
        const std::size_t bit = mask.Bit(roi.X, roi.Y + r);
        for (std::uint32_t c = 0; c < side; c += 64) {
            const std::uint32_t length = std::min<std::uint32_t>(64, side - c);
            const std::uint64_t out = mask.Window(bit + c) & LowBits(length);
            const std::uint16_t* piece = row + c;
            std::uint32_t part = 0;
            std::uint16_t high = 0, low = 0xFFFF;
            if (out == 0) {
                for (std::uint32_t i = 0; i < length; ++i) {
                    part += piece[i];
                    high = std::max(high, piece[i]);
                    low = std::min(low, piece[i]);
                }
            } else {
                for (unsigned b = 0; b < 8; ++b) std::memcpy(keep + 8 * b, kKeep.Keep[(out >> (8 * b)) & 0xFF], 16);
                for (std::uint32_t i = 0; i < length; ++i) {
                    const std::uint16_t kept = piece[i] & keep[i];
                    part += kept;
                    high = std::max(high, kept);
                    low = std::min(low, static_cast<std::uint16_t>(piece[i] | static_cast<std::uint16_t>(~keep[i])));
                }
                left += static_cast<std::uint64_t>(std::popcount(out));
            }
            sum += part;
            maximum = std::max(maximum, high);
            minimum = std::min(minimum, low);
        }
    }
    box.Sum = sum;
    box.Count = std::uint64_t{side} * side - left;
    *box.Left = static_cast<std::uint32_t>(left);
    box.Maximum = maximum;
    box.Minimum = minimum;
}

// The second pass of K boxes at once: per box acc = acc + (mean - v)^2 over
// its kept pixels, row by row, left to right. A left-out pixel adds
// (mean - v)^2 * 0.0 = +0.0 (the square is finite and not negative), and
// acc + 0.0 is acc (acc is never -0.0); a kept one adds its square * 1.0.
// So every box's sum is that of WordMeanSD on its kept pixels in index
// order, bit for bit, and the loop has no branch to mispredict. Running K
// boxes side by side only lets their separate additions overlap in time.
constexpr double kKeepFactor[2] = {1.0, 0.0};

template <int K>
void SecondPass(BoxPass* const* boxes, std::uint32_t side, const std::uint16_t* pixels, std::uint32_t columns,
                const AreaMask& mask)
{
    double acc[K], mean[K];
    for (int j = 0; j < K; ++j) {
        acc[j] = 0.0;
        mean[j] = boxes[j]->Mean;
    }
    for (std::uint32_t r = 0; r < side; ++r) {
        const std::uint16_t* row[K];
        std::size_t bit[K];
        for (int j = 0; j < K; ++j) {
            const RoiResult& roi = *boxes[j]->Roi;
            row[j] = pixels + static_cast<std::size_t>(roi.Y + r) * columns + roi.X;
            bit[j] = mask.Bit(roi.X, roi.Y + r);
        }
        for (std::uint32_t c = 0; c < side; c += 64) {
            const std::uint32_t length = std::min<std::uint32_t>(64, side - c);
            std::uint64_t out[K];
            for (int j = 0; j < K; ++j) out[j] = mask.Window(bit[j] + c);
            for (std::uint32_t i = 0; i < length; ++i)
                for (int j = 0; j < K; ++j) {
                    const double d = mean[j] - static_cast<double>(row[j][c + i]);
                    acc[j] = acc[j] + d * d * kKeepFactor[(out[j] >> i) & 1u];
                }
        }
    }
    for (int j = 0; j < K; ++j) {
        BoxPass& box = *boxes[j];
        RoiResult& roi = *box.Roi;
        roi.Maximum = box.Maximum;
        roi.Minimum = box.Minimum;
        roi.Mean = box.Mean;
        roi.SD = std::sqrt(acc[j] / static_cast<double>(box.Count - 1));
        roi.SNR = SignalToNoise(roi.Mean, roi.SD);
    }
}

// For each coordinate first .. first + count - 1: the indices [begin, end)
// into the ascending positions of the boxes of `side` that contain it
// (positions p with p <= v < p + side). One sweep, so that a pixel finds its
// boxes by two look-ups.
std::vector<std::pair<std::uint32_t, std::uint32_t>> CoveringTable(const std::vector<std::uint32_t>& positions,
                                                                   std::uint32_t first, std::uint32_t count,
                                                                   std::uint32_t side)
{
    std::vector<std::pair<std::uint32_t, std::uint32_t>> table(count);
    std::size_t begin = 0, end = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t v = std::uint64_t{first} + i;
        while (end < positions.size() && positions[end] <= v) ++end;
        while (begin < end && std::uint64_t{positions[begin]} + side <= v) ++begin;
        table[i] = {static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(end)};
    }
    return table;
}

constexpr std::string_view kWithoutText = "; ROI statistics without the deviating pixels";
constexpr std::string_view kEveryPixelText = "; every pixel included";
constexpr std::string_view kNotSearchedText = "; every pixel included (deviating pixels were not searched)";

}  // namespace

RobustRoiStatistics ComputeRobustRoiStatistics(const AnalysisResult& result, const AnalysisSettings& settings,
                                               std::span<const std::uint16_t> pixels, std::uint32_t columns,
                                               std::uint64_t areaSum)
{
    RobustRoiStatistics robust;
    robust.Rois = result.Rois;
    robust.LeftOut.assign(result.Rois.size(), 0);
    robust.AreaMean = result.AreaMean;
    robust.MeanRoiSNR = result.MeanRoiSNR;
    robust.RoiSNRSD = result.RoiSNRSD;
    const TBadPixelMap& map = result.BadPixelMap;
    if (map.empty() || result.Rois.empty()) return robust;

    // Which grid positions hold a deviating pixel.
    const RoiLattice lattice = BuildRoiLattice(result.Rois);
    const std::uint32_t side = result.BoxPixels;
    std::vector<std::uint8_t> touched(lattice.Xs.size() * lattice.Ys.size(), 0);
    std::uint64_t leftSum = 0, leftCount = 0;
    const PixelRect area{settings.FirstColumn, settings.FirstRow, settings.LastColumn - settings.FirstColumn + 1,
                         settings.LastRow - settings.FirstRow + 1};
    const auto columnBoxes = CoveringTable(lattice.Xs, area.Left, area.Width, side);
    const auto rowBoxes = CoveringTable(lattice.Ys, area.Top, area.Height, side);
    for (const BadPixel& pixel : map) {
        if (pixel.X - area.Left >= area.Width || pixel.Y - area.Top >= area.Height) continue;
        leftSum += pixel.Value;
        ++leftCount;
        const auto [x0, x1] = columnBoxes[pixel.X - area.Left];
        const auto [y0, y1] = rowBoxes[pixel.Y - area.Top];
        for (std::size_t i = x0; i < x1; ++i)
            for (std::size_t k = y0; k < y1; ++k) touched[i * lattice.Ys.size() + k] = 1;
    }

    const AreaMask mask(settings, map);
    // First passes; a box left with fewer than 2 pixels keeps its statistics.
    std::vector<BoxPass> boxes;
    for (std::size_t i = 0; i < robust.Rois.size(); ++i) {
        if (!touched[std::size_t{lattice.Column[i]} * lattice.Ys.size() + lattice.Row[i]]) continue;
        BoxPass box;
        box.Roi = &robust.Rois[i];
        box.Left = &robust.LeftOut[i];
        FirstPass(box, side, pixels.data(), columns, mask);
        if (box.Count < 2) {
            ++robust.KeptWholeRois;
            continue;
        }
        box.Mean = static_cast<double>(box.Sum) / static_cast<double>(box.Count);
        boxes.push_back(box);
    }
    robust.RecomputedRois = boxes.size();
    std::size_t next = 0;
    for (; next + 4 <= boxes.size(); next += 4) {
        BoxPass* const group[4] = {&boxes[next], &boxes[next + 1], &boxes[next + 2], &boxes[next + 3]};
        SecondPass<4>(group, side, pixels.data(), columns, mask);
    }
    for (; next < boxes.size(); ++next) {
        BoxPass* const one[1] = {&boxes[next]};
        SecondPass<1>(one, side, pixels.data(), columns, mask);
    }

    const std::uint64_t areaCount = std::uint64_t{area.Width} * area.Height;
    if (leftCount < areaCount)
        robust.AreaMean = static_cast<double>(areaSum - leftSum) / static_cast<double>(areaCount - leftCount);
    std::vector<double> snrs(robust.Rois.size());
    for (std::size_t i = 0; i < snrs.size(); ++i) snrs[i] = robust.Rois[i].SNR;
    RealMeanSD(snrs, robust.MeanRoiSNR, robust.RoiSNRSD);
    return robust;
}

RobustMetrics ComputeRobustMetrics(const AnalysisResult& result, const AnalysisSettings& settings,
                                   const RobustRoiStatistics& statistics)
{
    RobustMetrics metrics;
    metrics.EveryPixel = ComputeMetrics(result);
    if (!settings.DetectDeviatingPixels) {
        metrics.Robust = metrics.EveryPixel;
        metrics.Basis = PixelBasis::EveryPixelNotSearched;
        return metrics;
    }
    metrics.Basis = PixelBasis::WithoutDeviatingPixels;
    if (result.BadPixelMap.empty()) {
        metrics.Robust = metrics.EveryPixel;  // nothing to leave out
        return metrics;
    }
    metrics.Robust = ComputeMetrics(statistics.Rois, statistics.AreaMean, statistics.MeanRoiSNR);
    metrics.Robust.BoxPixels = metrics.EveryPixel.BoxPixels;
    metrics.Robust.DeviatingRoiCount = metrics.EveryPixel.DeviatingRoiCount;
    metrics.Robust.DeviatingPixelCount = metrics.EveryPixel.DeviatingPixelCount;
    return metrics;
}

std::string MetricDescription(MetricId id, PixelBasis basis)
{
    std::string text(InfoOf(id).Description);
    switch (basis) {
    case PixelBasis::WithoutDeviatingPixels:
        text += kWithoutText;
        break;
    case PixelBasis::EveryPixelNotSearched:
        text += kNotSearchedText;
        break;
    case PixelBasis::EveryPixel:
        text += kEveryPixelText;
        break;
    }
    return text;
}

}  // namespace evenor
