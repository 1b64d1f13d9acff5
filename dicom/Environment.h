#pragma once
// The environment variables Evenor reads, read one way: a variable set to
// the empty text counts as not set.
#include <filesystem>
#include <optional>
#include <string>

namespace evenor {

// The variable's value; none when it is unset or empty.
std::optional<std::string> EnvironmentValue(const char* name);

// The folder of the user's data files, by the XDG Base Directory rule:
// $XDG_DATA_HOME when it is an absolute path (a relative value is ignored),
// else $HOME/.local/share, else the current folder. Evenor keeps its files in
// the "evenor" folder inside it.
std::filesystem::path UserDataFolder();

}  // namespace evenor
