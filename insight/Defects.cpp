#include "insight/Defects.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>

#include "insight/RobustScale.h"

namespace evenor {

namespace {

// Union-find over pixel indices, with path halving and union by size.
struct Forest {
    explicit Forest(std::size_t n) : parent(n), size(n, 1) { std::iota(parent.begin(), parent.end(), std::size_t{0}); }
    std::size_t Find(std::size_t i)
    {
        while (parent[i] != i) i = parent[i] = parent[parent[i]];
        return i;
    }
    void Join(std::size_t a, std::size_t b)
    {
        a = Find(a);
        b = Find(b);
        if (a == b) return;
        if (size[a] < size[b]) std::swap(a, b);
        parent[b] = a;
        size[a] += size[b];
    }
    std::vector<std::size_t> parent, size;
};

std::uint64_t Key(const BadPixel& p) { return std::uint64_t{p.Y} << 32 | p.X; }

}  // namespace

ClusterSummary FindDefectClusters(const TBadPixelMap& map)
{
    ClusterSummary summary;
    const std::size_t n = map.size();
    if (n == 0) return summary;
    std::vector<const BadPixel*> pixels(n);
    for (std::size_t i = 0; i < n; ++i) pixels[i] = &map[i];
    std::sort(pixels.begin(), pixels.end(), [](const BadPixel* a, const BadPixel* b) { return Key(*a) < Key(*b); });

    // Row by row: join each pixel with its left neighbour and with the up to
    // three pixels above it, found by walking the previous row alongside.
    Forest forest(n);
    std::size_t rowStart = 0, previousStart = 0, previousEnd = 0;
    while (rowStart < n) {
        const std::uint32_t y = pixels[rowStart]->Y;
        std::size_t rowEnd = rowStart;
        while (rowEnd < n && pixels[rowEnd]->Y == y) ++rowEnd;
        const bool above = previousEnd > previousStart && pixels[previousStart]->Y + 1 == y;
        std::size_t j = previousStart;
        for (std::size_t i = rowStart; i < rowEnd; ++i) {
            const std::uint32_t x = pixels[i]->X;
            if (i > rowStart && pixels[i - 1]->X + 1 == x) forest.Join(i, i - 1);
            if (!above) continue;
            while (j < previousEnd && pixels[j]->X + 1 < x) ++j;
            for (std::size_t k = j; k < previousEnd && pixels[k]->X <= std::uint64_t{x} + 1; ++k) forest.Join(i, k);
        }
        previousStart = rowStart;
        previousEnd = rowEnd;
        rowStart = rowEnd;
    }

    // Clusters in the order of their first pixel, then sorted by size.
    std::vector<std::size_t> clusterOf(n, SIZE_MAX);
    std::vector<double> sumX, sumY;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t root = forest.Find(i);
        if (clusterOf[root] == SIZE_MAX) {
            clusterOf[root] = summary.Clusters.size();
            const BadPixel& p = *pixels[i];
            summary.Clusters.push_back({0, p.X, p.Y, p.X, p.Y, 0.0, 0.0, 0});
            sumX.push_back(0.0);
            sumY.push_back(0.0);
        }
        const std::size_t c = clusterOf[root];
        DefectCluster& cluster = summary.Clusters[c];
        const BadPixel& p = *pixels[i];
        ++cluster.Size;
        cluster.Left = std::min(cluster.Left, p.X);
        cluster.Right = std::max(cluster.Right, p.X);
        cluster.Bottom = std::max(cluster.Bottom, p.Y);
        if (static_cast<double>(p.Value) > p.RoiMean) ++cluster.Hot;
        sumX[c] += p.X;
        sumY[c] += p.Y;
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
    std::stable_sort(summary.Clusters.begin(), summary.Clusters.end(),
                     [](const DefectCluster& a, const DefectCluster& b) { return a.Size > b.Size; });
    return summary;
}

std::string_view OrientationName(LineOrientation orientation)
{
    return orientation == LineOrientation::Row ? "row" : "column";
}

ProfileSearch FindProfileDefects(const std::vector<double>& means, const std::vector<std::uint32_t>& counts,
                                 const std::vector<bool>& excluded, double pixelNoise)
{
    ProfileSearch search;
    // The lines that take part, by their profile index.
    std::vector<std::size_t> lines;
    for (std::size_t i = 0; i < means.size(); ++i)
        if (!excluded[i] && counts[i] > 0) lines.push_back(i);
    const std::size_t window = 2 * kLineNeighbours;
    if (lines.size() < window + 1) return search;

    std::vector<double> residuals(lines.size()), references(lines.size()), levels(lines.size());
    std::vector<double> neighbours;
    neighbours.reserve(window);
    for (std::size_t k = 0; k < lines.size(); ++k) {
        const std::size_t first = std::min(k > kLineNeighbours ? k - kLineNeighbours : 0, lines.size() - 1 - window);
        neighbours.clear();
        for (std::size_t j = first; j <= first + window; ++j)
            if (j != k) neighbours.push_back(means[lines[j]]);
        references[k] = MedianInPlace(neighbours);
        residuals[k] = means[lines[k]] - references[k];
        levels[k] = means[lines[k]];
    }
    const double spread = RobustSD(residuals);
    const double level = std::fabs(MedianOf(levels));
    const double referenceFactor = std::sqrt(1.0 + std::numbers::pi / (4.0 * kLineNeighbours));
    for (std::size_t k = 0; k < lines.size(); ++k) {
        const double expected = pixelNoise / std::sqrt(static_cast<double>(counts[lines[k]])) * referenceFactor;
        const double yardstick = std::max(expected, spread);
        const double size = std::fabs(residuals[k]);
        const double sigmas = yardstick > 0.0 ? size / yardstick : 0.0;
        if (size > kLineMinimumFraction * level && size > kLineSigmas * yardstick)
            search.Defects.push_back({lines[k], references[k], sigmas});
        else
            search.LargestOtherSigmas = std::max(search.LargestOtherSigmas, sigmas);
    }
    return search;
}

LineSearch FindLineDefects(const LineProfiles& every, const LineProfiles& without, double pixelNoise)
{
    LineSearch result;
    std::vector<LineDefect>& defects = result.Lines;
    const auto search = [&](LineOrientation orientation, const std::vector<std::uint64_t>& everySum,
                            const std::vector<std::uint32_t>& everyCount, const std::vector<std::uint32_t>& counts,
                            const std::vector<double>& means, std::uint32_t firstLine) {
        std::vector<bool> dead(means.size());
        for (std::size_t i = 0; i < means.size(); ++i)
            dead[i] = counts[i] < (1.0 - kLineDeviatingFraction) * everyCount[i];
        // A line made mostly of deviating pixels is judged on its every-pixel
        // mean against the median every-pixel mean of its nearest lines
        // (deviating pixels near a rim or a cluster do not make a line).
        std::vector<LineDefect> found;
        std::vector<double> everyMeans(means.size()), near;
        for (std::size_t i = 0; i < means.size(); ++i)
            everyMeans[i] = everyCount[i] ? static_cast<double>(everySum[i]) / everyCount[i] : 0.0;
        const double level = std::fabs(MedianOf(everyMeans));
        const std::size_t window = 2 * kLineNeighbours;
        for (std::size_t i = 0; i < means.size(); ++i) {
            if (!dead[i] || means.size() < window + 1) continue;
            const std::size_t first =
                std::min(i > kLineNeighbours ? i - kLineNeighbours : 0, means.size() - 1 - window);
            near.clear();
            for (std::size_t j = first; j <= first + window; ++j)
                if (j != i) near.push_back(everyMeans[j]);
            const double reference = MedianInPlace(near);
            const double size = std::fabs(everyMeans[i] - reference);
            const double expected = everyCount[i] ? pixelNoise / std::sqrt(static_cast<double>(everyCount[i])) : 0.0;
            if (size <= kLineMinimumFraction * level || size <= kLineSigmas * expected) continue;
            LineDefect line;
            line.Orientation = orientation;
            line.Index = static_cast<std::uint32_t>(i) + firstLine;
            line.Mean = everyMeans[i];
            line.Reference = reference;
            line.DeviatingPixels = true;
            found.push_back(line);
        }
        const ProfileSearch profile = FindProfileDefects(means, counts, dead, pixelNoise);
        result.LargestOtherSigmas = std::max(result.LargestOtherSigmas, profile.LargestOtherSigmas);
        for (const ProfileDefect& d : profile.Defects) {
            LineDefect line;
            line.Orientation = orientation;
            line.Index = firstLine + static_cast<std::uint32_t>(d.Line);
            line.Mean = means[d.Line];
            line.Reference = d.Reference;
            line.Sigmas = d.Sigmas;
            found.push_back(line);
        }
        for (LineDefect& line : found)
            if (line.Reference != 0.0) line.DeviationPercent = (line.Mean - line.Reference) / line.Reference * 100.0;
        std::sort(found.begin(), found.end(),
                  [](const LineDefect& a, const LineDefect& b) { return a.Index < b.Index; });
        defects.insert(defects.end(), found.begin(), found.end());
    };
    search(LineOrientation::Row, every.RowSum, every.RowCount, without.RowCount, without.RowMeans(), without.Rect.Top);
    search(LineOrientation::Column, every.ColumnSum, every.ColumnCount, without.ColumnCount, without.ColumnMeans(),
           without.Rect.Left);
    return result;
}

}  // namespace evenor
