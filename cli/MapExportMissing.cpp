// The stand-in for a build without the map renderer.
#include "base/EvenorError.h"
#include "cli/MapExport.h"

namespace evenor {

namespace {
constexpr const char* kNotBuilt = "this evenor-cli was not built with maps (the Qt map renderer)";
}

std::string MapsProblem() { return kNotBuilt; }

struct MapSession::Impl {};

MapSession::MapSession() { throw EvenorError(kNotBuilt); }

MapSession::~MapSession() = default;

void WriteMapPngs(const std::string&, const std::string&, std::span<const std::uint16_t>, std::uint32_t,
                  const AnalysisSettings&, const AnalysisResult&, const DetectorInsight*)
{
    throw EvenorError(kNotBuilt);
}

void WriteTrendChartPng(const std::string&, const TrendSeries&) { throw EvenorError(kNotBuilt); }

void WriteTestReportPdf(const std::string&, const TestReportData&, std::span<const std::uint16_t>, std::uint32_t)
{
    throw EvenorError(kNotBuilt);
}

void WriteSpectrumPngs(const std::string&, const std::string&, const NoiseSpectrum&, const PeakSearch&)
{
    throw EvenorError(kNotBuilt);
}

void WriteHistoryReportPdf(const std::string&, const HistoryReportData&) { throw EvenorError(kNotBuilt); }

}  // namespace evenor
