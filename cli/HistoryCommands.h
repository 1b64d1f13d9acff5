#pragma once
// The history's commands: "history", "detectors", "baseline". The database
// is opened only when one of them needs it.
#include <iosfwd>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "history/QaRecord.h"

namespace evenor {

// The options of the history commands, filled by CLI11.
struct HistoryCommandLine {
    std::string Db;
    std::string Detector, Since, By, Reason, Name;
    std::string PngFolder;  // history --png
    std::string PdfFile;    // history --pdf
    std::string Paper = "a4";
    bool Json = false, Csv = false, Overdue = false;
    std::int64_t RecordId = 0, First = 0, Days = 0;
    // detectors limits: --check/--warning/--action in the order given, --reset
    std::vector<std::string> LimitChecks, LimitWarnings, LimitActions, LimitResets;
    CLI::App *History = nullptr, *Exclude = nullptr, *Detectors = nullptr, *Rename = nullptr, *Interval = nullptr,
             *Limits = nullptr, *Baseline = nullptr, *BaselineSet = nullptr, *BaselineShow = nullptr;
    CLI::Option *RecordOption = nullptr, *FirstOption = nullptr, *PngOption = nullptr, *PdfOption = nullptr;
    CLI::Option *CheckOption = nullptr, *WarningOption = nullptr, *ActionOption = nullptr;
};

void AddHistoryCommands(CLI::App& app, HistoryCommandLine& line);

// When one of the history commands was given: runs it and returns true with
// the exit status in status.
bool RunHistoryCommands(const HistoryCommandLine& line, std::ostream& out, std::ostream& err, int& status);

}  // namespace evenor
