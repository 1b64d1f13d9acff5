#pragma once
// Looking after the intake of a node that runs unattended: the inbox's state
// at a glance for monitoring ("inbox --summary"), refused and unmatched
// images taken again once a rule is fixed ("inbox retry"), and the received
// images removed once their results are safely recorded ("store prune").
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "history/HistoryStore.h"

namespace evenor {

// "evenor-cli inbox --summary" exits with this when an image has waited
// longer than --max-wait.
inline constexpr int kExitWaitedTooLong = 4;

// One entry as "evenor-cli inbox" lists it (two lines).
void PrintIntakeEntry(std::ostream& out, const IntakeEntry& entry);

struct InboxSummary {
    std::size_t Total = 0;
    std::size_t Waiting = 0, Analysed = 0, Unmatched = 0, Refused = 0;
    std::optional<IntakeEntry> OldestWaiting;
    std::int64_t OldestWaitingSeconds = 0;  // its age at nowSeconds
    std::vector<IntakeEntry> LastFails;     // analysed with the verdict "fail", newest first
};

inline constexpr std::size_t kSummaryFails = 5;

// entries as HistoryStore::Intake gives them; nowSeconds since 1970 (UTC).
InboxSummary SummariseInbox(const std::vector<IntakeEntry>& entries, std::int64_t nowSeconds);

struct InboxSummaryLine {
    std::string Db, Detector;
    bool Json = false;
    std::optional<std::int64_t> MaxWaitMinutes;
};

// Prints the summary; 0, kExitWaitedTooLong when the oldest waiting image is
// older than MaxWaitMinutes (said on err too), 1 when the database fails.
int InboxSummaryCommand(const InboxSummaryLine& line, std::ostream& out, std::ostream& err);

struct InboxRetryLine {
    std::vector<std::int64_t> Ids;
    std::string State, Detector;  // without Ids: every entry in this state (of this detector)
    std::string RulesFile, Db, OutDir, By;
    bool Decompress = false;
};

// Takes the entries again (IntakeDesk::Retake), oldest first: each one's new
// state on out, the events and problems on err. 0 when every entry was
// analysed, 1 when one could not be taken again, was refused or unmatched
// again, or the rules or database cannot be used.
int InboxRetryCommand(const InboxRetryLine& line, std::ostream& out, std::ostream& err);

struct StorePruneLine {
    std::string StoreDir, Db;
    std::int64_t OlderThanDays = 0;
    bool DryRun = false;
};

// Removes the images of the store folder whose entry was analysed and
// recorded more than OlderThanDays days ago and whose file still holds that
// content; every other image stays (waiting, refused, unmatched, analysed
// without a record or more recently, and files the intake does not know).
// With DryRun nothing is removed. One line per image on out, then a total.
// 0, or 1 when a file could not be removed or the store or database cannot
// be used.
int StorePruneCommand(const StorePruneLine& line, std::ostream& out, std::ostream& err);

}  // namespace evenor
