#include "cli/BatchRun.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <thread>

#include <sys/stat.h>

#include "analysis/AnalysisRun.h"
#include "cli/CliCommands.h"
#include "cli/CliSummary.h"
#include "cli/MapExport.h"
#include "dicom/SharedFile.h"
#include "insight/ResultExport.h"

namespace evenor {

namespace fs = std::filesystem;

namespace {

bool IsHidden(const fs::path& name)
{
    const std::string text = name.filename().string();
    return !text.empty() && text.front() == '.';
}

// Device and inode of an existing file or folder: the same for every path,
// symbolic link and hard link that reaches it.
using FileId = std::pair<dev_t, ino_t>;
std::optional<FileId> IdentityOf(const fs::path& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileId{info.st_dev, info.st_ino};
}

// The regular files of one folder, in the order of CollectBatchItems; the
// folder `skip` (the batch's output folder) is not entered.
std::vector<BatchItem> FolderItems(const std::string& folder, bool recursive, const std::optional<FileId>& skip)
{
    std::vector<std::pair<std::string, std::string>> found;  // path below the folder, path to report
    std::error_code error;
    const fs::path root(folder);
    const auto add = [&](const fs::directory_entry& entry) {
        std::error_code ignored;
        if (!entry.is_regular_file(ignored) || IsHidden(entry.path())) return;
        found.emplace_back(entry.path().lexically_relative(root).generic_string(), entry.path().string());
    };
    if (recursive) {
        fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error);
        for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            std::error_code ignored;
            if (it->is_directory(ignored) && (IsHidden(it->path()) || (skip && IdentityOf(it->path()) == skip))) {
                it.disable_recursion_pending();
                continue;
            }
            add(*it);
        }
    } else {
        fs::directory_iterator it(root, error);
        for (; !error && it != fs::directory_iterator(); it.increment(error)) add(*it);
    }
    if (error) return {BatchItem{folder, {}, "Cannot read folder: " + error.message()}};
    std::sort(found.begin(), found.end());
    std::vector<BatchItem> items;
    for (auto& [relative, path] : found) items.push_back(BatchItem{std::move(path), {}, {}});
    return items;
}

std::vector<std::string> OutputNamesFor(const std::string& name)
{
    return {name + ".txt",
            name + ".json",
            name + ".csv",
            name + "-" + kAreaMapName,
            name + "-" + kMeanHeatMapName,
            name + "-" + kSnrHeatMapName,
            name + "-" + kNoiseHeatMapName};
}

// The output line that shows which image is being worked on, on a terminal;
// messages are written above it.
class ProgressLine {
public:
    ProgressLine(std::ostream& err, bool enabled) : err_(err), enabled_(enabled) {}
    void Show(const std::string& text)
    {
        if (!enabled_) return;
        line_ = text;
        err_ << "\r\x1b[K" << line_ << std::flush;
    }
    // Before other output to the terminal.
    void Lift()
    {
        if (enabled_ && !line_.empty()) err_ << "\r\x1b[K" << std::flush;
    }
    // After it.
    void Restore()
    {
        if (enabled_ && !line_.empty()) err_ << line_ << std::flush;
    }
    void Finish()
    {
        Lift();
        line_.clear();
    }

private:
    std::ostream& err_;
    bool enabled_;
    std::string line_;
};

struct ItemResult {
    std::vector<std::string> Messages;
    ImageOutcome Outcome;
};

}  // namespace

std::vector<BatchItem> CollectBatchItems(const std::vector<std::string>& paths, bool recursive,
                                         const std::string& outDir)
{
    const std::optional<FileId> skip = outDir.empty() ? std::nullopt : IdentityOf(outDir);
    std::vector<BatchItem> items;
    for (const auto& path : paths) {
        std::error_code error;
        const fs::file_status status = fs::status(path, error);
        if (fs::is_directory(status)) {
            if (skip && IdentityOf(path) == skip) continue;
            auto folder = FolderItems(path, recursive, skip);
            items.insert(items.end(), std::make_move_iterator(folder.begin()), std::make_move_iterator(folder.end()));
        } else if (fs::exists(status) && !fs::is_regular_file(status)) {
            // Reading a pipe or a device could wait for ever.
            items.push_back(BatchItem{path, {}, "Not a regular file"});
        } else {
            // A regular file, or one the reader will report as missing.
            items.push_back(BatchItem{path, {}, {}});
        }
    }
    return items;
}

