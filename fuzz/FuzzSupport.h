#pragma once
// Helpers shared by the fuzz harnesses, on top of the test kernel in
// tests/support (temporary folder, DICOM writer, reference analysis). The
// harnesses are built twice: with clang's libFuzzer (fuzz/CMakeLists.txt,
// scripts/fuzz) and with the normal build as replay programs that run the
// kept inputs (tests/fuzz).
//
// A broken invariant prints what was expected and aborts, which libFuzzer
// reports as a crash and ctest as a failed replay.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include <unistd.h>

#include "tests/support/TempFolder.h"

#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition);                     \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)

namespace evenor::fuzz {

// A folder of this process's own, made on first use under /dev/shm (memory,
// so writing a file per input costs no disk) or the temporary folder, and
// removed when the process ends normally.
class ScratchFolder {
public:
    static const std::filesystem::path& Path()
    {
        static const test::TempFolder folder(Base());
        return folder.Path();
    }

private:
    static std::filesystem::path Base()
    {
        std::error_code error;
        const std::filesystem::path shm = "/dev/shm";
        if (std::filesystem::is_directory(shm, error) && ::access(shm.c_str(), W_OK) == 0) return shm;
        return std::filesystem::temp_directory_path();
    }
};

inline void WriteFile(const std::filesystem::path& path, std::string_view bytes)
{
    FUZZ_CHECK(test::WriteWholeFile(path, bytes));
}

using test::ReadWholeFile;

// Takes the input apart front to back; past its end every value is 0 and
// every text empty, so any input, however short, gives a complete case.
class InputReader {
public:
    InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
    std::uint16_t Word()
    {
        const std::uint16_t low = Byte();
        return static_cast<std::uint16_t>(low | (Byte() << 8));
    }
    // A text of up to maxLength bytes: a length byte, then that many bytes.
    std::string Text(std::size_t maxLength)
    {
        const std::size_t length = std::min<std::size_t>(Byte(), maxLength);
        const std::size_t available = std::min(length, Remaining());
        std::string text(reinterpret_cast<const char*>(data_ + position_), available);
        position_ += available;
        return text;
    }
    std::size_t Remaining() const { return size_ - position_; }
    const std::uint8_t* Rest() const { return data_ + position_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

}  // namespace evenor::fuzz
