#pragma once
// One complete uniformity test, shared by the window and the command line, in
// two steps:
//  1. the settings: read from the window's fields (or typed by the command
//     line) and checked, in a fixed order with fixed messages;
//  2. the analysis: reload the pixel values, prepare them, analyse the ROI
//     grid. It returns an AnalysisOutcome; the caller writes the report and
//     whatever else it shows from it.
// The window shows the Calculating notice around step 2 and the report.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/AnalysisSettings.h"
#include "analysis/PixelPreparation.h"
#include "analysis/RoiGrid.h"
#include "dicom/WordArray.h"

namespace evenor {

class TDicomBeeld;

// Where a run's messages go: message boxes in the window, standard error on
// the command line.
class RunHost {
public:
    virtual ~RunHost() = default;
    // A plain message the user must acknowledge ("Evenor", one OK button).
    virtual void ShowMessage(const std::string& text) = 0;
};

// The texts and states of the settings controls as the user left them.
struct SettingsFields {
    std::string FirstRow;        // the window's Boven
    std::string LastRow;         // Onder
    std::string FirstColumn;     // Links
    std::string LastColumn;      // Rechts
    std::string BoxCm;           // Dim: box side, cm
    std::string RoiDeviation;    // ROIDev, %
    std::string PixelDeviation;  // DevPerc, %
    bool DetectDeviatingPixels = true;
    bool Logarithmic = false;
    bool Inverted = false;
};

// Reads the fields into settings and checks them, showing the first refusal
// through host; true when settings can be analysed. settings brings the file
// names and the pixel offset; each field read stays stored even when a later
// one or a check fails.
//
// Checks, in order: a file name and a current image ("Select a Dicomfile
// first"), an output file name, an output file that is not the image itself
// (kOutputIsImage), the fields (empty gives 0; a text the field checks refuse
// gives their message), first before last ("Area not correct"), a pixel
// spacing, the extents against the box side ("Area smaller than box
// dimension"), the area inside the image ("Area outside the image"), a box of
// at least 2 pixels.
bool ReadSettings(const SettingsFields& fields, const TDicomBeeld* image, AnalysisSettings& settings, RunHost& host);

// The same checks for settings that were typed directly (no fields to read).
bool CheckSettings(const AnalysisSettings& settings, const TDicomBeeld* image, RunHost& host);

// The area and box checks of the two calls above, one at a time, also for
// settings written down before any image is known (the intake rules). Each
// holds when the check passes; the message of its refusal follows it.
bool AreaInOrder(const AnalysisSettings& settings);  // first column and row not after the last
inline constexpr const char* kAreaNotCorrect = "Area not correct";
// The extents (last - first, not the number of pixels) of an area in order
// are at least the box side in pixels at pixelSpacing (mm).
bool AreaHoldsBox(const AnalysisSettings& settings, double pixelSpacing);
inline constexpr const char* kAreaSmallerThanBox = "Area smaller than box dimension";
bool AreaInsideImage(const AnalysisSettings& settings, std::uint32_t rows, std::uint32_t columns);
inline constexpr const char* kAreaOutsideImage = "Area outside the image";
inline constexpr const char* kBoxTooSmall = "Box dimension too small, the analysing box must be at least 2 pixels wide";

// What one analysis produced.
struct AnalysisOutcome {
    AnalysisResult Result;
    WordArray Pixels;           // the prepared values, Rows x Columns, moved out of the image
    std::uint32_t Columns = 0;  // the row length of Pixels
    PixelPreparation Preparation;
};

// Reloads the image's pixel values, inverts them (settings.Inverted; its
// messages go to host) and subtracts the offset, then analyses the ROI grid.
// Needs settings that passed the checks above. Empty when the file holds fewer
// than Rows x Columns values (show kPixelDataIncomplete). Read failures throw
// EvenorError. On success the image keeps no pixel values (they are in the
// outcome); after an exception it may hold them, prepared or not: the next
// run reloads them in any case.
std::optional<AnalysisOutcome> Analyse(const AnalysisSettings& settings, TDicomBeeld& image, RunHost& host);

// Refusal of an output file that is the opened image itself (also through
// another path, a symbolic link or a hard link).
inline constexpr const char* kOutputIsImage =
    "The output file is the opened DICOM image; choose another output file, the image stays as it is";
inline constexpr const char* kPixelDataIncomplete = "Pixel data incomplete, the DICOM file ends too early";
// The last message of a run, after the report.
inline constexpr const char* kResultsWritten = "Results written to Output File";

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

// The area an opened image gives the four area fields: the whole image,
// 0-based and inclusive. An image without Rows or Columns gets 0 for its last
// row or column.
struct ImageArea {
    std::uint32_t FirstRow = 0;
    std::uint32_t FirstColumn = 0;
    std::uint32_t LastColumn = 0;
    std::uint32_t LastRow = 0;
};
ImageArea WholeImageArea(std::int32_t rows, std::int32_t columns);

}  // namespace evenor