void NameBatchOutputs(std::vector<BatchItem>& items, const std::string& outDir)
{
    std::set<std::string> inputPaths;
    std::set<FileId> inputFiles;
    for (const auto& item : items) {
        inputPaths.insert(CanonicalPath(item.Path));
        if (const auto id = IdentityOf(item.Path)) inputFiles.insert(*id);
    }
    std::set<std::string> taken{"summary"};
    const fs::path folder(outDir);
    // By path, and by identity for an input reached through a hard link.
    const auto replacesAnInput = [&](const std::string& name) {
        for (const auto& file : OutputNamesFor(name)) {
            if (inputPaths.count(CanonicalPath((folder / file).string()))) return true;
            if (const auto id = IdentityOf(folder / file); id && inputFiles.count(*id)) return true;
        }
        return false;
    };
    for (auto& item : items) {
        std::string base = fs::path(item.Path).filename().stem().string();
        if (base.empty()) base = "image";
        std::string name = base;
        for (int suffix = 2; taken.count(name) || replacesAnInput(name); ++suffix)
            name = base + "-" + std::to_string(suffix);
        taken.insert(name);
        item.Name = name;
    }
}

ImageOutputs BatchOutputsFor(const BatchItem& item, const BatchOptions& options)
{
    const fs::path folder(options.OutDir);
    ImageOutputs outputs;
    outputs.Report = (folder / (item.Name + ".txt")).string();
    if (options.Json) outputs.Json = (folder / (item.Name + ".json")).string();
    if (options.Csv) outputs.Csv = (folder / (item.Name + ".csv")).string();
    if (options.Png) {
        outputs.MapFolder = folder.string();
        outputs.MapPrefix = item.Name + "-";
    }
    if (options.Pdf) outputs.Pdf = (folder / (item.Name + ".pdf")).string();
    outputs.Paper = options.Paper;
    return outputs;
}

