#pragma once
// The intake commands of the command line: "rules check" and "rules test".
#include <iosfwd>
#include <string>

namespace CLI {
class App;
}

namespace evenor {

struct IntakeCommandLine {
    CLI::App* Check = nullptr;
    CLI::App* Test = nullptr;
    std::string RulesFile;
    std::string Image;
};

void AddIntakeCommands(CLI::App& app, IntakeCommandLine& line);

// Runs the intake command that was given; false when none was.
bool RunIntakeCommands(const IntakeCommandLine& line, std::ostream& out, std::ostream& err, int& status);

}  // namespace evenor
