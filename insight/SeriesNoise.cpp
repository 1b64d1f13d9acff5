#include "insight/SeriesNoise.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace evenor {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Box columns as ranges of image columns: box c covers [Starts[c], Starts[c + 1]).
std::vector<std::uint32_t> BoxStarts(std::uint32_t first, std::uint32_t boxes, std::uint32_t side, std::uint32_t last)
{
    std::vector<std::uint32_t> starts(boxes + 1);
    for (std::uint32_t b = 0; b < boxes; ++b) starts[b] = first + b * side;
    starts[boxes] = last + 1;
    return starts;
}

// Sums of one row segment of 16-bit values: fits 64 bits for any row length
// up to 65535 pixels.
template <typename Value> void AddSegment(Moments& moments, const Value* begin, const Value* end)
{
    std::int64_t sum = 0;
    std::uint64_t squares = 0;
    for (const Value* p = begin; p != end; ++p) {
        const std::int64_t v = *p;
        sum += v;
        squares += static_cast<std::uint64_t>(v * v);
    }
    moments.Count += static_cast<std::uint64_t>(end - begin);
    moments.Sum += sum;
    moments.SumSquares += squares;
}

}  // namespace

void Moments::Merge(const Moments& other)
{
    Count += other.Count;
    Sum += other.Sum;
    SumSquares += other.SumSquares;
}

double Moments::Mean() const
{
    if (Count == 0) return kNaN;
    return static_cast<double>(static_cast<long double>(Sum) / static_cast<long double>(Count));
}

double Moments::Variance() const
{
    if (Count < 2) return kNaN;
    // n * sum(x^2) - (sum x)^2 is exact in 128 bits; only the quotient rounds.
    const __int128 n = static_cast<__int128>(Count);
    const __int128 spread = n * static_cast<__int128>(SumSquares) - Sum * Sum;
    return static_cast<double>(static_cast<long double>(spread) /
                               (static_cast<long double>(Count) * static_cast<long double>(Count - 1)));
}

Moments RectMoments(std::span<const std::uint16_t> pixels, std::uint32_t columns, const AreaRect& rect)
{
    Moments moments;
    for (std::uint32_t row = rect.FirstRow; row <= rect.LastRow; ++row) {
        const std::uint16_t* line = pixels.data() + static_cast<std::size_t>(row) * columns;
        AddSegment(moments, line + rect.FirstColumn, line + rect.LastColumn + 1);
    }
    return moments;
}

std::uint32_t BoxGrid::BoxColumn(std::uint32_t column) const
{
    return std::min((column - Area.FirstColumn) / Side, Columns - 1);
}

std::uint32_t BoxGrid::BoxRow(std::uint32_t row) const { return std::min((row - Area.FirstRow) / Side, Rows - 1); }

BoxGrid MakeBoxGrid(const AreaRect& area, std::uint32_t side)
{
    BoxGrid grid;
    grid.Area = area;
    grid.Side = std::max<std::uint32_t>(side, 1);
    grid.Columns = std::max<std::uint32_t>(area.Width() / grid.Side, 1);
    grid.Rows = std::max<std::uint32_t>(area.Height() / grid.Side, 1);
    return grid;
}

std::optional<double> LocalUniformityPercent(const BoxGrid& grid, std::span<const double> values)
{
    if (values.size() != grid.Count() || values.size() < 2) return std::nullopt;
    double total = 0.0;
    for (double v : values) total += v;
    const double mean = total / static_cast<double>(values.size());
    if (!(mean != 0.0) || !std::isfinite(mean)) return std::nullopt;
    double largest = 0.0;
    for (std::uint32_t r = 0; r < grid.Rows; ++r) {
        for (std::uint32_t c = 0; c < grid.Columns; ++c) {
            double sum = 0.0;
            int count = 0;
            const auto take = [&](std::uint32_t rr, std::uint32_t cc) {
                sum += values[static_cast<std::size_t>(rr) * grid.Columns + cc];
                ++count;
            };
            if (c > 0) take(r, c - 1);
            if (c + 1 < grid.Columns) take(r, c + 1);
            if (r > 0) take(r - 1, c);
            if (r + 1 < grid.Rows) take(r + 1, c);
            if (count == 0) continue;
            const double difference = std::fabs(values[static_cast<std::size_t>(r) * grid.Columns + c] - sum / count);
            largest = std::max(largest, difference);
        }
    }
    return largest / mean * 100.0;
}