int RunBatch(const BatchOptions& options, const AnalyseOptions& analyse, const GuidelinePreset& preset,
             std::ostream& out, std::ostream& err)
{
    std::error_code error;
    fs::create_directories(options.OutDir, error);
    if (error || !fs::is_directory(options.OutDir)) {
        err << options.OutDir << ": cannot create the output folder" << (error ? ": " + error.message() : std::string())
            << '\n';
        return kExitFailed;
    }
    for (const auto& path : options.Paths) {
        if (fs::is_directory(path, error) && IsSameFile(path, options.OutDir)) {
            err << path
                << ": this is the output folder, and a batch does not read its own outputs; "
                   "choose another output folder (for example "
                << (fs::path(path) / "out").string() << ")\n";
            return kExitFailed;
        }
    }
    std::vector<BatchItem> items = CollectBatchItems(options.Paths, options.Recursive, options.OutDir);
    if (items.empty()) {
        err << "No files to analyse\n";
        return kExitFailed;
    }
    NameBatchOutputs(items, options.OutDir);
    const std::string summaryPath = (fs::path(options.OutDir) / kSummaryName).string();
    for (const auto& item : items) {
        if (CanonicalPath(item.Path) == CanonicalPath(summaryPath) || IsSameFile(item.Path, summaryPath)) {
            err << summaryPath << ": the summary would replace an input file; choose another output folder\n";
            return kExitFailed;
        }
    }

    std::optional<MapSession> maps;
    if (options.Png || options.Pdf) maps.emplace();

    const std::size_t count = items.size();
    std::vector<ItemResult> results(count);
    std::vector<char> done(count, 0);
    std::size_t nextToReport = 0;
    std::size_t started = 0;
    std::atomic<std::size_t> nextItem{0};
    std::mutex outputLock;
    std::atomic<std::size_t> notRecorded{0};
    ProgressLine progress(err, options.Progress && !options.Quiet);

    // Messages and summary lines are written in the order of the items, each
    // image's together, once every earlier image is done.
    const auto report = [&](std::size_t index) {
        const ItemResult& result = results[index];
        progress.Lift();
        for (const auto& text : result.Messages) err << items[index].Path << ": " << text << '\n';
        err.flush();
        if (!options.Quiet && result.Outcome.Ok) out << ImageSummaryLine(items[index].Path, result.Outcome) << '\n';
        out.flush();
        progress.Restore();
    };

    const auto work = [&] {
        for (;;) {
            const std::size_t index = nextItem++;
            if (index >= count) return;
            const BatchItem& item = items[index];
            {
                std::lock_guard lock(outputLock);
                ++started;
                std::string text(1, '[');
                text.append(std::to_string(started)).append(1, '/').append(std::to_string(count));
                progress.Show(text.append("] ").append(item.Path));
            }
            ItemResult result;
            try {
                if (!item.Error.empty()) {
                    result.Messages.push_back(item.Error);
                    result.Outcome.Error = item.Error;
                    result.Outcome.SummaryRow = SummaryCsvErrorRow(item.Path, item.Error);
                } else {
                    ImageJob job;
                    job.File = item.Path;
                    job.Options = &analyse;
                    job.Preset = &preset;
                    job.Outputs = BatchOutputsFor(item, options);
                    job.Pictures = ModulePictures();
                    job.WantSummaryRow = true;
                    job.AnalysedBy = options.By;
                    job.WantRecord = options.Recorder != nullptr;
                    if (options.Recorder != nullptr && options.Pdf)
                        job.RecordForReport = [&](QaRecord record) {
                            return options.Recorder->RecordForReport(std::move(record));
                        };
                    result.Outcome = AnalyseImage(job, [&](const std::string& text) {
                        // The progress and the summary say that the report was written.
                        if (text != kResultsWritten) result.Messages.push_back(text);
                    });
                    if (result.Outcome.Recorded) result.Messages.push_back(*result.Outcome.Recorded);
                    if (result.Outcome.RecordError) {
                        result.Messages.push_back(*result.Outcome.RecordError);
                        ++notRecorded;
                    }
                    if (result.Outcome.Record) {
                        try {
                            result.Messages.push_back(options.Recorder->Record(std::move(*result.Outcome.Record)));
                        } catch (const std::exception& e) {
                            result.Messages.push_back(e.what());
                            ++notRecorded;
                        }
                        result.Outcome.Record.reset();
                    }
                }
            } catch (const std::exception& e) {
                result.Messages.push_back(e.what());
                result.Outcome = ImageOutcome{};
                result.Outcome.Error = e.what();
                result.Outcome.SummaryRow = SummaryCsvErrorRow(item.Path, e.what());
            }
            std::lock_guard lock(outputLock);
            results[index] = std::move(result);
            done[index] = 1;
            while (nextToReport < count && done[nextToReport]) report(nextToReport++);
        }
    };

    const unsigned workers = static_cast<unsigned>(std::min<std::size_t>(std::max(options.Jobs, 1u), count));
    {
        std::vector<std::jthread> pool;
        for (unsigned i = 1; i < workers; ++i) pool.emplace_back(work);
        work();
    }
    progress.Finish();

    std::size_t failed = 0;
    std::size_t verdicts[VerdictCount] = {};  // by Verdict
    for (const auto& result : results) {
        if (!result.Outcome.Ok)
            ++failed;
        else
            ++verdicts[static_cast<std::size_t>(result.Outcome.Verdict.Overall)];
    }

    bool summaryWritten = true;
    try {
        WriteFile(summaryPath, [&](std::ostream& file) {
            file << SummaryCsvHeader() << '\n';
            for (const auto& result : results) file << result.Outcome.SummaryRow << '\n';
            CheckStream(file);
        });
    } catch (const std::exception& e) {
        err << summaryPath << ": " << e.what() << '\n';
        summaryWritten = false;
    }

    if (!options.Quiet) {
        out << count << (count == 1 ? " image: " : " images: ") << (count - failed) << " analysed ("
            << verdicts[static_cast<std::size_t>(Verdict::Pass)] << " pass, "
            << verdicts[static_cast<std::size_t>(Verdict::Warning)] << " warning, "
            << verdicts[static_cast<std::size_t>(Verdict::Fail)] << " fail";
        if (const std::size_t none = verdicts[static_cast<std::size_t>(Verdict::NotEvaluated)])
            out << ", " << none << " not evaluated";
        if (const std::size_t none = verdicts[static_cast<std::size_t>(Verdict::NotJudged)])
            out << ", " << none << " not judged";
        out << "), " << failed << " failed";
        if (summaryWritten) out << "; summary: " << summaryPath;
        out << '\n';
    }
    if (failed > 0 || !summaryWritten || notRecorded > 0) return kExitFailed;
    if (options.FailOnDeviation && verdicts[static_cast<std::size_t>(Verdict::Fail)] > 0) return kExitDeviation;
    return kExitSuccess;
}

}  // namespace evenor
