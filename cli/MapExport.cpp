// The maps through the map module: evenor_cli_maps is loaded the first time
// maps are asked for, so that runs without maps never load Qt. It is looked
// for next to evenor-cli (the build tree, or a copy kept together with its
// module), then in an installed program's private library folder, found from
// evenor-cli's own location (EVENOR_MAP_PLUGIN_DIR, relative to bin/), so that
// neither LD_LIBRARY_PATH nor an rpath is needed.
#include "cli/MapExport.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "base/EvenorError.h"
#include "cli/MapPlugin.h"

#ifndef EVENOR_MAP_PLUGIN
#error "EVENOR_MAP_PLUGIN names the map module's file"
#endif
#ifndef EVENOR_MAP_PLUGIN_DIR
#error "EVENOR_MAP_PLUGIN_DIR is the installed map module's folder, relative to evenor-cli's"
#endif

namespace evenor {

namespace {

struct LoadedModule {
    const MapPlugin* Functions = nullptr;
    std::string Problem;  // why there are no functions
};

// The folder of the running program (not of the library this code is in).
std::filesystem::path ProgramFolder()
{
    std::string path(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) return {};
    path.resize(static_cast<std::size_t>(length));
    return std::filesystem::path(path).parent_path();
}

LoadedModule Load()
{
    LoadedModule loaded;
    const std::filesystem::path folder = ProgramFolder();
    if (folder.empty()) {
        loaded.Problem = "cannot find the folder of this evenor-cli, which holds its map module";
        return loaded;
    }
    const std::string besideProgram = (folder / EVENOR_MAP_PLUGIN).string();
    const std::string installed = (folder / EVENOR_MAP_PLUGIN_DIR / EVENOR_MAP_PLUGIN).lexically_normal().string();
    std::error_code error;
    std::string path = besideProgram;
    if (!std::filesystem::exists(path, error)) path = installed;
    if (!std::filesystem::exists(path, error)) {
        loaded.Problem =
            "this evenor-cli was not built with maps (there is no " + besideProgram + " nor " + installed + ")";
        return loaded;
    }
    // The module is never unloaded: Qt does not expect to be.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* reason = dlerror();
        loaded.Problem = "cannot load the map module: " + std::string(reason ? reason : path);
        return loaded;
    }
    void* entry = dlsym(module, kMapPluginEntry);
    if (entry == nullptr) {
        loaded.Problem = path + " is not the map module of this evenor-cli (it has no " + kMapPluginEntry + ")";
        return loaded;
    }
    loaded.Functions = reinterpret_cast<MapPluginEntry>(entry)();
    if (loaded.Functions == nullptr) loaded.Problem = path + ": the map module offers no functions";
    return loaded;
}

const LoadedModule& Module()
{
    static const LoadedModule loaded = Load();
    return loaded;
}

const MapPlugin& Functions()
{
    const LoadedModule& module = Module();
    if (module.Functions == nullptr) throw EvenorError(module.Problem);
    return *module.Functions;
}

}  // namespace

std::string MapsProblem() { return Module().Problem; }

struct MapSession::Impl {
    const MapPlugin* Functions = nullptr;
    void* Session = nullptr;
};

MapSession::MapSession() : impl_(std::make_unique<Impl>())
{
    impl_->Functions = &evenor::Functions();
    std::string error;
    if (!impl_->Functions->BeginSession(impl_->Session, error)) throw EvenorError(error);
}

MapSession::~MapSession() { impl_->Functions->EndSession(impl_->Session); }

void WriteMapPngs(const std::string& folder, const std::string& prefix, std::span<const std::uint16_t> pixels,
                  std::uint32_t columns, const AnalysisSettings& settings, const AnalysisResult& result,
                  const DetectorInsight* insight)
{
    std::string error;
    const bool written =
        insight != nullptr
            ? Functions().WriteInspectedMaps(folder, prefix, pixels, columns, settings, result, *insight, error)
            : Functions().WriteMaps(folder, prefix, pixels, columns, settings, result, error);
    if (!written) throw EvenorError(error);
}

void WriteTrendChartPng(const std::string& path, const TrendSeries& series)
{
    std::string error;
    if (!Functions().WriteTrendChart(path, series, error)) throw EvenorError(error);
}

void WriteTestReportPdf(const std::string& path, const TestReportData& data, std::span<const std::uint16_t> pixels,
                        std::uint32_t columns)
{
    std::string error;
    if (!Functions().WriteTestPdf(path, data, pixels, columns, error)) throw EvenorError(error);
}

void WriteSpectrumPngs(const std::string& folder, const std::string& prefix, const NoiseSpectrum& spectrum,
                       const PeakSearch& peaks)
{
    std::string error;
    if (!Functions().WriteSpectrumPlots(folder, prefix, spectrum, peaks, error)) throw EvenorError(error);
}

void WriteHistoryReportPdf(const std::string& path, const HistoryReportData& data)
{
    std::string error;
    if (!Functions().WriteHistoryPdf(path, data, error)) throw EvenorError(error);
}

}  // namespace evenor
