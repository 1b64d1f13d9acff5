// Write failures of a whole analysis run, on real files: the run ends with the
// matching error and no success message, and the next run on the
// same image goes on as if nothing had happened. A run refused, or failed
// before the report, leaves an existing report exactly as it was: bytes,
// modification time and inode.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/AnalysisRun.h"
#include "dicom/DicomLib.h"
#include "tests/support/FrontEndRun.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDicomWriter.h"

namespace evenor::test {
namespace {

constexpr const char* kEarlierReport = "an earlier report\r\n";

// What identifies a file's content and its last write.
struct FileState {
    std::string Bytes;
    timespec Modified{};
    ino_t Inode = 0;
    bool operator==(const FileState& other) const
    {
        return Bytes == other.Bytes && Modified.tv_sec == other.Modified.tv_sec &&
               Modified.tv_nsec == other.Modified.tv_nsec && Inode == other.Inode;
    }
};

FileState StateOf(const std::filesystem::path& path)
{
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return FileState{test::ReadWholeFile(path), info.st_mtim, info.st_ino};
}

// A 40 x 40 image, 1 mm spacing; a box of 1 cm is 10 pixels.
class WriteFailureTest : public ::testing::Test {
public:
    void SetUp() override
    {
        image_ = test::FlatImage(40, 40, 1000, {{3, 2, 680}});
        fields_.FirstRow = fields_.FirstColumn = "0";
        fields_.LastColumn = fields_.LastRow = "39";
        fields_.BoxCm = "1";
        fields_.RoiDeviation = "5";
        fields_.PixelDeviation = "20";
        Open();
        settings_.OutputFileName = Report().string();
        test::WriteWholeFile(Report(), kEarlierReport);
        // An old, exact time stamp, so any write shows.
        const timespec old[2] = {{981173106, 789000000}, {981173106, 789000000}};
        ASSERT_EQ(::utimensat(AT_FDCWD, Report().c_str(), old, 0), 0);
    }

    void Open()
    {
        test::WriteDicomFile(folder_ / "image.dcm", image_);
        current_ = std::make_unique<TDicomBeeld>(folder_.Path().string() + "/", "image.dcm");
        settings_.DicomFileName = (folder_ / "image.dcm").string();
    }

    std::filesystem::path Report() const { return folder_ / "report.txt"; }

    // Runs and returns the error text, "" when the run threw nothing.
    std::string RunCatching(bool& written)
    {
        written = false;
        try {
            written = test::RunLikeAFrontEnd(fields_, current_.get(), settings_, host_);
        } catch (const EvenorError& e) {
            return e.Message();
        }
        return "";
    }

