#include "cli/StoreFolder.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace evenor {

namespace fs = std::filesystem;

namespace {

bool SameBytes(const fs::path& file, const std::string& bytes)
{
    std::error_code error;
    if (fs::file_size(file, error) != bytes.size() || error) return false;
    std::ifstream in(file, std::ios::binary);
    std::string content(bytes.size(), '\0');
    in.read(content.data(), static_cast<std::streamsize>(content.size()));
    return in.gcount() == static_cast<std::streamsize>(bytes.size()) && content == bytes;
}

}  // namespace

std::string FileNameOf(const std::string& uid, const std::string& sha256)
{
    const bool plain = !uid.empty() && uid.size() <= 64 && uid.front() != '.' &&
                       uid.find_first_not_of("0123456789.") == std::string::npos;
    return (plain ? uid : "instance-" + sha256.substr(0, 16)) + ".dcm";
}

std::string ErrnoText(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }

fs::path WriteDurably(const fs::path& folder, const std::string& name, const std::string& bytes, std::string& error)
{
    static std::atomic<unsigned> serial{0};
    const fs::path temporary =
        folder / (kTemporaryPrefix + std::to_string(::getpid()) + "-" + std::to_string(serial++) + ".part");
    const auto fail = [&](const char* what, int number) {
        ::unlink(temporary.c_str());
        error = ErrnoText(what, number);
        return fs::path();
    };
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return fail("cannot create a file in the store folder", errno);
    int problem = 0;
    for (std::size_t done = 0; done < bytes.size() && problem == 0;) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0)
            problem = written < 0 ? errno : ENOSPC;
        else
            done += static_cast<std::size_t>(written);
    }
    if (problem == 0 && ::fsync(fd) != 0) problem = errno;
    if (::close(fd) != 0 && problem == 0) problem = errno;
    if (problem != 0) return fail("cannot write the image", problem);

    const std::string stem = name.substr(0, name.size() - 4);  // without ".dcm"
    fs::path target;
    for (int copy = 1; target.empty(); ++copy) {
        const fs::path candidate = folder / (copy == 1 ? name : stem + "-" + std::to_string(copy) + ".dcm");
        // link() fails when the name is taken: two receivers never replace each other's file.
        if (::link(temporary.c_str(), candidate.c_str()) == 0) {
            target = candidate;
        } else if (errno != EEXIST) {
            return fail("cannot name the image in the store folder", errno);
        } else if (SameBytes(candidate, bytes)) {
            ::unlink(temporary.c_str());
            return candidate;
        } else if (copy >= 1000) {
            return fail("cannot name the image in the store folder", EEXIST);
        }
    }
    ::unlink(temporary.c_str());
    // The new name is durable once the folder is.
    if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return target;
}

}  // namespace evenor
