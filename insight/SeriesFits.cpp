#include "insight/SeriesFits.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace evenor {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::size_t DistinctValues(std::span<const double> values)
{
    std::vector<double> sorted(values.begin(), values.end());
    std::sort(sorted.begin(), sorted.end());
    return static_cast<std::size_t>(std::unique(sorted.begin(), sorted.end()) - sorted.begin());
}

// Straight line y = a + b x by least squares; false when x does not vary.
bool StraightLine(std::span<const double> x, std::span<const double> y, double& a, double& b)
{
    const double n = static_cast<double>(x.size());
    double mx = 0.0, my = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        mx += x[i];
        my += y[i];
    }
    mx /= n;
    my /= n;
    double sxx = 0.0, sxy = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        sxx += (x[i] - mx) * (x[i] - mx);
        sxy += (x[i] - mx) * (y[i] - my);
    }
    if (!(sxx > 0.0)) return false;
    b = sxy / sxx;
    a = my - b * mx;
    return true;
}

// Solves the k x k system m z = v (row-major m) by Gaussian elimination with
// partial pivoting; false when it is singular.
bool Solve(std::vector<double> m, std::vector<double> v, std::size_t k, std::vector<double>& z)
{
    for (std::size_t col = 0; col < k; ++col) {
        std::size_t pivot = col;
        for (std::size_t r = col + 1; r < k; ++r)
            if (std::fabs(m[r * k + col]) > std::fabs(m[pivot * k + col])) pivot = r;
        if (!(std::fabs(m[pivot * k + col]) > 1e-12)) return false;
        if (pivot != col) {
            for (std::size_t c = 0; c < k; ++c) std::swap(m[col * k + c], m[pivot * k + c]);
            std::swap(v[col], v[pivot]);
        }
        for (std::size_t r = col + 1; r < k; ++r) {
            const double f = m[r * k + col] / m[col * k + col];
            for (std::size_t c = col; c < k; ++c) m[r * k + c] -= f * m[col * k + c];
            v[r] -= f * v[col];
        }
    }
    z.assign(k, 0.0);
    for (std::size_t r = k; r-- > 0;) {
        double s = v[r];
        for (std::size_t c = r + 1; c < k; ++c) s -= m[r * k + c] * z[c];
        z[r] = s / m[r * k + r];
    }
    return true;
}

}  // namespace

std::string_view ResponseModelName(ResponseModel model)
{
    switch (model) {
    case ResponseModel::Linear:
        return "linear";
    case ResponseModel::Log:
        return "log";
    case ResponseModel::Power:
        return "power";
    }
    return "linear";
}

double ResponseFit::PixelValue(double kerma) const
{
    switch (Model) {
    case ResponseModel::Linear:
        return A + B * kerma;
    case ResponseModel::Log:
        return kerma > 0.0 ? A + B * std::log(kerma) : kNaN;
    case ResponseModel::Power:
        return kerma >= 0.0 ? A * std::pow(kerma, B) : kNaN;
    }
    return kNaN;
}

double ResponseFit::Kerma(double pixelValue) const
{
    if (B == 0.0) return kNaN;
    switch (Model) {
    case ResponseModel::Linear:
        return (pixelValue - A) / B;
    case ResponseModel::Log:
        return std::exp((pixelValue - A) / B);
    case ResponseModel::Power:
        return pixelValue > 0.0 && A > 0.0 ? std::pow(pixelValue / A, 1.0 / B) : kNaN;
    }
    return kNaN;
}

ResponseFit FitResponse(ResponseModel model, std::span<const double> kerma, std::span<const double> mean)
{
    ResponseFit fit;
    fit.Model = model;
    if (kerma.size() != mean.size() || DistinctValues(kerma) < 2) return fit;
    const bool needsPositiveKerma = model != ResponseModel::Linear;
    for (std::size_t i = 0; i < kerma.size(); ++i) {
        if (!std::isfinite(kerma[i]) || !std::isfinite(mean[i])) return fit;
        if (needsPositiveKerma && !(kerma[i] > 0.0)) return fit;
        if (model == ResponseModel::Power && !(mean[i] > 0.0)) return fit;
    }
    std::vector<double> x(kerma.begin(), kerma.end()), y(mean.begin(), mean.end());
    if (model != ResponseModel::Linear)
        for (double& v : x) v = std::log(v);
    if (model == ResponseModel::Power)
        for (double& v : y) v = std::log(v);
    double a = 0.0, b = 0.0;
    if (!StraightLine(x, y, a, b)) return fit;
    fit.A = model == ResponseModel::Power ? std::exp(a) : a;
    fit.B = b;

    double meanY = 0.0;
    for (double m : mean) meanY += m;
    meanY /= static_cast<double>(mean.size());
    double residualSquares = 0.0, totalSquares = 0.0;
    for (std::size_t i = 0; i < kerma.size(); ++i) {
        ResponsePoint point{kerma[i], mean[i], fit.PixelValue(kerma[i]), 0.0};
        point.Residual = point.Mean - point.Fitted;
        residualSquares += point.Residual * point.Residual;
        totalSquares += (mean[i] - meanY) * (mean[i] - meanY);
        fit.Points.push_back(point);
    }
    fit.R2 = totalSquares > 0.0 ? 1.0 - residualSquares / totalSquares : (residualSquares == 0.0 ? 1.0 : 0.0);
    fit.Fitted = std::isfinite(fit.R2);
    return fit;
}

