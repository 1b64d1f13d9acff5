#pragma once
// Several doses of one detector: its response to dose (the signal transfer
// property), its noise components, and the check of its Exposure Index
// against the air kerma given for each image. Kerma K in µGy at the detector;
// pixel values and variances in stored values.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "insight/Guidelines.h"

namespace evenor {

// Response models, each with two coefficients A and B:
//   Linear  pv = A + B K            (A: offset, B: slope per µGy)
//   Log     pv = A + B ln(K / µGy)
//   Power   pv = A K^B              (fitted as ln pv = ln A + B ln K)
enum class ResponseModel : std::uint8_t { Linear, Log, Power };
inline constexpr std::size_t ResponseModelCount = 3;

// "linear", "log", "power".
std::string_view ResponseModelName(ResponseModel model);

struct ResponsePoint {
    double Kerma = 0.0;
    double Mean = 0.0;      // measured
    double Fitted = 0.0;    // the model's value at Kerma
    double Residual = 0.0;  // Mean - Fitted
};

struct ResponseFit {
    ResponseModel Model = ResponseModel::Linear;
    bool Fitted = false;  // false: the model cannot describe the points (see FitResponse)
    double A = 0.0, B = 0.0;
    double R2 = 0.0;  // 1 - SS(residuals) / SS(about the mean), on pixel values for every model
    std::vector<ResponsePoint> Points;

    double PixelValue(double kerma) const;
    // The inverse: the kerma that gives pixelValue; NaN where the model has
    // none (a slope of 0, a power curve at or below 0).
    double Kerma(double pixelValue) const;
};

// Least squares of one model through the points (kerma[i], mean[i]). Not
// fitted with fewer than two distinct kerma values, with a kerma at or below
// 0 (Log, Power) or a mean at or below 0 (Power).
ResponseFit FitResponse(ResponseModel model, std::span<const double> kerma, std::span<const double> mean);

// Two models whose R2 differ by less than this are equally good.
inline constexpr double ResponseR2Tie = 5e-4;

// The choice of model: every model is fitted; the one with the highest R2
// wins, but a model earlier in the order linear, log, power is kept unless a
// later one is better by more than ResponseR2Tie (each model has two
// coefficients, so R2 compares them fairly; a tie goes to the simpler
// reading, and linear is the one linearisation needs least). Chosen is
// empty when no model could be fitted.
struct ResponseChoice {
    std::array<ResponseFit, ResponseModelCount> Candidates;
    std::optional<ResponseModel> Chosen;
    const ResponseFit* Best() const { return Chosen ? &Candidates[static_cast<std::size_t>(*Chosen)] : nullptr; }
};
ResponseChoice ChooseResponse(std::span<const double> kerma, std::span<const double> mean);

// Kerma-linear pixel values for Evenor's own metrics: each stored value v
// becomes K(v) / Unit rounded, clipped to 0..65535, where Unit (µGy) makes
// the reference value (the area's mean) 10000, so that noise, not rounding,
// sets the last digit and a value 6.5 times the reference still fits. A
// stored value the response has no kerma for (below the offset of a linear
// detector, for example) becomes 0. Every metric is a ratio, so Unit drops out
// of them; it is kept to read the values back as kerma.
struct LinearisedPixels {
    std::vector<std::uint16_t> Pixels;
    double Unit = 0.0;  // µGy per value; 0 when the reference has no positive kerma
};
inline constexpr double LinearisedReference = 10000.0;
LinearisedPixels LinearisePixels(std::span<const std::uint16_t> stored, const ResponseFit& response,
                                 double referenceValue);

// The noise components: sigma^2 = e + q K + s K^2 (electronic, quantum,
// structured), fitted by weighted least squares with every term constrained
// to be 0 or more. Weights 1 / variance^2: a variance measured from N pixels
// has a relative uncertainty of about sqrt(2 / N) whatever its size, so the
// relative misfit is what counts. The constraint is met exactly by trying
// every subset of the three terms (unconstrained least squares on the
// subset, the others 0) and keeping the feasible fit with the least weighted
// misfit, the solution of non-negative least squares for three unknowns.
struct VariancePoint {
    double Kerma = 0.0;
    double Variance = 0.0;
    double Fitted = 0.0;
    double Residual = 0.0;  // Variance - Fitted
};
struct NoiseComponentFit {
    bool Fitted = false;  // needs three distinct kerma values and positive variances
    double Electronic = 0.0, Quantum = 0.0, Structured = 0.0;  // e, q, s
    std::vector<VariancePoint> Points;
    // The kerma range where the quantum term is more than half the variance
    // (q K > e + s K^2); To empty when it has no upper end (s = 0). Empty
    // when the quantum term never dominates.
    struct Range {
        double From = 0.0;
        std::optional<double> To;
    };
    std::optional<Range> QuantumLimited;
};
NoiseComponentFit FitNoiseComponents(std::span<const double> kerma, std::span<const double> variance);

// The Exposure Index check. Under its calibration conditions the exposure
// index is EI = 100 x K (K in µGy); the ratio EI / (100 K) is judged against
// a tolerance of ExposureIndexTolerancePercent either way: pass within it,
// fail beyond it. Not evaluated without a positive kerma.
inline constexpr double ExposureIndexTolerancePercent = 20.0;
struct ExposureIndexCheck {
    std::optional<double> Ratio;
    Verdict Result = Verdict::NotEvaluated;
};
ExposureIndexCheck CheckExposureIndex(double exposureIndex, double kerma);

}  // namespace evenor
