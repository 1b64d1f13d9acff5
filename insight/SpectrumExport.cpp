#include "insight/SpectrumExport.h"

#include <cmath>

namespace evenor {

namespace {

using Json = nlohmann::ordered_json;

Json Real(double value) { return std::isfinite(value) ? Json(value) : Json(nullptr); }

Json Reals(const std::vector<double>& values)
{
    Json list = Json::array();
    for (const double value : values) list.push_back(Real(value));
    return list;
}

}  // namespace

Json NoiseSpectrumJson(const SpectrumAnalysis& analysis)
{
    Json json = Json::object();
    const auto& spectrum = analysis.Run.Spectrum;
    if (!spectrum) {
        json["not_computed"] = analysis.Run.NotComputed;
        return json;
    }
    const NoiseSpectrum& s = *spectrum;
    json["values"] = s.Linearised ? "linearised values" : "stored values";
    json["mean"] = Real(s.Mean);
    json["roi_size"] = s.RoiSize;
    json["rois"] = s.Rois;
    json["frequency_step"] = Real(s.BinWidth());
    json["frequencies"] = Reals(s.Frequencies);
    json["horizontal"] = Reals(s.Horizontal);
    json["vertical"] = Reals(s.Vertical);
    json["radial"] = Reals(s.Radial);
    Json metrics = Json::array();
    for (const SpectrumMetric& metric : s.Metrics)
        metrics.push_back({{"frequency", Real(metric.Frequency)},
                           {"horizontal", Real(metric.Horizontal)},
                           {"vertical", Real(metric.Vertical)},
                           {"radial", Real(metric.Radial)}});
    json["metrics"] = std::move(metrics);
    Json peaks = Json::array();
    for (const SpectrumPeak& peak : analysis.Peaks.Peaks)
        peaks.push_back({{"frequency", Real(peak.Frequency)},
                         {"orientation", PeakOrientationName(peak.Orientation)},
                         {"angle", Real(peak.AngleDegrees)},
                         {"height", Real(peak.Height)},
                         {"background", Real(peak.Background)},
                         {"excess", Real(peak.Excess)},
                         {"period_pixels", Real(peak.PeriodPixels)},
                         {"frequency_x", Real(peak.FrequencyX)},
                         {"frequency_y", Real(peak.FrequencyY)},
                         {"description", DescribePeak(peak)}});
    json["peaks"] = std::move(peaks);
    json["peak_limit"] = Real(analysis.Peaks.ExcessLimit);
    json["verdict"] = analysis.Verdict();
    return json;
}

Json NoiseSpectrumRecordJson(const SpectrumAnalysis& analysis)
{
    Json json = NoiseSpectrumJson(analysis);
    for (const char* curve : {"mean", "roi_size", "frequency_step", "frequencies", "horizontal", "vertical", "radial"})
        json.erase(curve);
    return json;
}

}  // namespace evenor
