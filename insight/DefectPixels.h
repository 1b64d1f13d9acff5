#pragma once
// Defect pixels: the deviating pixels that noise cannot explain. A deviating
// pixel lies beyond a fixed percentage of its ROI mean; at a low signal the
// pixel noise alone carries thousands of clean pixels that far (a clean
// 2048 x 2048 field at a mean of 200 has about 20,000 pixels beyond 20 %).
// A defect pixel is a deviating pixel that also lies more than k pixel-noise
// SDs from its ROI mean, k such that a clean field of the area's size holds
// one with a chance below 1 %: k is the normal quantile of 1 - 0.005 / N for
// an area of N pixels (two-sided, shared over the pixels), plus 0.5 for the
// skew of quantum noise at low signal (Poisson noise at a mean of 200 reaches
// the upper bound four times as often as normal noise; with the half SD
// added, a clean Poisson field of up to 4096 x 4096 pixels at a mean of 100
// or more stays under 1 %). k is 6.24 for 1024 x 1024 pixels, 6.47 for
// 2048 x 2048, 6.69 for 4096 x 4096.
//
// The pixel noise is the median of the ROI SDs with every pixel (the
// deviating ones too: leaving the pixels beyond 20 % out would shrink the SD
// at low signal, where they are noise).
#include <cstdint>
#include <span>

#include "stats/DeviationMaps.h"
#include "stats/StatFuncties.h"

namespace evenor {

// k for an area of areaPixels pixels; 0 for an empty area.
double DefectPixelSigmas(std::uint64_t areaPixels);

struct DefectPixelSummary {
    bool Counted = false;     // false without deviating pixels searched or without ROIs
    double PixelNoise = 0.0;  // SD of one pixel's noise
    double Sigmas = 0.0;      // k
    std::size_t Count = 0;
    std::uint32_t LargestCluster = 0;  // of the defect pixels, 8-connected; 0 without any
};

// The defect pixels among map's. rois: the ROI statistics of the run (every
// pixel); areaPixels: the pixels of the evaluated area. Without noise (every
// ROI SD 0) every deviating pixel is a defect pixel.
DefectPixelSummary CountDefectPixels(const TBadPixelMap& map, const TMeetSerie& rois, std::uint64_t areaPixels);

}  // namespace evenor
