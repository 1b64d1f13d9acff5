#pragma once
// "evenor-cli series": the options of a series run and its printing; the run
// itself is SeriesRun.
#include <iosfwd>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "qa/AnalyseOptions.h"

namespace evenor {

// The options of "series", filled by CLI11.
struct SeriesCommandLine {
    std::vector<std::string> Files, Darks;
    std::string Kerma, KermaFile, Json;
    bool Nps = false;
    AnalyseOptions Options;  // only Area, BorderMm, BoxCm and Decompress are used
    CLI::App* Command = nullptr;
    CLI::Option *KermaOption = nullptr, *KermaFileOption = nullptr, *JsonOption = nullptr;
};

void AddSeriesCommand(CLI::App& app, SeriesCommandLine& line);

// When "series" was given: runs it and returns true with the exit status in
// status (0 success, 1 refused or failed, 2 usage error).
bool RunSeriesCommand(const SeriesCommandLine& line, std::ostream& out, std::ostream& err, int& status);

}  // namespace evenor
