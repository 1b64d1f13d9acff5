#pragma once
// What "analyse" prints on standard output: the summary of an analysed image
// (counts; the robust metrics with their descriptions, the every-pixel values
// beside them when pixels were left out; the verdicts of the metrics, defects
// and structured noise; the defects, the rim with the --border-mm that
// leaves it out, the structured noise), the one-line form of
// batch runs, and the list of guideline presets. Numbers use "." whatever the
// locale.
#include <string>

#include "qa/ImageJob.h"

namespace evenor {

// Several lines, each ended by a line feed.
std::string ImageSummaryText(const std::string& file, const ImageOutcome& outcome);

// "FILE: VERDICT (N ROIs, N deviating ROIs, N deviating pixels)", no line end.
std::string ImageSummaryLine(const std::string& file, const ImageOutcome& outcome);

// Every preset: its name, a mark for the default, and its description.
std::string PresetListText();

}  // namespace evenor
