#include "cli/IntakeCommands.h"

#include <ostream>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "cli/CliCommands.h"
#include "cli/HistoryCommands.h"
#include "dicom/DicomLib.h"
#include "dicom/FilePath.h"
#include "dicom/TerminalText.h"
#include "history/HistoryStore.h"
#include "qa/Intake.h"
#include "qa/IntakeRules.h"
#include "qa/Recorder.h"

namespace evenor {

namespace {

// Prints the problems of a rules file; true when there is none.
bool RulesUsable(const IntakeRules& rules, std::ostream& err) { return RulesUsable(rules, LineLog(err)); }

constexpr const char* kDbHelp =
    "History database: a file or a postgresql:// URI (default: $EVENOR_DB, else ~/.local/share/evenor/history.sqlite)";

int InboxCommand(const IntakeCommandLine& line, std::ostream& out, std::ostream& err)
{
    try {
        const auto store = HistoryStore::Open(HistoryLocation(line.Db), false);
        const auto entries = store->Intake(line.Detector, line.State);
        if (line.Json) {
            auto list = nlohmann::ordered_json::array();
            for (const auto& e : entries) {
                using Json = nlohmann::ordered_json;
                Json item = Json::object();
                item["id"] = e.Id;
                item["state"] = e.State;
                item["verdict"] = e.Verdict.empty() ? Json() : Json(e.Verdict);
                item["detector"] = e.DetectorKey;
                item["rule"] = e.Rule;
                item["record"] = e.RecordId ? Json(*e.RecordId) : Json();
                item["path"] = e.Path;
                item["source"] = e.Source;
                item["sha256"] = e.Sha256;
                item["message"] = e.Message;
                item["first_seen"] = e.FirstSeen;
                item["updated_at"] = e.UpdatedAt;
                list.push_back(std::move(item));
            }
            out << nlohmann::ordered_json{{"entries", list}}.dump(2, ' ', false,
                                                                  nlohmann::ordered_json::error_handler_t::replace)
                << '\n';
            return kExitSuccess;
        }
        if (entries.empty()) out << "No images received or found yet\n";
        for (const auto& e : entries) PrintIntakeEntry(out, e);
        return kExitSuccess;
    } catch (const std::exception& e) {
        err << e.what() << '\n';
        return kExitFailed;
    }
}

}  // namespace

void AddIntakeCommands(CLI::App& app, IntakeCommandLine& line)
{
    auto* rules = app.add_subcommand("rules", "Check a rules file, or see which rule an image matches");
    rules->require_subcommand(1);
    line.Check = rules->add_subcommand("check", "Validate a rules file: each of its problems, naming rule and field");
    line.Check->add_option("FILE", line.RulesFile, "The rules file (JSON)")->required();
    line.Test = rules->add_subcommand("test", "Say which rule IMAGE matches and the settings it would get");
    line.Test->add_option("FILE", line.RulesFile, "The rules file (JSON)")->required();
    line.Test->add_option("IMAGE", line.Image, "A DICOM image")->required();
    line.Watch =
        app.add_subcommand("watch", "Analyse every new file of DIR... by the intake rules, once it is complete");
    line.Watch->add_option("DIR", line.WatchLine.Folders, "Folders to watch")->required();
    line.Watch->add_option("--rules", line.WatchLine.RulesFile, "The intake rules (JSON)")->required();
    line.Watch->add_option("--db", line.WatchLine.Db, kDbHelp);
    line.Watch->add_option("--out-dir", line.WatchLine.OutDir,
                           "Reports and JSON results (default ~/.local/share/evenor/intake)");
    line.Watch->add_option("--by", line.WatchLine.By, "Who records the results (default: the user)");
    line.Watch->add_flag("--recursive", line.WatchLine.Recursive, "Watch the sub-folders too");
    line.Watch
        ->add_option("--settle", line.WatchLine.SettleSeconds,
                     "Seconds a file's size and time must stay unchanged before it is taken (default 2)")
        ->check(CLI::Range(0.0, 3600.0));
    line.Watch->add_option("--interval", line.WatchLine.IntervalSeconds, "Seconds between looks (default 1)")
        ->check(CLI::Range(0.05, 3600.0));
    line.Watch->add_option("--jobs", line.WatchLine.Jobs, "Images analysed at a time (default 2)")
        ->check(CLI::Range(1, 64));
    line.Watch->add_flag("--once", line.WatchLine.Once, "Stop when every file found has been taken");
    line.Watch->add_flag("--decompress", line.WatchLine.Decompress,
                         "Decode compressed images (else only those whose rule says \"decompress\": true)");
    line.Watch->footer(R"(
Every regular file of the folders (hidden ones left out) is taken once its size
and modification time have not changed for --settle seconds: its content is
hashed, and content taken before (by any name, also by an earlier run) is
skipped. The first matching rule gives the settings; an image no rule matches
is listed as unmatched, one that cannot be analysed as refused with its
message. A file that fails while it was modified in the last minute is tried
again later, as it may still be being written. Each analysed image gets
OUT/NAME-SHA.txt and OUT/NAME-SHA.json and, when its rule says so, a record in
the history. One line per event goes to standard error. SIGTERM or SIGINT:
no new file is taken, the images in hand are finished, exit status 0.
"evenor-cli inbox" lists what was taken.)");

    line.Serve = app.add_subcommand("serve", "Receive images over DICOM and analyse them by the intake rules");
    auto& serve = line.ServeLine;
    line.Serve->add_option("--aet", serve.Aet, "This node's AE title (associations calling another are rejected)")
        ->required();
    line.Serve->add_option("--port", serve.Port, "TCP port to listen on")->required()->check(CLI::Range(1, 65535));
    line.Serve->add_option("--listen", serve.Listen,
                           "IPv4 or IPv6 address to listen on, e.g. 127.0.0.1 or one of this machine's (default: "
                           "every IPv4 interface; :: for IPv6 too)");
    line.Serve->add_option("--store", serve.StoreDir, "Folder the received images are kept in")->required();
    line.Serve->add_option("--rules", serve.RulesFile, "The intake rules (JSON)")->required();
    line.Serve->add_option("--allow", serve.Allow, "Calling AE titles accepted, separated by commas (default: any)")
        ->delimiter(',');
    line.Serve->add_option("--db", serve.Db, kDbHelp);
    line.Serve->add_option("--out-dir", serve.OutDir,
                           "Reports and JSON results (default ~/.local/share/evenor/intake)");
    line.Serve->add_option("--by", serve.By, "Who records the results (default: the user)");
    line.Serve->add_option("--jobs", serve.Jobs, "Images analysed at a time (default 2)")->check(CLI::Range(1, 64));
    line.Serve
        ->add_option("--max-associations", serve.MaxAssociations,
                     "Associations served at a time; more are rejected as busy (default 8)")
        ->check(CLI::Range(1, 256));
    line.Serve->add_flag("--decompress", serve.Decompress,
                         "Accept compressed transfer syntaxes and decode them (also when a rule asks)");
    line.Serve->footer(R"(
A Storage SCP for DX, CR and digital mammography images (for presentation and
for processing) and secondary capture, and a Verification SCP (C-ECHO). The
uncompressed transfer syntaxes are always accepted, the compressed ones when
--decompress is given or a rule has "decompress": true. Each instance is
written to the store folder under a temporary name, flushed to the disk and
given its name (SOPINSTANCEUID.dcm) and registered in the history database
before the C-STORE is answered; when it cannot be written (a full disk) the
answer is 0xA700 (out of resources) and no file is left, and when it cannot be
registered (the database unreachable or full) the answer is 0xA700 and the
file stays for the resend and the next start. It is then analysed on --jobs
workers as "watch" does: the first matching rule gives the settings,
OUT/NAME-SHA.txt and .json are written (each renamed from a temporary name
once complete), the result is recorded when the rule says so, and "evenor-cli
inbox" lists it. Each connection waits for its association request on a
thread of its own, for at most 5 s.
Content received before is not analysed again. At start, the images an
earlier run received but did not analyse are taken. One line per event goes
to standard error. SIGTERM or SIGINT: no new association is accepted, the
images in hand are finished, exit status 0.)");

    line.Inbox = app.add_subcommand("inbox", "List the images received or found, with their state");
    line.Inbox->add_option("--db", line.Db, kDbHelp);
    line.Inbox->add_option("--detector", line.Detector, "Only this detector (key or display name)");
    auto* state = line.Inbox->add_option("--state", line.State, "Only this state")
                      ->check(CLI::IsMember({"waiting", "analysed", "unmatched", "refused"}));
    line.Inbox->add_flag("--json", line.Json, "An object whose \"entries\" member lists them");
    auto* summary = line.Inbox->add_flag(
        "--summary", line.Summary,
        "Instead of the list: the count per state, the oldest waiting image and its age, the last fail verdicts");
    line.Inbox
        ->add_option("--max-wait", line.SummaryLine.MaxWaitMinutes,
                     "With --summary: exit with status 4 when an image has waited longer than MINUTES")
        ->type_name("MINUTES")
        ->check(CLI::Range(std::int64_t{0}, std::int64_t{10'000'000}))
        ->needs(summary);
    summary->excludes(state);
    line.Inbox->footer(R"(
States: waiting (received or found, not analysed yet), analysed (with its
verdict and record), unmatched (no rule takes it), refused (with the message).
--summary counts them, names the image that has waited longest and lists the
last five fail verdicts; with --json as one object. For monitoring, --max-wait
MINUTES makes the exit status 4 when an image has waited longer than that (a
node that stalls or a database that cannot be reached).
Exit status: 0, 1 when the database cannot be read, 2 usage, 4 (--max-wait)
an image has waited too long.)");

    auto& retry = line.RetryLine;
    line.Retry = line.Inbox->add_subcommand(
        "retry", "Analyse refused or unmatched images again with the rules in force (after a rule was fixed)");
    auto* ids = line.Retry->add_option("ID", retry.Ids, "Entries to take again (the first column of \"inbox\")");
    auto* retryState = line.Retry->add_option("--state", retry.State, "Instead of IDs: every entry in this state")
                           ->check(CLI::IsMember({"refused", "unmatched"}));
    line.Retry->add_option("--detector", retry.Detector, "With --state: only this detector (key or display name)")
        ->needs(retryState);
    ids->excludes(retryState);
    line.Retry->add_option("--rules", retry.RulesFile, "The intake rules (JSON), as serve or watch uses them")
        ->required();
    line.Retry->add_option("--db", retry.Db, kDbHelp);
    line.Retry->add_option("--out-dir", retry.OutDir,
                           "Reports and JSON results (default ~/.local/share/evenor/intake)");
    line.Retry->add_option("--by", retry.By, "Who records the results (default: the user)");
    line.Retry->add_flag("--decompress", retry.Decompress,
                         "Decode compressed images (else only those whose rule says \"decompress\": true)");
    line.Retry->footer(R"(
Each entry's image (the file it was received or found as, still holding the
same content) is analysed again as serve and watch do, with the rules given:
the first matching rule gives the settings, OUT/NAME-SHA.txt and .json are
written, the result is recorded when the rule says so, and the entry gets its
new state, printed as "inbox" lists it. Only refused and unmatched entries are
taken again; analysed ones keep their record. One line per event goes to
standard error.
Exit status: 0 every entry was analysed; 1 an entry is unknown, not refused or
unmatched, its file is gone or holds other content, it was refused or left
unmatched again, or the rules or the database cannot be used; 2 usage.)");

