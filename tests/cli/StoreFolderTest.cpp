// The store folder's durable writes, without a network: a new name, a name
// taken by other bytes, the same bytes sent again, a folder that cannot take
// the file; never a temporary file left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/StoreFolder.h"
#include "tests/support/TempFolder.h"

namespace evenor::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Names(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(StoreFolderTest, WritesEachInstanceOnceUnderAFreeName)
{
    const TempFolder folder;
    const struct {
        const char* what;
        const char* name;
        std::string bytes;
        const char* expected;  // the file written or found
        std::vector<std::string> after;
    } steps[] = {
        {"a new name", "1.2.3.dcm", "first", "1.2.3.dcm", {"1.2.3.dcm"}},
        {"the same bytes again", "1.2.3.dcm", "first", "1.2.3.dcm", {"1.2.3.dcm"}},
        {"other bytes, same name", "1.2.3.dcm", "second", "1.2.3-2.dcm", {"1.2.3-2.dcm", "1.2.3.dcm"}},
        {"a third instance", "1.2.3.dcm", "third!", "1.2.3-3.dcm", {"1.2.3-2.dcm", "1.2.3-3.dcm", "1.2.3.dcm"}},
        {"the second again", "1.2.3.dcm", "second", "1.2.3-2.dcm", {"1.2.3-2.dcm", "1.2.3-3.dcm", "1.2.3.dcm"}},
        {"an empty instance", "4.dcm", "", "4.dcm", {"1.2.3-2.dcm", "1.2.3-3.dcm", "1.2.3.dcm", "4.dcm"}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        std::string error;
        const fs::path written = WriteDurably(folder.Path(), step.name, step.bytes, error);
        EXPECT_EQ(error, "");
        EXPECT_EQ(written, folder / step.expected);
        EXPECT_EQ(ReadWholeFile(written), step.bytes);
        EXPECT_EQ(Names(folder.Path()), step.after);  // no temporary file left
    }
}

TEST(StoreFolderTest, AFolderThatCannotTakeTheFileLeavesNothing)
{
    const TempFolder folder;
    std::string error;
    EXPECT_EQ(WriteDurably(folder / "missing", "1.dcm", "bytes", error), fs::path());
    EXPECT_NE(error.find("cannot create a file in the store folder: "), std::string::npos) << error;
    EXPECT_TRUE(Names(folder.Path()).empty());
}

TEST(StoreFolderTest, OnlyAPlainUidNamesAFile)
{
    const std::string sha = "0123456789abcdef0123456789abcdef";
    const struct {
        std::string uid;
        const char* name;
    } cases[] = {
        {"1.2.840.10008.1", "1.2.840.10008.1.dcm"},
        {"", "instance-0123456789abcdef.dcm"},
        {"../../etc/passwd", "instance-0123456789abcdef.dcm"},
        {".1.2", "instance-0123456789abcdef.dcm"},
        {"1.2 3", "instance-0123456789abcdef.dcm"},
        {std::string(65, '1'), "instance-0123456789abcdef.dcm"},
        {std::string(64, '1'), nullptr},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FileNameOf(c.uid, sha), c.name ? std::string(c.name) : c.uid + ".dcm") << c.uid;
}

}  // namespace
}  // namespace evenor::test
