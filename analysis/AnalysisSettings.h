#pragma once
// The settings of one uniformity test, as the window (or the command line)
// holds them: input only, the analysis never writes them (what it did is in
// its AnalysisOutcome). All fields start as 0, false or empty.
#include <cstdint>
#include <string>

namespace evenor {

struct AnalysisSettings {
    std::uint32_t FirstRow = 0;  // 0-based, inclusive
    std::uint32_t LastRow = 0;
    std::uint32_t FirstColumn = 0;
    std::uint32_t LastColumn = 0;
    double BoxDimension = 0.0;  // side of the analysing box, centimetres
    double RoiDeviationPercent = 0.0;
    double PixelDeviationPercent = 0.0;
    bool DetectDeviatingPixels = false;
    bool Logarithmic = false;       // recorded, used by nothing
    bool Inverted = false;          // pixel values fall with dose
    std::uint16_t PixelOffset = 0;  // value of a pixel without dose
    std::string DicomFileName;      // full paths
    std::string OutputFileName;
};

}  // namespace evenor
