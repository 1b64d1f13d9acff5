#include "StatFuncties.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>
#include <stdexcept>
#if defined(__x86_64__) && defined(__GNUC__)
#define EVENOR_X86_TARGETS 1
#include <immintrin.h>
#endif

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
#if defined(EVENOR_X86_TARGETS)
__attribute__((target_clones("avx2", "default")))
#endif
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

// Second pass of K boxes of equal shape at once: `rows` runs of `length`
// values each, run r of box j starting at firsts[j] + r * stride. Each box's
// accumulator takes its own values strictly in index order; only the K
// independent sums are interleaved, so every result equals that of a box on
// its own.
template <int K>
void SquaredDifferencesOfBoxes(const std::uint16_t* const* firsts, std::size_t stride, std::size_t rows,
                               std::size_t length, const double* means, double* accs) {
    double acc[K];
    double mean[K];
    const std::uint16_t* row[K];
    for (int j = 0; j < K; ++j) {
        acc[j] = 0.0;
        mean[j] = means[j];
        row[j] = firsts[j];
    }
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < length; ++c) {
            for (int j = 0; j < K; ++j) {
                const double d = mean[j] - static_cast<double>(row[j][c]);
                acc[j] = acc[j] + d * d;
            }
        }
        for (int j = 0; j < K; ++j) row[j] += stride;
    }
    for (int j = 0; j < K; ++j) accs[j] = acc[j];
}

#if defined(EVENOR_X86_TARGETS)
#define EVENOR_AVX2_BOXES 1

// Eight boxes' second passes with 256-bit vectors, in two groups of four.
// Lane j of a group's accumulator is box j's acc. Four consecutive values of
// each box are squared side by side and the 4 x 4 block is transposed, so
// that each accumulator still receives its box's squares one at a time in
// index order: the additions, and every rounding, are those of the scalar
// loop. Subtraction, multiplication and addition are separate instructions
// (no fused multiply-add).
__attribute__((target("avx2"))) void SquaredDifferencesOfEightBoxesAvx2(const std::uint16_t* const* firsts,
                                                                        std::size_t stride, std::size_t rows,
                                                                        std::size_t length, const double* means,
                                                                        double* accs) {
    __m256d acc[2] = {_mm256_setzero_pd(), _mm256_setzero_pd()};
    __m256d mean[8];
    for (int j = 0; j < 8; ++j) mean[j] = _mm256_set1_pd(means[j]);
    const std::uint16_t* row[8];
    for (int j = 0; j < 8; ++j) row[j] = firsts[j];
    for (std::size_t r = 0; r < rows; ++r) {
        std::size_t c = 0;
        for (; c + 4 <= length; c += 4) {
            for (int g = 0; g < 2; ++g) {
                __m256d sq[4];
                for (int i = 0; i < 4; ++i) {
                    const int j = 4 * g + i;
                    const __m128i words = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row[j] + c));
                    const __m256d v = _mm256_cvtepi32_pd(_mm_cvtepu16_epi32(words));
                    const __m256d d = _mm256_sub_pd(mean[j], v);
                    sq[i] = _mm256_mul_pd(d, d);
                }
                const __m256d lo01 = _mm256_unpacklo_pd(sq[0], sq[1]);
                const __m256d hi01 = _mm256_unpackhi_pd(sq[0], sq[1]);
                const __m256d lo23 = _mm256_unpacklo_pd(sq[2], sq[3]);
                const __m256d hi23 = _mm256_unpackhi_pd(sq[2], sq[3]);
                acc[g] = _mm256_add_pd(acc[g], _mm256_permute2f128_pd(lo01, lo23, 0x20));  // value c
                acc[g] = _mm256_add_pd(acc[g], _mm256_permute2f128_pd(hi01, hi23, 0x20));  // c + 1
                acc[g] = _mm256_add_pd(acc[g], _mm256_permute2f128_pd(lo01, lo23, 0x31));  // c + 2
                acc[g] = _mm256_add_pd(acc[g], _mm256_permute2f128_pd(hi01, hi23, 0x31));  // c + 3
            }
        }
        for (; c < length; ++c) {
            for (int g = 0; g < 2; ++g) {
                double sq[4];
                for (int i = 0; i < 4; ++i) {
                    const int j = 4 * g + i;
                    const double d = means[j] - static_cast<double>(row[j][c]);
                    sq[i] = d * d;
                }
                acc[g] = _mm256_add_pd(acc[g], _mm256_loadu_pd(sq));
            }
        }
        for (int j = 0; j < 8; ++j) row[j] += stride;
    }
    _mm256_storeu_pd(accs, acc[0]);
    _mm256_storeu_pd(accs + 4, acc[1]);
}

bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

void SquaredDifferencesOfBoxes(int count, const std::uint16_t* const* firsts, std::size_t stride, std::size_t rows,
                               std::size_t length, const double* means, double* accs) {
#if defined(EVENOR_AVX2_BOXES)
    if (count == 8 && HasAvx2()) {
        SquaredDifferencesOfEightBoxesAvx2(firsts, stride, rows, length, means, accs);
        return;
    }
#endif
    switch (count) {
    case 8: SquaredDifferencesOfBoxes<8>(firsts, stride, rows, length, means, accs); break;
    case 7: SquaredDifferencesOfBoxes<7>(firsts, stride, rows, length, means, accs); break;
    case 6: SquaredDifferencesOfBoxes<6>(firsts, stride, rows, length, means, accs); break;
    case 5: SquaredDifferencesOfBoxes<5>(firsts, stride, rows, length, means, accs); break;
    case 4: SquaredDifferencesOfBoxes<4>(firsts, stride, rows, length, means, accs); break;
    case 3: SquaredDifferencesOfBoxes<3>(firsts, stride, rows, length, means, accs); break;
    case 2: SquaredDifferencesOfBoxes<2>(firsts, stride, rows, length, means, accs); break;
    default: SquaredDifferencesOfBoxes<1>(firsts, stride, rows, length, means, accs); break;
    }
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

}  // namespace

// Adds the deviating pixels of one run of `count` values of row y, the first
// at column x, in order. Where the run lies inside the map's extent it is
// handled one bitmap word at a time: the deviating pixels of the word's
// stretch of the run are found as a bit mask (eight comparisons at once),
// the positions already present are masked off with the word itself, and
// only the new ones are appended, lowest column first. No decision per pixel
// is left to a branch.
struct BadPixelScan {
    // Bit i set when values[i] deviates, for n <= 64 values.
    static std::uint64_t DeviatingMask(const std::uint16_t* values, std::uint32_t n, const PixelBand& band) {
        std::uint64_t mask = 0;
        std::uint32_t i = 0;
#if defined(EVENOR_X86_TARGETS)
        // Unsigned 16-bit order as signed order after flipping the top bit.
        const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
        const __m128i above = _mm_set1_epi16(static_cast<short>(band.Above ^ 0x8000));
        const __m128i below = _mm_set1_epi16(static_cast<short>(band.Below ^ 0x8000));
        for (; i + 16 <= n; i += 16) {
            const __m128i a = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(values + i)), flip);
            const __m128i b = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(values + i + 8)), flip);
            const __m128i da = _mm_or_si128(_mm_cmpgt_epi16(a, above), _mm_cmpgt_epi16(below, a));
            const __m128i db = _mm_or_si128(_mm_cmpgt_epi16(b, above), _mm_cmpgt_epi16(below, b));
            const auto bits = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(da, db)));
            mask |= static_cast<std::uint64_t>(bits) << i;
        }
