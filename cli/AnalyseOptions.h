#pragma once
// The analysis options of the command line and of the intake rules, as
// typed, and their check by the window's field rules.
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "analysis/AnalysisDefaults.h"

namespace evenor {

// The analysis options as typed; checked by the window's field rules.
struct AnalyseOptions {
    std::string Area;  // FIRSTCOL,FIRSTROW,LASTCOL,LASTROW; empty: whole image
    std::string BoxCm = DefaultFieldText(DefaultBoxCm);
    std::string RoiDev = DefaultFieldText(DefaultRoiDeviationPercent);
    std::string PixelDev = DefaultFieldText(DefaultPixelDeviationPercent);
    std::string Offset = std::to_string(DefaultPixelOffset);
    std::string BorderMm = "0";  // millimetres taken off every side of the area
    bool NoDetect = false;
    bool Inverted = false;
    bool NotInverted = false;
};

// Checks every value with the settings fields' rules and stores the pixel
// offset; the first failure is printed to err with the field's own message
// (--border-mm: a number of 0 or more).
// False means a usage error.
bool CheckAnalyseOptions(const AnalyseOptions& options, std::uint16_t& pixelOffset, std::ostream& err);

// The parts of a comma-separated text ("a,b,c,d"), empty parts kept.
std::vector<std::string> SplitAtCommas(const std::string& text);

}  // namespace evenor
