#pragma once
// The statistics of many equal boxes of one image at once, for the ROI grid:
// the results of StatFuncties' routines on each box, bit for bit, with the
// boxes batched so that each pixel is read from the image once and the
// second passes of up to eight boxes run side by side (AVX2 where the
// processor has it). Optionally the deviating-pixel search of each box.
#include <cstdint>
#include <span>

#include "stats/StatFuncties.h"

namespace evenor {

class TBadPixelMap;

// The deviating-pixel search BoxStatistics can run box by box: MakeBadPixelMap
// of each box with its Mean and Percent, into Map.
struct PixelDeviationSearch {
    double Percent = 0.0;
    TBadPixelMap* Map = nullptr;
};

// Fills Maximum, Minimum, Mean, SD and SNR of every element of rois from its
// box of side x side pixels whose top-left pixel is (X, Y) of a row-major
// image with `columns` values to a row. The results are those of WordMax,
// WordMin and WordMeanSD on the box's row-by-row copy, bit for bit; SNR is
// Mean / SD, 0 when SD is 0. With a search, each box's deviating pixels are
// added right after its statistics, in list order: the entries and their
// order are those of MakeBadPixelMap called box by box.
//
// Boxes are handled in batches of up to eight: the batch is copied into one
// buffer (a grid column's overlapping boxes as one strip, so each pixel is
// read from the image once), and the boxes' second passes run side by side,
// each box's sum still in its own index order. Boxes too large for the buffer
// (over a million pixels) are read in place. Allocates that one buffer per
// call. The caller guarantees every box lies inside the image.
void BoxStatistics(std::span<const std::uint16_t> image, std::uint32_t columns, std::uint32_t side,
                   std::span<RoiResult> rois, const PixelDeviationSearch* search = nullptr);

}  // namespace evenor
