#include "insight/Defects.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numbers>
#include <numeric>

#include "insight/RobustScale.h"
#include "insight/SideTask.h"

namespace evenor {

namespace {

// Union-find over pixel indices, with path halving; a root is always the
// smallest index of its set (its first pixel in raster order), which keeps
// the trees shallow on a raster scan without a size per node.
template <typename Index> struct Forest {
    explicit Forest(std::size_t n) : parent(n) { std::iota(parent.begin(), parent.end(), Index{0}); }
    Index Find(Index i)
    {
        while (parent[i] != i) i = parent[i] = parent[parent[i]];
        return i;
    }
    void Join(Index a, Index b)
    {
        a = Find(a);
        b = Find(b);
        if (a == b) return;
        if (a < b)
            parent[b] = a;
        else
            parent[a] = b;
    }
    std::vector<Index> parent;
};

// A run of deviating pixels next to each other in one row.
struct Run {
    std::uint32_t Y = 0;
    std::uint32_t Left = 0;   // first column
    std::uint32_t Right = 0;  // last column, inclusive
    std::uint32_t Hot = 0;    // pixels above the mean of their ROI
};

bool IsHot(const BadPixel& p) { return static_cast<double>(p.Value) > p.RoiMean; }

std::uint64_t Key(const BadPixel& p) { return std::uint64_t{p.Y} << 32 | p.X; }

// The set bits of bits[begin, end) (bit i of the row at bits[i / 64]).
std::uint32_t CountBits(const std::uint64_t* bits, std::uint64_t begin, std::uint64_t end)
{
    std::uint32_t count = 0;
    const std::uint64_t first = begin / 64, last = (end - 1) / 64;
    for (std::uint64_t w = first; w <= last; ++w) {
        std::uint64_t mask = ~std::uint64_t{0};
        if (w == first) mask &= ~std::uint64_t{0} << (begin % 64);
        if (w == last) mask &= ~std::uint64_t{0} >> (63 - (end - 1) % 64);
        count += static_cast<std::uint32_t>(std::popcount(bits[w] & mask));
    }
    return count;
}

// The runs of the pixels of the map row by row, left to right. Few pixels in
// a large extent are sorted; many are set in a bitmap of their extent, whose
// runs of set bits are read back in that order (no sort: time and memory
// linear in the pixels and in the extent / 64).
std::vector<Run> SortedRuns(const TBadPixelMap& map)
{
    const std::size_t n = map.size();
    std::vector<Run> runs;
    runs.reserve(n);  // at most one run a pixel; pages are only touched as runs are added
    std::uint32_t left = UINT32_MAX, top = UINT32_MAX, right = 0, bottom = 0;
    for (const BadPixel& p : map) {
        left = std::min(left, p.X);
        right = std::max(right, p.X);
        top = std::min(top, p.Y);
        bottom = std::max(bottom, p.Y);
    }
    const std::uint64_t width = std::uint64_t{right} - left + 1, height = std::uint64_t{bottom} - top + 1;
    const std::uint64_t rowWords = (width + 63) / 64;
    if (rowWords * height > 4 * std::uint64_t{n} + 4096) {
        std::vector<const BadPixel*> sorted;
        sorted.reserve(n);
        for (const BadPixel& p : map) sorted.push_back(&p);
        std::sort(sorted.begin(), sorted.end(), [](const BadPixel* a, const BadPixel* b) { return Key(*a) < Key(*b); });
        for (const BadPixel* p : sorted) {
            if (runs.empty() || p->Y != runs.back().Y || p->X != runs.back().Right + 1)
                runs.push_back({p->Y, p->X, p->X, 0});
            else
                runs.back().Right = p->X;
            if (IsHot(*p)) ++runs.back().Hot;
        }
        return runs;
    }
    // Each row starts on a word of its own; the map holds every position once.
    // Bits past the width stay clear, so a run always ends inside its row.
    std::vector<std::uint64_t> present(rowWords * height, 0), hot(rowWords * height, 0);
    for (const BadPixel& p : map) {
        const std::uint64_t x = p.X - left;
        const std::uint64_t word = (p.Y - top) * rowWords + x / 64, bit = std::uint64_t{1} << (x % 64);
        present[word] |= bit;
        if (IsHot(p)) hot[word] |= bit;
    }
    for (std::uint64_t row = 0; row < height; ++row) {
        const std::uint64_t* bits = present.data() + row * rowWords;
        std::uint64_t x = 0;
        while (x < width) {
            // The next set bit at or after x, then the next clear bit after it.
            std::uint64_t w = x / 64, word = bits[w] & (~std::uint64_t{0} << (x % 64));
            while (word == 0 && ++w < rowWords) word = bits[w];
            if (word == 0) break;
            const std::uint64_t begin = w * 64 + static_cast<std::uint64_t>(std::countr_zero(word));
            word = ~bits[w] & (~std::uint64_t{0} << (begin % 64));
            while (word == 0 && ++w < rowWords) word = ~bits[w];
            const std::uint64_t end = std::min(width, w * 64 + static_cast<std::uint64_t>(std::countr_zero(word)));
            runs.push_back({static_cast<std::uint32_t>(top + row), static_cast<std::uint32_t>(left + begin),
                            static_cast<std::uint32_t>(left + end - 1),
                            CountBits(hot.data() + row * rowWords, begin, end)});
            x = end;
        }
    }
    return runs;
}

template <typename Index> ClusterSummary ClustersOf(const std::vector<Run>& runs)
{
    ClusterSummary summary;
    const std::size_t n = runs.size();

    // Row by row: join each run with the runs of the row above that it
    // touches, also diagonally, found by walking the previous row alongside.
    Forest<Index> forest(n);
    std::size_t rowStart = 0, previousStart = 0, previousEnd = 0;
    while (rowStart < n) {
        const std::uint32_t y = runs[rowStart].Y;
        std::size_t rowEnd = rowStart;
        while (rowEnd < n && runs[rowEnd].Y == y) ++rowEnd;
        if (previousEnd > previousStart && runs[previousStart].Y + 1 == y) {
            std::size_t j = previousStart;
            for (std::size_t i = rowStart; i < rowEnd; ++i) {
                const Run& run = runs[i];
                while (j < previousEnd && std::uint64_t{runs[j].Right} + 1 < run.Left) ++j;
                for (std::size_t k = j; k < previousEnd && runs[k].Left <= std::uint64_t{run.Right} + 1; ++k)
                    forest.Join(static_cast<Index>(i), static_cast<Index>(k));
            }
        }
        previousStart = rowStart;
        previousEnd = rowEnd;
        rowStart = rowEnd;
    }

    // Clusters in the order of their first pixel, then sorted by size. The
    // column sums are whole numbers far below 2^53, so adding them a run at a
    // time gives the same centres as adding them a pixel at a time.
    constexpr Index none = std::numeric_limits<Index>::max();
    std::vector<Index> clusterOf(n, none);
    std::vector<double> sumX, sumY;
    std::size_t clusters = 0;  // each root is the first run of its cluster
    for (std::size_t i = 0; i < n; ++i) clusters += forest.Find(static_cast<Index>(i)) == i;
    summary.Clusters.reserve(clusters);
    sumX.reserve(clusters);
    sumY.reserve(clusters);
    for (std::size_t i = 0; i < n; ++i) {
        const Index root = forest.Find(static_cast<Index>(i));
        const Run& run = runs[i];
        if (clusterOf[root] == none) {
            clusterOf[root] = static_cast<Index>(summary.Clusters.size());
            summary.Clusters.push_back({0, run.Left, run.Y, run.Right, run.Y, 0.0, 0.0, 0});
            sumX.push_back(0.0);
            sumY.push_back(0.0);
        }
        const std::size_t c = clusterOf[root];
        DefectCluster& cluster = summary.Clusters[c];
        const std::uint64_t length = std::uint64_t{run.Right} - run.Left + 1;
        cluster.Size += static_cast<std::uint32_t>(length);
        cluster.Left = std::min(cluster.Left, run.Left);
        cluster.Right = std::max(cluster.Right, run.Right);
        cluster.Bottom = std::max(cluster.Bottom, run.Y);
        cluster.Hot += run.Hot;
        sumX[c] += static_cast<double>(length * (std::uint64_t{run.Left} + run.Right) / 2);
        sumY[c] += static_cast<double>(length * run.Y);
    }
    for (std::size_t c = 0; c < summary.Clusters.size(); ++c) {
        DefectCluster& cluster = summary.Clusters[c];
        cluster.CentreX = sumX[c] / cluster.Size;
        cluster.CentreY = sumY[c] / cluster.Size;
        if (cluster.Size == 1)
            ++summary.Singles;
        else if (cluster.Size == 2)
            ++summary.Pairs;
        else
            ++summary.Larger;
    }
    // Largest first, equal sizes in the order found: a counting sort by size.
    std::uint32_t largest = 0;
    for (const DefectCluster& cluster : summary.Clusters) largest = std::max(largest, cluster.Size);
    std::vector<std::size_t> place(std::size_t{largest} + 2, 0);
    for (const DefectCluster& cluster : summary.Clusters) ++place[largest - cluster.Size + 1];
    for (std::size_t i = 1; i < place.size(); ++i) place[i] += place[i - 1];
    std::vector<DefectCluster> sorted(summary.Clusters.size());
    for (const DefectCluster& cluster : summary.Clusters) sorted[place[largest - cluster.Size]++] = cluster;
    summary.Clusters = std::move(sorted);
    return summary;
}

}  // namespace

ClusterSummary FindDefectClusters(const TBadPixelMap& map)
{
    if (map.empty()) return {};
    const std::vector<Run> runs = SortedRuns(map);
    if (runs.size() < std::numeric_limits<std::uint32_t>::max()) return ClustersOf<std::uint32_t>(runs);
    return ClustersOf<std::size_t>(runs);
}

std::string_view OrientationName(LineOrientation orientation)
{
    return orientation == LineOrientation::Row ? "row" : "column";
}

namespace {

// From this many lines in each direction on, the rows and the columns are
// searched side by side.
constexpr std::size_t kLinesForSecondThread = 1024;

// How a line stands against the lines on either side of it: values are the
// means of the lines in order, k the line. Each side is the median of its
// kLineNeighbours nearest lines. Within kLineNeighbours lines of an end, the
// short side's few lines may all belong to the defect the line is part of
// (columns 0..2 dimmed: column 1 would be measured against column 0 alone),
// and the long side's median may lie on a group of defect lines beside a
// clean line; such a line is measured against one reference instead, the
// median of the 2 * kLineNeighbours lines nearest that end (itself left
// out), which ignores up to four defect lines.
struct SidedDeparture {
    double Deviation = 0.0;                  // signed; 0 when the line lies between its two sides
    double Reference = 0.0;                  // the median of the side it departs from least
    std::size_t ReferenceSize = 0;           // lines behind Reference
    double FromLeft = 0.0, FromRight = 0.0;  // value - median of that side, when there is one
    bool HasLeft = false, HasRight = false;
};

// The median of the count (1 to kLineNeighbours) values from first, as
// MedianInPlace gives it: they are sorted by insertion in a small array
// (every line has two such sides, so this is most of the search's work).
double MedianOfSide(const double* first, std::size_t count)
{
    double sorted[kLineNeighbours];
    for (std::size_t i = 0; i < count; ++i) {
        const double v = first[i];
        std::size_t j = i;
        for (; j > 0 && v < sorted[j - 1]; --j) sorted[j] = sorted[j - 1];
        sorted[j] = v;
    }
    const double median = sorted[count / 2];
    return count % 2 == 0 ? (median + sorted[count / 2 - 1]) / 2.0 : median;
}

SidedDeparture DepartureOf(const std::vector<double>& values, std::size_t k, std::vector<double>& scratch)
{
    SidedDeparture d;
    const double value = values[k];
    const std::size_t n = values.size();
    if (k < kLineNeighbours || n - 1 - k < kLineNeighbours) {
        const bool nearFirst = k < kLineNeighbours;
        const std::size_t span = 2 * kLineNeighbours;  // lines besides k
        const std::size_t first = nearFirst ? 0 : (n - 1 > span ? n - 1 - span : 0);
        const std::size_t last = nearFirst ? std::min(n - 1, span) : n - 1;
        scratch.clear();
        for (std::size_t i = first; i <= last; ++i)
            if (i != k) scratch.push_back(values[i]);
        if (scratch.empty()) return d;
        d.Reference = MedianInPlace(scratch);
        d.ReferenceSize = last - first;
        d.Deviation = value - d.Reference;
        // One departure, counted once in the spread of the departures.
        d.HasLeft = true;
        d.FromLeft = d.Deviation;
        return d;
    }
    const std::size_t first = k - kLineNeighbours;
    const std::size_t last = k + kLineNeighbours;
    double left = 0.0, right = 0.0;
    if (first < k) {
        left = MedianOfSide(values.data() + first, k - first);
        d.HasLeft = true;
        d.FromLeft = value - left;
    }
    if (last > k) {
        right = MedianOfSide(values.data() + k + 1, last - k);
        d.HasRight = true;
        d.FromRight = value - right;
    }
    const bool useLeft = d.HasLeft && (!d.HasRight || std::fabs(d.FromLeft) <= std::fabs(d.FromRight));
    d.Reference = useLeft ? left : right;
    d.ReferenceSize = useLeft ? k - first : last - k;
    d.Deviation = useLeft ? d.FromLeft : d.FromRight;
    // Departing from both sides means in the same direction; a line between
    // its sides (beside a step) departs from neither.
    if (d.HasLeft && d.HasRight && (d.FromLeft > 0.0) != (d.FromRight > 0.0)) d.Deviation = 0.0;
    return d;
}

}  // namespace

ProfileSearch FindProfileDefects(const std::vector<double>& means, const std::vector<std::uint32_t>& counts,
                                 const std::vector<bool>& excluded, double pixelNoise, double floorFraction)
{
    ProfileSearch search;
    // The lines that take part, by their profile index.
    std::vector<std::size_t> lines;
    for (std::size_t i = 0; i < means.size(); ++i)
        if (!excluded[i] && counts[i] > 0) lines.push_back(i);
    if (lines.size() < 2 * kLineNeighbours + 1) return search;

    std::vector<double> levels(lines.size()), sided, scratch;
    for (std::size_t k = 0; k < lines.size(); ++k) levels[k] = means[lines[k]];
    std::vector<SidedDeparture> departures(lines.size());
    sided.reserve(2 * lines.size());
    for (std::size_t k = 0; k < lines.size(); ++k) {
        departures[k] = DepartureOf(levels, k, scratch);
        if (departures[k].HasLeft) sided.push_back(departures[k].FromLeft);
        if (departures[k].HasRight) sided.push_back(departures[k].FromRight);
    }
    const double spread = RobustSD(sided);
    const double level = std::fabs(MedianOf(levels));
    for (std::size_t k = 0; k < lines.size(); ++k) {
        const SidedDeparture& d = departures[k];
        const double referenceFactor = std::sqrt(1.0 + std::numbers::pi / (2.0 * static_cast<double>(d.ReferenceSize)));
        const double expected = pixelNoise / std::sqrt(static_cast<double>(counts[lines[k]])) * referenceFactor;
        const double yardstick = std::max(expected, spread);
        const double size = std::fabs(d.Deviation);
        const double sigmas = yardstick > 0.0 ? size / yardstick : 0.0;
        if (size > floorFraction * level && size > kLineSigmas * yardstick)
            search.Defects.push_back({lines[k], d.Reference, sigmas, level > 0.0 ? size / level : 0.0});
        else
            search.LargestOtherSigmas = std::max(search.LargestOtherSigmas, sigmas);
    }
    return search;
}

LineSearch FindLineDefects(const LineProfiles& every, const LineProfiles& without, double pixelNoise,
                           double floorFraction)
{
    // One direction's lines, in index order, and how near the others came.
    const auto search = [&](LineOrientation orientation, const std::vector<std::uint64_t>& everySum,
                            const std::vector<std::uint32_t>& everyCount, const std::vector<std::uint32_t>& counts,
                            const std::vector<double>& means, std::uint32_t firstLine) {
        LineSearch result;
        std::vector<bool> dead(means.size());
        for (std::size_t i = 0; i < means.size(); ++i)
            dead[i] = counts[i] < (1.0 - kLineDeviatingFraction) * everyCount[i];
        // A line made mostly of deviating pixels is judged on its every-pixel
        // mean against the every-pixel means of the lines on either side
        // (deviating pixels near a rim or a cluster do not make a line).
        std::vector<LineDefect> found;
        std::vector<double> everyMeans(means.size()), scratch;
        for (std::size_t i = 0; i < means.size(); ++i)
            everyMeans[i] = everyCount[i] ? static_cast<double>(everySum[i]) / everyCount[i] : 0.0;
        const double level = std::fabs(MedianOf(everyMeans));
        for (std::size_t i = 0; i < means.size(); ++i) {
            if (!dead[i] || means.size() < 2 * kLineNeighbours + 1) continue;
            const SidedDeparture d = DepartureOf(everyMeans, i, scratch);
            const double reference = d.Reference;
            const double size = std::fabs(d.Deviation);
            const double expected = everyCount[i] ? pixelNoise / std::sqrt(static_cast<double>(everyCount[i])) : 0.0;
            if (size <= floorFraction * level || size <= kLineSigmas * expected) continue;
            LineDefect line;
            line.Orientation = orientation;
            line.Index = static_cast<std::uint32_t>(i) + firstLine;
            line.Mean = everyMeans[i];
            line.Reference = reference;
            line.DeviatingPixels = true;
            line.LevelFraction = level > 0.0 ? size / level : 0.0;
            found.push_back(line);
        }
        const ProfileSearch profile = FindProfileDefects(means, counts, dead, pixelNoise, floorFraction);
        result.LargestOtherSigmas = std::max(result.LargestOtherSigmas, profile.LargestOtherSigmas);
        for (const ProfileDefect& d : profile.Defects) {
            LineDefect line;
            line.Orientation = orientation;
            line.Index = firstLine + static_cast<std::uint32_t>(d.Line);
            line.Mean = means[d.Line];
            line.Reference = d.Reference;
            line.Sigmas = d.Sigmas;
            line.LevelFraction = d.LevelFraction;
            found.push_back(line);
        }
        for (LineDefect& line : found)
            if (line.Reference != 0.0) line.DeviationPercent = (line.Mean - line.Reference) / line.Reference * 100.0;
        std::sort(found.begin(), found.end(),
                  [](const LineDefect& a, const LineDefect& b) { return a.Index < b.Index; });
        result.Lines = std::move(found);
        return result;
    };
    // The two directions are independent: the columns on a second thread
    // when there are lines enough to pay for it.
    LineSearch columnSearch;
    SideTask columnTask(
        [&] {
            columnSearch = search(LineOrientation::Column, every.ColumnSum, every.ColumnCount, without.ColumnCount,
                                  without.ColumnMeans(), without.Rect.Left);
        },
        std::min(without.RowSum.size(), without.ColumnSum.size()) >= kLinesForSecondThread);
    LineSearch result = search(LineOrientation::Row, every.RowSum, every.RowCount, without.RowCount, without.RowMeans(),
                               without.Rect.Top);
    columnTask.Join();
    result.Lines.insert(result.Lines.end(), columnSearch.Lines.begin(), columnSearch.Lines.end());
    result.LargestOtherSigmas = std::max(result.LargestOtherSigmas, columnSearch.LargestOtherSigmas);
    return result;
}

}  // namespace evenor