DoseNoiseAccumulator::DoseNoiseAccumulator(const BoxGrid& grid)
    : grid_(grid), sumImage_(grid.Area.Count(), 0), boxDifferenceSquares_(grid.Count(), 0.0),
      boxDegrees_(grid.Count(), 0)
{}

void DoseNoiseAccumulator::Add(std::span<const std::uint16_t> pixels, std::uint32_t columns)
{
    const AreaRect& area = grid_.Area;
    const std::uint32_t width = area.Width();
    const Moments image = RectMoments(pixels, columns, area);
    ++images_;
    meanSum_ += image.Mean();
    varianceSum_ += image.Variance();

    std::uint32_t* sum = sumImage_.data();
    for (std::uint32_t row = area.FirstRow; row <= area.LastRow; ++row) {
        const std::uint16_t* line = pixels.data() + static_cast<std::size_t>(row) * columns + area.FirstColumn;
        for (std::uint32_t x = 0; x < width; ++x) sum[x] += line[x];
        sum += width;
    }

    if (unpaired_.empty()) {
        // The first image of a pair waits for the second.
        unpaired_.resize(area.Count());
        std::uint16_t* copy = unpaired_.data();
        for (std::uint32_t row = area.FirstRow; row <= area.LastRow; ++row) {
            const std::uint16_t* line = pixels.data() + static_cast<std::size_t>(row) * columns + area.FirstColumn;
            std::copy(line, line + width, copy);
            copy += width;
        }
        return;
    }

    // The pair is complete: its difference, per box and over the area.
    const std::vector<std::uint32_t> starts = BoxStarts(area.FirstColumn, grid_.Columns, grid_.Side, area.LastColumn);
    std::vector<Moments> boxes(grid_.Count());
    std::vector<std::int32_t> difference(width);
    const std::uint16_t* first = unpaired_.data();
    for (std::uint32_t row = area.FirstRow; row <= area.LastRow; ++row) {
        const std::uint16_t* line = pixels.data() + static_cast<std::size_t>(row) * columns + area.FirstColumn;
        for (std::uint32_t x = 0; x < width; ++x)
            difference[x] = static_cast<std::int32_t>(first[x]) - static_cast<std::int32_t>(line[x]);
        first += width;
        const std::size_t boxRow = static_cast<std::size_t>(grid_.BoxRow(row)) * grid_.Columns;
        for (std::uint32_t c = 0; c < grid_.Columns; ++c)
            AddSegment(boxes[boxRow + c], difference.data() + (starts[c] - area.FirstColumn),
                       difference.data() + (starts[c + 1] - area.FirstColumn));
    }
    Moments whole;
    for (std::size_t b = 0; b < boxes.size(); ++b) {
        whole.Merge(boxes[b]);
        if (boxes[b].Count < 2) continue;
        boxDifferenceSquares_[b] += boxes[b].Variance() * static_cast<double>(boxes[b].Count - 1);
        boxDegrees_[b] += boxes[b].Count - 1;
    }
    if (whole.Count >= 2) {
        differenceSquares_ += whole.Variance() * static_cast<double>(whole.Count - 1);
        differenceDegrees_ += whole.Count - 1;
    }
    ++pairs_;
    unpaired_.clear();
}

DoseNoise DoseNoiseAccumulator::Result() const
{
    DoseNoise noise;
    noise.Images = images_;
    noise.Pairs = pairs_;
    if (images_ == 0) return noise;
    const double n = static_cast<double>(images_);
    noise.Mean = meanSum_ / n;
    noise.ImageVariance = varianceSum_ / n;
    noise.TotalVariance = noise.ImageVariance;

    // The mean image: its variance, and its box means for the fixed pattern.
    Moments sumMoments;
    std::vector<Moments> boxSums(grid_.Count());
    const AreaRect& area = grid_.Area;
    const std::vector<std::uint32_t> starts = BoxStarts(area.FirstColumn, grid_.Columns, grid_.Side, area.LastColumn);
    const std::uint32_t* sum = sumImage_.data();
    for (std::uint32_t row = area.FirstRow; row <= area.LastRow; ++row) {
        const std::size_t boxRow = static_cast<std::size_t>(grid_.BoxRow(row)) * grid_.Columns;
        for (std::uint32_t c = 0; c < grid_.Columns; ++c) {
            Moments& box = boxSums[boxRow + c];
            for (std::uint32_t x = starts[c]; x < starts[c + 1]; ++x) box.Add(sum[x - area.FirstColumn]);
        }
        sum += area.Width();
    }
    for (const Moments& box : boxSums) sumMoments.Merge(box);
    const double areaMean = sumMoments.Mean();
    noise.FixedPatternPercent.reserve(boxSums.size());
    for (const Moments& box : boxSums)
        noise.FixedPatternPercent.push_back(areaMean != 0.0 ? (box.Mean() - areaMean) / areaMean * 100.0 : kNaN);

    if (pairs_ > 0 && differenceDegrees_ > 0) {
        const double quantum = differenceSquares_ / static_cast<double>(differenceDegrees_) / 2.0;
        const double meanImageVariance = sumMoments.Variance() / (n * n);
        const double structured = std::max(0.0, meanImageVariance - quantum / n);
        noise.QuantumVariance = quantum;
        noise.StructuredVariance = structured;
        noise.TotalVariance = quantum + structured;
        if (noise.TotalVariance > 0.0) noise.StructuredFraction = structured / noise.TotalVariance;
        noise.QuantumSdPerBox.reserve(boxDegrees_.size());
        for (std::size_t b = 0; b < boxDegrees_.size(); ++b)
            noise.QuantumSdPerBox.push_back(
                boxDegrees_[b] > 0 ? std::sqrt(boxDifferenceSquares_[b] / static_cast<double>(boxDegrees_[b]) / 2.0)
                                   : kNaN);
        noise.QuantumNoiseUniformity = LocalUniformityPercent(grid_, noise.QuantumSdPerBox);
    }
    return noise;
}

