#include "analysis/AnalysisRun.h"

#include <algorithm>
#include <cmath>

#include "analysis/FieldSyntax.h"
#include "analysis/PixelPreparation.h"
#include "analysis/RoiGrid.h"
#include "dicom/DicomLib.h"
#include "dicom/DicomTags.h"
#include "dicom/SharedFile.h"

namespace evenor {

namespace {

// Reads the fields into settings in the order of the window's table. Each
// value stays stored even when a later field or check fails.
bool ReadSettingsFields(const SettingsFields& fields, AnalysisSettings& settings, RunHost& host)
{
    const struct {
        const std::string& text;
        std::uint32_t& target;
    } wholeNumbers[] = {
        {fields.FirstRow, settings.FirstRow},
        {fields.LastRow, settings.LastRow},
        {fields.FirstColumn, settings.FirstColumn},
        {fields.LastColumn, settings.LastColumn},
    };
    for (const auto& field : wholeNumbers) {
        if (!ReadAreaField(field.text, field.target)) {
            host.ShowMessage(kIntegerExpected);
            return false;
        }
    }
    const struct {
        const std::string& text;
        double& target;
    } realNumbers[] = {
        {fields.BoxCm, settings.BoxDimension},
        {fields.RoiDeviation, settings.RoiDeviationPercent},
        {fields.PixelDeviation, settings.PixelDeviationPercent},
    };
    for (const auto& field : realNumbers) {
        if (!ReadRealField(field.text, field.target)) {
            host.ShowMessage(kNumberExpected);
            return false;
        }
    }
    settings.DetectDeviatingPixels = fields.DetectDeviatingPixels;
    settings.Logarithmic = fields.Logarithmic;
    settings.Inverted = fields.Inverted;
    return true;
}

// The checks before the fields are read: an image and the two file names.
bool CheckFiles(const AnalysisSettings& settings, const TDicomBeeld* image, RunHost& host)
{
    // A failed open leaves the file name set but no image current.
    if (settings.DicomFileName.empty() || image == nullptr) {
        host.ShowMessage("Select a Dicomfile first");
        return false;
    }
    if (settings.OutputFileName.empty()) {
        host.ShowMessage("Select a export file first");
        return false;
    }
    // The report would be written over the image it describes.
    if (IsSameFile(settings.OutputFileName, settings.DicomFileName)) {
        host.ShowMessage(kOutputIsImage);
        return false;
    }
    return true;
}

// The checks after the fields are read: the area against the image and the box.
bool CheckArea(const AnalysisSettings& settings, const TDicomBeeld& image, RunHost& host)
{
    if (!AreaInOrder(settings)) {
        host.ShowMessage(kAreaNotCorrect);
        return false;
    }
    // Without a spacing the box side in pixels cannot be computed.
    const double pixelSpacing = image.PixelSpacing();
    if (!(pixelSpacing > 0.0) || !std::isfinite(pixelSpacing)) {
        host.ShowMessage("Pixel spacing not found in DICOM file, cannot convert box dimension");
        return false;
    }
    if (!AreaHoldsBox(settings, pixelSpacing)) {
        host.ShowMessage(kAreaSmallerThanBox);
        return false;
    }
    // The grid and the region copy need the area inside the image (tested
    // after the box-size check, whose message takes precedence).
    const auto rows = static_cast<std::uint32_t>(std::max(image.Rows(), 0));
    const auto columns = static_cast<std::uint32_t>(std::max(image.Columns(), 0));
    if (!AreaInsideImage(settings, rows, columns)) {
        host.ShowMessage(kAreaOutsideImage);
        return false;
    }
    // A box of 0 pixels cannot be laid and one of 1 has a half-box step of 0.
    // Tested after the area check, so the box fits the image and the grid's
    // 16-bit box side cannot have wrapped.
    if (BoxPixelsFor(settings.BoxDimension, pixelSpacing) < 2) {
        host.ShowMessage(kBoxTooSmall);
        return false;
    }
    return true;
}

bool ContainsText(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

}  // namespace

bool ReadSettings(const SettingsFields& fields, const TDicomBeeld* image, AnalysisSettings& settings, RunHost& host)
{
    return CheckFiles(settings, image, host) && ReadSettingsFields(fields, settings, host) &&
           CheckArea(settings, *image, host);
}

bool CheckSettings(const AnalysisSettings& settings, const TDicomBeeld* image, RunHost& host)
{
    return CheckFiles(settings, image, host) && CheckArea(settings, *image, host);
}

std::optional<AnalysisOutcome> Analyse(const AnalysisSettings& settings, TDicomBeeld& image, RunHost& host)
{
    image.LoadPixels();
    const auto rows = static_cast<std::size_t>(std::max(image.Rows(), 0));
    const auto columns = static_cast<std::uint32_t>(std::max(image.Columns(), 0));
    if (image.Pixels().size() != rows * columns) return std::nullopt;

    AnalysisOutcome outcome;
    if (settings.Inverted) InvertPixels(image, outcome.Preparation, host);
    if (settings.PixelOffset > 0)
        outcome.Preparation.ClippedBelowOffset = !SubtractPixelOffset(image, settings.PixelOffset);
    outcome.Result = AnalyseRoiGrid(image, settings);
    outcome.Pixels = std::move(image.Pixels());
    image.Pixels().clear();
    outcome.Columns = columns;
    return outcome;
}

bool AreaInOrder(const AnalysisSettings& settings)
{
    return settings.FirstRow <= settings.LastRow && settings.FirstColumn <= settings.LastColumn;
}

bool AreaHoldsBox(const AnalysisSettings& settings, double pixelSpacing)
{
    const double boxSide = 10.0 * settings.BoxDimension / pixelSpacing;
    // Extents are last - first, not the number of pixels; equal passes.
    return !(static_cast<double>(settings.LastRow - settings.FirstRow) < boxSide ||
             static_cast<double>(settings.LastColumn - settings.FirstColumn) < boxSide);
}

bool AreaInsideImage(const AnalysisSettings& settings, std::uint32_t rows, std::uint32_t columns)
{
    return settings.LastRow < rows && settings.LastColumn < columns;
}

TagDefaults DefaultsFromTags(const std::vector<std::string>& tagList)
{
    TagDefaults defaults;
    std::string value;
    if (FindTagValue(tagList, tags::PixelIntensityRelationship.Key, value)) {
        std::transform(value.begin(), value.end(), value.begin(),
                       [](unsigned char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c); });
        if (ContainsText(value, "LOG")) {
            defaults.Logarithmic = true;
            defaults.Warnings.push_back(kWarningNotLinear);
        } else if (ContainsText(value, "LIN")) {
            defaults.Logarithmic = false;
        } else {
            defaults.Warnings.push_back(kWarningNotLinear);
        }
    } else {
        defaults.Warnings.push_back(kWarningLinearMissing);
    }

    value.clear();
    if (FindTagValue(tagList, tags::PixelIntensityRelationshipSign.Key, value)) {
        // "-1" is tested first: "1" is part of it.
        if (ContainsText(value, "-1")) {
            defaults.Inverted = true;
        } else if (ContainsText(value, "1")) {
            defaults.Inverted = false;
        } else {
            defaults.Warnings.push_back(kWarningSignNotRecognised);
        }
    } else {
        defaults.Warnings.push_back(kWarningSignMissing);
    }
    return defaults;
}

ImageArea WholeImageArea(std::int32_t rows, std::int32_t columns)
{
    ImageArea area;
    area.LastColumn = static_cast<std::uint32_t>(columns > 0 ? columns - 1 : 0);
    area.LastRow = static_cast<std::uint32_t>(rows > 0 ? rows - 1 : 0);
    return area;
}

}  // namespace evenor
