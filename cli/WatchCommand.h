#pragma once
// "evenor-cli watch": analyses every new file of some folders once it is
// complete, with the settings of the intake rules, exactly once per content
// across restarts.
#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

namespace evenor {

struct WatchOptions {
    std::vector<std::string> Folders;
    std::string RulesFile, Db, OutDir, By;
    bool Recursive = false;
    bool Once = false;           // stop when every file found has been taken
    double SettleSeconds = 2.0;  // size and time unchanged this long: complete
    double IntervalSeconds = 1.0;
    std::size_t Jobs = 2;
};

// Runs until SIGTERM/SIGINT (or, with Once, until every file is taken);
// events go to err, one line each. 0 on a clean stop, 1 when the rules or the
// database cannot be used.
int RunWatch(const WatchOptions& options, std::ostream& err);

}  // namespace evenor
