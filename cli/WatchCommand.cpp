#include "cli/WatchCommand.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <mutex>
#include <ostream>
#include <thread>

#include "cli/HistoryCommands.h"
#include "dicom/SharedFile.h"
#include "history/HistoryStore.h"
#include "qa/Intake.h"
#include "qa/IntakeWorkers.h"
#include "qa/Recorder.h"

namespace evenor {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// What the watcher knows of one file.
struct Watched {
    std::uintmax_t Size = 0;
    fs::file_time_type Modified;
    Clock::time_point Since;  // unchanged since
    enum class State { Settling, Queued, Retry, Done } Now = State::Settling;
    Clock::time_point RetryAt;
};

bool Hidden(const fs::path& path)
{
    const std::string name = path.filename().string();
    return name.empty() || name.front() == '.';
}

}  // namespace

int RunWatch(const WatchOptions& options, std::ostream& err)
{
    const IntakeLog log = LineLog(err);
    const IntakeRules rules = ReadIntakeRules(options.RulesFile);
    if (!RulesUsable(rules, log)) return 1;
    for (const auto& folder : options.Folders) {
        if (!fs::is_directory(folder)) {
            log("watch: " + folder + ": not a folder");
            return 1;
        }
    }
    std::unique_ptr<IntakeDesk> desk;
    try {
        desk = std::make_unique<IntakeDesk>(
            IntakeOptions{&rules, HistoryLocation(options.Db), options.OutDir, options.By, options.Decompress});
    } catch (const std::exception& e) {
        log(std::string("watch: ") + e.what());
        return 1;
    }
    const std::string outDir = desk->OutDir().string();
    for (const auto& folder : options.Folders) {
        if (IsSameFile(folder, outDir)) {
            log("watch: " + folder + " is the output folder; choose another --out-dir");
            return 1;
        }
    }
    InstallStopHandlers();
    // A file size limit must fail the write (the image is refused with its
    // message), not end the watcher.
    std::signal(SIGXFSZ, SIG_IGN);
    {
        std::string folders;
        for (const auto& folder : options.Folders) folders += (folders.empty() ? "" : ", ") + folder;
        log("watch: watching " + folders + (options.Recursive ? " and their sub-folders" : "") + "; rules " +
            options.RulesFile + " (" + std::to_string(rules.Rules.size()) + "); outputs " + outDir);
    }

    std::map<std::string, Watched> files;
    std::mutex doneLock;
    std::vector<std::pair<std::string, bool>> finished;  // path, taken for good (else retry)
    const auto settle =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.SettleSeconds));
    const auto retryAfter = std::max(settle, Clock::duration(std::chrono::seconds(5)));

    {
        IntakeWorkers workers(options.Jobs);
        const auto take = [&](const std::string& path) {
            workers.Post([&, path] {
                bool seenBefore = false;
                bool final = true;
                try {
                    const IntakeEntry entry =
                        desk->Take(path, "watch", IntakeDesk::Retry::WhileRecent, seenBefore, log);
                    if (seenBefore)
                        log("image " + path + ": the same content as " + entry.Path + " (entry " +
                            std::to_string(entry.Id) + ", " + entry.State + "); skipped");
                    final = seenBefore || entry.State != IntakeWaiting || entry.Sha256.empty();
                } catch (const std::exception& e) {
                    log("image " + path + ": " + e.what() + "; tried again later");  // the database failed
                    final = false;
                }
                std::lock_guard guard(doneLock);
                finished.emplace_back(path, final);
            });
        };

        // Images an earlier run claimed but did not finish.
        try {
            for (const auto& entry : desk->Unfinished()) {
                if (!fs::is_regular_file(entry.Path)) continue;
                files[entry.Path] = {fs::file_size(entry.Path),
                                     fs::last_write_time(entry.Path),
                                     Clock::now(),
                                     Watched::State::Queued,
                                     {}};
                log("image " + entry.Path + ": taken again (an earlier run stopped before finishing it)");
                take(entry.Path);
            }
        } catch (const std::exception& e) {
            log(std::string("watch: ") + e.what());
        }

        while (!StopRequested()) {
            const auto now = Clock::now();
            {
                std::lock_guard guard(doneLock);
                for (const auto& [path, final] : finished) {
                    auto found = files.find(path);
                    if (found == files.end()) continue;
                    found->second.Now = final ? Watched::State::Done : Watched::State::Retry;
                    found->second.RetryAt = now + retryAfter;
                }
                finished.clear();
            }

            std::map<std::string, bool> present;
            const auto look = [&](const fs::path& path) {
                std::error_code error;
                if (Hidden(path) || !fs::is_regular_file(path, error)) return;
                const auto size = fs::file_size(path, error);
                if (error) return;
                const auto modified = fs::last_write_time(path, error);
                if (error) return;
                const std::string key = fs::absolute(path).lexically_normal().string();
                present[key] = true;
                auto [it, added] = files.try_emplace(key, Watched{size, modified, now, Watched::State::Settling, {}});
                Watched& file = it->second;
                if (!added && (file.Size != size || file.Modified != modified)) {
                    // Changed (even after it was taken: new content is a new image).
                    if (file.Now == Watched::State::Queued) return;  // look again when the worker is done
                    file = {size, modified, now, Watched::State::Settling, {}};
                    return;
                }
                const bool due = (file.Now == Watched::State::Settling && now - file.Since >= settle) ||
                                 (file.Now == Watched::State::Retry && now >= file.RetryAt);
                if (due) {
                    file.Now = Watched::State::Queued;
                    take(key);
                }
            };
            for (const auto& folder : options.Folders) {
                std::error_code error;
                if (options.Recursive) {
                    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
                    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
                        if (it->is_directory(error)) {
                            // Never our own outputs, nor hidden folders.
                            if (Hidden(it->path()) || IsSameFile(it->path().string(), outDir))
                                it.disable_recursion_pending();
                            continue;
                        }
                        look(it->path());
                    }
                } else {
                    for (fs::directory_iterator it(folder, error); !error && it != fs::directory_iterator();
                         it.increment(error))
                        look(it->path());
                }
            }
            // Forget files that are gone (unless a worker holds them).
            for (auto it = files.begin(); it != files.end();) {
                if (!present.count(it->first) && it->second.Now != Watched::State::Queued)
                    it = files.erase(it);
                else
                    ++it;
            }

            if (options.Once) {
                bool busy = false;
                for (const auto& [path, file] : files) busy = busy || file.Now != Watched::State::Done;
                if (!busy) break;
            }
            const auto wake = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(options.IntervalSeconds));
            while (!StopRequested() && Clock::now() < wake) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (StopRequested()) log("watch: stopping; finishing the images in hand");
        workers.Drain();
    }
    log("watch: stopped");
    return 0;
}

}  // namespace evenor
