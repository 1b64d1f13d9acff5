#pragma once
// A fresh temporary directory for one test, removed with everything in it at
// the end of the test.
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace evenor::test {

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "evenor-dicom-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // The directory as the reader takes it: ending with the separator.
    std::string DirectoryName() const { return path_.string() + "/"; }

private:
    std::filesystem::path path_;
};

}  // namespace evenor::test
