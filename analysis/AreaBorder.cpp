#include "analysis/AreaBorder.h"

#include <cmath>
#include <locale>
#include <sstream>

namespace evenor {

namespace {

std::string Millimetres(double value)
{
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << value << " mm";
    return text.str();
}

}  // namespace

BorderedArea ReduceArea(const AnalysisSettings& settings, double pixelSpacing, double borderMm)
{
    BorderedArea bordered;
    if (!std::isfinite(borderMm) || borderMm < 0.0) {
        bordered.Refusal = "The border must be a number of millimetres, 0 or more";
        return bordered;
    }
    if (borderMm == 0.0) {
        bordered.Accepted = true;
        bordered.Settings = settings;
        return bordered;
    }
    if (!std::isfinite(pixelSpacing) || pixelSpacing <= 0.0) {
        bordered.Refusal = "A border in millimetres needs the pixel spacing, and the image has none";
        return bordered;
    }
    const double quotient = borderMm / pixelSpacing;
    const double whole = std::round(quotient);
    const double pixels = std::fabs(quotient - whole) <= 1e-9 ? whole : std::ceil(quotient);
    const std::uint64_t width = std::uint64_t{settings.LastColumn} - settings.FirstColumn + 1;
    const std::uint64_t height = std::uint64_t{settings.LastRow} - settings.FirstRow + 1;
    if (settings.LastColumn < settings.FirstColumn || settings.LastRow < settings.FirstRow ||
        2.0 * pixels >= static_cast<double>(std::min(width, height))) {
        bordered.Refusal = "A border of " + Millimetres(borderMm) + " on every side leaves nothing of the area (" +
                           std::to_string(width) + " x " + std::to_string(height) + " pixels at " +
                           Millimetres(pixelSpacing) + ")";
        return bordered;
    }
    const auto border = static_cast<std::uint32_t>(pixels);
    bordered.Accepted = true;
    bordered.BorderPixels = border;
    bordered.Settings = settings;
    bordered.Settings.FirstColumn += border;
    bordered.Settings.LastColumn -= border;
    bordered.Settings.FirstRow += border;
    bordered.Settings.LastRow -= border;
    return bordered;
}

}  // namespace evenor
