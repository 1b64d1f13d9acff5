#pragma once
// Defects of the detector, classified: the deviating pixels grouped into
// clusters, and line defects (whole rows or columns whose mean departs from
// their neighbours', a common readout failure).
#include <cstdint>
#include <string>
#include <vector>

#include "insight/LineProfiles.h"
#include "stats/DeviationMaps.h"
#include "stats/StatFuncties.h"

namespace evenor {

// ---- Clusters ---------------------------------------------------------------

// Deviating pixels that touch each other, also diagonally (8-connected).
struct DefectCluster {
    std::uint32_t Size = 0;  // pixels
    std::uint32_t Left = 0;  // bounding box, image coordinates, inclusive
    std::uint32_t Top = 0;
    std::uint32_t Right = 0;
    std::uint32_t Bottom = 0;
    double CentreX = 0.0;   // mean column of its pixels
    double CentreY = 0.0;   // mean row of its pixels
    std::uint32_t Hot = 0;  // pixels above the mean of their ROI; the other Size - Hot lie below it
};

struct ClusterSummary {
    // Largest first; clusters of equal size in the order of their first pixel
    // (row by row, left to right). The largest cluster is the first.
    std::vector<DefectCluster> Clusters;
    std::size_t Singles = 0;  // clusters of one pixel
    std::size_t Pairs = 0;    // of two
    std::size_t Larger = 0;   // of three or more
};

// The 8-connected clusters of the pixels of map. Time O(k log k) for k
// pixels, memory O(k).
ClusterSummary FindDefectClusters(const TBadPixelMap& map);

// ---- Line defects -----------------------------------------------------------
//
// Rule, for rows and for columns separately, on the line means of the area
// (rims left out) without the deviating pixels:
//  - a line of which more than half the pixels are deviating pixels takes no
//    part in what follows; it is a line defect (a dead or hot line) when its
//    every-pixel mean departs, as below, from the every-pixel means of the
//    lines on either side by more than the floor below and more than
//    kLineSigmas * pixelNoise / sqrt(pixels of the line) (deviating pixels
//    beside a rim or a strong blotch do not make a line);
//  - every other line's mean m is compared with the lines on either side of
//    it: L and R, the medians of the means of the kLineNeighbours nearest
//    other lines to the left and to the right. The line
//    departs when m - L and m - R have the same sign; its deviation d is the
//    smaller of the two and its reference r the side it was taken from. A
//    line between L and R (d = 0) does not depart: beside a sharp step in
//    the line means (the edge of a blotch or of a region) a line differs
//    from one side only. Each median follows smooth shading (heel effect, a
//    blotch) and ignores up to two defect lines on its side, so a defect of
//    one to three adjacent lines is found whole. Within kLineNeighbours
//    lines of an end of the profile one side is short, and its few lines may
//    all belong to the defect; there the line's deviation d is its mean less
//    the median r of the 2 * kLineNeighbours other lines nearest that end,
//    which ignores up to four defect lines, so that such a group is found
//    whole at the ends too (a step within those lines counts as a defect);
//  - the yardstick s is the larger of what pixel noise alone gives a line,
//    pixelNoise / sqrt(pixels of the line) * sqrt(1 + pi / (2 * n)) for a
//    reference of n lines (the second root: the variance the median adds),
//    and the spread the lines actually show, 1.4826 * MAD of all one-sided
//    departures m - L and m - R (so that row- or column-correlated noise is
//    not mistaken for defects);
//  - the line is a defect when |d| > kLineSigmas * s and
//    |d| > floor * (median line mean), the floor a fraction the caller
//    chooses (kLineMinimumFraction by default; a preset may set its own,
//    GuidelinePreset::LineFloorPercent).
// With 6 SDs, a clean field (Gaussian line means) gives a false line with a
// probability of at most about 2e-9 per line (|d| is never larger than
// either one-sided departure), about one in 60,000 images of 4096 x 4096;
// the 0.5 % floor keeps statistically significant but invisible offsets of
// very large detectors out. A single row or column offset by 2 % lies at
// least 8 SDs out on a 256-pixel line at a signal of 2000 with Poisson
// noise, and further on longer lines. On 2048-pixel lines at that signal
// the 6 SDs are 0.35 %: offsets of 0.35 to 0.5 % are statistically clear
// but below the default floor.
inline constexpr std::size_t kLineNeighbours = 5;  // on each side
inline constexpr double kLineSigmas = 6.0;
inline constexpr double kLineMinimumFraction = 0.005;
inline constexpr double kLineDeviatingFraction = 0.5;

enum class LineOrientation : std::uint8_t { Row, Column };

struct LineDefect {
    LineOrientation Orientation = LineOrientation::Row;
    std::uint32_t Index = 0;        // image row or column
    double Mean = 0.0;              // the line's mean without its deviating pixels (every pixel for a dead line)
    double Reference = 0.0;         // median of the means of the neighbouring lines on the nearer side
    double DeviationPercent = 0.0;  // (Mean - Reference) / Reference * 100; 0 when Reference is 0
    double Sigmas = 0.0;            // |d| / s = |Mean - Reference| / s; 0 for a line of deviating pixels
    double LevelFraction = 0.0;     // |d| / (median line mean), what the floor is compared with
    bool DeviatingPixels = false;   // more than half of its pixels are deviating pixels
};

// "row" or "column".
std::string_view OrientationName(LineOrientation orientation);

// The line defects of one rectangle: every is measured with every pixel,
// without is the same rectangle with the deviating pixels left out
// (LeaveOut). pixelNoise: the SD of one pixel's noise (PixelNoiseEstimate).
// Rows first (top to bottom), then columns (left to right); with many lines
// the two directions are searched on two threads, with the same result. Needs
// at least 2 * kLineNeighbours + 1 lines in a direction to search it.
// floorFraction: the floor of the rule above.
struct LineSearch {
    std::vector<LineDefect> Lines;
    // How near the other lines came: the largest |d| / s among them
    // (both directions), to compare with kLineSigmas.
    double LargestOtherSigmas = 0.0;
};
LineSearch FindLineDefects(const LineProfiles& every, const LineProfiles& without, double pixelNoise,
                           double floorFraction = kLineMinimumFraction);

// The same rule on one profile: means and pixel counts of its lines, dead
// lines marked; indices into the profile. Used by FindLineDefects and tests.
struct ProfileDefect {
    std::size_t Line = 0;
    double Reference = 0.0;
    double Sigmas = 0.0;
    double LevelFraction = 0.0;  // |d| / |median line mean|
};
struct ProfileSearch {
    std::vector<ProfileDefect> Defects;
    double LargestOtherSigmas = 0.0;  // the largest |d| / s of the lines that are not defects
};
ProfileSearch FindProfileDefects(const std::vector<double>& means, const std::vector<std::uint32_t>& counts,
                                 const std::vector<bool>& excluded, double pixelNoise,
                                 double floorFraction = kLineMinimumFraction);

}  // namespace evenor
