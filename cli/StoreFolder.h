#pragma once
// The store folder of "serve": every instance received is written to a
// hidden temporary file, flushed to the disk and linked to its final name, so
// that a crash leaves either the whole file or none under that name (and a
// temporary file that the next start removes). No network here.
#include <filesystem>
#include <string>

namespace evenor {

// The start of the names of the temporary files; a file of the store folder
// whose name starts so is a transfer cut by a crash, never an image.
inline constexpr const char* kTemporaryPrefix = ".receiving-";

// A UID used as a file name: digits and dots only, as a UID must be;
// anything else gets a name made of its hash.
std::string FileNameOf(const std::string& uid, const std::string& sha256);

// "what: the system's text of error".
std::string ErrnoText(const char* what, int error);

// Writes bytes to a new file of folder, flushed to the disk, under name, or
// name with "-2", "-3", ... when another instance holds it. Returns the path;
// the existing file when it holds these very bytes (a sender repeating a
// transfer). On failure returns an empty path and sets error; no file of ours
// is left then.
std::filesystem::path WriteDurably(const std::filesystem::path& folder, const std::string& name,
                                   const std::string& bytes, std::string& error);

}  // namespace evenor
