#pragma once
// The settings a new window and a command line without options start from;
// the default guideline preset uses the same deviation percentages.
#include <string>

#include "analysis/FieldSyntax.h"

namespace evenor {

inline constexpr double DefaultBoxCm = 1.0;                   // side of the analysing box
inline constexpr double DefaultRoiDeviationPercent = 5.0;     // a ROI mean this far from the area mean deviates
inline constexpr double DefaultPixelDeviationPercent = 20.0;  // a pixel this far from its ROI mean deviates
inline constexpr unsigned DefaultPixelOffset = 0;

// A default as a settings field shows it ("1", "5", "20").
inline std::string DefaultFieldText(double value) { return ShortestText(value); }

}  // namespace evenor
