#include "qa/Recorder.h"

#include <utility>

#include "base/EvenorError.h"
#include "dicom/TerminalText.h"
#include "history/HistoryStore.h"
#include "qa/ReportSources.h"

namespace evenor {

std::string HistoryLocation(const std::string& chosen)
{
    return chosen.empty() ? HistoryStore::DefaultLocation() : chosen;
}

HistoryRecorder::HistoryRecorder(std::string db, std::string by) : db_(std::move(db)), by_(std::move(by)) {}

HistoryRecorder::~HistoryRecorder() = default;

HistoryStore& HistoryRecorder::Store()
{
    if (!store_) {
        if (!openError_.empty()) throw EvenorError(openError_);
        try {
            store_ = HistoryStore::Open(HistoryLocation(db_));
        } catch (const EvenorError& e) {
            openError_ = e.Message();
            throw;
        }
    }
    return *store_;
}

ReportBaseline HistoryRecorder::RecordForReport(QaRecord record)
{
    std::lock_guard guard(lock_);
    HistoryStore& store = Store();
    record.RecordedBy = by_;
    return ReportBaselineFor(store, store.Record(record));
}

std::string HistoryRecorder::Record(QaRecord record)
{
    std::lock_guard guard(lock_);
    HistoryStore& store = Store();
    record.RecordedBy = by_;
    const RecordOutcome outcome = store.Record(record);
    std::string text = outcome.AlreadyRecorded ? "Already recorded as record " + std::to_string(outcome.Id)
                                               : "Recorded as record " + std::to_string(outcome.Id) + " for detector " +
                                                     Printable(outcome.DetectorKey);
    for (const auto& note : outcome.Notes) text += "\n" + Printable(note);
    return text;
}

}  // namespace evenor
