#pragma once
// Periodic patterns in a noise power spectrum: narrow excesses of the 2-D
// NNPS over a smooth background (grid lines, readout-tile seams, interference,
// a cross-hatch of a failing gain calibration).
//
// Method, on the half plane of the 2-D NNPS (NoiseSpectrum::Nnps2D), at the
// frequencies at least kPeakMinimumBins bins from 0 (periods up to a quarter
// of a ROI) and within Nyquist on both axes:
//  - background: the median of the neighbourhood without the point and its 8
//    neighbours (a peak of a frequency between two bins spreads into them).
//    On an axis: the values of the same axis up to kPeakBackgroundBins bins
//    away, so that power shared by whole rows or columns, which raises a whole
//    axis, is background there and no peak; elsewhere: the square of
//    +-kPeakBackgroundBins bins without the axes;
//  - a candidate: a local maximum (3 x 3) whose excess (value / background -
//    1) reaches the limit PeakExcessLimit(ROIs): at least kPeakMinimumExcess,
//    and above what noise alone reaches in one of about a thousand white
//    fields of that many ROIs (each ROI taken as one degree of freedom, the
//    half overlap and the sharing of ROIs counted, Wilson-Hilferty quantile
//    of chi-square at z = kPeakNoiseZ);
//  - on an axis, the limit is that of fewer samples: noise shared by whole
//    columns (rows) puts its power on the horizontal (vertical) axis, and it
//    is the same in every ROI of a column (row) of ROIs. Its share of the
//    background is the part above the 1-D cut beside the axis; that share is
//    counted as averaged over the ROIs across (down) only, the rest over all
//    ROIs;
//  - without a window, a pattern between two bins leaks into the bins along
//    its row and column by at most sinc^2: a candidate no higher than twice
//    that leak of a higher peak is taken for it and dropped;
//  - each peak: its frequency, its orientation (horizontal: on the
//    horizontal frequency axis, a pattern that changes along a row, across
//    the columns, such as column seams; vertical: on the vertical axis;
//    oblique with its angle from the horizontal axis, 0 .. 180 degrees), its
//    height over the background (NNPS, mm^2) and its period in pixels.
// The verdict: "periodic pattern" when there is at least one peak.
#include <string>
#include <string_view>
#include <vector>

#include "spectrum/NoiseSpectrum.h"

namespace evenor {

inline constexpr int kPeakMinimumBins = 4;
inline constexpr int kPeakBackgroundBins = 8;
inline constexpr double kPeakMinimumExcess = 0.5;
inline constexpr double kPeakNoiseZ = 5.5;

enum class PeakOrientation { Horizontal, Vertical, Oblique };
std::string_view PeakOrientationName(PeakOrientation orientation);  // "horizontal", "vertical", "oblique"

struct SpectrumPeak {
    int U = 0, V = 0;                           // bins (half plane: U > 0, or U == 0 and V > 0)
    double Frequency = 0.0;                     // mm^-1, the distance from 0
    double FrequencyX = 0.0, FrequencyY = 0.0;  // mm^-1, its horizontal and vertical parts
    PeakOrientation Orientation = PeakOrientation::Oblique;
    double AngleDegrees = 0.0;  // from the horizontal frequency axis, 0 .. 180
    double Nnps = 0.0;          // mm^2 at the peak
    double Background = 0.0;    // mm^2
    double Height = 0.0;        // Nnps - Background, mm^2
    double Excess = 0.0;        // Height / Background
    double PeriodPixels = 0.0;  // 1 / (Frequency * pixel spacing)
};

struct PeakSearch {
    std::vector<SpectrumPeak> Peaks;  // highest first
    double ExcessLimit = 0.0;         // the limit a peak reached
    bool PeriodicPattern() const { return !Peaks.empty(); }
};

inline constexpr std::string_view kPeriodicPatternVerdict = "periodic pattern";
inline constexpr std::string_view kNoPeriodicPatternVerdict = "no periodic pattern";

// The excess a peak must reach in a spectrum averaged over rois ROIs.
double PeakExcessLimit(std::size_t rois);

PeakSearch FindSpectrumPeaks(const NoiseSpectrum& spectrum);

// The spectrum of a region and its peaks, in one call (the arguments as
// ComputeNoiseSpectrum's); Peaks stays empty without a spectrum.
struct SpectrumAnalysis {
    NoiseSpectrumRun Run;
    PeakSearch Peaks;
    std::string_view Verdict() const
    {
        return Peaks.PeriodicPattern() ? kPeriodicPatternVerdict : kNoPeriodicPatternVerdict;
    }
};
SpectrumAnalysis AnalyseNoiseSpectrum(std::span<const std::uint16_t> pixels, std::uint32_t columns,
                                      const SpectrumRegion& region, double pixelSpacing,
                                      const LinearisingTransform& linearise = {});

// "a 4.2-pixel pattern across the columns at 1.7 mm^-1, 35 x the background"
std::string DescribePeak(const SpectrumPeak& peak);

}  // namespace evenor
