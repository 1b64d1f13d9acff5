#include "spectrum/SpectrumPeaks.h"

#include <algorithm>
#include <cmath>
#include <locale>
#include <numbers>
#include <sstream>

namespace evenor {

namespace {

// Degrees of freedom: one per ROI, divided by the variance inflation of
// half-overlapping unwindowed ROIs (1 + 4 * 1/4 + 4 * 1/16).
constexpr double kOverlapInflation = 2.25;

double Median(std::vector<double>& values)
{
    if (values.empty()) return 0.0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    if (values.size() % 2) return *middle;
    return (*middle + *std::max_element(values.begin(), middle)) / 2.0;
}

// The largest share of a pattern's power that leaks d bins away along one
// direction: sinc^2 of the distance from the true frequency, which lies
// within half a bin of the peak's bin.
double Leak(int d)
{
    if (d == 0) return 1.0;
    const double x = std::numbers::pi * (std::abs(d) - 0.5);
    return 1.0 / (x * x);
}

double Background(const NoiseSpectrum& s, int u, int v, std::vector<double>& scratch)
{
    const int half = static_cast<int>(s.RoiSize) / 2;
    const int r = kPeakBackgroundBins;
    scratch.clear();
    if (v == 0 || u == 0) {
        const int along = v == 0 ? u : v;
        for (int k = std::max(1, along - r); k <= std::min(half, along + r); ++k) {
            if (std::abs(k - along) <= 1) continue;
            scratch.push_back(v == 0 ? s.At(k, 0) : s.At(0, k));
        }
    } else {
        for (int dv = -r; dv <= r; ++dv) {
            for (int du = -r; du <= r; ++du) {
                if (std::abs(du) <= 1 && std::abs(dv) <= 1) continue;
                const int uu = u + du, vv = v + dv;
                if (uu == 0 || vv == 0 || std::abs(uu) > half || std::abs(vv) > half) continue;
                scratch.push_back(s.At(uu, vv));
            }
        }
    }
    return Median(scratch);
}

// The excess noise alone reaches in about one of a thousand spectra
// averaged over nu degrees of freedom (Wilson-Hilferty quantile of
// chi-square at z = kPeakNoiseZ).
double ExcessLimitFor(double nu)
{
    nu = std::max(1.0, nu);
    const double a = 2.0 / (9.0 * nu);
    return std::max(kPeakMinimumExcess, std::pow(1.0 - a + kPeakNoiseZ * std::sqrt(a), 3.0) - 1.0);
}

// The limit on an axis: the share of its background that whole columns (on
// the horizontal axis) or rows share, the part above the 1-D cut beside the
// axis, is the same in every ROI of a column (row) of ROIs, so it is
// averaged over the ROIs across (down) only.
double AxisExcessLimit(const NoiseSpectrum& s, int u, int v, double background)
{
    const bool horizontal = v == 0;
    const double beside =
        horizontal ? s.Horizontal[static_cast<std::size_t>(u - 1)] : s.Vertical[static_cast<std::size_t>(v - 1)];
    const double shared = std::clamp(1.0 - beside / background, 0.0, 1.0);
    const double lines = std::max<double>(1.0, horizontal ? s.RoisAcross : s.RoisDown);
    const double variance =
        kOverlapInflation * ((1.0 - shared) * (1.0 - shared) / static_cast<double>(s.Rois) + shared * shared / lines);
    return ExcessLimitFor(1.0 / variance);
}

}  // namespace

std::string_view PeakOrientationName(PeakOrientation orientation)
{
    switch (orientation) {
    case PeakOrientation::Horizontal:
        return "horizontal";
    case PeakOrientation::Vertical:
        return "vertical";
    case PeakOrientation::Oblique:
        break;
    }
    return "oblique";
}

double PeakExcessLimit(std::size_t rois) { return ExcessLimitFor(static_cast<double>(rois) / kOverlapInflation); }

PeakSearch FindSpectrumPeaks(const NoiseSpectrum& s)
{
    PeakSearch search;
    search.ExcessLimit = PeakExcessLimit(s.Rois);
    const int half = static_cast<int>(s.RoiSize) / 2;
    std::vector<double> scratch;
    std::vector<SpectrumPeak> candidates;
    for (int u = 0; u <= half; ++u) {
        for (int v = -half + 1; v <= half; ++v) {
            if (u == 0 && v <= 0) continue;  // the mirror of u > 0
            if (u * u + v * v < kPeakMinimumBins * kPeakMinimumBins) continue;
            const double value = s.At(u, v);
            bool highest = true;
            for (int dv = -1; dv <= 1 && highest; ++dv)
                for (int du = -1; du <= 1 && highest; ++du)
                    if ((du || dv) && std::abs(u + du) <= half && std::abs(v + dv) <= half &&
                        s.At(u + du, v + dv) > value)
                        highest = false;
            if (!highest) continue;
            const double background = Background(s, u, v, scratch);
            if (!(background > 0.0) || value / background - 1.0 < search.ExcessLimit) continue;
            if ((u == 0 || v == 0) && value / background - 1.0 < AxisExcessLimit(s, u, v, background)) continue;
            SpectrumPeak peak;
            peak.U = u;
            peak.V = v;
            peak.Nnps = value;
            peak.Background = background;
            peak.Height = value - background;
            peak.Excess = peak.Height / background;
            candidates.push_back(peak);
        }
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const SpectrumPeak& a, const SpectrumPeak& b) { return a.Height > b.Height; });
    for (SpectrumPeak& c : candidates) {
        bool leak = false;
        for (const SpectrumPeak& p : search.Peaks) {
            // The peak and its mirror image (-U, -V).
            const double direct = Leak(c.U - p.U) * Leak(c.V - p.V);
            const double mirror = Leak(c.U + p.U) * Leak(c.V + p.V);
            if (c.Height <= 2.0 * p.Height * std::max(direct, mirror)) leak = true;
        }
        if (leak) continue;
        const double bin = s.BinWidth();
        c.FrequencyX = c.U * bin;
        c.FrequencyY = c.V * bin;
        c.Frequency = std::hypot(c.FrequencyX, c.FrequencyY);
        c.Orientation = c.V == 0   ? PeakOrientation::Horizontal
                        : c.U == 0 ? PeakOrientation::Vertical
                                   : PeakOrientation::Oblique;
        double angle = std::atan2(static_cast<double>(c.V), static_cast<double>(c.U)) * 180.0 / std::numbers::pi;
        if (angle < 0.0) angle += 180.0;
        c.AngleDegrees = angle;
        c.PeriodPixels = 1.0 / (c.Frequency * s.PixelSpacing);
        search.Peaks.push_back(c);
    }
    return search;
}

SpectrumAnalysis AnalyseNoiseSpectrum(std::span<const std::uint16_t> pixels, std::uint32_t columns,
                                      const SpectrumRegion& region, double pixelSpacing,
                                      const LinearisingTransform& linearise)
{
    SpectrumAnalysis analysis;
    analysis.Run = ComputeNoiseSpectrum(pixels, columns, region, pixelSpacing, linearise);
    if (analysis.Run.Spectrum) analysis.Peaks = FindSpectrumPeaks(*analysis.Run.Spectrum);
    return analysis;
}

std::string DescribePeak(const SpectrumPeak& peak)
{
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text.precision(3);
    text << "a " << peak.PeriodPixels << "-pixel pattern ";
    switch (peak.Orientation) {
    case PeakOrientation::Horizontal:
        text << "across the columns";
        break;
    case PeakOrientation::Vertical:
        text << "across the rows";
        break;
    case PeakOrientation::Oblique:
        text << "oblique at " << peak.AngleDegrees << " degrees";
        break;
    }
    text << " at " << peak.Frequency << " mm^-1, " << peak.Excess + 1.0 << " x the background";
    return text.str();
}

}  // namespace evenor
