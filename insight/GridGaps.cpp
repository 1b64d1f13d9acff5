#include "insight/GridGaps.h"

#include <algorithm>

#include "stats/PixelScan.h"

namespace evenor {

namespace {

// The first line of the box of side box that is centred on line k and lies
// inside first..last (which holds at least box lines).
std::uint32_t BoxStart(std::uint32_t k, std::uint32_t first, std::uint32_t last, std::uint32_t box)
{
    const std::uint64_t highest = std::uint64_t{last} + 1 - box;
    const std::uint64_t centred = k >= first + box / 2 ? std::uint64_t{k} - box / 2 : first;
    return static_cast<std::uint32_t>(std::min(centred, highest));
}

// Tests the pixels of rect (inside area) against the mean of the box around
// each. The vertical sums of the box's rows are kept for the columns the
// boxes reach and moved down a row at a time; a prefix sum over them gives
// each box's sum.
void SearchRect(std::span<const std::uint16_t> pixels, std::uint32_t columns, const PixelRect& area,
                const PixelRect& rect, std::uint32_t box, double percent, TBadPixelMap& found)
{
    const std::uint32_t bandLeft = BoxStart(rect.Left, area.Left, area.Right(), box);
    const std::uint32_t bandRight = BoxStart(rect.Right(), area.Left, area.Right(), box) + box - 1;
    const std::size_t bandWidth = std::size_t{bandRight} - bandLeft + 1;
    const auto row = [&](std::uint32_t y) { return pixels.data() + std::size_t{y} * columns + bandLeft; };

    std::vector<std::uint64_t> vertical(bandWidth, 0), prefix(bandWidth + 1, 0);
    std::uint32_t top = BoxStart(rect.Top, area.Top, area.Bottom(), box);
    for (std::uint32_t y = top; y < top + box; ++y) {
        const std::uint16_t* values = row(y);
        for (std::size_t i = 0; i < bandWidth; ++i) vertical[i] += values[i];
    }
    const double boxPixels = static_cast<double>(box) * box;
    std::uint64_t lastSum = UINT64_MAX;
    PixelBand band;
    double mean = 0.0;
    for (std::uint32_t y = rect.Top; y <= rect.Bottom(); ++y) {
        for (const std::uint32_t wanted = BoxStart(y, area.Top, area.Bottom(), box); top < wanted; ++top) {
            const std::uint16_t *leaving = row(top), *entering = row(top + box);
            for (std::size_t i = 0; i < bandWidth; ++i) vertical[i] = vertical[i] - leaving[i] + entering[i];
        }
        for (std::size_t i = 0; i < bandWidth; ++i) prefix[i + 1] = prefix[i] + vertical[i];
        const std::uint16_t* values = pixels.data() + std::size_t{y} * columns;
        for (std::uint32_t x = rect.Left; x <= rect.Right(); ++x) {
            const std::size_t start = BoxStart(x, area.Left, area.Right(), box) - bandLeft;
            const std::uint64_t sum = prefix[start + box] - prefix[start];
            if (sum != lastSum) {
                lastSum = sum;
                mean = static_cast<double>(sum) / boxPixels;
                band = BandFor(mean, percent);
            }
            const std::int32_t v = values[x];
            if (v > band.Above || v < band.Below) found.Add({x, y, values[x], mean});
        }
    }
}

}  // namespace

std::vector<LineRange> UncoveredLines(std::uint32_t first, std::uint32_t last, std::span<const std::uint32_t> starts,
                                      std::uint32_t box)
{
    std::vector<LineRange> gaps;
    if (last < first) return gaps;
    // Where each line's boxes start, marked in a line of the extent (the
    // grid repeats each start many times; no sort needed).
    const std::size_t extent = std::size_t{last} - first + 1;
    std::vector<bool> starting(extent, false);
    for (const std::uint32_t start : starts)
        if (start >= first && start <= last) starting[start - first] = true;
    std::uint64_t next = first;  // the first line not yet known to be covered
    for (std::size_t i = 0; i < extent; ++i) {
        if (!starting[i]) continue;
        const std::uint64_t start = first + i;
        if (start > next) gaps.push_back({static_cast<std::uint32_t>(next), static_cast<std::uint32_t>(start - 1)});
        next = std::max(next, start + box);
    }
    if (next <= last) gaps.push_back({static_cast<std::uint32_t>(next), last});
    return gaps;
}

GridGaps FindGridGaps(const AnalysisSettings& settings, const AnalysisResult& result,
                      std::span<const std::uint16_t> pixels, std::uint32_t columns)
{
    GridGaps gaps;
    const std::uint32_t box = result.BoxPixels;
    if (result.Rois.empty() || box == 0) return gaps;
    const PixelRect area{settings.FirstColumn, settings.FirstRow, settings.LastColumn - settings.FirstColumn + 1,
                         settings.LastRow - settings.FirstRow + 1};
    if (area.Width < box || area.Height < box) return gaps;
    std::vector<std::uint32_t> xs, ys;
    xs.reserve(result.Rois.size());
    ys.reserve(result.Rois.size());
    for (const RoiResult& roi : result.Rois) {
        xs.push_back(roi.X);
        ys.push_back(roi.Y);
    }
    gaps.Columns = UncoveredLines(area.Left, area.Right(), xs, box);
    gaps.Rows = UncoveredLines(area.Top, area.Bottom(), ys, box);
    if (!settings.DetectDeviatingPixels || gaps.Empty()) return gaps;

    gaps.Pixels.SetExtent(area.Left, area.Top, area.Width, area.Height);
    const double percent = settings.PixelDeviationPercent;
    for (const LineRange& c : gaps.Columns)
        SearchRect(pixels, columns, area, PixelRect{c.First, area.Top, c.Last - c.First + 1, area.Height}, box, percent,
                   gaps.Pixels);
    for (const LineRange& r : gaps.Rows)
        SearchRect(pixels, columns, area, PixelRect{area.Left, r.First, area.Width, r.Last - r.First + 1}, box, percent,
                   gaps.Pixels);
    return gaps;
}

}  // namespace evenor
