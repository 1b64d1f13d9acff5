#pragma once
// The command-line front end: parses the arguments, runs the library and
// prints errors. Returns the process exit status: 0 success, 1 the command
// failed or was refused, 2 usage error.
#include <iosfwd>

namespace evenor {

int RunCli(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace evenor