#endif
        for (; i < n; ++i) {
            const std::int32_t v = values[i];
            mask |= static_cast<std::uint64_t>((v > band.Above) | (v < band.Below)) << i;
        }
        return mask;
    }

    static void Run(TBadPixelMap& map, const std::uint16_t* values, std::uint32_t count, std::uint32_t x,
                    std::uint32_t y, double roiMean, const PixelBand& band) {
        if (count == 0) return;
        const bool inside = map.InExtent(x, y) && map.InExtent(x + (count - 1), y);
        // A band that takes in every value, or a run partly outside the
        // bitmap: pixel by pixel.
        if (!inside || band.Above < 0 || band.Below > 0xFFFF) {
            for (std::uint32_t c = 0; c < count; ++c) {
                const std::int32_t v = values[c];
                if (v > band.Above || v < band.Below) map.Add(BadPixel{x + c, y, values[c], roiMean});
            }
            return;
        }
        map.MakeRoom(count);
        std::uint64_t* bits = map.positionBits_.data();
        std::vector<BadPixel>& entries = map.entries_;
        std::size_t bit = map.BitIndex(x, y);
        for (std::uint32_t c = 0; c < count;) {
            const auto offset = static_cast<std::uint32_t>(bit & 63);
            const std::uint32_t n = std::min(64 - offset, count - c);
            const std::uint64_t deviating = DeviatingMask(values + c, n, band) << offset;
            std::uint64_t& word = bits[bit >> 6];
            std::uint64_t fresh = deviating & ~word;
            word |= deviating;
            while (fresh != 0) {
                const auto b = static_cast<std::uint32_t>(std::countr_zero(fresh));
                const std::uint32_t k = c + (b - offset);
                entries.push_back(BadPixel{x + k, y, values[k], roiMean});
                fresh &= fresh - 1;
            }
            c += n;
            bit += n;
        }
    }
};

