#include <cmath>
#include <iomanip>
#include <locale>
#include <sstream>

#include "dicom/TerminalText.h"
#include "insight/ResultExport.h"
#include "insight/SpectrumExport.h"
#include "qa/SeriesRun.h"
#include "spectrum/SpectrumPeaks.h"

// The series' JSON document and the summary the command prints: written from
// a finished SeriesResult, apart from the run that measures it.

namespace evenor {

namespace {

using Json = nlohmann::ordered_json;

Json Number(double value) { return std::isfinite(value) ? Json(value) : Json(nullptr); }
Json Number(const std::optional<double>& value) { return value ? Number(*value) : Json(nullptr); }
Json Sd(const std::optional<double>& variance) { return variance ? Number(std::sqrt(*variance)) : Json(nullptr); }

Json RectJson(const AreaRect& rect)
{
    return Json{{"first_column", rect.FirstColumn},
                {"first_row", rect.FirstRow},
                {"last_column", rect.LastColumn},
                {"last_row", rect.LastRow}};
}

Json VerdictJson(Verdict verdict) { return std::string(VerdictName(verdict)); }

// The dose's spectrum as analyse --nps gives it, with the images it averages.
Json SpectrumJson(const SpectrumAnalysis& analysis, const SeriesDose& dose)
{
    Json json{{"kerma_uGy", Number(dose.Kerma)}, {"images", dose.Images.size()}};
    json.update(NoiseSpectrumJson(analysis));
    return json;
}

Json NoiseJson(const SeriesDose& dose, const BoxGrid& grid, bool withMaps)
{
    const DoseNoise& noise = dose.Noise;
    Json json{{"kerma_uGy", Number(dose.Kerma)},
              {"images", noise.Images},
              {"pairs", noise.Pairs},
              {"mean", Number(noise.Mean)},
              {"total_sd", Number(std::sqrt(noise.TotalVariance))},
              {"quantum_sd", Sd(noise.QuantumVariance)},
              {"structured_sd", Sd(noise.StructuredVariance)},
              {"structured_fraction", Number(noise.StructuredFraction)},
              {"total_variance", Number(noise.TotalVariance)},
              {"image_sd", Number(std::sqrt(noise.ImageVariance))},
              {"quantum_noise_uniformity_pct", Number(noise.QuantumNoiseUniformity)}};
    if (withMaps) {
        Json map{{"box_pixels", grid.Side}, {"columns", grid.Columns}, {"rows", grid.Rows}};
        Json values = Json::array();
        for (double v : noise.FixedPatternPercent) values.push_back(Number(v));
        map["deviation_pct"] = std::move(values);
        json["fixed_pattern_map"] = std::move(map);
    }
    return json;
}

}  // namespace

Json CoefficientsJson(const ResponseFit& fit)
{
    switch (fit.Model) {
    case ResponseModel::Linear:
        return Json{{"offset", Number(fit.A)}, {"slope", Number(fit.B)}};
    case ResponseModel::Log:
        return Json{{"offset", Number(fit.A)}, {"slope_per_ln_uGy", Number(fit.B)}};
    case ResponseModel::Power:
        return Json{{"factor", Number(fit.A)}, {"exponent", Number(fit.B)}};
    }
    return Json::object();
}

namespace {

Json ResponseFitJson(const ResponseFit& fit)
{
    Json points = Json::array();
    for (const auto& p : fit.Points)
        points.push_back(Json{{"kerma_uGy", Number(p.Kerma)},
                              {"mean", Number(p.Mean)},
                              {"fitted", Number(p.Fitted)},
                              {"residual", Number(p.Residual)}});
    return Json{{"model", std::string(ResponseModelName(fit.Model))},
                {"coefficients", CoefficientsJson(fit)},
                {"r2", Number(fit.R2)},
                {"points", std::move(points)}};
}

}  // namespace

Json SeriesToJson(const SeriesResult& result)
{
    Json json;
    json["tool"] = std::string(ToolName);
    json["version"] = std::string(ToolVersion);
    json["kind"] = "series";
    json["series_schema_version"] = 1;
    json["detector"] = result.Detector;
    json["columns"] = result.Columns;
    json["rows"] = result.Rows;
    json["pixel_spacing_mm"] = Number(result.PixelSpacing > 0.0 ? std::optional(result.PixelSpacing) : std::nullopt);
    json["values"] = "stored";
    json["area"] = RectJson(result.Area);
    json["area"]["border_pixels"] = result.BorderPixels;
    json["central_region"] = RectJson(result.Central);
    json["central_region"]["side_mm"] = SeriesCentralRegionMm;

    Json images = Json::array();
    for (const auto& image : result.Images) {
        Json entry{{"file", image.File},
                   {"kerma_uGy", Number(image.Kerma)},
                   {"mean", Number(image.Mean)},
                   {"sd", Number(image.SD)},
                   {"central_mean", Number(image.CentralMean)},
                   {"central_sd", Number(image.CentralSD)},
                   {"exposure_index", Number(image.ExposureIndex)},
                   {"target_exposure_index", Number(image.TargetExposureIndex)},
                   {"deviation_index", Number(image.DeviationIndex)},
                   {"ei_ratio", Number(image.ExposureCheck.Ratio)},
                   {"ei_verdict", VerdictJson(image.ExposureCheck.Result)}};
        images.push_back(std::move(entry));
    }
    json["images"] = std::move(images);

    json["noise"] = NoiseJson(result.Doses[result.NoiseDose], result.Grid, true);
    json["noise"]["quantum_noise_uniformity_verdict"] = VerdictJson(result.NoiseUniformityVerdict);
    Json doses = Json::array();
    for (const auto& dose : result.Doses) {
        doses.push_back(NoiseJson(dose, result.Grid, false));
        if (dose.Nps) doses.back()["nps"] = SpectrumJson(*dose.Nps, dose);
    }
    json["doses"] = std::move(doses);
    // The spectrum of the dose the noise block shows; every dose's in "doses".
    if (const SeriesDose& shownDose = result.Doses[result.NoiseDose]; shownDose.Nps)
        json["nps"] = SpectrumJson(*shownDose.Nps, shownDose);

    const SeriesDefects& defects = result.Defects;
    Json persistent = Json::array();
    for (const auto& pixel : defects.PersistentPixels)
        persistent.push_back(Json{{"x", pixel.Column}, {"y", pixel.Row}});
    json["deviating_pixels"] = Json{{"pixel_deviation_pct", result.PixelDeviationPercent},
                                    {"box_pixels", result.Grid.Side},
                                    {"images", defects.Images},
                                    {"persistent", defects.Persistent},
                                    {"transient", defects.Transient},
                                    {"intermittent", defects.Intermittent},
                                    {"persistent_pixels", std::move(persistent)}};

    const ResponseFit* best = result.Response ? result.Response->Best() : nullptr;
    if (best != nullptr) {
        Json response = ResponseFitJson(*best);
        Json candidates = Json::array();
        for (const auto& fit : result.Response->Candidates)
            if (fit.Fitted)
                candidates.push_back(Json{{"model", std::string(ResponseModelName(fit.Model))},
                                          {"coefficients", CoefficientsJson(fit)},
                                          {"r2", Number(fit.R2)}});
        response["candidates"] = std::move(candidates);
        response["region"] = "central_region";
        json["response"] = std::move(response);
    } else {
        json["response"] = nullptr;
    }

    if (result.Components && result.Components->Fitted) {
        const NoiseComponentFit& fit = *result.Components;
        Json points = Json::array();
        for (const auto& p : fit.Points)
            points.push_back(Json{{"kerma_uGy", Number(p.Kerma)},
                                  {"variance", Number(p.Variance)},
                                  {"fitted", Number(p.Fitted)},
                                  {"residual", Number(p.Residual)}});
        Json range = nullptr;
        if (fit.QuantumLimited)
            range = Json{{"from_uGy", Number(fit.QuantumLimited->From)}, {"to_uGy", Number(fit.QuantumLimited->To)}};
        json["noise_components"] = Json{{"electronic", Number(fit.Electronic)},
                                        {"quantum", Number(fit.Quantum)},
                                        {"structured", Number(fit.Structured)},
                                        {"quantum_limited_range", std::move(range)},
                                        {"points", std::move(points)}};
    } else {
        json["noise_components"] = nullptr;
    }

    json["exposure_index"] =
        Json{{"tolerance_pct", ExposureIndexTolerancePercent}, {"verdict", VerdictJson(result.ExposureVerdict)}};

    if (result.Dark) {
        const SeriesDark& dark = *result.Dark;
        json["dark"] = Json{{"images", dark.Images},
                            {"offset_mean", Number(dark.Mean)},
                            {"noise_sd", Number(dark.NoiseSd)},
                            {"noise_from_pairs", dark.FromPairs},
                            {"variance_to_electronic", Number(dark.ElectronicRatio)},
                            {"defect_sds", DarkDefectSds},
                            {"defect_pixels", dark.DefectPixels}};
    } else {
        json["dark"] = nullptr;
    }
    json["warnings"] = result.Warnings;
    return json;
}

std::string SeriesSummaryText(const SeriesResult& result)
{
    std::ostringstream out;
    out.imbue(std::locale::classic());
    const auto number = [](double value) {
        std::ostringstream text;
        text.imbue(std::locale::classic());
        text.precision(4);
        text << value;
        return text.str();
    };
    out << "Series of " << result.Images.size() << " images, " << result.Doses.size()
        << (result.Doses.size() == 1 ? " dose" : " doses") << ", " << Printable(result.Detector) << "\n";
    const SeriesDose& dose = result.Doses[result.NoiseDose];
    const DoseNoise& noise = dose.Noise;
    out << "Noise" << (dose.Kerma ? " at " + number(*dose.Kerma) + " uGy" : std::string()) << ": total SD "
        << number(std::sqrt(noise.TotalVariance));
    if (noise.QuantumVariance)
        out << ", quantum SD " << number(std::sqrt(*noise.QuantumVariance)) << ", structured SD "
            << number(std::sqrt(*noise.StructuredVariance)) << ", structured fraction "
            << number(noise.StructuredFraction.value_or(0.0));
    else
        out << " (no pair of images at one dose: quantum and structured noise not told apart)";
    out << "\n";
    if (noise.QuantumNoiseUniformity)
        out << "Quantum noise uniformity: " << number(*noise.QuantumNoiseUniformity) << " % ("
            << VerdictName(result.NoiseUniformityVerdict) << ")\n";
    out << "Deviating pixels: " << result.Defects.Persistent << " persistent, " << result.Defects.Transient
        << " transient, " << result.Defects.Intermittent << " intermittent\n";
    if (const ResponseFit* best = result.Response ? result.Response->Best() : nullptr) {
        out << "Response: " << ResponseModelName(best->Model) << ", ";
        switch (best->Model) {
        case ResponseModel::Linear:
            out << "pixel value = " << number(best->A) << " + " << number(best->B) << " x K";
            break;
        case ResponseModel::Log:
            out << "pixel value = " << number(best->A) << " + " << number(best->B) << " x ln K";
            break;
        case ResponseModel::Power:
            out << "pixel value = " << number(best->A) << " x K^" << number(best->B);
            break;
        }
        out << ", R2 " << std::fixed << std::setprecision(5) << best->R2 << std::defaultfloat << "\n";
    } else if (!result.Images.empty() && result.Images.front().Kerma) {
        out << "Response: not fitted (three distinct kerma values are needed)\n";
    }
    if (result.Components && result.Components->Fitted) {
        const NoiseComponentFit& fit = *result.Components;
        out << "Noise components: electronic " << number(fit.Electronic) << ", quantum " << number(fit.Quantum)
            << " x K, structured " << number(fit.Structured) << " x K^2";
        if (fit.QuantumLimited)
            out << "; quantum limited from " << number(fit.QuantumLimited->From) << " uGy"
                << (fit.QuantumLimited->To ? " to " + number(*fit.QuantumLimited->To) + " uGy" : std::string());
        out << "\n";
    }
    for (const SeriesDose& npsDose : result.Doses) {
        if (!npsDose.Nps) continue;
        out << "Noise power spectrum" << (npsDose.Kerma ? " at " + number(*npsDose.Kerma) + " uGy" : std::string())
            << ": ";
        const NoiseSpectrumRun& run = npsDose.Nps->Run;
        if (!run.Spectrum) {
            out << "not computed (" << run.NotComputed << ")\n";
            continue;
        }
        const NoiseSpectrum& s = *run.Spectrum;
        out << npsDose.Nps->Verdict() << " (" << (s.Linearised ? "linearised" : "stored") << " values, " << s.Rois
            << " ROIs of " << s.Images << (s.Images == 1 ? " image" : " images");
        for (const SpectrumMetric& metric : s.Metrics)
            if (metric.Frequency == 1.0) out << ", radial NNPS at 1 mm^-1 " << number(metric.Radial) << " mm^2";
        out << ")\n";
        for (const SpectrumPeak& peak : npsDose.Nps->Peaks.Peaks) out << "  peak: " << DescribePeak(peak) << "\n";
    }
    if (result.ExposureVerdict != Verdict::NotEvaluated)
        out << "Exposure index: " << VerdictName(result.ExposureVerdict) << " (tolerance +-"
            << number(ExposureIndexTolerancePercent) << " %)\n";
    if (result.Dark)
        out << "Dark: offset " << number(result.Dark->Mean) << ", noise SD " << number(result.Dark->NoiseSd) << ", "
            << result.Dark->DefectPixels << " defect pixels\n";
    return out.str();
}

}  // namespace evenor
