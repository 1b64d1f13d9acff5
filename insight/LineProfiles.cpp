#include "insight/LineProfiles.h"

#include <algorithm>

namespace evenor {

namespace {

// 32-bit accumulators hold 65,537 sums of 16-bit values; longer runs are cut
// into chunks of this many and carried into 64 bits.
constexpr std::uint32_t kChunk = 65536;

double MeanOf(std::uint64_t sum, std::uint32_t count)
{
    return count != 0 ? static_cast<double>(sum) / static_cast<double>(count) : 0.0;
}

}  // namespace

double LineProfiles::RowMean(std::size_t row) const { return MeanOf(RowSum[row], RowCount[row]); }
double LineProfiles::ColumnMean(std::size_t column) const { return MeanOf(ColumnSum[column], ColumnCount[column]); }

std::vector<double> LineProfiles::RowMeans() const
{
    std::vector<double> means(RowSum.size());
    for (std::size_t i = 0; i < means.size(); ++i) means[i] = RowMean(i);
    return means;
}

std::vector<double> LineProfiles::ColumnMeans() const
{
    std::vector<double> means(ColumnSum.size());
    for (std::size_t i = 0; i < means.size(); ++i) means[i] = ColumnMean(i);
    return means;
}

LineProfiles MeasureLineProfiles(std::span<const std::uint16_t> pixels, std::uint32_t columns, PixelRect rect)
{
    LineProfiles profiles;
    profiles.Rect = rect;
    profiles.RowSum.assign(rect.Height, 0);
    profiles.RowCount.assign(rect.Height, rect.Width);
    profiles.ColumnSum.assign(rect.Width, 0);
    profiles.ColumnCount.assign(rect.Width, rect.Height);
    profiles.Count = std::uint64_t{rect.Width} * rect.Height;
    if (rect.Empty()) return profiles;

    std::vector<std::uint32_t> columnAcc(rect.Width, 0);
    std::uint32_t rowsInAcc = 0;
    const auto flushColumns = [&] {
        for (std::uint32_t x = 0; x < rect.Width; ++x) profiles.ColumnSum[x] += columnAcc[x];
        std::fill(columnAcc.begin(), columnAcc.end(), 0u);
        rowsInAcc = 0;
    };
    for (std::uint32_t y = 0; y < rect.Height; ++y) {
        const std::uint16_t* row = pixels.data() + (static_cast<std::size_t>(rect.Top) + y) * columns + rect.Left;
        std::uint64_t rowSum = 0;
        for (std::uint32_t start = 0; start < rect.Width; start += kChunk) {
            const std::uint32_t end = std::min(rect.Width, start + kChunk);
            std::uint32_t chunkSum = 0;
            std::uint32_t* acc = columnAcc.data();
            for (std::uint32_t x = start; x < end; ++x) {
                const std::uint32_t v = row[x];
                chunkSum += v;
                acc[x] += v;
            }
            rowSum += chunkSum;
        }
        profiles.RowSum[y] = rowSum;
        profiles.Total += rowSum;
        if (++rowsInAcc == kChunk) flushColumns();
    }
    flushColumns();
    return profiles;
}

void LeaveOut(LineProfiles& profiles, const TBadPixelMap& map)
{
    const PixelRect& rect = profiles.Rect;
    for (const BadPixel& pixel : map) {
        if (!rect.Contains(pixel.X, pixel.Y)) continue;
        const std::uint32_t row = pixel.Y - rect.Top, column = pixel.X - rect.Left;
        profiles.RowSum[row] -= pixel.Value;
        --profiles.RowCount[row];
        profiles.ColumnSum[column] -= pixel.Value;
        --profiles.ColumnCount[column];
        profiles.Total -= pixel.Value;
        --profiles.Count;
    }
}

}  // namespace evenor
