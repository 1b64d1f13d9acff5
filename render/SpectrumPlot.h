#pragma once
// Pictures of a noise power spectrum: the 1-D NNPS (horizontal and vertical
// cuts and the radial average, logarithmic NNPS axis) and the 2-D NNPS (zero
// frequency in the middle, horizontal frequency to the right, vertical
// frequency up; grey levels logarithmic over the picture's 1st to 99.9th
// percentile; the peaks circled).
#include <QImage>
#include <QSize>

#include "spectrum/SpectrumPeaks.h"

namespace evenor {

inline constexpr QSize SpectrumPlotSize{800, 500};
inline constexpr int SpectrumPictureScale = 2;  // screen pixels per frequency bin

QImage RenderSpectrumPlot(const NoiseSpectrum& spectrum, QSize size = SpectrumPlotSize);
QImage RenderSpectrumPicture(const NoiseSpectrum& spectrum, const PeakSearch& peaks);

}  // namespace evenor
