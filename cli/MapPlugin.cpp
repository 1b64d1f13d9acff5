// The map module: draws the PNG maps with the Qt map renderer. Built as its
// own loadable module, with its own copies of the program's libraries, so it
// relies on nothing but what the calls hand over.
#include "cli/MapPlugin.h"

#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <type_traits>

#include <QGuiApplication>

#include "base/EvenorError.h"
#include "insight/DetectorInsight.h"
#include "insight/ResultExport.h"
#include "qa/ImageJob.h"
#include "render/MapRenderer.h"
#include "render/ReportPdf.h"
#include "render/SpectrumPlot.h"
#include "render/TrendChart.h"

namespace evenor {

namespace {

QtMessageHandler previousHandler = nullptr;

// The offscreen platform complains about a missing XDG_RUNTIME_DIR, which
// does not matter for drawing into images; every other Qt message passes.
void FilterQtMessages(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtWarningMsg && message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR"))) return;
    if (previousHandler) previousHandler(type, context, message);
}

struct Session {
    // QGuiApplication keeps references to argc and argv.
    int argc = 1;
    char name[16] = "evenor-cli";
    char* argv[2] = {name, nullptr};
    std::unique_ptr<QGuiApplication> application;

    Session()
    {
        if (QCoreApplication::instance() != nullptr) return;
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        previousHandler = qInstallMessageHandler(FilterQtMessages);
        application = std::make_unique<QGuiApplication>(argc, argv);
    }

