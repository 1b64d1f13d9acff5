#include "MapExport.h"

#include <filesystem>

#include <QGuiApplication>

#include "EvenorError.h"
#include "ImageJob.h"
#include "MapRenderer.h"

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

}  // namespace

bool MapsAvailable() { return true; }

struct MapSession::Impl {
    // QGuiApplication keeps references to argc and argv.
    int argc = 1;
    char name[16] = "evenor-cli";
    char* argv[2] = {name, nullptr};
    std::unique_ptr<QGuiApplication> application;
};

MapSession::MapSession() : impl_(std::make_unique<Impl>())
{
    if (QCoreApplication::instance() != nullptr) return;
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    previousHandler = qInstallMessageHandler(FilterQtMessages);
    impl_->application = std::make_unique<QGuiApplication>(impl_->argc, impl_->argv);
}

MapSession::~MapSession()
{
    if (!impl_->application) return;
    impl_->application.reset();
    qInstallMessageHandler(previousHandler);
}

void WriteMapPngs(const std::string& folder, const std::string& prefix, std::span<const std::uint16_t> pixels,
                  std::uint32_t columns, const AnalysisSettings& settings, const AnalysisResult& result)
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
    write(kAreaMapName, [&] { return RenderAreaMap(pixels, columns, settings, result); });
    write(kMeanHeatMapName, [&] { return RenderHeatMap(result, HeatMapKind::RoiMeanDeviation).Image; });
    write(kSnrHeatMapName, [&] { return RenderHeatMap(result, HeatMapKind::RoiSnrDeviation).Image; });
}

}  // namespace evenor
