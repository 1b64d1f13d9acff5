#pragma once
// A file path split the way an image is opened (TDicomBeeld takes the folder
// and the file name apart): at the last "\" or "/".
#include <string>

namespace evenor {

// Everything up to and including the last "\" or "/"; empty when there is none.
inline std::string DirectoryPart(const std::string& path)
{
    const auto separator = path.find_last_of("\\/");
    return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

// Everything after the last "\" or "/"; the whole path when there is none.
// DirectoryPart(p) + FileNamePart(p) == p.
inline std::string FileNamePart(const std::string& path)
{
    const auto separator = path.find_last_of("\\/");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

}  // namespace evenor
