#pragma once
// Leaving a border out of the evaluated area: the area less X mm on every
// side, for images with a collimated or shuttered rim (the command line's
// --border-mm).
#include <cstdint>
#include <string>

#include "analysis/AnalysisSettings.h"

namespace evenor {

struct BorderedArea {
    bool Accepted = false;
    AnalysisSettings Settings;       // the input's, the area reduced; only when Accepted
    std::uint32_t BorderPixels = 0;  // taken off every side
    std::string Refusal;             // why not, when not Accepted
};

// The area of settings less borderMm (millimetres) on every side, with the
// image's pixelSpacing (mm). The border in pixels is borderMm / pixelSpacing
// rounded up (a quotient within 1e-9 of a whole number counts as that
// number), so at least borderMm is left out. A border of 0 changes nothing.
// Refused, with the text to show: a border that is negative or not a
// number, an unknown pixel spacing (0 or not finite), and a border that
// leaves no pixel of the area. Whether what is left still holds a box is for
// the settings checks that follow.
BorderedArea ReduceArea(const AnalysisSettings& settings, double pixelSpacing, double borderMm);

}  // namespace evenor
