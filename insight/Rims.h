#pragma once
// Rims: rows or columns at the edges of the evaluated area whose means lie
// far below the rest (a collimator or shutter shadowed them) or far above it
// (saturated, unattenuated beam). A uniformity test over such a rim measures
// the collimation, not the detector; the search says so and names the area
// that is left without it.
//
// Rule, per direction on the line means of the area (every pixel counted):
// the reference is the median of all line means of that direction. From each
// edge inwards, a rim is the run of lines whose mean departs from the
// reference by more than kRimDeparture (10 %), starting at the edge line
// itself; it goes on over the penumbra, the following lines that still depart
// by more than kPenumbraDeparture (2.5 %) in the same direction. A flat field
// corrected for gain has line means within a few per cent of each other (heel
// effect about +/- 1 %), so 10 % is far outside it; the penumbra threshold
// keeps the half-shadowed lines out of the area that is left. The median
// stands for the open field as long as the rims cover less than half of the
// lines. A run of fewer than kMinRimLines lines is no rim: a collimator or
// shutter shadows millimetres, while one or two dark or bright lines at the
// edge are a line defect and are left to the line search.
#include <cstdint>
#include <string>

#include "insight/LineProfiles.h"

namespace evenor {

inline constexpr double kRimDeparture = 0.10;
inline constexpr double kPenumbraDeparture = 0.025;
inline constexpr std::uint32_t kMinRimLines = 3;

enum class RimKind : std::uint8_t {
    None,
    Dark,    // below the rest: collimated or shuttered
    Bright,  // above the rest: saturated or unattenuated
};

struct RimSide {
    std::uint32_t Lines = 0;  // rim width in rows (top, bottom) or columns (left, right); 0 for none
    RimKind Kind = RimKind::None;
};

struct RimReport {
    RimSide Top, Bottom, Left, Right;
    PixelRect Area;      // the evaluated area searched
    PixelRect Interior;  // the area without the rims; empty when the rims cover it all
    bool Found() const { return Top.Lines + Bottom.Lines + Left.Lines + Right.Lines > 0; }
    // The widest side in pixels.
    std::uint32_t WidestSide() const;
};

// The rims of the profiles' rectangle (measured with every pixel counted).
RimReport FindRims(const LineProfiles& area);

// One line for the person: "No rim found" or which sides hold a rim, how
// wide, dark or bright, and the area it leaves (0-based, inclusive), with the
// border in mm that --border-mm needs to leave it out (pixelSpacing in mm;
// left out when 0).
std::string DescribeRims(const RimReport& rims, double pixelSpacing);

// The smallest border in mm, in tenths of a millimetre rounded up, that takes
// the widest rim off every side; 0 without a rim or without a spacing.
double RimBorderMm(const RimReport& rims, double pixelSpacing);

}  // namespace evenor