    ~Session()
    {
        if (!application) return;
        application.reset();
        qInstallMessageHandler(previousHandler);
    }
};

void WriteMapPngs(const std::string& folder, const std::string& prefix, std::span<const std::uint16_t> pixels,
                  std::uint32_t columns, const AnalysisSettings& settings, const AnalysisResult& result,
                  const DetectorInsight& insight)
{
    const std::filesystem::path base(folder);
    std::error_code error;
    std::filesystem::create_directories(base, error);
    if (error || !std::filesystem::is_directory(base))
        throw EvenorError(folder + ": cannot create the folder" + (error ? ": " + error.message() : std::string()));
    const auto write = [&](const char* name, const auto& draw) {
        const std::string path = (base / (prefix + name)).string();
        try {
            SaveMapPng(draw(), path);
        } catch (const EvenorError& e) {
            throw EvenorError(path + ": " + e.what());
        }
    };
    write(kAreaMapName, [&] { return RenderAreaMap(pixels, columns, settings, result, AreaMapDefectsOf(insight)); });
    write(kMeanHeatMapName, [&] { return RenderHeatMap(result, HeatMapKind::RoiMeanDeviation).Image; });
    write(kSnrHeatMapName, [&] { return RenderHeatMap(result, HeatMapKind::RoiSnrDeviation).Image; });
    write(kNoiseHeatMapName,
          [&] { return RenderHeatMap(result, HeatMapKind::RoiNoiseDeviation, &insight.RobustRois.Rois).Image; });
}

// WriteMaps: the defects the area map marks found here; the
// inspection is deterministic, so a batch draws the same map as a single run.
void WriteMapPngs(const std::string& folder, const std::string& prefix, std::span<const std::uint16_t> pixels,
                  std::uint32_t columns, const AnalysisSettings& settings, const AnalysisResult& result)
{
    WriteMapPngs(folder, prefix, pixels, columns, settings, result, InspectDetector(settings, result, pixels, columns));
}

// Runs action; any exception becomes error's text and false.
template <typename Action> bool Guarded(std::string& error, const Action& action) noexcept
{
    try {
        action();
        return true;
    } catch (const std::exception& e) {
        try {
            error = e.what();
        } catch (...) {}
    } catch (...) {
        try {
            error = "the map renderer failed";
        } catch (...) {}
    }
    return false;
}

bool BeginSession(void*& session, std::string& error) noexcept
{
    session = nullptr;
    return Guarded(error, [&] { session = new Session; });
}

void EndSession(void* session) noexcept { delete static_cast<Session*>(session); }

bool WriteMaps(const std::string& folder, const std::string& prefix, std::span<const std::uint16_t> pixels,
               std::uint32_t columns, const AnalysisSettings& settings, const AnalysisResult& result,
               std::string& error) noexcept
{
    return Guarded(error, [&] { WriteMapPngs(folder, prefix, pixels, columns, settings, result); });
}

bool WriteInspectedMaps(const std::string& folder, const std::string& prefix, std::span<const std::uint16_t> pixels,
                        std::uint32_t columns, const AnalysisSettings& settings, const AnalysisResult& result,
                        const DetectorInsight& insight, std::string& error) noexcept
{
    return Guarded(error, [&] { WriteMapPngs(folder, prefix, pixels, columns, settings, result, insight); });
}

bool WriteTrendChart(const std::string& path, const TrendSeries& series, std::string& error) noexcept
{
    return Guarded(error, [&] {
        try {
            SaveMapPng(RenderTrendChart(series), path);
        } catch (const EvenorError& e) {
            throw EvenorError(path + ": " + e.what());
        }
    });
}

bool WriteTestPdf(const std::string& path, const TestReportData& data, std::span<const std::uint16_t> pixels,
                  std::uint32_t columns, std::string& error) noexcept
{
    return Guarded(error, [&] {
        try {
            if (data.Settings == nullptr || data.Result == nullptr || data.Context == nullptr ||
                data.Context->Insight == nullptr)
                throw EvenorError("the PDF report needs the settings, the result and the detector inspection");
            // One report at a time: a batch's workers share the fonts.
            static std::mutex drawing;
            const std::lock_guard lock(drawing);
            const DetectorInsight& insight = *data.Context->Insight;
            const QImage grey = RenderReportAreaGrey(pixels, columns, *data.Settings, *data.Result);
            const ReportPictures pictures = DrawReportPictures(grey, *data.Settings, *data.Result, insight);
            SaveReportPdf(RenderTestReportPdf(data, pictures), path);
        } catch (const EvenorError& e) {
            throw EvenorError(path + ": " + e.what());
        }
    });
}

bool WriteHistoryPdf(const std::string& path, const HistoryReportData& data, std::string& error) noexcept
{
    return Guarded(error, [&] {
        try {
            SaveReportPdf(RenderHistoryReportPdf(data), path);
        } catch (const EvenorError& e) {
            throw EvenorError(path + ": " + e.what());
        }
    });
}

bool WriteSpectrumPlots(const std::string& folder, const std::string& prefix, const NoiseSpectrum& spectrum,
                        const PeakSearch& peaks, std::string& error) noexcept
{
    return Guarded(error, [&] {
        const auto write = [&](const char* name, const QImage& image) {
            const std::string path = (std::filesystem::path(folder) / (prefix + name)).string();
            try {
                SaveMapPng(image, path);
            } catch (const EvenorError& e) {
                throw EvenorError(path + ": " + e.what());
            }
        };
        write(kSpectrumPlotName, RenderSpectrumPlot(spectrum));
        write(kSpectrumPictureName, RenderSpectrumPicture(spectrum, peaks));
    });
}

constexpr MapPlugin kFunctions{BeginSession, EndSession,      WriteMaps,          WriteTrendChart,
                               WriteTestPdf, WriteHistoryPdf, WriteInspectedMaps, WriteSpectrumPlots};

}  // namespace

}  // namespace evenor

// The entry point the module exports; its name is kMapPluginEntry.
extern "C" __attribute__((visibility("default"))) const evenor::MapPlugin* evenor_cli_maps_v5() noexcept
{
    return &evenor::kFunctions;
}

// The entry point has the type the loader casts it to.
static_assert(std::is_same_v<decltype(&evenor_cli_maps_v5), evenor::MapPluginEntry>);
