#include "qa/Intake.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <ostream>
#include <system_error>

#include "dicom/DicomLib.h"
#include "dicom/Environment.h"
#include "dicom/FilePath.h"
#include "dicom/TerminalText.h"
#include "history/QaRecord.h"
#include "history/Sha256.h"
#include "insight/ImageInfo.h"
#include "qa/ImageJob.h"

namespace evenor {

namespace {

bool ModifiedRecently(const std::filesystem::path& file)
{
    std::error_code error;
    const auto modified = std::filesystem::last_write_time(file, error);
    if (error) return false;
    return std::filesystem::file_time_type::clock::now() - modified < IntakeDesk::kSettledForRefusal;
}

// An output written under a hidden temporary name beside its own, and given
// its name only once it is complete and on the disk: a failure half-way (a
// full disk) leaves no cut file. The temporary file is removed unless
// Complete() succeeded.
class PendingOutput {
public:
    explicit PendingOutput(std::filesystem::path path) : final_(std::move(path))
    {
        static std::atomic<unsigned> serial{0};
        std::string name(1, '.');
        name.append(final_.filename().string()).append(".part-").append(std::to_string(::getpid()));
        name.append(1, '-').append(std::to_string(serial++));
        temporary_ = final_.parent_path() / name;
    }
    ~PendingOutput()
    {
        std::error_code error;
        if (!done_) std::filesystem::remove(temporary_, error);
    }
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    const std::filesystem::path& Temporary() const { return temporary_; }
    const std::filesystem::path& Final() const { return final_; }

