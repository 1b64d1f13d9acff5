#pragma once
// One complete uniformity test, shared by the window and the command line:
// read the settings fields, check them, reload and prepare the pixel values,
// analyse the ROI grid and write the report.
#include <cstdint>
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

// Refusal of an output file that is the opened image itself (also through
// another path, a symbolic link or a hard link).
inline constexpr const char* kOutputIsImage =
    "The output file is the opened DICOM image; choose another output file, the image stays as it is";

// Runs one test on the current image (null when there is none). Messages for
// conditions the user can correct go to host.ShowMessage and the run returns
// false. Returns true after "Results written to Output File". Read and write
// failures throw EvenorError; the notice is hidden first.
//
// Checks, in order, all before the Calculating notice: a file name and a
// current image ("Select a Dicomfile first"), an output file name that is not
// the image itself (kOutputIsImage), the fields
// (empty gives 0; a text the field checks refuse gives their message), first
// before last ("Area not correct"), the area inside the image ("Area outside
// the image"), a pixel spacing, the extents against the box side ("Area
// smaller than box dimension"), a box of at least 2 pixels. After the reload,
// Pixels must hold Rows x Columns values. The report file is opened only after
// the analysis, so a refused or failed run leaves an existing report as it was.
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

// The warnings of DefaultsFromTags.
inline constexpr const char* kWarningNotLinear =  // W1
    "Pixel-Intensity relationship (tag:00281040) is NOT linear, results may be meaningless";
inline constexpr const char* kWarningLinearMissing =  // W2
    "Pixel-Intensity relationship (tag:00281040) is NOT present in DICOM file, results may be meaningless";
inline constexpr const char* kWarningSignNotRecognised =  // W3
    "Pixel-Intensity relationship sign (tag:00281041) is NOT \"1\" or \"-1\", results may be meaningless";
inline constexpr const char* kWarningSignMissing =  // W4
    "Pixel-Intensity relationship (tag:00281041) is NOT present in DICOM file, results may be meaningless";

// The texts an opened image gives the four area fields: the whole image.
// An image without Rows or Columns gets "0" for its last row or column.
struct AreaDefaults {
    std::string Boven;   // first row
    std::string Links;   // first column
    std::string Rechts;  // last column
    std::string Onder;   // last row
};
AreaDefaults DefaultArea(std::int32_t rows, std::int32_t columns);

}  // namespace evenor
