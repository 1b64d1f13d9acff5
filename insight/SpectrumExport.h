#pragma once
// The noise power spectrum in the JSON result ("nps"): how it was made, the
// 1-D NNPS curves, the metrics, the peaks and the verdict; or why there is
// none.
#include <nlohmann/json.hpp>

#include "spectrum/SpectrumPeaks.h"

namespace evenor {

nlohmann::ordered_json NoiseSpectrumJson(const SpectrumAnalysis& analysis);

// What a QA record keeps of it (its details' "nps"): the same without the
// curves: values, rois, metrics, peaks, peak_limit and verdict; or
// not_computed.
nlohmann::ordered_json NoiseSpectrumRecordJson(const SpectrumAnalysis& analysis);

}  // namespace evenor
