#include "StatFuncties.h"

#include <algorithm>
#include <cmath>

namespace evenor {

namespace {

// Sum of n values. Partial sums of up to 65,536 values fit 32 bits, which
// lets the compiler vectorise the loop; the total is exact.
std::uint64_t ExactSum(const std::uint16_t* p, std::size_t n) {
    std::uint64_t total = 0;
    while (n > 0) {
        const std::size_t chunk = std::min<std::size_t>(n, 65536);
        std::uint32_t part = 0;
        for (std::size_t i = 0; i < chunk; ++i) part += p[i];
        total += part;
        p += chunk;
        n -= chunk;
    }
    return total;
}

struct RowExtremes {
    std::uint64_t Sum = 0;
    std::uint16_t Maximum = 0;
    std::uint16_t Minimum = 0xFFFF;
};

// Sum, largest and smallest value of one run of n >= 1 values, in one sweep.
// Integer work only, so its order is free.
void SweepRow(const std::uint16_t* p, std::uint32_t n, RowExtremes& e) {
    while (n > 0) {
        const std::uint32_t chunk = std::min<std::uint32_t>(n, 65536);
        std::uint32_t part = 0;
        std::uint16_t hi = e.Maximum;
        std::uint16_t lo = e.Minimum;
        for (std::uint32_t i = 0; i < chunk; ++i) {
            const std::uint16_t v = p[i];
            part += v;
            hi = v > hi ? v : hi;
            lo = v < lo ? v : lo;
        }
        e.Sum += part;
        e.Maximum = hi;
        e.Minimum = lo;
        p += chunk;
        n -= chunk;
    }
}

// Second pass over one run of values: acc = acc + (mean - v)^2 in index order.
double SquaredDifferences(const std::uint16_t* p, std::size_t n, double mean, double acc) {
    for (std::size_t i = 0; i < n; ++i) {
        const double d = mean - static_cast<double>(p[i]);
        acc = acc + d * d;
    }
    return acc;
}

// Second pass of K boxes of equal side at once. Each box's accumulator takes
// its own values strictly in index order (row by row, left to right); only
// the K independent sums are interleaved, so every result equals that of a
// box on its own.
template <int K>
void SquaredDifferencesOfBoxes(const std::uint16_t* const* firsts, std::size_t stride, std::uint32_t side,
                               const double* means, double* accs) {
    double acc[K];
    double mean[K];
    const std::uint16_t* row[K];
    for (int j = 0; j < K; ++j) {
        acc[j] = 0.0;
        mean[j] = means[j];
        row[j] = firsts[j];
    }
    for (std::uint32_t r = 0; r < side; ++r) {
        for (std::uint32_t c = 0; c < side; ++c) {
            for (int j = 0; j < K; ++j) {
                const double d = mean[j] - static_cast<double>(row[j][c]);
                acc[j] = acc[j] + d * d;
            }
        }
        for (int j = 0; j < K; ++j) row[j] += stride;
    }
    for (int j = 0; j < K; ++j) accs[j] = acc[j];
}

double SNRof(double mean, double sd) { return sd != 0.0 ? mean / sd : 0.0; }

// The band of MakeBadPixelMap as integer limits: a value v deviates exactly
// when v > Above or v < Below. For an integer v and a real bound b,
// v > b <=> v > floor(b) and v < b <=> v < ceil(b); bounds beyond the 16-bit
// range are clamped, and a NaN bound compares false for every value.
struct PixelBand {
    std::int32_t Above = 0xFFFF;
    std::int32_t Below = 0;
};

PixelBand BandFor(double roiMean, double percent) {
    const double tolerance = percent / 100.0 * roiMean;
    const double upper = roiMean + tolerance;
    const double lower = roiMean - tolerance;
    PixelBand band;
    if (std::isnan(upper) || upper >= 65535.0)
        band.Above = 0xFFFF;
    else if (upper < 0.0)
        band.Above = -1;
    else
        band.Above = static_cast<std::int32_t>(std::floor(upper));
    if (std::isnan(lower) || lower <= 0.0)
        band.Below = 0;
    else if (lower > 65535.0)
        band.Below = 0x10000;
    else
        band.Below = static_cast<std::int32_t>(std::ceil(lower));
    return band;
}

// Scans `height` rows of `width` values (row r at first + r * stride) whose
// top-left pixel is (left, top) and adds every deviating pixel in order.
void ScanBlock(const std::uint16_t* first, std::size_t stride, std::uint32_t width, std::uint32_t height,
               std::uint32_t left, std::uint32_t top, double roiMean, const PixelBand& band,
               TBadPixelMap& map) {
    for (std::uint32_t r = 0; r < height; ++r) {
        const std::uint16_t* row = first + r * stride;
        for (std::uint32_t c = 0; c < width; ++c) {
            const std::int32_t v = row[c];
            if (v > band.Above || v < band.Below)
                map.Add(BadPixel{left + c, top + r, static_cast<std::uint16_t>(v), roiMean});
        }
    }
}

}  // namespace

std::uint16_t WordMax(std::span<const std::uint16_t> values) {
    std::uint16_t result = 0;
    for (const std::uint16_t v : values) result = v > result ? v : result;
    return result;
}

std::uint16_t WordMin(std::span<const std::uint16_t> values) {
    if (values.empty()) return 0;
    std::uint16_t result = 0xFFFF;
    for (const std::uint16_t v : values) result = v < result ? v : result;
    return result;
}

void WordMeanSD(std::span<const std::uint16_t> values, double& mean, double& sd) {
    const std::size_t n = values.size();
    if (n == 0) {
        mean = 0.0;
        sd = 0.0;
        return;
    }
    if (n == 1) {
        mean = static_cast<double>(values[0]);
        sd = mean;
        return;
    }
    mean = static_cast<double>(ExactSum(values.data(), n)) / static_cast<double>(n);
    sd = std::sqrt(SquaredDifferences(values.data(), n, mean, 0.0) / static_cast<double>(n - 1));
}

void WordMeanSD(const WordBlock& block, double& mean, double& sd) {
    const std::uint64_t n = static_cast<std::uint64_t>(block.Width) * block.Height;
    if (n == 0) {
        mean = 0.0;
        sd = 0.0;
        return;
    }
    if (n == 1) {
        mean = static_cast<double>(block.First[0]);
        sd = mean;
        return;
    }
    std::uint64_t sum = 0;
    for (std::uint32_t r = 0; r < block.Height; ++r) sum += ExactSum(block.First + r * block.Stride, block.Width);
    mean = static_cast<double>(sum) / static_cast<double>(n);
    double acc = 0.0;
    for (std::uint32_t r = 0; r < block.Height; ++r)
        acc = SquaredDifferences(block.First + r * block.Stride, block.Width, mean, acc);
    sd = std::sqrt(acc / static_cast<double>(n - 1));
}

void RealMeanSD(std::span<const double> values, double& mean, double& sd) {
    const std::size_t n = values.size();
    if (n == 0) {
        mean = 0.0;
        sd = 0.0;
        return;
    }
    if (n == 1) {
        mean = values[0];
        sd = values[0];
        return;
    }
    double sum = 0.0;
    for (const double v : values) sum = sum + v;
    mean = sum / static_cast<double>(n);
    double acc = 0.0;
    for (const double v : values) {
        const double d = mean - v;
        acc = acc + d * d;
    }
    sd = std::sqrt(acc / static_cast<double>(n - 1));
}

void BoxStatistics(std::span<const std::uint16_t> image, std::uint32_t columns, std::uint32_t side,
                   std::span<RoiResult> rois) {
    if (side == 0) return;
    const std::uint64_t n = static_cast<std::uint64_t>(side) * side;
    constexpr int kBatch = 8;
    const std::uint16_t* firsts[kBatch];
    double means[kBatch];
    double accs[kBatch];

    std::size_t i = 0;
    while (i < rois.size()) {
        const int count = static_cast<int>(std::min<std::size_t>(kBatch, rois.size() - i));
        // First pass and extremes, box by box: exact integer work.
        for (int j = 0; j < count; ++j) {
            RoiResult& roi = rois[i + j];
            firsts[j] = image.data() + static_cast<std::size_t>(roi.Y) * columns + roi.X;
            RowExtremes e;
            for (std::uint32_t r = 0; r < side; ++r) SweepRow(firsts[j] + static_cast<std::size_t>(r) * columns, side, e);
            roi.Maximum = e.Maximum;
            roi.Minimum = e.Minimum;
            means[j] = static_cast<double>(e.Sum) / static_cast<double>(n);
        }
        // Second pass, the boxes of the batch interleaved.
        switch (count) {
        case 8: SquaredDifferencesOfBoxes<8>(firsts, columns, side, means, accs); break;
        case 7: SquaredDifferencesOfBoxes<7>(firsts, columns, side, means, accs); break;
        case 6: SquaredDifferencesOfBoxes<6>(firsts, columns, side, means, accs); break;
        case 5: SquaredDifferencesOfBoxes<5>(firsts, columns, side, means, accs); break;
        case 4: SquaredDifferencesOfBoxes<4>(firsts, columns, side, means, accs); break;
        case 3: SquaredDifferencesOfBoxes<3>(firsts, columns, side, means, accs); break;
        case 2: SquaredDifferencesOfBoxes<2>(firsts, columns, side, means, accs); break;
        default: SquaredDifferencesOfBoxes<1>(firsts, columns, side, means, accs); break;
        }
        for (int j = 0; j < count; ++j) {
            RoiResult& roi = rois[i + j];
            roi.Mean = means[j];
            roi.SD = n == 1 ? means[j] : std::sqrt(accs[j] / static_cast<double>(n - 1));
            roi.SNR = SNRof(roi.Mean, roi.SD);
        }
        i += static_cast<std::size_t>(count);
    }
}

// ---- Deviation maps -------------------------------------------------------

void TBadPixelMap::SetExtent(std::uint32_t firstColumn, std::uint32_t firstRow, std::uint32_t width,
                             std::uint32_t height) {
    const std::size_t bits = static_cast<std::size_t>(width) * height;
    std::vector<std::uint64_t> fresh((bits + 63) / 64, 0);
    positionBits_.swap(fresh);
    firstColumn_ = firstColumn;
    firstRow_ = firstRow;
    width_ = width;
    height_ = height;
    otherPositions_.clear();
    for (const BadPixel& pixel : entries_) Index(pixel);
}

bool TBadPixelMap::Contains(std::uint32_t x, std::uint32_t y) const {
    if (InExtent(x, y)) {
        const std::size_t bit = BitIndex(x, y);
        return (positionBits_[bit >> 6] >> (bit & 63)) & 1u;
    }
    return otherPositions_.count(static_cast<std::uint64_t>(y) << 32 | x) != 0;
}

void TBadPixelMap::Index(const BadPixel& pixel) {
    if (InExtent(pixel.X, pixel.Y)) {
        const std::size_t bit = BitIndex(pixel.X, pixel.Y);
        positionBits_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
    } else {
        otherPositions_.insert(static_cast<std::uint64_t>(pixel.Y) << 32 | pixel.X);
    }
}

bool TBadPixelMap::Add(const BadPixel& pixel) {
    if (InExtent(pixel.X, pixel.Y)) {
        const std::size_t bit = BitIndex(pixel.X, pixel.Y);
        std::uint64_t& word = positionBits_[bit >> 6];
        const std::uint64_t mask = std::uint64_t{1} << (bit & 63);
        if (word & mask) return false;
        entries_.push_back(pixel);
        word |= mask;
        return true;
    }
    if (!otherPositions_.insert(static_cast<std::uint64_t>(pixel.Y) << 32 | pixel.X).second) return false;
    entries_.push_back(pixel);
    return true;
}

void TBadPixelMap::Append(TBadPixelMap&& later) {
    const bool sameExtent = later.otherPositions_.empty() && otherPositions_.empty() &&
                            later.firstColumn_ == firstColumn_ && later.firstRow_ == firstRow_ &&
                            later.width_ == width_ && later.height_ == height_;
    if (!sameExtent) {
        for (const BadPixel& pixel : later.entries_) Add(pixel);
    } else {
        // later's entries have distinct positions; only those already here drop out.
        std::size_t kept = 0;
        for (const BadPixel& pixel : later.entries_) kept += !Contains(pixel.X, pixel.Y);
        entries_.reserve(entries_.size() + kept);
        for (const BadPixel& pixel : later.entries_)
            if (!Contains(pixel.X, pixel.Y)) entries_.push_back(pixel);
        for (std::size_t w = 0; w < positionBits_.size(); ++w) positionBits_[w] |= later.positionBits_[w];
    }
    later.entries_ = {};
    later.positionBits_ = {};
    later.otherPositions_.clear();
}

void MakeBadROIMap(const TMeetSerie& rois, TBadROIMap& map, double referenceMean, double referenceSNR,
                   double percent) {
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
                     std::uint32_t width, double roiMean, double percent, TBadPixelMap& map) {
    if (width == 0) return;
    const PixelBand band = BandFor(roiMean, percent);
    const std::size_t fullRows = block.size() / width;
    const std::size_t rest = block.size() % width;
    for (std::size_t r = 0; r < fullRows; ++r)
        ScanBlock(block.data() + r * width, width, width, 1, leftColumn, topRow + static_cast<std::uint32_t>(r),
                  roiMean, band, map);
    if (rest > 0)
        ScanBlock(block.data() + fullRows * width, width, static_cast<std::uint32_t>(rest), 1, leftColumn,
                  topRow + static_cast<std::uint32_t>(fullRows), roiMean, band, map);
}

void MakeBadPixelMapOfBox(std::span<const std::uint16_t> image, std::uint32_t columns, std::uint32_t side,
                          const RoiResult& roi, double percent, TBadPixelMap& map) {
    const PixelBand band = BandFor(roi.Mean, percent);
    if (roi.Maximum <= band.Above && roi.Minimum >= band.Below) return;
    ScanBlock(image.data() + static_cast<std::size_t>(roi.Y) * columns + roi.X, columns, side, side, roi.X, roi.Y,
              roi.Mean, band, map);
}

}  // namespace evenor
