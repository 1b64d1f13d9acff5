#pragma once
// Hands-free intake: an image that arrived (received over DICOM or found in a
// watched folder) is analysed with the settings of the first rule it matches,
// its outputs written, its result recorded, and its state kept in the history
// database, once per content (SHA-256) across restarts.
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "history/HistoryStore.h"
#include "qa/IntakeRules.h"

namespace evenor {

struct IntakeOptions {
    const IntakeRules* Rules = nullptr;  // usable (no problems)
    std::string Db;                      // history location (HistoryLocation)
    std::string OutDir;                  // reports and JSON results: OUT/NAME-SHA.txt, .json
    std::string By;                      // who records; empty: the OS user
    bool Decompress = false;             // decode compressed images whatever the rule says
};

// One line per event, for standard error (journald keeps it as it is).
using IntakeLog = std::function<void(const std::string&)>;

class IntakeDesk {
public:
    // Opens (and migrates) the database and creates OutDir; throws
    // EvenorError naming what failed.
    explicit IntakeDesk(IntakeOptions options);
    ~IntakeDesk();

    enum class Retry : bool { Never, WhileRecent };

    // Takes one complete file: hashes it, skips content seen before, reads its
    // tags, picks the rule, analyses, writes, records, and stores the final
    // state. With Retry::WhileRecent (a watched folder) an image that cannot
    // be read or analysed while it was modified in the last
    // kSettledForRefusal is left for a later try instead of being refused:
    // it may still be being written. Returns the entry; seenBefore when the
    // content was already taken (then nothing else was done).
    // knownSha256: the SHA-256 of the file's bytes when the caller has just
    // computed it (the receiver wrote them); empty: the file is hashed.
    // Safe to call from several threads at once; a second call for content
    // that another call has in hand waits for it, then finds it seen before.
    // Throws EvenorError only when the database fails.
    IntakeEntry Take(const std::filesystem::path& file, const std::string& source, Retry retry, bool& seenBefore,
                     const IntakeLog& log, const std::string& knownSha256 = {});

    // Registers a file that has just arrived, whose content has that
    // SHA-256, as waiting before it is analysed, so that a run that dies
    // before taking it leaves it in Unfinished(). isNew as
    // HistoryStore::ClaimIntake. Throws EvenorError when the database fails.
    IntakeEntry Claim(const std::string& path, const std::string& sha256, const std::string& source, bool& isNew);

    // Takes a refused or unmatched entry again with the rules in force (a
    // rule was fixed, the disk has room again): its file, which must still
    // hold the content it had, is analysed as Take does and the entry gets
    // its new state, which is returned. When it cannot be taken again (it is
    // in another state, its file is gone or holds other content) nothing
    // changes, and problem says why (else it is cleared). Throws EvenorError
    // only when the database fails; the entry then stays waiting, for the
    // next start of "serve" or "watch".
    IntakeEntry Retake(const IntakeEntry& entry, const IntakeLog& log, std::string& problem);

    // Entries a previous run claimed but did not finish (it died): their
    // paths, for taking them again.
    std::vector<IntakeEntry> Unfinished();

    // The paths of every entry (the path each content was first taken from).
    std::set<std::string> KnownPaths();

    const std::filesystem::path& OutDir() const { return outDir_; }

    static constexpr std::chrono::seconds kSettledForRefusal{60};

private:
    IntakeOptions options_;
    std::filesystem::path outDir_;
    std::mutex storeLock_;
    std::condition_variable handed_;  // an entry of inHand_ was released
    std::set<std::string> inHand_;    // contents a Take is working on (SHA-256)
    std::unique_ptr<HistoryStore> store_;
};

// One line per event to err; whole lines, also from several threads.
IntakeLog LineLog(std::ostream& err);

// Logs the problems of rules; true when there is none.
bool RulesUsable(const IntakeRules& rules, const IntakeLog& log);

// The default folder of intake outputs: UserDataFolder()/evenor/intake
// (~/.local/share/evenor/intake).
std::string DefaultIntakeOutDir();

}  // namespace evenor