namespace {

// Scans `height` rows of `width` values (row r at first + r * stride) whose
// top-left pixel is (left, top) and adds every deviating pixel in order.
void ScanBlock(const std::uint16_t* first, std::size_t stride, std::uint32_t width, std::uint32_t height,
               std::uint32_t left, std::uint32_t top, double roiMean, const PixelBand& band, TBadPixelMap& map) {
    for (std::uint32_t r = 0; r < height; ++r)
        BadPixelScan::Run(map, first + r * stride, width, left, top + r, roiMean, band);
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

namespace {

// Copies a batch of boxes into buffer and points firsts at them. Boxes stacked
// in one column with non-decreasing tops (as the grid lays them) are copied as
// the strip they cover together, so that each pixel is read from the image
// once; others box by box. Either way each box ends up as one contiguous run
// of side x side values.
void CopyBatch(std::span<const std::uint16_t> image, std::uint32_t columns, std::uint32_t side,
               std::span<const RoiResult> group, std::vector<std::uint16_t>& buffer, const std::uint16_t** firsts) {
    auto source = [&](const RoiResult& roi) {
        return image.data() + static_cast<std::size_t>(roi.Y) * columns + roi.X;
    };
    auto copyRows = [&](const std::uint16_t* from, std::uint64_t rows, std::uint16_t* to) {
        for (std::uint64_t r = 0; r < rows; ++r) std::copy_n(from + r * columns, side, to + r * side);
    };
    bool strip = true;
    for (std::size_t j = 1; j < group.size(); ++j)
        strip = strip && group[j].X == group[0].X && group[j].Y >= group[j - 1].Y;
    const std::uint64_t stripRows = static_cast<std::uint64_t>(group.back().Y) - group[0].Y + side;
    if (strip && stripRows <= group.size() * static_cast<std::uint64_t>(side)) {
        copyRows(source(group[0]), stripRows, buffer.data());
        for (std::size_t j = 0; j < group.size(); ++j)
            firsts[j] = buffer.data() + static_cast<std::size_t>(group[j].Y - group[0].Y) * side;
    } else {
        for (std::size_t j = 0; j < group.size(); ++j) {
            std::uint16_t* to = buffer.data() + j * static_cast<std::size_t>(side) * side;
            copyRows(source(group[j]), side, to);
            firsts[j] = to;
        }
    }
}

}  // namespace

void BoxStatistics(std::span<const std::uint16_t> image, std::uint32_t columns, std::uint32_t side,
                   std::span<RoiResult> rois, const PixelDeviationSearch* search) {
    if (side == 0 || rois.empty()) return;
    constexpr int kBatch = 8;
    constexpr std::size_t kBufferValues = 1 << 20;
    const std::size_t boxValues = static_cast<std::size_t>(side) * side;
    const bool buffered = boxValues <= kBufferValues;
    const int batch = buffered ? static_cast<int>(std::clamp<std::size_t>(kBufferValues / boxValues, 1, kBatch)) : 1;
    std::vector<std::uint16_t> buffer(buffered ? std::min<std::size_t>(batch, rois.size()) * boxValues : 0);

    const std::uint16_t* firsts[kBatch];
    double means[kBatch];
    double accs[kBatch];
    for (std::size_t i = 0; i < rois.size();) {
        const int count = static_cast<int>(std::min<std::size_t>(batch, rois.size() - i));
        const std::span<RoiResult> group = rois.subspan(i, static_cast<std::size_t>(count));
        if (buffered) {
            CopyBatch(image, columns, side, group, buffer, firsts);
        } else {
            for (int j = 0; j < count; ++j)
                firsts[j] = image.data() + static_cast<std::size_t>(group[j].Y) * columns + group[j].X;
        }
        const std::size_t stride = buffered ? side : columns;
        // A buffered box is one contiguous run of side x side (at most 2^20) values.
        const std::size_t runs = buffered ? 1 : side;
        const std::size_t length = buffered ? boxValues : side;

        // First pass and extremes, box by box: exact integer work.
        for (int j = 0; j < count; ++j) {
            RowExtremes e;
            for (std::size_t r = 0; r < runs; ++r)
                SweepRow(firsts[j] + r * stride, static_cast<std::uint32_t>(length), e);
            group[j].Maximum = e.Maximum;
            group[j].Minimum = e.Minimum;
            means[j] = static_cast<double>(e.Sum) / static_cast<double>(boxValues);
        }
        // Second pass, the boxes of the batch side by side.
        SquaredDifferencesOfBoxes(count, firsts, stride, runs, length, means, accs);
        for (int j = 0; j < count; ++j) {
            RoiResult& roi = group[j];
            roi.Mean = means[j];
            roi.SD = boxValues == 1 ? means[j] : std::sqrt(accs[j] / static_cast<double>(boxValues - 1));
            roi.SNR = SNRof(roi.Mean, roi.SD);
            if (search == nullptr || search->Map == nullptr) continue;
            const PixelBand band = BandFor(roi.Mean, search->Percent);
            // Extremes within the band: no pixel of the box deviates.
            if (roi.Maximum <= band.Above && roi.Minimum >= band.Below) continue;
            ScanBlock(firsts[j], stride, side, side, roi.X, roi.Y, roi.Mean, band, *search->Map);
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
    reservedExtent_ = false;
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

// Once a map holds many entries, room for one entry per position of the
// extent is asked for in one step: the address space is only reserved, pages
// are touched as entries arrive, and the entries are never moved again (nor
// when a second map is appended). Where the system refuses so large a
// reservation, the vector grows as usual.
void TBadPixelMap::MakeRoom(std::size_t count) {
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
        } catch (const std::length_error&) {
        }
    }
    entries_.reserve(std::max(entries_.size() + count, 2 * entries_.capacity()));
}

bool TBadPixelMap::AddOutsideExtent(const BadPixel& pixel) {
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
    for (std::size_t k = 0; k < block.size(); ++k) {
        const std::int32_t v = block[k];
        if (v > band.Above || v < band.Below)
            map.Add(BadPixel{leftColumn + static_cast<std::uint32_t>(k % width),
                             topRow + static_cast<std::uint32_t>(k / width), block[k], roiMean});
    }
}

}  // namespace evenor
