#pragma once
// The analysis options of the command line and of the intake rules, as
// typed, and their check by the window's field rules.
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
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
    bool Decompress = false;  // decode compressed images instead of refusing them
};

// A value the settings fields' rules refuse: the option it is given with
// ("--box-cm") and the field's own message ("A number is expected").
struct OptionProblem {
    std::string_view Option;
    std::string Message;
};

// Checks every value with the settings fields' rules, in the order area, box,
// ROI deviation, pixel deviation, offset, border; each refused value is one
// problem. Stores the pixel offset when its text is valid.
std::vector<OptionProblem> AnalyseOptionProblems(const AnalyseOptions& options, std::uint16_t& pixelOffset);

// The same for the command line: the first problem is printed to err
// ("--border-mm: A number of millimetres, 0 or more, is expected"). False
// means a usage error.
bool CheckAnalyseOptions(const AnalyseOptions& options, std::uint16_t& pixelOffset, std::ostream& err);

// The parts of a comma-separated text ("a,b,c,d"), empty parts kept.
std::vector<std::string> SplitAtCommas(const std::string& text);

}  // namespace evenor
