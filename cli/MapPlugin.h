#pragma once
// The interface of the map module (evenor_cli_maps): the PNG map writer is
// built as a loadable module next to evenor-cli, so that only runs that draw
// maps load Qt.
//
// The module exports one function, kMapPluginEntry, of type MapPluginEntry,
// which hands out the table below. Both sides are built together from the same
// headers by the same compiler, so the table's functions take the program's
// own types; no exception crosses between them: a failure comes back as false
// with its message.
#include <cstdint>
#include <span>
#include <string>

#include "analysis/AnalysisSettings.h"
#include "analysis/RoiGrid.h"
#include "insight/DetectorInsight.h"
#include "qa/ReportData.h"
#include "qa/TrendSeries.h"
#include "spectrum/SpectrumPeaks.h"

namespace evenor {

// The entry point's name carries the version of the table; a change to the
// table or to the types it takes needs a new name. Version 4: the trend
// series (and the history report's data that hold them) carry the baselines
// over time. Version 5: the noise power spectrum's plots. The module hands out no older table: their types have changed,
// and an older evenor-cli would hand over data the module reads wrongly; it
// finds no table of its version instead and says so.
inline constexpr const char* kMapPluginEntry = "evenor_cli_maps_v5";

struct MapPlugin {
    // Creates a QGuiApplication on the offscreen platform (unless
    // QT_QPA_PLATFORM names another) when there is none; session is what
    // EndSession takes back. Call it on the main thread before any map is
    // drawn.
    bool (*BeginSession)(void*& session, std::string& error) noexcept;
    void (*EndSession)(void* session) noexcept;

    // Writes folder/prefix + area.png (with the defects of InspectDetector
    // marked), roi-mean-deviation.png, roi-snr-deviation.png and
    // roi-noise-deviation.png; error names the file that could not be drawn
    // or written. May run on several threads at once within a session.
    bool (*WriteMaps)(const std::string& folder, const std::string& prefix, std::span<const std::uint16_t> pixels,
                      std::uint32_t columns, const AnalysisSettings& settings, const AnalysisResult& result,
                      std::string& error) noexcept;

    // Writes the trend chart of series (TrendChart.h) as the PNG file path,
    // in an existing folder; error names the file when it fails.
    bool (*WriteTrendChart)(const std::string& path, const TrendSeries& series, std::string& error) noexcept;

    // Writes the PDF report of one test (ReportPdf.h) as the file path; pixels
    // are the prepared values of the whole image (the area map). May run on
    // several threads at once within a session (the reports are drawn one at
    // a time).
    bool (*WriteTestPdf)(const std::string& path, const TestReportData& data, std::span<const std::uint16_t> pixels,
                         std::uint32_t columns, std::string& error) noexcept;
    // Writes the PDF report of one detector's history as the file path.
    bool (*WriteHistoryPdf)(const std::string& path, const HistoryReportData& data, std::string& error) noexcept;
    // WriteMaps for a result whose detector inspection is at hand (it is not
    // made a second time).
    bool (*WriteInspectedMaps)(const std::string& folder, const std::string& prefix,
                               std::span<const std::uint16_t> pixels, std::uint32_t columns,
                               const AnalysisSettings& settings, const AnalysisResult& result,
                               const DetectorInsight& insight, std::string& error) noexcept;
    // Writes folder/prefix + nnps.png (the 1-D NNPS) and nnps-2d.png (the
    // 2-D NNPS, its peaks circled) into an existing folder; error names the
    // file that could not be drawn or written.
    bool (*WriteSpectrumPlots)(const std::string& folder, const std::string& prefix, const NoiseSpectrum& spectrum,
                               const PeakSearch& peaks, std::string& error) noexcept;
};

using MapPluginEntry = const MapPlugin* (*)() noexcept;

}  // namespace evenor
