// "evenor-cli analyse PATH... --out-dir OUT": which files a batch takes, how
// its outputs are named, and that each image's outputs are those of a
// single run, whatever fails beside it.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/AnalysisRun.h"
#include "cli/BatchRun.h"
#include "tests/cli/CliTestSupport.h"

namespace evenor::test {
namespace {

namespace fs = std::filesystem;
using test::CliResult;
using test::RunInProcess;

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// The first three fields of a summary row: file, status, error (no quoting
// in these tests' names and messages).
std::string RowStart(const std::string& row)
{
    std::size_t comma = row.find(',');
    comma = row.find(',', comma + 1);
    comma = row.find(',', comma + 1);
    return row.substr(0, comma);
}

std::string Field(const std::string& row, std::size_t index)
{
    std::size_t start = 0;
    for (std::size_t i = 0; i < index; ++i) start = row.find(',', start) + 1;
    return row.substr(start, row.find(',', start) - start);
}

std::size_t Column(const std::string& header, const std::string& name)
{
    std::size_t index = 0;
    for (std::size_t start = 0;; ++index) {
        const std::size_t end = header.find(',', start);
        if (header.substr(start, end - start) == name) return index;
        if (end == std::string::npos) return std::string::npos;
        start = end + 1;
    }
}

TEST(CliBatchTest, AFolderWithABrokenFileGivesTheSingleRunsOutputsAndAnErrorRow)
{
    test::TempFolder folder;
    const fs::path in = folder / "in";
    fs::create_directories(in / "sub");
    test::WriteDicomFile(in / "a.dcm", test::NoisyFlatImage(64));
    test::WriteDicomFile(in / "b.dcm", test::BlotchedImage(64));
    test::TestImage untagged = test::NoisyFlatImage(48);
    untagged.IntensityRelationship.reset();  // warning W2
    test::WriteDicomFile(in / "c.dcm", untagged);
    test::WriteWholeFile(in / "broken.dcm", "not a DICOM file at all");
    test::WriteDicomFile(in / ".hidden.dcm", test::NoisyFlatImage(32));
    test::WriteDicomFile(in / "sub" / "d.dcm", test::NoisyFlatImage(32));
    const fs::path out = folder / "out";

    const CliResult batch =
        RunInProcess({"analyse", in.string(), "--out-dir", out.string(), "--each-json", "--each-csv"});
    EXPECT_EQ(batch.status, 1) << batch.err;

    // Each image's outputs are byte for byte those of a run on it alone.
    for (const char* name : {"a", "b", "c"}) {
        const std::string image = (in / (std::string(name) + ".dcm")).string();
        const fs::path single = folder / "single" / name;
        fs::create_directories(single);
        const CliResult alone = RunInProcess({"analyse", image, "-o", (single / "r.txt").string(), "--json",
                                              (single / "r.json").string(), "--csv", (single / "r.csv").string()});
        ASSERT_EQ(alone.status, 0) << name << alone.err;
        for (const char* extension : {".txt", ".json", ".csv"}) {
            const std::string batchOutput = test::ReadWholeFile(out / (std::string(name) + extension));
            EXPECT_FALSE(batchOutput.empty()) << name << extension;
            EXPECT_EQ(batchOutput, test::ReadWholeFile(single / (std::string("r") + extension))) << name << extension;
        }
    }
    // Hidden files and sub-folders are not taken; the broken file has no outputs.
    std::vector<std::string> written;
    for (const auto& entry : fs::directory_iterator(out)) written.push_back(entry.path().filename().string());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, (std::vector<std::string>{"a.csv", "a.json", "a.txt", "b.csv", "b.json", "b.txt", "c.csv",
                                                 "c.json", "c.txt", "summary.csv"}));

    const std::vector<std::string> rows = SplitLines(test::ReadWholeFile(out / "summary.csv"));
    ASSERT_EQ(rows.size(), 5u);
    const std::string broken = (in / "broken.dcm").string();
    const std::size_t verdict = Column(rows[0], "verdict");
    ASSERT_NE(verdict, std::string::npos) << rows[0];
    EXPECT_EQ(RowStart(rows[1]), (in / "a.dcm").string() + ",ok,");
    EXPECT_EQ(Field(rows[1], verdict), "pass");
    EXPECT_EQ(RowStart(rows[2]), (in / "b.dcm").string() + ",ok,");
    EXPECT_EQ(Field(rows[2], verdict), "fail");
    EXPECT_TRUE(RowStart(rows[3]).starts_with(broken + ",error,")) << rows[3];
    EXPECT_GT(RowStart(rows[3]).size(), (broken + ",error,").size()) << "the reader's message";
    EXPECT_EQ(RowStart(rows[4]), (in / "c.dcm").string() + ",ok,");
    for (const auto& row : rows)
        EXPECT_EQ(std::count(row.begin(), row.end(), ','), std::count(rows[0].begin(), rows[0].end(), ','));

