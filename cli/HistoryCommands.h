#pragma once
// The history's commands: "history", "detectors", "baseline", and the
// recording of "analyse --record". The database is opened only when one of
// them needs it.
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "history/QaRecord.h"
#include "render/ReportData.h"

namespace evenor {

class HistoryStore;

// The database named by --db, else HistoryStore::DefaultLocation() (whose
// folder HistoryStore::Open makes when it records the first test).
std::string HistoryLocation(const std::string& db);

// Records the outcomes of a run (one or a batch's workers, one at a time),
// opening the database at the first record.
class HistoryRecorder {
public:
    HistoryRecorder(std::string db, std::string by);
    ~HistoryRecorder();
    // "Recorded as record N for detector KEY" (or "Already recorded as record
    // N"), then any note, one per line. Throws EvenorError naming the database.
    std::string Record(QaRecord record);
    // Records as Record does, then gathers what the PDF report of the test
    // shows of the history: the checks against the baseline in force and
    // trend charts of the detector's last records up to this one.
    ReportBaseline RecordForReport(QaRecord record);

private:
    HistoryStore& Store();

    std::string db_, by_;
    std::mutex lock_;
    std::unique_ptr<HistoryStore> store_;
    std::string openError_;
};

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
