#pragma once
// The PNG maps of an analysis (area map and the three heat maps), the trend
// charts and the PDF reports, drawn by the map module (MapPlugin.h) when this
// program was built with the map renderer; a stand-in that refuses otherwise.
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "analysis/AnalysisSettings.h"
#include "analysis/RoiGrid.h"
#include "qa/ImageJob.h"
#include "qa/ReportData.h"
#include "qa/TrendSeries.h"
#include "spectrum/SpectrumPeaks.h"

namespace evenor {

struct DetectorInsight;

// Empty when maps can be drawn; otherwise why not (the program was built
// without the map renderer, or its map module cannot be loaded). The first
// call loads the module.
std::string MapsProblem();

// Keeps a QGuiApplication for the heat maps' text while it lives. When there
// is none, creates one on the offscreen platform unless QT_QPA_PLATFORM names
// another. Construct it on the main thread before any map is drawn, and only
// when maps are wanted. Throws EvenorError when maps are not available, with
// the text of MapsProblem.
class MapSession {
public:
    MapSession();
    ~MapSession();
    MapSession(const MapSession&) = delete;
    MapSession& operator=(const MapSession&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Writes folder/prefix + area.png (the detector's defects marked, as
// InspectDetector finds them), roi-mean-deviation.png, roi-snr-deviation.png
// and roi-noise-deviation.png. pixels are the prepared values of the whole
// image, columns to a row. Needs a MapSession. Throws EvenorError naming the
// file that could not be drawn or written.
// With insight, the detector inspection of this result, it is not made again.
void WriteMapPngs(const std::string& folder, const std::string& prefix, std::span<const std::uint16_t> pixels,
                  std::uint32_t columns, const AnalysisSettings& settings, const AnalysisResult& result,
                  const DetectorInsight* insight = nullptr);

// Writes the trend chart of series (800 x 500) as the PNG file path, whose
// folder exists. Needs a MapSession. Throws EvenorError naming the file.
void WriteTrendChartPng(const std::string& path, const TrendSeries& series);

// Writes the PDF report of one test (render/ReportPdf.h) as the file path.
// pixels are the prepared values of the whole image, columns to a row. Needs
// a MapSession. Throws EvenorError naming the file.
void WriteTestReportPdf(const std::string& path, const TestReportData& data, std::span<const std::uint16_t> pixels,
                        std::uint32_t columns);

// Writes folder/prefix + kSpectrumPlotName and kSpectrumPictureName (the
// folder exists). Needs a MapSession. Throws EvenorError naming the file.
void WriteSpectrumPngs(const std::string& folder, const std::string& prefix, const NoiseSpectrum& spectrum,
                       const PeakSearch& peaks);
// The map module's pictures for ImageJob::Pictures (WriteMapPngs,
// WriteTestReportPdf).
inline ImagePictures ModulePictures()
{
    ImagePictures pictures;
    pictures.Maps = [](const std::string& folder, const std::string& prefix, std::span<const std::uint16_t> pixels,
                       std::uint32_t columns, const AnalysisSettings& settings, const AnalysisResult& result,
                       const DetectorInsight* insight) {
        WriteMapPngs(folder, prefix, pixels, columns, settings, result, insight);
    };
    pictures.Pdf = [](const std::string& path, const TestReportData& data, std::span<const std::uint16_t> pixels,
                      std::uint32_t columns) { WriteTestReportPdf(path, data, pixels, columns); };
    pictures.Spectrum = [](const std::string& folder, const std::string& prefix, const NoiseSpectrum& spectrum,
                           const PeakSearch& peaks) { WriteSpectrumPngs(folder, prefix, spectrum, peaks); };
    return pictures;
}

// Writes the PDF report of one detector's history. Needs a MapSession.
// Throws EvenorError naming the file.
void WriteHistoryReportPdf(const std::string& path, const HistoryReportData& data);

}  // namespace evenor