    test::TempFolder folder_;
    test::TestImage image_;
    SettingsFields fields_;
    AnalysisSettings settings_;
    std::unique_ptr<TDicomBeeld> current_;
    test::MessageLog host_;
};

TEST_F(WriteFailureTest, ReportsThatCannotBeWrittenEndTheRunAndTheProgramGoesOn)
{
    test::WriteWholeFile(folder_ / "plain-file", "x");
    std::filesystem::create_directory(folder_ / "a-folder");
    std::string longPath = folder_.Path().string();
    while (longPath.size() < 5000) longPath += "/" + std::string(200, 'd');
    struct Case {
        const char* name;
        std::string path;
        const char* message;
    };
    const Case cases[] = {
        {"device full", "/dev/full", "Disk full"},
        {"missing folder", (folder_ / "missing" / "report.txt").string(), "File not found"},
        {"parent is a file", (folder_ / "plain-file" / "report.txt").string(), "File not found"},
        {"name of 300 characters", (folder_ / std::string(300, 'n')).string(), "Invalid filename"},
        {"path of 5000 characters", longPath + "/report.txt", "Invalid filename"},
        {"a folder", (folder_ / "a-folder").string(), "File access denied"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host_.Messages.clear();
        settings_.OutputFileName = c.path;
        bool written = true;
        EXPECT_EQ(RunCatching(written), c.message);
        EXPECT_FALSE(written);
        // The analysis ran, the writer failed and no success message followed.
        EXPECT_TRUE(host_.Messages.empty());

        // The program goes on: the same image and settings write a report.
        host_.Messages.clear();
        settings_.OutputFileName = Report().string();
        EXPECT_EQ(RunCatching(written), "");
        EXPECT_TRUE(written);
        EXPECT_EQ(host_.Messages.back(), kResultsWritten);
        EXPECT_TRUE(test::ReadWholeFile(Report()).starts_with("Results evenor test:\r\n"));
    }
    EXPECT_FALSE(std::filesystem::exists(folder_ / "missing"));
    EXPECT_TRUE(std::filesystem::is_directory(folder_ / "a-folder"));
    EXPECT_EQ(test::ReadWholeFile(folder_ / "plain-file"), "x");
}

TEST_F(WriteFailureTest, RunsRefusedOrFailedBeforeTheReportLeaveItUntouched)
{
    struct Case {
        const char* name;
        std::function<void(WriteFailureTest&)> change;
        const char* message;  // the message shown, or the error's text
        bool throws;
    };
    const Case cases[] = {
        {"area not correct", [](WriteFailureTest& t) { t.fields_.FirstRow = "9", t.fields_.LastRow = "8"; },
         "Area not correct", false},
        {"area outside the image", [](WriteFailureTest& t) { t.fields_.LastColumn = "40"; }, "Area outside the image",
         false},
        {"area smaller than the box", [](WriteFailureTest& t) { t.fields_.BoxCm = "5"; },
         "Area smaller than box dimension", false},
        {"box too small", [](WriteFailureTest& t) { t.fields_.BoxCm = "0.1"; },
         "Box dimension too small, the analysing box must be at least 2 pixels wide", false},
        {"field not a number", [](WriteFailureTest& t) { t.fields_.RoiDeviation = "5%"; }, "A number is expected",
         false},
        {"no pixel spacing", [](WriteFailureTest& t) { t.image_.PixelSpacing.clear(), t.Open(); },
         "Pixel spacing not found in DICOM file, cannot convert box dimension", false},
        {"image file gone", [](WriteFailureTest& t) { std::filesystem::remove(t.folder_ / "image.dcm"); },
         "Cannot open file ", true},
        {"image file now a folder",
         [](WriteFailureTest& t) {
             std::filesystem::remove(t.folder_ / "image.dcm");
             std::filesystem::create_directory(t.folder_ / "image.dcm");
         },
         "Cannot open file ", true},
        {"image file shortened after the open",
         [](WriteFailureTest& t) { std::filesystem::resize_file(t.folder_ / "image.dcm", 400); },
         "Pixel data incomplete, the DICOM file ends too early", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        const FileState before = StateOf(Report());
        c.change(*this);
        host_.Messages.clear();
        bool written = true;
        const std::string error = RunCatching(written);
        EXPECT_FALSE(written);
        if (c.throws) {
            EXPECT_TRUE(error.starts_with(c.message)) << error;
        } else {
            EXPECT_EQ(error, "");
            EXPECT_EQ(host_.Messages.back(), c.message);
        }
        EXPECT_TRUE(StateOf(Report()) == before);
        std::error_code ignored;
        std::filesystem::remove_all(folder_ / "image.dcm", ignored);
    }
}

// A write that fails half-way on a real file (the file-size limit of the
// process, EFBIG): the error carries its code, no success message follows, and
// the lines written so far stay in the file. Run in a child process, whose
// limit cannot touch the test program.
TEST_F(WriteFailureTest, WriteFailingHalfWayReportsTheErrorAndKeepsWhatWasWritten)
{
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{100, 100};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(10);
        bool written = true;
        const std::string error = RunCatching(written);
        if (written || error != "I/O error 27") ::_exit(11);
        if (!host_.Messages.empty()) ::_exit(12);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string partial = test::ReadWholeFile(Report());
    EXPECT_EQ(partial.size(), 100u);
    EXPECT_TRUE(partial.starts_with("Results evenor test:\r\n"));
}

}  // namespace
}  // namespace evenor::test