SeriesDefectCounter::SeriesDefectCounter(const BoxGrid& grid, double percent)
    : grid_(grid), percent_(percent), counts_(grid.Area.Count(), 0)
{}

void SeriesDefectCounter::Add(std::span<const std::uint16_t> pixels, std::uint32_t columns)
{
    const AreaRect& area = grid_.Area;
    const std::vector<std::uint32_t> starts = BoxStarts(area.FirstColumn, grid_.Columns, grid_.Side, area.LastColumn);
    std::vector<Moments> boxes(grid_.Count());
    for (std::uint32_t row = area.FirstRow; row <= area.LastRow; ++row) {
        const std::uint16_t* line = pixels.data() + static_cast<std::size_t>(row) * columns;
        const std::size_t boxRow = static_cast<std::size_t>(grid_.BoxRow(row)) * grid_.Columns;
        for (std::uint32_t c = 0; c < grid_.Columns; ++c)
            AddSegment(boxes[boxRow + c], line + starts[c], line + starts[c + 1]);
    }
    // The bounds of each box: a pixel outside [low, high] deviates.
    std::vector<double> low(boxes.size()), high(boxes.size());
    for (std::size_t b = 0; b < boxes.size(); ++b) {
        const double mean = boxes[b].Mean();
        const double allowed = std::fabs(mean) * percent_ / 100.0;
        low[b] = mean - allowed;
        high[b] = mean + allowed;
    }
    std::uint16_t* count = counts_.data();
    for (std::uint32_t row = area.FirstRow; row <= area.LastRow; ++row) {
        const std::uint16_t* line = pixels.data() + static_cast<std::size_t>(row) * columns;
        const std::size_t boxRow = static_cast<std::size_t>(grid_.BoxRow(row)) * grid_.Columns;
        for (std::uint32_t c = 0; c < grid_.Columns; ++c) {
            const double lo = low[boxRow + c], hi = high[boxRow + c];
            for (std::uint32_t x = starts[c]; x < starts[c + 1]; ++x) {
                const double v = line[x];
                if ((v < lo || v > hi) && count[x - area.FirstColumn] != UINT16_MAX) ++count[x - area.FirstColumn];
            }
        }
        count += area.Width();
    }
    ++images_;
}

SeriesDefects SeriesDefectCounter::Result() const
{
    SeriesDefects defects;
    defects.Images = images_;
    if (images_ == 0) return defects;
    const std::size_t all = std::min<std::size_t>(images_, UINT16_MAX);
    const std::uint32_t width = grid_.Area.Width();
    for (std::size_t i = 0; i < counts_.size(); ++i) {
        const std::size_t found = counts_[i];
        if (found == 0) continue;
        if (found >= all) {
            ++defects.Persistent;
            if (defects.PersistentPixels.size() < SeriesDefects::ListLimit)
                defects.PersistentPixels.push_back({grid_.Area.FirstColumn + static_cast<std::uint32_t>(i % width),
                                                    grid_.Area.FirstRow + static_cast<std::uint32_t>(i / width)});
        } else if (found == 1) {
            ++defects.Transient;
        } else {
            ++defects.Intermittent;
        }
    }
    return defects;
}

}  // namespace evenor
