#pragma once
// The noise power spectrum (NPS) of a flat field and its normalised form
// (NNPS = NPS / mean^2), with the 1-D cuts and the radial average, of one
// image or averaged over the ROIs of several.
//
// Method:
//  - values: the pixel values given (the analysis's prepared values: larger
//    means more dose, the offset subtracted), or what a linearising transform
//    makes of each of them. Without a transform they are the stored values,
//    and a detector that does not respond linearly gives a distorted NNPS;
//  - ROIs of kSpectrumRoiSize x kSpectrumRoiSize pixels overlapping by half
//    in both directions, the grid centred in the region (the columns and rows
//    it cannot cover are left out at both sides equally);
//  - each ROI detrended: a 2-D second-order polynomial (1, x, y, x^2, xy,
//    y^2) fitted by least squares and subtracted. The fit uses discrete
//    orthogonal polynomials, so the six coefficients are independent sums;
//  - the 2-D real-to-complex DFT of each ROI (FFTW, one plan made once per
//    process and shared by the worker threads), no window;
//  - NPS(u, v) = dx * dy / (Nx * Ny) * <|DFT|^2>, averaged over the ROIs, in
//    value^2 * mm^2; the mean is the mean of the ROI means;
//  - frequencies k / (N * pixel spacing) in mm^-1, k = 1 .. N/2 (the last is
//    Nyquist). k = 0 is left out: the detrend removes most of the power of
//    the lowest frequencies beside the axes (about 14 % of a white field's at
//    the 1-D cuts' k = 0, 2 % at k = 1);
//  - the horizontal cut at u = k: the mean of the 2 * kSpectrumCutLines lines
//    v = +-1 .. +-kSpectrumCutLines beside the horizontal frequency axis, the
//    axis itself left out (it holds the power of whole rows and columns, not
//    of the 2-D noise); the vertical cut likewise about the vertical axis;
//  - the radial average at k: the mean over the frequencies whose distance
//    from 0 rounds to k bins, the two axes left out. Its first value lies
//    where the detrend removes power (about 9 % of a white field's).
// The sums are accumulated in a fixed partition of the ROIs whatever the
// number of threads, so the same image always gives the same numbers.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace evenor {

inline constexpr std::uint32_t kSpectrumRoiSize = 256;  // pixels, a power of 2
inline constexpr std::uint32_t kSpectrumCutLines = 7;   // lines on each side of an axis in a 1-D cut

// The frequencies (mm^-1) the NNPS is also given at as metrics, where they
// lie within Nyquist.
inline constexpr double kSpectrumMetricFrequencies[] = {0.5, 1.0, 2.0, 4.0};

// Where the ROIs are placed: 0-based, inclusive.
struct SpectrumRegion {
    std::uint32_t FirstColumn = 0, FirstRow = 0, LastColumn = 0, LastRow = 0;
};

// A value of the image (stored or prepared) -> a value proportional to the
// dose. Called once for each possible 16-bit value; a value it gives no
// finite number for (outside the response's domain) counts as 0.
using LinearisingTransform = std::function<double(double)>;

// The NNPS at one metric frequency.
struct SpectrumMetric {
    double Frequency = 0.0;                                 // mm^-1
    double Horizontal = 0.0, Vertical = 0.0, Radial = 0.0;  // NNPS, mm^2, linearly interpolated
};

struct NoiseSpectrum {
    std::uint32_t RoiSize = kSpectrumRoiSize;
    std::uint32_t RoisAcross = 0, RoisDown = 0;
    std::size_t Images = 1;     // the images whose ROIs were averaged
    std::size_t Rois = 0;       // RoisAcross * RoisDown * Images
    double PixelSpacing = 0.0;  // mm
    double Mean = 0.0;          // mean of the values (linearised when Linearised)
    bool Linearised = false;
    // The 2-D NNPS (mm^2): RoiSize rows (vertical frequency v in FFT order:
    // row r is r bins, r > N/2 is r - N) of RoiSize / 2 + 1 values
    // (horizontal frequency u = 0 .. N/2 bins). NNPS(-u, -v) = NNPS(u, v).
    std::vector<double> Nnps2D;
    std::vector<double> Frequencies;                   // mm^-1, k = 1 .. N/2
    std::vector<double> Horizontal, Vertical, Radial;  // NNPS (mm^2) at each frequency
    std::vector<SpectrumMetric> Metrics;               // at kSpectrumMetricFrequencies within Nyquist

    std::uint32_t HalfColumns() const { return RoiSize / 2 + 1; }
    // NNPS at (u, v) bins, -N/2 < u, v <= N/2 (either sign).
    double At(int u, int v) const;
    double BinWidth() const { return 1.0 / (RoiSize * PixelSpacing); }  // mm^-1
};

// Either the spectrum or why there is none.
struct NoiseSpectrumRun {
    std::optional<NoiseSpectrum> Spectrum;
    std::string NotComputed;  // the reason, when Spectrum is empty
};

// Reasons NoiseSpectrumRun::NotComputed gives.
inline constexpr const char* kSpectrumNeedsSpacing = "The noise power spectrum needs the pixel spacing";
inline constexpr const char* kSpectrumAreaTooSmall =
    "The noise power spectrum needs an area of at least 256 x 256 pixels";
inline constexpr const char* kSpectrumNoSignal = "The noise power spectrum needs a mean value above 0";

// The spectrum of region of pixels (rows of `columns` values). The region
// must lie inside the pixels (throws std::invalid_argument otherwise).
// workers: threads used (0: one per core). Never throws for the image's
// values: a region too small, a spacing of 0 or a mean of 0 or less gives the
// reason instead.
NoiseSpectrumRun ComputeNoiseSpectrum(std::span<const std::uint16_t> pixels, std::uint32_t columns,
                                      const SpectrumRegion& region, double pixelSpacing,
                                      const LinearisingTransform& linearise = {}, unsigned workers = 0);

// The spectrum averaged over all ROIs of several images of one size (a
// series at one dose), added one image at a time so that only one is held:
// NPS = the mean |DFT|^2 of every ROI of every image, the mean that of every
// ROI's mean, NNPS = NPS / mean^2. Averaging N images leaves the expected
// NNPS as one image gives it and its scatter about 1 / sqrt(N) as large.
// The sums do not depend on the number of threads.
class NoiseSpectrumSum {
public:
    NoiseSpectrumSum(double pixelSpacing, const LinearisingTransform& linearise = {}, unsigned workers = 0);
    ~NoiseSpectrumSum();
    NoiseSpectrumSum(const NoiseSpectrumSum&) = delete;
    NoiseSpectrumSum& operator=(const NoiseSpectrumSum&) = delete;

    // Adds the ROIs of the region of one image (the region as in
    // ComputeNoiseSpectrum; throws std::invalid_argument outside the pixels or
    // when its ROI grid is not that of the images added before).
    void Add(std::span<const std::uint16_t> pixels, std::uint32_t columns, const SpectrumRegion& region);
    // The spectrum of all images added, or why there is none (no image, a
    // spacing of 0, a region too small, a mean of 0 or less).
    NoiseSpectrumRun Result() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace evenor
