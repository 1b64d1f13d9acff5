#pragma once
// The results report: a plain-text file, CR LF line ends, fixed-width tables.
#include <ostream>

#include "AnalysisSettings.h"
#include "RoiGrid.h"

namespace evenor {

// Writes the report lines to a stream (every line ended by CR LF).
void WriteResultsReport(std::ostream& out, const AnalysisSettings& settings, const AnalysisResult& result,
                        bool pixelsInverted);

// Creates or truncates settings.OutputFileName and writes the report into it.
// Throws InOutError with the operating system's error code and its text
// ("Disk full", "File access denied", ...) on the first failed operation.
void WriteResultsReport(const AnalysisSettings& settings, const AnalysisResult& result, bool pixelsInverted);

}  // namespace evenor