    // Every message carries its file's name; the success message is left out.
    const std::string error = RowStart(rows[3]).substr((broken + ",error,").size());
    EXPECT_EQ(batch.err,
              broken + ": " + error + "\n" + (in / "c.dcm").string() + ": Warning: " + kWarningLinearMissing + "\n");
    // One line per analysed image, then the total. 64 x 64 pixels with 10-pixel
    // boxes: 12 x 12 ROIs; 48 x 48: 9 x 9.
    const std::vector<std::string> lines = SplitLines(batch.out);
    ASSERT_EQ(lines.size(), 4u) << batch.out;
    EXPECT_EQ(lines[0], (in / "a.dcm").string() + ": pass (144 ROIs, 0 deviating ROIs, 0 deviating pixels)");
    EXPECT_TRUE(lines[1].starts_with((in / "b.dcm").string() + ": fail (144 ROIs, ")) << lines[1];
    EXPECT_EQ(lines[2], (in / "c.dcm").string() + ": pass (81 ROIs, 0 deviating ROIs, 0 deviating pixels)");
    EXPECT_EQ(lines[3],
              "4 images: 3 analysed (2 pass, 0 warning, 1 fail), 1 failed; summary: " + (out / "summary.csv").string());
}

TEST(CliBatchTest, ExitStatus)
{
    test::TempFolder folder;
    test::WriteDicomFile(folder / "flat.dcm", test::NoisyFlatImage(64));
    test::WriteDicomFile(folder / "blotch.dcm", test::BlotchedImage(64));
    test::WriteDicomFile(folder / "small.dcm", test::NoisyFlatImage(23));
    test::WriteWholeFile(folder / "broken.dcm", std::string(200, 'x'));
    fs::create_directories(folder / "empty");
    struct Case {
        std::vector<std::string> files;
        std::vector<std::string> args;
        int status;
        std::string message;  // a line of standard error
    };
    const Case cases[] = {
        {{"flat.dcm"}, {}, 0, ""},
        {{"flat.dcm", "blotch.dcm"}, {}, 0, ""},
        {{"flat.dcm", "blotch.dcm"}, {"--fail-on-deviation"}, 3, ""},
        {{"flat.dcm", "blotch.dcm", "broken.dcm"}, {"--fail-on-deviation"}, 1, ""},
        {{"flat.dcm", "missing.dcm"}, {}, 1, "missing.dcm: Cannot open file"},
        // Refused for one image only: its message carries its name.
        {{"flat.dcm", "small.dcm"}, {"--box-cm", "2.5"}, 1, "small.dcm: Area smaller than box dimension"},
        {{"empty"}, {}, 1, "No files to analyse"},
        {{"flat.dcm"}, {"--jobs", "1"}, 0, ""},
    };
    for (const auto& c : cases) {
        const fs::path out = folder / "out";
        fs::remove_all(out);
        std::vector<std::string> args = {"analyse"};
        for (const auto& file : c.files) args.push_back((folder / file).string());
        args.insert(args.end(), {"--out-dir", out.string()});
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CliResult result = RunInProcess(args);
        std::string label;
        for (const auto& arg : c.files) label += arg + " ";
        for (const auto& arg : c.args) label += arg + " ";
        EXPECT_EQ(result.status, c.status) << label << result.err;
        if (!c.message.empty()) {
            EXPECT_NE(result.err.find(c.message), std::string::npos) << label << result.err;
        }
    }
}

TEST(CliBatchTest, AnOutputThatCannotBeWrittenFailsOnlyItsImage)
{
    test::TempFolder folder;
    test::WriteDicomFile(folder / "a.dcm", test::NoisyFlatImage(32));
    test::WriteDicomFile(folder / "b.dcm", test::NoisyFlatImage(32));
    const fs::path out = folder / "out";
    fs::create_directories(out / "a.json");  // a folder where the file should go
    const CliResult result = RunInProcess({"analyse", (folder / "a.dcm").string(), (folder / "b.dcm").string(),
                                           "--out-dir", out.string(), "--each-json"});
    EXPECT_EQ(result.status, 1);
    const std::string message = (out / "a.json").string() + ": File access denied";
    EXPECT_EQ(result.err, (folder / "a.dcm").string() + ": " + message + "\n");
    EXPECT_TRUE(fs::is_regular_file(out / "b.json"));
    const std::vector<std::string> rows = SplitLines(test::ReadWholeFile(out / "summary.csv"));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(RowStart(rows[1]), (folder / "a.dcm").string() + ",error," + message);
    EXPECT_EQ(RowStart(rows[2]), (folder / "b.dcm").string() + ",ok,");
}

TEST(CliBatchTest, WhichFilesAFolderGives)
{
    test::TempFolder folder;
    const fs::path x = folder / "x";
    fs::create_directories(x / "sub" / "deeper");
    fs::create_directories(x / ".git");
    for (const char* name :
         {"b.dcm", "a.dcm", "B.dcm", ".hidden", "sub/c.dcm", "sub/.d.dcm", ".git/e.dcm", "sub/deeper/f"})
        test::WriteWholeFile(x / name, "x");
    fs::create_symlink(x / "a.dcm", x / "link.dcm");
    ASSERT_EQ(mkfifo((folder / "pipe").c_str(), 0600), 0);

    struct Case {
        std::vector<std::string> paths;  // below folder
        bool recursive;
        std::vector<std::string> items;  // below folder; "!" in front: with an error
    };
    const Case cases[] = {
        {{"x"}, false, {"x/B.dcm", "x/a.dcm", "x/b.dcm", "x/link.dcm"}},
        {{"x"}, true, {"x/B.dcm", "x/a.dcm", "x/b.dcm", "x/link.dcm", "x/sub/c.dcm", "x/sub/deeper/f"}},
        // Files as given, in the order given, hidden or not, present or not.
        {{"x/sub/.d.dcm", "x/a.dcm", "none.dcm"}, false, {"x/sub/.d.dcm", "x/a.dcm", "none.dcm"}},
        {{"pipe", "x/b.dcm"}, false, {"!pipe", "x/b.dcm"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> paths;
        for (const auto& path : c.paths) paths.push_back((folder / path).string());
        std::vector<std::string> items;
        for (const auto& item : CollectBatchItems(paths, c.recursive)) {
            std::string text = item.Error.empty() ? std::string() : std::string(1, '!');
            items.push_back(text.append(fs::path(item.Path).lexically_relative(folder.Path()).string()));
        }
        EXPECT_EQ(items, c.items) << c.paths.front() << (c.recursive ? " recursive" : "");
    }
}

TEST(CliBatchTest, OutputNamesAreUniqueAndReplaceNoInput)
{
    test::TempFolder folder;
    const std::string out = (folder / "out").string();
    struct Case {
        std::vector<std::string> paths;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {{"x/a.dcm", "y/a.dcm", "y/a", "z/a.DCM"}, {"a", "a-2", "a-3", "a-4"}},
        {{"x/a.dcm", "x/a-2.dcm", "y/a.dcm"}, {"a", "a-2", "a-3"}},
        {{"x/summary.dcm", "x/IM0001", "x/scan.v2.dcm"}, {"summary-2", "IM0001", "scan.v2"}},
        // Inputs inside the output folder that an output would replace.
        {{"out/a.txt", "x/a.dcm"}, {"a-2", "a-3"}},
        {{"out/b-roi-snr-deviation.png", "x/b.dcm"}, {"b-roi-snr-deviation", "b-2"}},
        {{"out/c-roi-noise-deviation.png", "x/c.dcm"}, {"c-roi-noise-deviation", "c-2"}},
    };
    for (const auto& c : cases) {
        std::vector<BatchItem> items;
        for (const auto& path : c.paths) items.push_back(BatchItem{(folder / path).string(), {}, {}});
        NameBatchOutputs(items, out);
        std::vector<std::string> names;
        for (const auto& item : items) names.push_back(item.Name);
        EXPECT_EQ(names, c.names) << c.paths.front();
    }
}

TEST(CliBatchTest, ABatchNeverReadsItsOwnOutputFolder)
{
    test::TempFolder folder;
    const fs::path in = folder / "in";
    fs::create_directories(in / "deep");
    test::WriteDicomFile(in / "a.dcm", test::NoisyFlatImage(64));
    test::WriteDicomFile(in / "deep" / "b.dcm", test::NoisyFlatImage(64, 1200));
    const std::string image = test::ReadWholeFile(in / "a.dcm");
    fs::create_directories(folder / "elsewhere");
    fs::create_directory_symlink(in / "out", folder / "elsewhere" / "out-link");
    const std::string out = (in / "out").string();
    // A nightly job: the same command twice.
    for (int run = 0; run < 2; ++run) {
        const CliResult result = RunInProcess({"analyse", in.string(), "--out-dir", out, "--recursive", "--each-json"});
        EXPECT_EQ(result.status, 0) << run << result.err;
        const auto rows = SplitLines(test::ReadWholeFile(in / "out" / "summary.csv"));
        ASSERT_EQ(rows.size(), 3u) << run;
        EXPECT_EQ(RowStart(rows[1]).substr(0, (in / "a.dcm").string().size()), (in / "a.dcm").string());
        EXPECT_EQ(RowStart(rows[2]).substr(0, (in / "deep" / "b.dcm").string().size()),
                  (in / "deep" / "b.dcm").string());
    }
    // The output folder named as an input, directly or through a symbolic
    // link: refused with a reason, nothing read or written.
    const std::string summary = test::ReadWholeFile(in / "out" / "summary.csv");
    for (const std::string& named : {out, (folder / "elsewhere" / "out-link").string()}) {
        const CliResult result = RunInProcess({"analyse", in.string(), named, "--out-dir", out});
        EXPECT_EQ(result.status, 1) << named;
        EXPECT_NE(result.err.find(named + ": this is the output folder"), std::string::npos) << result.err;
        EXPECT_EQ(test::ReadWholeFile(in / "out" / "summary.csv"), summary);
    }
    EXPECT_EQ(test::ReadWholeFile(in / "a.dcm"), image);
}

TEST(CliBatchTest, AnInputReachedThroughAHardLinkIsNeverReplaced)
{
    test::TempFolder folder;
    fs::create_directories(folder / "x");
    test::WriteDicomFile(folder / "x" / "a.dcm", test::NoisyFlatImage(64));
    const std::string image = test::ReadWholeFile(folder / "x" / "a.dcm");
    fs::create_directories(folder / "out");
    fs::create_hard_link(folder / "x" / "a.dcm", folder / "out" / "a.json");
    const CliResult result = RunInProcess(
        {"analyse", (folder / "x" / "a.dcm").string(), "--out-dir", (folder / "out").string(), "--each-json"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(test::ReadWholeFile(folder / "x" / "a.dcm"), image);
    EXPECT_TRUE(fs::exists(folder / "out" / "a-2.json"));
}

TEST(CliBatchTest, ProgressLineOnlyOnATerminal)
{
    test::TempFolder folder;
    test::WriteDicomFile(folder / "a.dcm", test::NoisyFlatImage(32));
    test::WriteWholeFile(folder / "b.dcm", "broken");
    const std::vector<std::string> args = {"analyse",   (folder / "a.dcm").string(), (folder / "b.dcm").string(),
                                           "--out-dir", (folder / "out").string(),   "--jobs",
                                           "1"};
    const CliResult terminal = RunInProcess(args, true);
    EXPECT_EQ(terminal.status, 1);
    const std::string clear = "\r\x1b[K";
    EXPECT_TRUE(terminal.err.starts_with(clear + "[1/2] " + (folder / "a.dcm").string())) << terminal.err;
    EXPECT_NE(terminal.err.find(clear + "[2/2] " + (folder / "b.dcm").string()), std::string::npos) << terminal.err;
    // The message stands on a line of its own, the progress line is cleared at the end.
    EXPECT_NE(terminal.err.find(clear + (folder / "b.dcm").string() + ": "), std::string::npos) << terminal.err;
    EXPECT_TRUE(terminal.err.ends_with(clear)) << terminal.err;

    const CliResult quiet = RunInProcess(
        [&] {
            auto quietArgs = args;
            quietArgs.push_back("--quiet");
            return quietArgs;
        }(),
        true);
    EXPECT_EQ(quiet.err.find('\r'), std::string::npos) << quiet.err;
    EXPECT_EQ(quiet.out, "");

    const CliResult plain = RunInProcess(args, false);
    EXPECT_EQ(plain.err.find('\r'), std::string::npos) << plain.err;
}

}  // namespace
}  // namespace evenor::test
