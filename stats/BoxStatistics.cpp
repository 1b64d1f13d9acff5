#include "stats/BoxStatistics.h"

#include <algorithm>
#include <cmath>
#include <vector>
#if defined(__x86_64__) && defined(__GNUC__)
#define EVENOR_X86_TARGETS 1
#include <immintrin.h>
#endif

#include "stats/PixelScan.h"
#include "stats/SignalToNoise.h"

namespace evenor {

namespace {

struct RowExtremes {
    std::uint64_t Sum = 0;
    std::uint16_t Maximum = 0;
    std::uint16_t Minimum = 0xFFFF;
};

// Sum, largest and smallest value of one run of n >= 1 values, in one sweep.
// Integer work only, so its order is free.
// (ThreadSanitizer builds go without: it runs no code before it has started,
// and the clones' resolver runs while the program is being loaded.)
#if defined(EVENOR_X86_TARGETS) && !defined(EVENOR_NO_TARGET_CLONES)
__attribute__((target_clones("avx2", "default")))
#endif
void SweepRow(const std::uint16_t* p, std::uint32_t n, RowExtremes& e)
{
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

// Second pass of K boxes of equal shape at once: `rows` runs of `length`
// values each, run r of box j starting at firsts[j] + r * stride. Each box's
// accumulator takes its own values strictly in index order; only the K
// independent sums are interleaved, so every result equals that of a box on
// its own.
template <int K>
void SquaredDifferencesOfBoxes(const std::uint16_t* const* firsts, std::size_t stride, std::size_t rows,
                               std::size_t length, const double* means, double* accs)
{
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
                                                                        double* accs)
{
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

bool HasAvx2()
{
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

void SquaredDifferencesOfBoxes(int count, const std::uint16_t* const* firsts, std::size_t stride, std::size_t rows,
                               std::size_t length, const double* means, double* accs)
{
#if defined(EVENOR_AVX2_BOXES)
    if (count == 8 && HasAvx2()) {
        SquaredDifferencesOfEightBoxesAvx2(firsts, stride, rows, length, means, accs);
        return;
    }
#endif
    switch (count) {
    case 8:
        SquaredDifferencesOfBoxes<8>(firsts, stride, rows, length, means, accs);
        break;
    case 7:
        SquaredDifferencesOfBoxes<7>(firsts, stride, rows, length, means, accs);
        break;
    case 6:
        SquaredDifferencesOfBoxes<6>(firsts, stride, rows, length, means, accs);
        break;
    case 5:
        SquaredDifferencesOfBoxes<5>(firsts, stride, rows, length, means, accs);
        break;
    case 4:
        SquaredDifferencesOfBoxes<4>(firsts, stride, rows, length, means, accs);
        break;
    case 3:
        SquaredDifferencesOfBoxes<3>(firsts, stride, rows, length, means, accs);
        break;
    case 2:
        SquaredDifferencesOfBoxes<2>(firsts, stride, rows, length, means, accs);
        break;
    default:
        SquaredDifferencesOfBoxes<1>(firsts, stride, rows, length, means, accs);
        break;
    }
}

// Copies a batch of boxes into buffer and points firsts at them. Boxes stacked
// in one column with non-decreasing tops (as the grid lays them) are copied as
// the strip they cover together, so that each pixel is read from the image
// once; others box by box. Either way each box ends up as one contiguous run
// of side x side values.
void CopyBatch(std::span<const std::uint16_t> image, std::uint32_t columns, std::uint32_t side,
               std::span<const RoiResult> group, std::vector<std::uint16_t>& buffer, const std::uint16_t** firsts)
{
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
                   std::span<RoiResult> rois, const PixelDeviationSearch* search)
{
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
            roi.SNR = SignalToNoise(roi.Mean, roi.SD);
            if (search == nullptr || search->Map == nullptr) continue;
            const PixelBand band = BandFor(roi.Mean, search->Percent);
            // Extremes within the band: no pixel of the box deviates.
            if (roi.Maximum <= band.Above && roi.Minimum >= band.Below) continue;
            ScanBlock(firsts[j], stride, side, side, roi.X, roi.Y, roi.Mean, band, *search->Map);
        }
        i += static_cast<std::size_t>(count);
    }
}

}  // namespace evenor
