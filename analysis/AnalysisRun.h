#pragma once
// One complete uniformity test, shared by the window and the command line:
// read the settings fields, check them, reload and prepare the pixel values,
// analyse the ROI grid and write the report.
#include <optional>
#include <string>
#include <vector>

#include "AnalysisSettings.h"

namespace evenor {

class TDicomBeeld;
struct AnalysisResult;

// What a front end provides to a run: plain messages and the Calculating
// notice. The window implements it with message boxes, the command line with
// standard error.
class RunHost {
public:
    virtual ~RunHost() = default;
    // A plain message the user must acknowledge ("Evenor", one OK button).
    virtual void ShowMessage(const std::string& text) = 0;
    // Shows the Calculating notice and paints it at once.
    virtual void ShowNotice() = 0;
    virtual void HideNotice() = 0;
    // Called after a successful analysis with its result, before the report's
    // success message; front ends that show more than the report use it.
    virtual void ResultReady(const AnalysisSettings&, const AnalysisResult&) {}
};

// The texts and states of the settings controls as the user left them.
struct SettingsFields {
    std::string Boven;   // first row
    std::string Onder;   // last row
    std::string Links;   // first column
    std::string Rechts;  // last column
    std::string Dim;     // box side, cm
    std::string ROIDev;  // ROI deviation, %
    std::string DevPerc; // pixel deviation, %
    bool DetectDeviatingPixels = true;
    bool Logarithmic = false;
    bool Inverted = false;
};

// Runs one test on the current image (null when there is none). Messages for
// conditions the user can correct go to host.ShowMessage and the run returns
// false. Returns true after "Results written to Output File". Read and write
// failures throw EvenorError; the notice is hidden first.
bool RunAnalysis(const SettingsFields& fields, TDicomBeeld* image, AnalysisSettings& settings, RunHost& host);

// The defaults an opened image gives the pixel-representation check boxes,
// from 0028,1040 and 0028,1041 of its tag list, with the warnings to show in
// order (W1..W4). An empty optional leaves the check box as it was.
struct TagDefaults {
    std::optional<bool> Logarithmic;
    std::optional<bool> Inverted;
    std::vector<std::string> Warnings;
};
TagDefaults DefaultsFromTags(const std::vector<std::string>& tagList);

}  // namespace evenor