ResponseChoice ChooseResponse(std::span<const double> kerma, std::span<const double> mean)
{
    ResponseChoice choice;
    for (std::size_t m = 0; m < ResponseModelCount; ++m) {
        const auto model = static_cast<ResponseModel>(m);
        choice.Candidates[m] = FitResponse(model, kerma, mean);
        const ResponseFit& fit = choice.Candidates[m];
        if (!fit.Fitted) continue;
        if (!choice.Chosen || fit.R2 > choice.Best()->R2 + ResponseR2Tie) choice.Chosen = model;
    }
    return choice;
}

NoiseComponentFit FitNoiseComponents(std::span<const double> kerma, std::span<const double> variance)
{
    NoiseComponentFit fit;
    if (kerma.size() != variance.size() || DistinctValues(kerma) < 3) return fit;
    for (std::size_t i = 0; i < kerma.size(); ++i)
        if (!std::isfinite(kerma[i]) || kerma[i] < 0.0 || !std::isfinite(variance[i]) || !(variance[i] > 0.0))
            return fit;

    // Columns 1, K, K^2, each scaled to a largest value of 1 so that the
    // normal equations stay well conditioned; weights 1 / variance^2.
    double largestKerma = 0.0;
    for (double k : kerma) largestKerma = std::max(largestKerma, k);
    const std::array<double, 3> scale{1.0, largestKerma, largestKerma * largestKerma};
    const auto column = [&](std::size_t term, std::size_t i) { return std::pow(kerma[i], term) / scale[term]; };

    double bestMisfit = std::numeric_limits<double>::infinity();
    std::array<double, 3> best{};
    bool found = false;
    for (unsigned subset = 1; subset < 8; ++subset) {
        std::vector<std::size_t> terms;
        for (std::size_t t = 0; t < 3; ++t)
            if (subset & (1u << t)) terms.push_back(t);
        const std::size_t k = terms.size();
        std::vector<double> m(k * k, 0.0), v(k, 0.0), z;
        for (std::size_t i = 0; i < kerma.size(); ++i) {
            const double w = 1.0 / (variance[i] * variance[i]);
            for (std::size_t r = 0; r < k; ++r) {
                v[r] += w * column(terms[r], i) * variance[i];
                for (std::size_t c = 0; c < k; ++c) m[r * k + c] += w * column(terms[r], i) * column(terms[c], i);
            }
        }
        if (!Solve(m, v, k, z)) continue;
        if (std::any_of(z.begin(), z.end(), [](double value) { return value < 0.0; })) continue;
        std::array<double, 3> coefficients{};
        for (std::size_t r = 0; r < k; ++r) coefficients[terms[r]] = z[r] / scale[terms[r]];
        double misfit = 0.0;
        for (std::size_t i = 0; i < kerma.size(); ++i) {
            const double fitted = coefficients[0] + coefficients[1] * kerma[i] + coefficients[2] * kerma[i] * kerma[i];
            misfit += (variance[i] - fitted) * (variance[i] - fitted) / (variance[i] * variance[i]);
        }
        if (misfit < bestMisfit) {
            bestMisfit = misfit;
            best = coefficients;
            found = true;
        }
    }
    if (!found) return fit;
    fit.Fitted = true;
    fit.Electronic = best[0];
    fit.Quantum = best[1];
    fit.Structured = best[2];
    for (std::size_t i = 0; i < kerma.size(); ++i) {
        VariancePoint point{kerma[i], variance[i], best[0] + best[1] * kerma[i] + best[2] * kerma[i] * kerma[i], 0.0};
        point.Residual = point.Variance - point.Fitted;
        fit.Points.push_back(point);
    }

    // q K > e + s K^2, that is s K^2 - q K + e < 0.
    const double e = fit.Electronic, q = fit.Quantum, s = fit.Structured;
    if (q > 0.0) {
        if (s == 0.0) {
            fit.QuantumLimited = NoiseComponentFit::Range{e / q, std::nullopt};
        } else {
            const double discriminant = q * q - 4.0 * s * e;
            if (discriminant > 0.0) {
                const double root = std::sqrt(discriminant);
                // The smaller root in the form that does not cancel.
                fit.QuantumLimited = NoiseComponentFit::Range{2.0 * e / (q + root), (q + root) / (2.0 * s)};
            }
        }
    }
    return fit;
}

LinearisedPixels LinearisePixels(std::span<const std::uint16_t> stored, const ResponseFit& response,
                                 double referenceValue)
{
    LinearisedPixels linear;
    const double reference = response.Kerma(referenceValue);
    if (!(reference > 0.0) || !std::isfinite(reference)) return linear;
    linear.Unit = reference / LinearisedReference;
    // One look-up entry per possible stored value.
    std::vector<std::uint16_t> table(65536);
    for (std::size_t v = 0; v < table.size(); ++v) {
        const double value = response.Kerma(static_cast<double>(v)) / linear.Unit;
        table[v] = std::isfinite(value) ? static_cast<std::uint16_t>(std::lround(std::clamp(value, 0.0, 65535.0))) : 0;
    }
    linear.Pixels.resize(stored.size());
    std::transform(stored.begin(), stored.end(), linear.Pixels.begin(), [&](std::uint16_t v) { return table[v]; });
    return linear;
}

ExposureIndexCheck CheckExposureIndex(double exposureIndex, double kerma)
{
    ExposureIndexCheck check;
    if (!(kerma > 0.0) || !std::isfinite(kerma) || !std::isfinite(exposureIndex)) return check;
    check.Ratio = exposureIndex / (100.0 * kerma);
    // A hair of tolerance, so that a ratio of exactly 1.2 (EI 120 at 1 µGy) passes.
    check.Result =
        std::fabs(*check.Ratio - 1.0) * 100.0 <= ExposureIndexTolerancePercent + 1e-9 ? Verdict::Pass : Verdict::Fail;
    return check;
}

}  // namespace evenor
