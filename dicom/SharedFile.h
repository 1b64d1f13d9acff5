#pragma once
// SharedFile: an image file opened for reading while letting others read it
// but not write it.
//
// Linux has no sharing modes; the nearest thing is an advisory lock. The file
// is opened read-only and a shared flock is taken without waiting: it fails
// when another open file holds an exclusive lock, and it keeps writers that
// take an exclusive flock out while the file is open. Only regular files are
// accepted (a directory, FIFO or device "cannot be opened"). The open never
// blocks.
#include <cstdint>
#include <string>

namespace evenor {

class SharedFile {
public:
    // Opens the file; IsOpen() tells whether that worked.
    explicit SharedFile(const std::string& path);
    ~SharedFile();
    SharedFile(const SharedFile&) = delete;
    SharedFile& operator=(const SharedFile&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int Descriptor() const { return fd_; }
    std::uint64_t Size() const { return size_; }

    // Reads up to count bytes at offset; returns the number read, fewer only
    // at the end of the file or on an input/output error.
    std::size_t ReadAt(void* destination, std::size_t count, std::uint64_t offset) const;

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// True when both paths name one existing file: the same device and inode, so
// also through another path, a symbolic link or a hard link. False when either
// does not exist (a report that is still to be written is never the image).
bool IsSameFile(const std::string& first, const std::string& second);

// The path as the file system reaches it: absolute, with "..", "." and the
// symbolic links of its existing part resolved. Two paths of one file that
// does not exist yet compare equal this way.
std::string CanonicalPath(const std::string& path);

}  // namespace evenor