    // Flushes the written file to the disk (a delayed write error shows
    // here) and renames it. Returns the failure's text, naming the output;
    // empty when done.
    std::string Complete()
    {
        const auto failed = [&](int error) { return final_.string() + ": " + std::strerror(error); };
        const int fd = ::open(temporary_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return failed(errno);
        const int synced = ::fsync(fd) == 0 ? 0 : errno;
        ::close(fd);
        if (synced != 0) return failed(synced);
        if (::rename(temporary_.c_str(), final_.c_str()) != 0) return failed(errno);
        done_ = true;
        return {};
    }

    // text with the temporary name replaced by the output's own.
    std::string Named(std::string text) const
    {
        const std::string from = temporary_.string(), to = final_.string();
        for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
        return text;
    }

private:
    std::filesystem::path final_, temporary_;
    bool done_ = false;
};

}  // namespace

IntakeLog LineLog(std::ostream& err)
{
    auto lock = std::make_shared<std::mutex>();
    return [&err, lock](const std::string& line) {
        std::lock_guard guard(*lock);
        // A line per event: what it quotes of a file or a tag cannot start another.
        err << Printable(line) << std::endl;
    };
}

bool RulesUsable(const IntakeRules& rules, const IntakeLog& log)
{
    for (const auto& problem : rules.Problems) log(problem);
    return rules.Problems.empty();
}

std::string DefaultIntakeOutDir() { return (UserDataFolder() / "evenor" / "intake").string(); }

IntakeDesk::IntakeDesk(IntakeOptions options) : options_(std::move(options))
{
    outDir_ = options_.OutDir.empty() ? DefaultIntakeOutDir() : options_.OutDir;
    std::error_code error;
    std::filesystem::create_directories(outDir_, error);
    if (error || !std::filesystem::is_directory(outDir_))
        throw EvenorError(outDir_.string() + ": cannot create the output folder" +
                          (error ? ": " + error.message() : std::string()));
    store_ = HistoryStore::Open(options_.Db);
}

IntakeDesk::~IntakeDesk() = default;

std::vector<IntakeEntry> IntakeDesk::Unfinished()
{
    std::lock_guard guard(storeLock_);
    return store_->Intake({}, IntakeWaiting);
}

IntakeEntry IntakeDesk::Claim(const std::string& path, const std::string& sha256, const std::string& source,
                              bool& isNew)
{
    std::lock_guard guard(storeLock_);
    return store_->ClaimIntake(sha256, path, source, isNew);
}

std::set<std::string> IntakeDesk::KnownPaths()
{
    std::lock_guard guard(storeLock_);
    std::set<std::string> paths;
    for (const auto& entry : store_->Intake()) paths.insert(entry.Path);
    return paths;
}

IntakeEntry IntakeDesk::Take(const std::filesystem::path& file, const std::string& source, Retry retry,
                             bool& seenBefore, const IntakeLog& log, const std::string& knownSha256)
{
    seenBefore = false;
    const std::string path = file.string();
    IntakeEntry entry;
    entry.Path = path;
    entry.Source = source;
    entry.State = IntakeWaiting;
    try {
        entry.Sha256 = knownSha256.empty() ? Sha256OfFile(path) : knownSha256;
    } catch (const std::exception& e) {
        entry.Message = e.what();  // gone or unreadable: nothing to keep
        return entry;
    }
    // One call at a time per content: the same image received twice at once
    // (a sender repeating a transfer, a restart taking what it finds while the
    // same image arrives again) must give one result and one record.
    std::unique_lock hand(storeLock_);
    handed_.wait(hand, [&] { return inHand_.count(entry.Sha256) == 0; });
    if (auto known = store_->FindIntake(entry.Sha256); known && known->State != IntakeWaiting) {
        seenBefore = true;
        return *known;
    }
    inHand_.insert(entry.Sha256);
    hand.unlock();
    struct Release {
        IntakeDesk& desk;
        const std::string sha;  // a copy: the entry may be moved out when returned
        ~Release()
        {
            {
                std::lock_guard guard(desk.storeLock_);
                desk.inHand_.erase(sha);
            }
            desk.handed_.notify_all();
        }
    } release{*this, entry.Sha256};
    const bool mayRetry = retry == Retry::WhileRecent && ModifiedRecently(file);

    // The tags decide the rule.
    const IntakeRule* rule = nullptr;
    std::string refusal;
    ImageInfo info;
    try {
        // The tags of a compressed image too: its rule says whether to decode it.
        const TDicomBeeld header(DirectoryPart(path), FileNamePart(path), CompressedImages::Decode);
        rule = MatchIntakeRule(*options_.Rules, header.TagTable());
        entry.DetectorKey = DetectorFromTags(header.TagTable()).Key();
        info.NotJudged = NotJudgedReasons(header);
    } catch (const std::exception& e) {
        refusal = e.what();
    }
    if (!refusal.empty() && mayRetry) {
        entry.Message = refusal;
        return entry;  // perhaps still being written: try again later
    }
    // Its header says so already, complete or not: no test of a detector.
    if (refusal.empty() && !info.Judged()) refusal = info.NotJudgedText();

    bool isNew = false;
    {
        std::lock_guard guard(storeLock_);
        const IntakeEntry claimed = store_->ClaimIntake(entry.Sha256, path, source, isNew);
        if (!isNew && claimed.State != IntakeWaiting) {
            seenBefore = true;  // another receiver took the same content meanwhile
            return claimed;
        }
        entry.Id = claimed.Id;
    }
    const auto finish = [&](const char* state, std::string message) {
        entry.State = state;
        entry.Message = std::move(message);
        std::lock_guard guard(storeLock_);
        store_->FinishIntake(entry);
        return entry;
    };

    if (!refusal.empty()) {
        log("image " + path + ": refused: " + refusal);
        return finish(IntakeRefused, refusal);
    }
    if (rule == nullptr) {
        log("image " + path + ": no rule matches; kept as unmatched");
        return finish(IntakeUnmatched, "no rule matches");
    }
    entry.Rule = rule->Label();

    const std::string name = file.stem().string() + "-" + entry.Sha256.substr(0, 12);
    AnalyseOptions options = rule->Options;
    options.Decompress = options.Decompress || options_.Decompress;
    PendingOutput report(outDir_ / (name + ".txt")), json(outDir_ / (name + ".json"));
    ImageJob job;
    job.File = path;
    job.Options = &options;
    job.Preset = rule->Preset;
    job.Outputs.Report = report.Temporary().string();
    job.Outputs.Json = json.Temporary().string();
    job.WantRecord = rule->Record;
    job.FileSha256 = entry.Sha256;
    std::string lastMessage;
    const ImageOutcome outcome = AnalyseImage(job, [&](const std::string& text) { lastMessage = text; });
    std::string failure;
    if (!outcome.Ok) {
        failure = report.Named(json.Named(outcome.Error));
        // The report is made only once the analysis has run: a failure
        // while it exists is the report's own ("Disk full").
        std::error_code error;
        if (!outcome.Analysed && std::filesystem::exists(report.Temporary(), error))
            failure = report.Final().string() + ": " + failure;
    } else {
        failure = json.Complete();
        if (failure.empty()) failure = report.Complete();
        if (!failure.empty()) {
            std::error_code error;
            std::filesystem::remove(json.Final(), error);  // none without the other
        }
    }
    if (!failure.empty()) {
        if (mayRetry && !outcome.Ok) {
            std::lock_guard guard(storeLock_);
            store_->DropWaitingIntake(entry.Id);
            entry.Id = 0;
            entry.Message = failure;
            return entry;
        }
        log("image " + path + ": " + entry.Rule + ": refused: " + failure);
        return finish(IntakeRefused, failure);
    }
    entry.Verdict = std::string(VerdictName(outcome.Verdict.Overall));
    std::string recorded;
    if (outcome.Record) {
        QaRecord record = *outcome.Record;
        record.RecordedBy = options_.By;
        std::lock_guard guard(storeLock_);
        const RecordOutcome stored = store_->Record(record);
        entry.RecordId = stored.Id;
        entry.DetectorKey = stored.DetectorKey;
        recorded = ", record " + std::to_string(stored.Id) + " for detector " + stored.DetectorKey;
        for (const auto& note : stored.Notes) recorded += "; " + note;
    }
    log("image " + path + ": " + entry.Rule + ": verdict " + entry.Verdict + recorded + "; report " +
        report.Final().string());
    return finish(IntakeAnalysed, "report " + report.Final().string());
}

IntakeEntry IntakeDesk::Retake(const IntakeEntry& entry, const IntakeLog& log, std::string& problem)
{
    problem.clear();
    const std::string number = "entry " + std::to_string(entry.Id);
    if (entry.State != IntakeRefused && entry.State != IntakeUnmatched) {
        problem = number + " is " + entry.State + "; only refused and unmatched images are taken again";
        return entry;
    }
    std::string sha256;
    try {
        sha256 = Sha256OfFile(entry.Path);
    } catch (const std::exception& e) {
        problem = number + ": " + e.what();
        return entry;
    }
    // A watched file may have been replaced since: that content is a new
    // image, which the watcher takes by itself.
    if (sha256 != entry.Sha256) {
        problem = number + ": " + entry.Path + " holds other content than when it was taken; not taken again";
        return entry;
    }
    {
        std::lock_guard guard(storeLock_);
        if (!store_->ReopenIntake(entry.Id)) {
            problem = number + " changed meanwhile (another run took it); not taken again";
            return entry;
        }
    }
    log("image " + entry.Path + ": taken again (" + number + ", " + entry.State + " before)");
    bool seenBefore = false;
    const IntakeEntry taken = Take(entry.Path, entry.Source, Retry::Never, seenBefore, log, sha256);
    std::lock_guard guard(storeLock_);
    return store_->FindIntake(sha256).value_or(taken);  // as stored, with its times
}

}  // namespace evenor
