#pragma once
// The command-line front end: parses the arguments, runs the library and
// prints errors. Returns the process exit status: 0 success, 1 the command
// failed or was refused, 2 usage error, 3 (only with --fail-on-deviation) the
// analysis succeeded but the overall guideline verdict is "fail".
#include <functional>
#include <iosfwd>

namespace CLI {
class App;
}

namespace evenor {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitDeviation = 3;

// errIsTerminal: err is a terminal, so a batch run may show a progress line.
int RunCli(int argc, char** argv, std::ostream& out, std::ostream& err, bool errIsTerminal = false);

// Adds "web" (cli/WebCommand.cpp); the function returned runs it when it was
// given (and sets the status), else returns false.
std::function<bool(std::ostream&, std::ostream&, int&)> AddWebCommand(CLI::App& app);

}  // namespace evenor
