#pragma once
// The noise power spectrum in the JSON result ("nps"): how it was made, the
// 1-D NNPS curves, the metrics, the peaks and the verdict; or why there is
// none.
#include <nlohmann/json.hpp>

#include "spectrum/SpectrumPeaks.h"

namespace evenor {

nlohmann::ordered_json NoiseSpectrumJson(const SpectrumAnalysis& analysis);

}  // namespace evenor
