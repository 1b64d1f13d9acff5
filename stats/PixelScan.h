#pragma once
// Inside the statistics library only: the pixel band of MakeBadPixelMap and
// the scan of one block for deviating pixels, shared by the deviation maps
// and the batched box statistics. Inline, so that the box statistics' search
// compiles into its loop as one piece.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "stats/DeviationMaps.h"

namespace evenor {

// The band of MakeBadPixelMap as integer limits: a value v deviates exactly
// when v > Above or v < Below. For an integer v and a real bound b,
// v > b <=> v > floor(b) and v < b <=> v < ceil(b); bounds beyond the 16-bit
// range are clamped, and a NaN bound compares false for every value.
struct PixelBand {
    std::int32_t Above = 0xFFFF;
    std::int32_t Below = 0;
};

inline PixelBand BandFor(double roiMean, double percent)
{
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

// Adds the deviating pixels of one run of `count` values of row y, the first
// at column x, in order. Where the run lies inside the map's extent it is
// handled one bitmap word at a time: the deviating pixels of the word's
// stretch of the run are found as a bit mask (eight comparisons at once),
// the positions already present are masked off with the word itself, and
// only the new ones are appended, lowest column first. No decision per pixel
// is left to a branch.
struct BadPixelScan {
    // Bit i set when values[i] deviates, for n <= 64 values.
    static std::uint64_t DeviatingMask(const std::uint16_t* values, std::uint32_t n, const PixelBand& band)
    {
        std::uint64_t mask = 0;
        std::uint32_t i = 0;
#if defined(__x86_64__) && defined(__GNUC__)
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
                    std::uint32_t y, double roiMean, const PixelBand& band)
    {
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
        std::uint64_t* bits = map.positionBits_.get();
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

// Scans `height` rows of `width` values (row r at first + r * stride) whose
// top-left pixel is (left, top) and adds every deviating pixel in order.
inline void ScanBlock(const std::uint16_t* first, std::size_t stride, std::uint32_t width, std::uint32_t height,
                      std::uint32_t left, std::uint32_t top, double roiMean, const PixelBand& band, TBadPixelMap& map)
{
    for (std::uint32_t r = 0; r < height; ++r)
        BadPixelScan::Run(map, first + r * stride, width, left, top + r, roiMean, band);
}

}  // namespace evenor
