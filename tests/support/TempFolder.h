#pragma once
// A fresh, empty folder for one test (or one fuzzing process), removed with
// everything in it by the destructor, and whole-file reads and writes.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace evenor::test {

class TempFolder {
public:
    // Made under the system's temporary folder. Throws std::runtime_error
    // when the folder cannot be made.
    TempFolder() : TempFolder(std::filesystem::temp_directory_path()) {}
    // Made under base.
    explicit TempFolder(const std::filesystem::path& base)
    {
        std::string pattern = (base / "evenor-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed under " + base.string());
        path_ = pattern;
    }
    ~TempFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    // The folder as the DICOM reader takes it: ending with the separator.
    std::string DirectoryName() const { return path_.string() + "/"; }

private:
    std::filesystem::path path_;
};

// The file's bytes; empty when it cannot be read.
inline std::string ReadWholeFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Replaces the file with the bytes; false when they could not all be written.
inline bool WriteWholeFile(const std::filesystem::path& path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return out.good();
}

}  // namespace evenor::test