    auto* store = app.add_subcommand("store", "Look after the store folder of \"serve\"");
    store->require_subcommand(1);
    auto& prune = line.PruneLine;
    line.Prune = store->add_subcommand(
        "prune", "Remove the received images whose analysis is complete and recorded, older than DAYS");
    line.Prune->add_option("--store", prune.StoreDir, "The store folder (serve's --store)")->required();
    line.Prune
        ->add_option("--older-than", prune.OlderThanDays,
                     "Only images analysed and recorded more than DAYS days ago (0: all of them)")
        ->type_name("DAYS")
        ->required()
        ->check(CLI::Range(std::int64_t{0}, std::int64_t{1'000'000}));
    line.Prune->add_option("--db", prune.Db, kDbHelp);
    line.Prune->add_flag("--dry-run", prune.DryRun, "Only say what would be removed");
    line.Prune->footer(R"(
An image of the store folder is removed when the inbox lists it as analysed
with a record, analysed more than DAYS days ago, and its file still holds that
content. Waiting, refused and unmatched images stay (they can be taken again
with "inbox retry"), and so do images analysed without a record and files the
inbox does not know. The inbox keeps listing the removed images; the same
image sent again is still recognised and not recorded twice. One line per
image removed goes to standard output, then the total.
Exit status: 0; 1 an image could not be removed, or the store folder or the
database cannot be used; 2 usage.)");

