// "evenor-cli watch" and "inbox" as the real program: files copied in slowly
// are taken once, complete; restarts take nothing twice; SIGTERM ends cleanly.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "qa/Intake.h"
#include "tests/cli/CliTestSupport.h"

extern char** environ;

namespace evenor::test {
namespace {

using namespace std::chrono_literals;

// Starts evenor-cli with args, its standard error into errFile.
pid_t Start(const std::vector<std::string>& args, const std::filesystem::path& errFile)
{
    std::vector<std::string> all{EVENOR_CLI_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int Stop(pid_t pid)
{
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

nlohmann::json Inbox(const std::string& db)
{
    const CliResult inbox = RunInProcess({"inbox", "--db", db, "--json"});
    EXPECT_EQ(inbox.status, 0) << inbox.err;
    return nlohmann::json::parse(inbox.out)["entries"];
}

TEST(CliWatch, TakesEachContentOnceCompleteAcrossRestarts)
{
    const TempFolder folder;
    const auto in = folder / "in", out = folder / "out";
    std::filesystem::create_directories(in);
    const std::string db = (folder / "history.sqlite").string();
    const auto rules = folder / "rules.json";
    WriteWholeFile(rules,
                   R"({"rules": [{"name": "flat", "match": {"modality": "DX"}, "settings": {"record": true}}]})");

    const std::string image = DicomFileBytes(NoisyFlatImage(60));
    std::string other = image;  // the same image from another modality: no rule takes it
    other.replace(other.find("DX"), 2, "CT");
    WriteWholeFile(in / "ct.dcm", other);
    WriteWholeFile(in / "notes.txt", "not an image");
    // Older than a minute: refused at once, not waited for.
    std::filesystem::last_write_time(in / "notes.txt", std::filesystem::file_time_type::clock::now() - 5min);

    const std::vector<std::string> watch{"watch",      in.string(), "--rules", rules.string(), "--db", db, "--out-dir",
                                         out.string(), "--settle",  "1",       "--interval",   "0.1"};
    const pid_t first = Start(watch, folder / "first.err");
    // The image arrives in eight pieces, each appended by a new open, 0.3 s apart.
    const std::size_t piece = image.size() / 8 + 1;
    for (std::size_t at = 0; at < image.size(); at += piece) {
        std::ofstream(in / "slow.dcm", std::ios::binary | std::ios::app) << image.substr(at, piece);
        std::this_thread::sleep_for(300ms);
    }
    WriteWholeFile(in / "copy.dcm", image);  // the same content under another name
    nlohmann::json entries;
    for (int wait = 0; wait < 150 && entries.size() < 3; ++wait) {
        std::this_thread::sleep_for(100ms);
        entries = Inbox(db);
    }
    std::this_thread::sleep_for(1500ms);  // a copy taken twice would show by now
    EXPECT_EQ(Stop(first), 0);
    const std::string firstLog = ReadWholeFile(folder / "first.err");

    entries = Inbox(db);
    ASSERT_EQ(entries.size(), 3u) << entries.dump(1) << firstLog;
    std::map<std::string, std::string> states;
    for (const auto& entry : entries)
        states[std::filesystem::path(entry["path"].get<std::string>()).filename().string()] = entry["state"];
    const std::string taken = states.count("slow.dcm") ? "slow.dcm" : "copy.dcm";
    EXPECT_EQ(states[taken], "analysed") << firstLog;
    EXPECT_EQ(states["ct.dcm"], "unmatched");
    EXPECT_EQ(states["notes.txt"], "refused");
    EXPECT_NE(firstLog.find("the same content as"), std::string::npos) << firstLog;
    EXPECT_NE(firstLog.find("watch: stopped"), std::string::npos);

    // A restart takes nothing again, and the history holds one record.
    const CliResult again = RunInProcess({"watch", in.string(), "--rules", rules.string(), "--db", db, "--out-dir",
                                          out.string(), "--settle", "0", "--once"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.err.find("verdict"), std::string::npos) << again.err;
    EXPECT_EQ(Inbox(db).size(), 3u);
    const CliResult history = RunInProcess({"history", "--db", db, "--json"});
    EXPECT_EQ(nlohmann::json::parse(history.out)["records"].size(), 1u);
}

// Images Evenor does not judge are refused with the reason at once (their
// header says so, even while the file is fresh), recorded never; the plain
// image beside them is recorded.
TEST(CliWatch, ImagesNotJudgedAreRefusedWithTheReason)
{
    const TempFolder folder;
    const auto in = folder / "in";
    std::filesystem::create_directories(in);
    const std::string db = (folder / "history.sqlite").string();
    const auto rules = folder / "rules.json";
    WriteWholeFile(rules,
                   R"({"rules": [{"name": "flat", "match": {"modality": "DX"}, "settings": {"record": true}}]})");
    const TestImage plain = NoisyFlatImage(60);
    std::vector<NotJudgedImage> cases = NotJudgedImages(plain);
    cases.push_back({"plain", plain, ""});
    for (const auto& c : cases) WriteDicomFile(in / (c.Name + ".dcm"), c.Image);

    const pid_t watch = Start({"watch", in.string(), "--rules", rules.string(), "--db", db, "--out-dir",
                               (folder / "out").string(), "--settle", "0.5", "--interval", "0.1"},
                              folder / "watch.err");
    nlohmann::json entries;
    const auto finished = [&] {
        for (const auto& entry : entries)
            if (entry["state"] == "waiting") return false;
        return entries.size() == cases.size();
    };
    for (int wait = 0; wait < 150 && !finished(); ++wait) {
        std::this_thread::sleep_for(100ms);
        entries = Inbox(db);
    }
    EXPECT_EQ(Stop(watch), 0);
    const std::string log = ReadWholeFile(folder / "watch.err");
    ASSERT_TRUE(finished()) << entries.dump(1) << log;
    std::map<std::string, nlohmann::json> byName;
    for (const auto& entry : entries)
        byName[std::filesystem::path(entry["path"].get<std::string>()).stem().string()] = entry;
    for (const auto& c : cases) {
        const nlohmann::json& entry = byName[c.Name];
        EXPECT_EQ(entry["state"], c.Warning.empty() ? "analysed" : "refused") << c.Name << log;
        if (c.Warning.empty()) continue;
        EXPECT_EQ(entry["message"], c.Warning) << c.Name;
        EXPECT_TRUE(entry["record"].is_null()) << c.Name;
        EXPECT_NE(log.find("image " + (in / (c.Name + ".dcm")).string() + ": refused: " + c.Warning + "\n"),
                  std::string::npos)
            << c.Name << '\n'
            << log;
    }
    const CliResult history = RunInProcess({"history", "--db", db, "--json"});
    EXPECT_EQ(nlohmann::json::parse(history.out)["records"].size(), 1u) << log;
}

}  // namespace
}  // namespace evenor::test
