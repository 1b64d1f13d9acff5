#pragma once
// Where the QA history is kept, and the recording of finished tests into it.
#include <memory>
#include <mutex>
#include <string>

#include "history/QaRecord.h"
#include "qa/ReportData.h"

namespace evenor {

class HistoryStore;

// The database chosen (a file or a postgresql:// URI), else
// HistoryStore::DefaultLocation() (whose folder HistoryStore::Open makes
// when it records the first test).
std::string HistoryLocation(const std::string& chosen);

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

}  // namespace evenor
