#include "cli/InboxUpkeep.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <ostream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "base/Dates.h"
#include "cli/CliCommands.h"
#include "cli/HistoryCommands.h"
#include "dicom/SharedFile.h"
#include "dicom/TerminalText.h"
#include "history/Sha256.h"
#include "qa/Intake.h"
#include "qa/IntakeRules.h"
#include "qa/Recorder.h"

namespace evenor {

namespace {

using Json = nlohmann::ordered_json;

std::int64_t NowSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::string Plural(std::size_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// "40 s" up to two minutes, then whole minutes.
std::string WaitedText(std::int64_t seconds)
{
    return seconds < 120 ? std::to_string(seconds) + " s" : std::to_string(seconds / 60) + " min";
}

std::string MegabytesText(std::uintmax_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

}  // namespace

void PrintIntakeEntry(std::ostream& out, const IntakeEntry& e)
{
    out << e.Id << "  " << e.UpdatedAt << "  " << e.State;
    if (!e.Verdict.empty()) out << " (" << e.Verdict << ")";
    if (!e.DetectorKey.empty()) out << "  detector " << Printable(e.DetectorKey);
    if (e.RecordId) out << ", record " << *e.RecordId;
    out << "\n    " << Printable(e.Path) << "  [" << Printable(e.Source) << "]";
    if (!e.Rule.empty()) out << "  " << e.Rule;
    if (!e.Message.empty() && e.State != IntakeAnalysed) out << "\n    " << Printable(e.Message);
    out << '\n';
}

InboxSummary SummariseInbox(const std::vector<IntakeEntry>& entries, std::int64_t nowSeconds)
{
    InboxSummary summary;
    summary.Total = entries.size();
    std::vector<const IntakeEntry*> fails;
    for (const auto& entry : entries) {
        if (entry.State == IntakeWaiting) {
            ++summary.Waiting;
            const auto since = UtcSeconds(entry.FirstSeen);
            if (since && (!summary.OldestWaiting || nowSeconds - *since > summary.OldestWaitingSeconds)) {
                summary.OldestWaiting = entry;
                summary.OldestWaitingSeconds = std::max<std::int64_t>(0, nowSeconds - *since);
            }
        } else if (entry.State == IntakeAnalysed) {
            ++summary.Analysed;
            if (entry.Verdict == "fail") fails.push_back(&entry);
        } else if (entry.State == IntakeUnmatched) {
            ++summary.Unmatched;
        } else if (entry.State == IntakeRefused) {
            ++summary.Refused;
        }
    }
    // Newest verdict first: an image taken again is as new as its retry.
    std::stable_sort(fails.begin(), fails.end(),
                     [](const IntakeEntry* a, const IntakeEntry* b) { return a->UpdatedAt > b->UpdatedAt; });
    for (std::size_t i = 0; i < fails.size() && i < kSummaryFails; ++i) summary.LastFails.push_back(*fails[i]);
    return summary;
}

int InboxSummaryCommand(const InboxSummaryLine& line, std::ostream& out, std::ostream& err)
{
    InboxSummary summary;
    try {
        const auto store = HistoryStore::Open(HistoryLocation(line.Db), false);
        summary = SummariseInbox(store->Intake(line.Detector), NowSeconds());
    } catch (const std::exception& e) {
        err << e.what() << '\n';
        return kExitFailed;
    }
    const bool tooLong =
        line.MaxWaitMinutes && summary.OldestWaiting && summary.OldestWaitingSeconds > *line.MaxWaitMinutes * 60;
    if (line.Json) {
        Json result = Json::object();
        result["total"] = summary.Total;
        result["states"] = Json{{IntakeWaiting, summary.Waiting},
                                {IntakeAnalysed, summary.Analysed},
                                {IntakeUnmatched, summary.Unmatched},
                                {IntakeRefused, summary.Refused}};
        result["oldest_waiting"] = summary.OldestWaiting ? Json{{"id", summary.OldestWaiting->Id},
                                                                {"path", summary.OldestWaiting->Path},
                                                                {"first_seen", summary.OldestWaiting->FirstSeen},
                                                                {"seconds", summary.OldestWaitingSeconds}}
                                                         : Json();
        Json fails = Json::array();
        for (const auto& e : summary.LastFails)
            fails.push_back(Json{{"id", e.Id},
                                 {"updated_at", e.UpdatedAt},
                                 {"detector", e.DetectorKey},
                                 {"record", e.RecordId ? Json(*e.RecordId) : Json()},
                                 {"rule", e.Rule},
                                 {"path", e.Path}});
        result["last_fails"] = fails;
        if (line.MaxWaitMinutes) result["waited_too_long"] = tooLong;
        out << result.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
    } else {
        out << "Inbox: " << Plural(summary.Total, "image", "images") << ": " << summary.Analysed << " analysed, "
            << summary.Unmatched << " unmatched, " << summary.Refused << " refused, " << summary.Waiting
            << " waiting\n";
        if (summary.OldestWaiting)
            out << "Oldest waiting: entry " << summary.OldestWaiting->Id << " since "
                << summary.OldestWaiting->FirstSeen << " UTC (" << WaitedText(summary.OldestWaitingSeconds) << ")\n    "
                << Printable(summary.OldestWaiting->Path) << '\n';
        else
            out << "Nothing waiting\n";
        if (summary.LastFails.empty())
            out << "No fail verdict\n";
        else
            out << "Last fail verdicts:\n";
        for (const auto& e : summary.LastFails) {
            out << "  " << e.Id << "  " << e.UpdatedAt << "  detector " << Printable(e.DetectorKey);
            if (e.RecordId) out << ", record " << *e.RecordId;
            out << "\n    " << Printable(e.Path) << '\n';
        }
    }
    if (!tooLong) return kExitSuccess;
    err << "entry " << summary.OldestWaiting->Id << " has waited " << WaitedText(summary.OldestWaitingSeconds)
        << ", longer than --max-wait " << *line.MaxWaitMinutes << " min: " << Printable(summary.OldestWaiting->Path)
        << '\n';
    return kExitWaitedTooLong;
}

int InboxRetryCommand(const InboxRetryLine& line, std::ostream& out, std::ostream& err)
{
    const IntakeLog log = LineLog(err);
    const IntakeRules rules = ReadIntakeRules(line.RulesFile);
    if (!RulesUsable(rules, log)) return kExitFailed;
    bool allAnalysed = true;
    try {
        const auto store = HistoryStore::Open(HistoryLocation(line.Db), false);
        IntakeDesk desk(IntakeOptions{&rules, HistoryLocation(line.Db), line.OutDir, line.By, line.Decompress});
        std::vector<IntakeEntry> chosen;
        if (line.Ids.empty()) {
            chosen = store->Intake(line.Detector, line.State);
            std::reverse(chosen.begin(), chosen.end());  // in the order they came
            if (chosen.empty()) out << "No " << line.State << " images to take again\n";
        } else {
            const auto all = store->Intake();
            for (const auto id : line.Ids) {
                const auto found =
                    std::find_if(all.begin(), all.end(), [&](const IntakeEntry& e) { return e.Id == id; });
                if (found != all.end()) {
                    chosen.push_back(*found);
                } else {
                    log("entry " + std::to_string(id) + ": no such entry");
                    allAnalysed = false;
                }
            }
        }
        for (const auto& entry : chosen) {
            std::string problem;
            const IntakeEntry now = desk.Retake(entry, log, problem);
            if (!problem.empty()) {
                log(problem);
                allAnalysed = false;
                continue;
            }
            PrintIntakeEntry(out, now);
            allAnalysed = allAnalysed && now.State == IntakeAnalysed;
        }
    } catch (const std::exception& e) {
        log(e.what());
        return kExitFailed;
    }
    return allAnalysed ? kExitSuccess : kExitFailed;
}

int StorePruneCommand(const StorePruneLine& line, std::ostream& out, std::ostream& err)
{
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_directory(line.StoreDir, error)) {
        err << line.StoreDir << ": not a folder\n";
        return kExitFailed;
    }
    std::vector<IntakeEntry> entries;
    try {
        entries = HistoryStore::Open(HistoryLocation(line.Db), false)->Intake();
    } catch (const std::exception& e) {
        err << e.what() << '\n';
        return kExitFailed;
    }
    const std::string store = CanonicalPath(line.StoreDir);
    // "YYYY-MM-DD HH:MM:SS" sorts as the time it names.
    const std::string before = UtcTimeText(NowSeconds() - line.OlderThanDays * 86400);
    std::size_t removed = 0, kept = 0;
    std::uintmax_t bytes = 0;
    bool failed = false;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        const IntakeEntry& entry = *it;
        const fs::path file(entry.Path);
        if (CanonicalPath(file.parent_path().string()) != store || !fs::is_regular_file(file, error)) continue;
        if (entry.State != IntakeAnalysed || !entry.RecordId || entry.UpdatedAt > before) {
            ++kept;
            continue;
        }
        // The name may hold another image by now (one with the same SOP
        // Instance UID received after this one was removed): that one stays.
        std::string sha256;
        try {
            sha256 = Sha256OfFile(entry.Path);
        } catch (const std::exception& e) {
            err << e.what() << '\n';
            failed = true;
            continue;
        }
        if (sha256 != entry.Sha256) continue;  // counted with its own entry
        const std::uintmax_t size = fs::file_size(file, error);
        const std::string what = entry.Path + " (entry " + std::to_string(entry.Id) + ", record " +
                                 std::to_string(*entry.RecordId) + ", analysed " + entry.UpdatedAt + ")";
        if (!line.DryRun && !fs::remove(file, error)) {
            err << Printable(entry.Path) << ": cannot remove it: " << error.message() << '\n';
            failed = true;
            continue;
        }
        out << (line.DryRun ? "would remove " : "removed ") << what << '\n';
        ++removed;
        bytes += size == static_cast<std::uintmax_t>(-1) ? 0 : size;
    }
    out << (line.DryRun ? "Would remove " : "Removed ") << Plural(removed, "image", "images") << " ("
        << MegabytesText(bytes) << ") analysed and recorded before " << before << " UTC; kept "
        << Plural(kept, "image", "images") << " of the store the inbox lists (waiting, refused, unmatched, not "
        << "recorded or analysed since)\n";
    return failed ? kExitFailed : kExitSuccess;
}

}  // namespace evenor
