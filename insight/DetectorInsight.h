#pragma once
// What the summary says about the detector beyond the report: robust metrics
// (deviating pixels left out), the defects classified (clusters, lines), a
// rim at the edges, structured noise. One call on the outcome of a run; the
// report's numbers are untouched.
//
// Order of the work, all on the prepared pixels of the outcome:
//  1. line profiles of the evaluated area, every pixel (one pass over the
//     area); its exact sum gives the robust area mean;
//  2. robust ROI statistics and metrics (RobustMetrics.h);
//  3. the columns and rows the ROI grid leaves out, their pixels tested by
//     the rule of the deviating pixels (GridGaps.h); clusters of the
//     deviating pixels of the grid and of those gaps (Defects.h), and the
//     defect pixels among the grid's (DefectPixels.h);
//  4. rims (Rims.h) on the profiles of step 1; when there is one, the
//     profiles are measured again over the area without it (a second pass
//     over that part);
//  5. line defects (Defects.h) and structured noise (StructuredNoise.h) on
//     the profiles of LineSearchArea, deviating pixels (also those of the
//     gaps) left out, with the
//     pixel noise from the robust ROI SDs inside it.
// On a large area the gaps' search with the clusters and defect pixels of
// step 3 runs on a second thread beside steps 1 and 2, and the line search
// takes the rows and the columns side by side (Defects.h); each thread
// writes only its own results, so they do not depend on it.
#include <optional>
#include <vector>

#include "analysis/AnalysisRun.h"
#include "insight/DefectPixels.h"
#include "insight/Defects.h"
#include "insight/GridGaps.h"
#include "insight/Rims.h"
#include "insight/RobustMetrics.h"
#include "insight/StructuredNoise.h"

namespace evenor {

struct DetectorInsight {
    RobustMetrics Metrics;
    RobustRoiStatistics RobustRois;
    GridGaps Gaps;                    // the columns and rows no ROI covers, and their deviating pixels
    ClusterSummary Clusters;          // of the run's deviating pixels and those of the gaps; empty when not searched
    DefectPixelSummary DefectPixels;  // the deviating pixels beyond the pixel noise; the verdicts count these
    std::vector<LineDefect> Lines;
    double LargestOtherLineSigmas = 0.0;  // see LineSearch
    // The floor the lines were searched with (LowestLineFloorFraction).
    double LineFloorFraction = kLineMinimumFraction;
    RimReport Rims;
    StructuredNoise Noise;
    std::vector<std::optional<double>> RoiNoiseDeviation;  // per ROI, % (the noise heat map), robust ROI SDs
    bool PixelsSearched = false;                           // settings.DetectDeviatingPixels
    // Line defects are searched only with the deviating pixels known (one hot
    // pixel lifts the mean of a short line past the limit) and only when the
    // rims leave an area; see LinesNotSearchedReason.
    bool LinesSearched = false;
};

// Where lines and structured noise are searched: the area without its rims
// and, on each side with a rim, one box further in. The ROIs that overlap a
// rim have means pulled towards it, so the deviating pixels they find within
// a box of the rim are artefacts of the grid, not of the detector. The
// interior as it is when that would leave fewer than 2 * kLineNeighbours + 1
// lines in a direction.
PixelRect LineSearchArea(const RimReport& rims, std::uint32_t boxPixels);

// Why the lines were not searched ("" when they were).
const char* LinesNotSearchedReason(const DetectorInsight& insight);

// settings: those the run analysed with. Throws std::bad_alloc when memory
// runs out.
DetectorInsight InspectDetector(const AnalysisSettings& settings, const AnalysisOutcome& outcome);

// The same on the parts of an outcome. lineFloorFraction: the floor of the
// line search (Defects.h); by default the lowest of the presets
// (LowestLineFloorFraction), so that every preset can count its own.
DetectorInsight InspectDetector(const AnalysisSettings& settings, const AnalysisResult& result,
                                std::span<const std::uint16_t> pixels, std::uint32_t columns,
                                std::optional<double> lineFloorFraction = std::nullopt);

}  // namespace evenor
