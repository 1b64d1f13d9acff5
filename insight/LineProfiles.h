#pragma once
// Line profiles: the exact sum and the pixel count of every row and every
// column of a rectangle of the prepared image, measured in one pass. The rim,
// line-defect and structured-noise searches work on them; their total is the
// rectangle's exact integer sum.
#include <cstdint>
#include <span>
#include <vector>

#include "stats/DeviationMaps.h"
#include "stats/PixelScan.h"
#include "stats/StatFuncties.h"

namespace evenor {

// A rectangle of image pixels: Width columns from Left, Height rows from Top.
struct PixelRect {
    std::uint32_t Left = 0;
    std::uint32_t Top = 0;
    std::uint32_t Width = 0;
    std::uint32_t Height = 0;

    bool Empty() const { return Width == 0 || Height == 0; }
    bool Contains(std::uint32_t x, std::uint32_t y) const { return x - Left < Width && y - Top < Height; }
    std::uint32_t Right() const { return Left + Width - 1; }   // last column; only when not empty
    std::uint32_t Bottom() const { return Top + Height - 1; }  // last row; only when not empty
    friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

struct LineProfiles {
    PixelRect Rect;
    std::vector<std::uint64_t> RowSum;  // per row of Rect, top to bottom
    std::vector<std::uint32_t> RowCount;
    std::vector<std::uint64_t> ColumnSum;  // per column of Rect, left to right
    std::vector<std::uint32_t> ColumnCount;
    std::uint64_t Total = 0;  // the pixels counted, summed exactly
    std::uint64_t Count = 0;

    // Sum / count as double; 0 for a line without pixels.
    double RowMean(std::size_t row) const;
    double ColumnMean(std::size_t column) const;
    std::vector<double> RowMeans() const;
    std::vector<double> ColumnMeans() const;
};

// The profiles of rect, every pixel counted. pixels is row-major with
// `columns` values to a row; rect must lie inside it (the caller's area
// checks guarantee that). Integer accumulation throughout, so the sums are
// exact for any image size; one pass, no copy.
LineProfiles MeasureLineProfiles(std::span<const std::uint16_t> pixels, std::uint32_t columns, PixelRect rect);

// Takes the pixels of map that lie inside the profiles' rectangle out of its
// sums and counts.
void LeaveOut(LineProfiles& profiles, const TBadPixelMap& map);

}  // namespace evenor