    rules->footer(R"(
A rules file is a JSON object whose "rules" array is tried in order; the first
rule whose "match" conditions all hold gives the image its "settings". An image
no rule matches is never analysed. The example rules file (rules-example.json,
in the source's docs/ folder and in /usr/share/evenor when installed) shows
every field.
Exit status: 0 the file is usable (check) or the image matches a rule (test);
1 a problem in the file, an unreadable image, or no rule matches; 2 usage.)");
}

bool RunIntakeCommands(const IntakeCommandLine& line, std::ostream& out, std::ostream& err, int& status)
{
    if (line.Check != nullptr && *line.Check) {
        const IntakeRules rules = ReadIntakeRules(line.RulesFile);
        if (!RulesUsable(rules, err)) {
            status = kExitFailed;
            return true;
        }
        out << line.RulesFile << ": " << rules.Rules.size() << (rules.Rules.size() == 1 ? " rule" : " rules")
            << ", no problem found\n";
        for (const auto& rule : rules.Rules) {
            out << "  " << rule.Label() << ": ";
            if (rule.Conditions.empty()) out << "every image";
            for (std::size_t i = 0; i < rule.Conditions.size(); ++i) {
                const auto& condition = rule.Conditions[i];
                out << (i == 0 ? "" : " and ") << condition.Field << (condition.Pattern ? " matches /" : " is \"")
                    << condition.Text << (condition.Pattern ? "/" : "\"");
            }
            if (!rule.Options.Area.empty())
                out << "\n    area " << rule.Options.Area
                    << ": whether it lies inside the image and holds the box is checked against each image";
            out << '\n';
        }
        status = kExitSuccess;
        return true;
    }
    if (line.Test != nullptr && *line.Test) {
        const IntakeRules rules = ReadIntakeRules(line.RulesFile);
        if (!RulesUsable(rules, err)) {
            status = kExitFailed;
            return true;
        }
        try {
            // The tags of a compressed image too, as the intake reads them.
            const TDicomBeeld image(DirectoryPart(line.Image), FileNamePart(line.Image), CompressedImages::Decode);
            const IntakeRule* rule = MatchIntakeRule(rules, image.TagTable());
            if (rule == nullptr) {
                out << line.Image << ": no rule matches; the image would be kept and listed as unmatched\n";
                status = kExitFailed;
                return true;
            }
            out << line.Image << ": " << rule->Label() << '\n' << RuleSettingsText(*rule);
            status = kExitSuccess;
        } catch (const EvenorError& e) {
            err << line.Image << ": " << e.what() << '\n';
            status = kExitFailed;
        }
        return true;
    }
    if (line.Watch != nullptr && *line.Watch) {
        status = RunWatch(line.WatchLine, err);
        return true;
    }
    if (line.Serve != nullptr && *line.Serve) {
        status = RunServe(line.ServeLine, err);
        return true;
    }
    if (line.Retry != nullptr && *line.Retry) {
        InboxRetryLine retry = line.RetryLine;
        if (retry.Ids.empty() && retry.State.empty()) {
            err << "retry: entry IDs or --state refused|unmatched are expected\nRun with --help for more "
                   "information.\n";
            status = kExitUsage;
            return true;
        }
        // "inbox --db DB retry ...": the database named before "retry".
        if (retry.Db.empty()) retry.Db = line.Db;
        status = InboxRetryCommand(retry, out, err);
        return true;
    }
    if (line.Inbox != nullptr && *line.Inbox && line.Summary) {
        InboxSummaryLine summary = line.SummaryLine;
        summary.Db = line.Db;
        summary.Detector = line.Detector;
        summary.Json = line.Json;
        status = InboxSummaryCommand(summary, out, err);
        return true;
    }
    if (line.Inbox != nullptr && *line.Inbox) {
        status = InboxCommand(line, out, err);
        return true;
    }
    if (line.Prune != nullptr && *line.Prune) {
        status = StorePruneCommand(line.PruneLine, out, err);
        return true;
    }
    return false;
}

}  // namespace evenor
