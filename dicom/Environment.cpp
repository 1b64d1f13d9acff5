#include "dicom/Environment.h"

#include <cstdlib>

namespace evenor {

std::optional<std::string> EnvironmentValue(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

std::filesystem::path UserDataFolder()
{
    if (const auto data = EnvironmentValue("XDG_DATA_HOME"); data && std::filesystem::path(*data).is_absolute())
        return *data;
    if (const auto home = EnvironmentValue("HOME")) return std::filesystem::path(*home) / ".local" / "share";
    return ".";
}

}  // namespace evenor
