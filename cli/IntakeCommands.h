#pragma once
// The intake commands of the command line: "rules check", "rules test",
// "watch", "serve", "inbox" (with "inbox retry") and "store prune".
#include <iosfwd>
#include <string>

#include "cli/InboxUpkeep.h"
#include "cli/ServeCommand.h"
#include "cli/WatchCommand.h"

namespace CLI {
class App;
}

namespace evenor {

struct IntakeCommandLine {
    CLI::App* Check = nullptr;
    CLI::App* Test = nullptr;
    std::string RulesFile;
    std::string Image;

    CLI::App* Watch = nullptr;
    WatchOptions WatchLine;

    CLI::App* Serve = nullptr;
    ServeOptions ServeLine;

    CLI::App* Inbox = nullptr;
    std::string Db, Detector, State;
    bool Json = false;
    bool Summary = false;
    InboxSummaryLine SummaryLine;  // its MaxWaitMinutes; the rest from above

    CLI::App* Retry = nullptr;
    InboxRetryLine RetryLine;

    CLI::App* Prune = nullptr;
    StorePruneLine PruneLine;
};

void AddIntakeCommands(CLI::App& app, IntakeCommandLine& line);

// Runs the intake command that was given; false when none was.
bool RunIntakeCommands(const IntakeCommandLine& line, std::ostream& out, std::ostream& err, int& status);

}  // namespace evenor
