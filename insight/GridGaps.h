#pragma once
// The pixels of the evaluated area that no ROI of the grid covers. The grid
// keeps its layout (the report depends on it), but its half-box steps and the
// far-edge box can leave columns and rows out: the area's last column and
// row whenever a far-edge box is laid (it ends one pixel short), and, with an
// odd box, a strip before the far-edge box where the steps of box div 2 fall
// behind. Since the ROIs form a grid, a pixel is covered exactly when its
// column and its row are, so the gaps are whole columns and whole rows.
//
// The detector inspection tests those pixels too, by the rule of the
// deviating pixels: a pixel deviates when it lies strictly outside
// mean +/- percent of the mean of a box of the grid's size, here the box
// centred on the pixel and moved inside the area where it would stick out.
#include <cstdint>
#include <span>
#include <vector>

#include "analysis/RoiGrid.h"
#include "insight/LineProfiles.h"

namespace evenor {

// Image columns or rows First..Last, inclusive.
struct LineRange {
    std::uint32_t First = 0;
    std::uint32_t Last = 0;
    friend bool operator==(const LineRange&, const LineRange&) = default;
};

struct GridGaps {
    std::vector<LineRange> Columns;  // the area's columns no ROI covers, left to right
    std::vector<LineRange> Rows;     // its rows no ROI covers, top to bottom
    TBadPixelMap Pixels;             // the deviating pixels among them (empty when not searched)
    bool Empty() const { return Columns.empty() && Rows.empty(); }
};

// The lines of first..last that no box of side box starting at one of starts
// covers, in order. starts may repeat and need not be sorted; starts outside
// first..last are ignored.
std::vector<LineRange> UncoveredLines(std::uint32_t first, std::uint32_t last, std::span<const std::uint32_t> starts,
                                      std::uint32_t box);

// The gaps of the grid of result in the area of settings; their deviating
// pixels searched when settings.DetectDeviatingPixels. One pass over the
// columns and rows within half a box of a gap; memory of one line of the
// area. Throws std::bad_alloc when memory runs out.
GridGaps FindGridGaps(const AnalysisSettings& settings, const AnalysisResult& result,
                      std::span<const std::uint16_t> pixels, std::uint32_t columns);

}  // namespace evenor
