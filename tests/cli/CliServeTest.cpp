// "evenor-cli serve" as the real program on 127.0.0.1, driven by DCMTK's
// storescu and echoscu: images sent at once all give records, senders not
// allowed are rejected, broken peers and a killed server lose nothing and
// double nothing, a full store folder or database answers with a failure
// status, a half-sent request holds up no one. CliServePostgres (label
// postgres) stops and starts the PostgreSQL server under a running node.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "history/HistoryStore.h"
#include "history/Sha256.h"
#include "tests/cli/CliTestSupport.h"
#include "tests/history/HistoryTestSupport.h"

namespace evenor::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kAet = "EVENOR";

// A TCP connection to the node, as a raw socket.
int ConnectTo(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

int FreePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

// Starts a program with args, standard output and error into outFile; with a
// file size limit (bytes) when fileSizeLimit is not 0.
pid_t Spawn(std::vector<std::string> args, const fs::path& outFile, rlim_t fileSizeLimit = 0)
{
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (fileSizeLimit != 0) {
            const rlimit limit{fileSizeLimit, fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

int Wait(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Tool {
    int Status = -1;
    std::string Output;
};

Tool RunTool(const std::vector<std::string>& args, const fs::path& outFile)
{
    Tool tool;
    tool.Status = Wait(Spawn(args, outFile));
    tool.Output = ReadWholeFile(outFile);
    return tool;
}

std::vector<std::string> StoreScu(const std::string& callingAe, int port, const std::vector<fs::path>& files)
{
    std::vector<std::string> args{"/usr/bin/storescu", "-aet", callingAe, "-aec", kAet, "127.0.0.1",
                                  std::to_string(port)};
    for (const auto& file : files) args.push_back(file.string());
    return args;
}

Tool Echo(const std::string& callingAe, int port, const fs::path& outFile)
{
    return RunTool({"/usr/bin/echoscu", "-aet", callingAe, "-aec", kAet, "127.0.0.1", std::to_string(port)}, outFile);
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 15s)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

nlohmann::json Inbox(const std::string& db)
{
    const CliResult inbox = RunInProcess({"inbox", "--db", db, "--json"});
    return inbox.status == 0 ? nlohmann::json::parse(inbox.out)["entries"] : nlohmann::json::array();
}

std::size_t Records(const std::string& db)
{
    const CliResult history = RunInProcess({"history", "--db", db, "--json"});
    return history.status == 0 ? nlohmann::json::parse(history.out)["records"].size() : 0;
}

std::size_t CountState(const nlohmann::json& entries, const std::string& state)
{
    std::size_t count = 0;
    for (const auto& entry : entries) count += entry["state"] == state;
    return count;
}

// A 64 x 64 image that passes, its content made distinct by number.
TestImage Numbered(int number, std::uint16_t side = 64)
{
    TestImage image = NoisyFlatImage(side, static_cast<std::uint16_t>(1000 + number));
    image.SopInstanceUid = "1.2.826.0.1.3680043.10.999." + std::to_string(number);
    return image;
}

// The files of folder whose names pass keep.
std::vector<std::string> FilesOf(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(folder)) names.push_back(item.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// One evenor-cli serve, its log in folder/NAME.log; its database db (default
// folder/history.sqlite), its outputs in folder/out.
class Node {
public:
    Node(const TempFolder& folder, const std::string& name, std::vector<std::string> extra = {}, rlim_t limit = 0,
         const std::string& db = {})
        : log_(folder / (name + ".log"))
    {
        Port = FreePort();
        Store = folder / "store";
        Db = db.empty() ? (folder / "history.sqlite").string() : db;
        const auto rules = folder / "rules.json";
        if (!fs::exists(rules))
            WriteWholeFile(
                rules, R"({"rules": [{"name": "flat", "match": {"modality": "DX"}, "settings": {"record": true}}]})");
        std::vector<std::string> args{EVENOR_CLI_PATH, "serve",
                                      "--aet",         kAet,
                                      "--port",        std::to_string(Port),
                                      "--store",       Store.string(),
                                      "--rules",       rules.string(),
                                      "--db",          Db,
                                      "--out-dir",     (folder / "out").string()};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = Spawn(args, log_, limit);
        listening_ = WaitFor([&] { return Log().find("serve: listening") != std::string::npos; });
    }
    ~Node()
    {
        if (pid_ > 0) Kill();
    }

    bool Listening() const { return listening_; }
    pid_t Pid() const { return pid_; }
    std::string Log() const { return ReadWholeFile(log_); }
    // SIGTERM (again, if it was sent), then the exit status.
    int Stop()
    {
        kill(pid_, SIGTERM);
        const int status = Wait(pid_);
        pid_ = -1;
        return status;
    }
    void Kill()
    {
        kill(pid_, SIGKILL);
        Wait(pid_);
        pid_ = -1;
    }

    int Port = 0;
    fs::path Store;
    std::string Db;

private:
    fs::path log_;
    pid_t pid_ = -1;
    bool listening_ = false;
};

// A TCP relay between one client and the node that passes the client's first
// `limit` bytes, then holds the rest: a transfer stopped half-way, for as
// long as the test wants.
class HalfWayRelay {
public:
    HalfWayRelay(int target, std::size_t limit) : limit_(limit)
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 1);
        socklen_t size = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        Port = ntohs(address.sin_port);
        thread_ = std::thread([this, target] { Relay(target); });
    }
    ~HalfWayRelay() { Cut(); }

    // Whether the limit was reached (the node holds part of a data set).
    bool Holding() const { return passed_.load() >= limit_.load(); }
    // Passes everything from now on.
    void Release() { limit_.store(std::numeric_limits<std::size_t>::max()); }
    // Closes both sides.
    void Cut()
    {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
        if (listener_ >= 0) close(listener_);
        listener_ = -1;
    }

    int Port = 0;

private:
    void Relay(int target)
    {
        pollfd waiting{listener_, POLLIN, 0};
        while (!stop_.load() && poll(&waiting, 1, 50) == 0) {}
        if (stop_.load()) return;
        const int client = accept(listener_, nullptr, nullptr);
        const int node = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(target));
        connect(node, reinterpret_cast<sockaddr*>(&address), sizeof address);
        char buffer[4096];
        while (!stop_.load()) {
            pollfd both[2] = {{client, static_cast<short>(Holding() ? 0 : POLLIN), 0}, {node, POLLIN, 0}};
            if (poll(both, 2, 50) <= 0) continue;
            if (both[0].revents & (POLLIN | POLLHUP)) {
                const std::size_t room = std::min(sizeof buffer, limit_.load() - passed_.load());
                const ssize_t got = read(client, buffer, room);
                if (got <= 0) break;
                write(node, buffer, static_cast<std::size_t>(got));
                passed_ += static_cast<std::size_t>(got);
            }
            if (both[1].revents & (POLLIN | POLLHUP)) {
                const ssize_t got = read(node, buffer, sizeof buffer);
                if (got <= 0) break;
                write(client, buffer, static_cast<std::size_t>(got));
            }
        }
        close(client);
        close(node);
    }

    std::atomic<std::size_t> limit_;
    std::atomic<std::size_t> passed_{0};
    std::atomic<bool> stop_{false};
    int listener_ = -1;
    std::thread thread_;
};

TEST(CliServe, EchoAllowListAndTwentyImagesOverTwoAssociations)
{
    const TempFolder folder;
    Node node(folder, "serve", {"--allow", "MODALITY1,MODALITY2"});
    ASSERT_TRUE(node.Listening()) << node.Log();

    const Tool echo = Echo("MODALITY1", node.Port, folder / "echo.out");
    EXPECT_EQ(echo.Status, 0) << echo.Output;
    const Tool stranger = Echo("STRANGER", node.Port, folder / "stranger.out");
    EXPECT_NE(stranger.Status, 0) << stranger.Output;
    const Tool wrongNode =
        RunTool({"/usr/bin/echoscu", "-aet", "MODALITY1", "-aec", "OTHER", "127.0.0.1", std::to_string(node.Port)},
                folder / "wrong.out");
    EXPECT_NE(wrongNode.Status, 0) << wrongNode.Output;

    std::vector<fs::path> first, second;
    fs::create_directories(folder / "send");
    for (int i = 0; i < 20; ++i) {
        const fs::path file = folder / "send" / ("image" + std::to_string(i) + ".dcm");
        WriteDicomFile(file, Numbered(i));
        (i % 2 ? second : first).push_back(file);
    }
    const pid_t one = Spawn(StoreScu("MODALITY1", node.Port, first), folder / "one.out");
    std::vector<std::string> implicit = StoreScu("MODALITY2", node.Port, second);
    implicit.insert(implicit.begin() + 1, "--propose-implicit");  // stored and read as sent
    const pid_t two = Spawn(implicit, folder / "two.out");
    EXPECT_EQ(Wait(one), 0) << ReadWholeFile(folder / "one.out");
    EXPECT_EQ(Wait(two), 0) << ReadWholeFile(folder / "two.out");
    EXPECT_TRUE(WaitFor([&] { return CountState(Inbox(node.Db), "analysed") == 20; })) << node.Log();
    EXPECT_EQ(node.Stop(), 0);

    const std::string log = node.Log();
    EXPECT_EQ(Records(node.Db), 20u) << log;
    EXPECT_EQ(Inbox(node.Db).size(), 20u);
    // Each record names the content of a stored file (the hash made on receipt).
    std::set<std::string> stored;
    for (const auto& name : FilesOf(node.Store)) stored.insert(Sha256OfFile((node.Store / name).string()));
    EXPECT_EQ(stored.size(), 20u);
    const CliResult history = RunInProcess({"history", "--db", node.Db, "--json"});
    const nlohmann::json records = nlohmann::json::parse(history.out)["records"];
    for (const auto& record : records)
        EXPECT_EQ(stored.count(record["file_sha256"].get<std::string>()), 1u) << record.dump();
    EXPECT_TRUE(fs::exists(node.Store / "1.2.826.0.1.3680043.10.999.7.dcm"));
    for (const char* line : {"association from MODALITY1 (peer ", "association from STRANGER (peer ",
                             "rejected: calling AE title not allowed", "rejected: it calls OTHER", "MODALITY2 (peer ",
                             "received (DigitalXRayImageStorageForProcessing, Little Endian Explicit)",
                             "received (DigitalXRayImageStorageForProcessing, Little Endian Implicit)",
                             ": rule 1 (\"flat\"): verdict ", "serve: stopped"})
        EXPECT_NE(log.find(line), std::string::npos) << line << '\n' << log;
}

TEST(CliServe, KeepsServingAfterGarbageACutTransferAndAMalformedImage)
{
    const TempFolder folder;
    Node node(folder, "serve");
    ASSERT_TRUE(node.Listening()) << node.Log();

    // Raw bytes that are no A-ASSOCIATE-RQ.
    {
        const int fd = ConnectTo(node.Port);
        const std::string garbage = "GET / HTTP/1.0\r\n\r\n" + std::string(5000, '\x07');
        EXPECT_GT(write(fd, garbage.data(), garbage.size()), 0);
        std::this_thread::sleep_for(200ms);
        close(fd);
    }
    EXPECT_EQ(Echo("SENDER", node.Port, folder / "echo1.out").Status, 0) << node.Log();

    // A sender killed with a third of a 256 x 256 image sent.
    const fs::path big = folder / "big.dcm";
    WriteDicomFile(big, Numbered(1, 256));
    {
        HalfWayRelay relay(node.Port, 50000);
        const pid_t sender = Spawn(StoreScu("SENDER", relay.Port, {big}), folder / "cut.out");
        EXPECT_TRUE(WaitFor([&] { return relay.Holding(); })) << node.Log();
        std::this_thread::sleep_for(200ms);
        kill(sender, SIGKILL);
        Wait(sender);
        relay.Cut();
    }
    EXPECT_TRUE(WaitFor([&] { return node.Log().find("SENDER (peer ") != std::string::npos; }));
    EXPECT_EQ(Echo("SENDER", node.Port, folder / "echo2.out").Status, 0) << node.Log();

    // An image whose pixel data is shorter than its rows and columns say:
    // stored and answered (it is what was sent), then refused with the
    // reader's message and listed.
    TestImage malformed = Numbered(2);
    malformed.Rows = 128;
    const fs::path bad = folder / "bad.dcm";
    WriteDicomFile(bad, malformed);
    const Tool sent = RunTool(StoreScu("SENDER", node.Port, {bad, big}), folder / "sent.out");
    EXPECT_EQ(sent.Status, 0) << sent.Output;
    EXPECT_TRUE(WaitFor([&] { return Inbox(node.Db).size() == 2; })) << node.Log();
    EXPECT_EQ(node.Stop(), 0);

    const nlohmann::json entries = Inbox(node.Db);
    ASSERT_EQ(entries.size(), 2u) << entries.dump(1) << node.Log();
    EXPECT_EQ(CountState(entries, "analysed"), 1u) << entries.dump(1);
    EXPECT_EQ(CountState(entries, "refused"), 1u) << entries.dump(1);
    for (const auto& entry : entries)
        if (entry["state"] == "refused") {
            EXPECT_FALSE(entry["message"].get<std::string>().empty());
            EXPECT_NE(node.Log().find(": refused: " + entry["message"].get<std::string>()), std::string::npos)
                << node.Log();
        }
    // One line per event, each naming what it is about.
    std::istringstream lines(node.Log());
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line.rfind("serve: ", 0) == 0 || line.rfind("association ", 0) == 0 || line.rfind("image ", 0) == 0)
            << line;
    const CliResult listed = RunInProcess({"inbox", "--db", node.Db});
    EXPECT_NE(listed.out.find("refused"), std::string::npos) << listed.out;
    EXPECT_EQ(FilesOf(node.Store).size(), 2u);  // nothing of the cut transfer
}

TEST(CliServe, KilledDuringATransferAndRestartedLosesAndDoublesNothing)
{
    const TempFolder folder;
    std::vector<fs::path> images;
    fs::create_directories(folder / "send");
    for (int i = 0; i < 6; ++i) {
        images.push_back(folder / "send" / ("image" + std::to_string(i) + ".dcm"));
        WriteDicomFile(images.back(), Numbered(i, i == 5 ? 256 : 64));
    }
    const std::vector<fs::path> small(images.begin(), images.end() - 1);
    std::string firstLog;
    fs::path store;
    {
        Node first(folder, "first");
        ASSERT_TRUE(first.Listening()) << first.Log();
        store = first.Store;
        const Tool sent = RunTool(StoreScu("SENDER", first.Port, small), folder / "first.out");
        EXPECT_EQ(sent.Status, 0) << sent.Output;
        // The last image stops half-way, and the node is killed.
        HalfWayRelay relay(first.Port, 50000);
        const pid_t sender = Spawn(StoreScu("SENDER", relay.Port, {images.back()}), folder / "cut.out");
        EXPECT_TRUE(WaitFor([&] { return relay.Holding(); })) << first.Log();
        std::this_thread::sleep_for(200ms);
        first.Kill();
        relay.Cut();
        Wait(sender);
        firstLog = first.Log();
    }

    // What a crash can leave besides: a temporary file cut while it was
    // written, an image written but not yet registered, and one registered as
    // waiting but not analysed.
    const std::string whole = DicomFileBytes(Numbered(10));
    WriteWholeFile(store / ".receiving-1-0.part", whole.substr(0, whole.size() / 2));
    WriteDicomFile(store / "unregistered.dcm", Numbered(11));
    WriteDicomFile(store / "waiting.dcm", Numbered(12));
    {
        const auto history = HistoryStore::Open((folder / "history.sqlite").string());
        bool isNew = false;
        history->ClaimIntake(Sha256OfFile((store / "waiting.dcm").string()), (store / "waiting.dcm").string(),
                             "serve from SENDER", isNew);
        EXPECT_TRUE(isNew);
    }

    // Restarted, and the sender sends all again.
    Node second(folder, "second");
    ASSERT_TRUE(second.Listening()) << second.Log();
    const Tool again = RunTool(StoreScu("SENDER", second.Port, images), folder / "again.out");
    EXPECT_EQ(again.Status, 0) << again.Output;
    EXPECT_TRUE(WaitFor([&] { return CountState(Inbox(second.Db), "analysed") == 8; })) << second.Log();
    std::this_thread::sleep_for(300ms);  // a double would show by now
    EXPECT_EQ(second.Stop(), 0);

    const std::string log = second.Log();
    const nlohmann::json entries = Inbox(second.Db);
    EXPECT_EQ(entries.size(), 8u) << entries.dump(1) << log;
    EXPECT_EQ(CountState(entries, "analysed"), 8u) << entries.dump(1);
    EXPECT_EQ(Records(second.Db), 8u) << firstLog << log;
    std::set<std::string> contents;
    for (const auto& entry : entries) contents.insert(entry["sha256"].get<std::string>());
    EXPECT_EQ(contents.size(), 8u);
    EXPECT_FALSE(fs::exists(store / ".receiving-1-0.part"));
    for (const auto& name : FilesOf(store)) EXPECT_NE(name.front(), '.') << name;
    for (const char* line :
         {".receiving-1-0.part: removed", "unregistered.dcm: found in the store folder", "waiting.dcm: taken again"})
        EXPECT_NE(log.find(line), std::string::npos) << line << '\n' << log;
}

TEST(CliServe, SigtermFinishesTheImageInHandThenExitsZero)
{
    const TempFolder folder;
    const fs::path image = folder / "image.dcm";
    WriteDicomFile(image, Numbered(1, 256));
    Node node(folder, "serve");
    ASSERT_TRUE(node.Listening()) << node.Log();
    HalfWayRelay relay(node.Port, 50000);
    std::vector<std::string> send = StoreScu("SENDER", relay.Port, {image});
    send.insert(send.begin() + 1, "-v");
    const pid_t sender = Spawn(send, folder / "sender.out");
    ASSERT_TRUE(WaitFor([&] { return relay.Holding(); })) << node.Log();
    std::this_thread::sleep_for(200ms);
    kill(node.Pid(), SIGTERM);
    ASSERT_TRUE(WaitFor([&] { return node.Log().find("serve: stopping") != std::string::npos; })) << node.Log();
    // A new association is not accepted any more (echoscu gives up after 2 s).
    EXPECT_NE(RunTool({"/usr/bin/echoscu", "-ta", "2", "-aet", "SENDER", "-aec", kAet, "127.0.0.1",
                       std::to_string(node.Port)},
                      folder / "echo.out")
                  .Status,
              0);
    relay.Release();
    Wait(sender);
    EXPECT_NE(ReadWholeFile(folder / "sender.out").find("Received Store Response (Success)"), std::string::npos)
        << ReadWholeFile(folder / "sender.out");
    EXPECT_EQ(node.Stop(), 0) << node.Log();
    const nlohmann::json entries = Inbox(node.Db);
    ASSERT_EQ(entries.size(), 1u) << node.Log();
    EXPECT_EQ(entries[0]["state"], "analysed");
    EXPECT_EQ(Records(node.Db), 1u);
    EXPECT_NE(node.Log().find("serve: stopped"), std::string::npos);
}

TEST(CliServe, AFullStoreFolderAnswersOutOfResourcesAndKeepsNoFile)
{
    // The store folder is full: a tmpfs of 384 KiB mounted on it (when the
    // test runs as root and may mount; ENOSPC), and always a file size limit
    // of 256 KiB on the node (RLIMIT_FSIZE; EFBIG, as a quota would give). A
    // 512 x 512 image (512 KiB) does not fit, a 64 x 64 one does.
    struct Case {
        const char* Name;
        bool Tmpfs;
        const char* Error;
    };
    for (const Case& c :
         {Case{"file size limit", false, "File too large"}, Case{"full tmpfs", true, "No space left on device"}}) {
        SCOPED_TRACE(c.Name);
        const TempFolder folder;
        const fs::path store = folder / "store";
        fs::create_directories(store);
        struct Unmount {
            fs::path Path;
            ~Unmount()
            {
                if (!Path.empty()) umount(Path.c_str());
            }
        } unmount;
        if (c.Tmpfs) {
            if (geteuid() != 0 || mount("tmpfs", store.c_str(), "tmpfs", 0, "size=384k") != 0) {
                std::cout << "[   NOTE   ] no tmpfs case: mounting needs root (the file size limit case covers it)\n";
                continue;
            }
            unmount.Path = store;
        }
        Node node(folder, "serve", {}, c.Tmpfs ? 0 : 256 * 1024);
        ASSERT_TRUE(node.Listening()) << node.Log();
        const fs::path big = folder / "big.dcm", small = folder / "small.dcm";
        WriteDicomFile(big, Numbered(1, 512));
        WriteDicomFile(small, Numbered(2));
        std::vector<std::string> verbose = StoreScu("SENDER", node.Port, {big});
        verbose.insert(verbose.begin() + 1, "-v");
        const Tool refused = RunTool(verbose, folder / "big.out");
        EXPECT_NE(refused.Status, 0);
        EXPECT_NE(refused.Output.find("Received Store Response (Refused: OutOfResources)"), std::string::npos)
            << refused.Output;
        EXPECT_TRUE(FilesOf(node.Store).empty());
        const Tool taken = RunTool(StoreScu("SENDER", node.Port, {small}), folder / "small.out");
        EXPECT_EQ(taken.Status, 0) << taken.Output;
        EXPECT_TRUE(WaitFor([&] { return CountState(Inbox(node.Db), "analysed") == 1; })) << node.Log();
        EXPECT_EQ(node.Stop(), 0);
        EXPECT_NE(node.Log().find(std::string("refused (status 0xA700): cannot write the image: ") + c.Error),
                  std::string::npos)
            << node.Log();
        EXPECT_EQ(FilesOf(node.Store), std::vector<std::string>{"1.2.826.0.1.3680043.10.999.2.dcm"});
        EXPECT_EQ(Inbox(node.Db).size(), 1u);
    }
}

TEST(CliServe, CompressedTransferSyntaxesOnlyWhenAskedFor)
{
    // Without --decompress and without a rule that decodes, no compressed
    // transfer syntax is accepted: storescu, which cannot decode the JPEG
    // lossless image itself, cannot send it. With either, the image is
    // accepted, stored as it was sent, and decoded for the analysis.
    struct Case {
        const char* Name;
        std::vector<std::string> Extra;
        bool RuleDecodes;
        const char* StoredSyntax;  // nullptr: not accepted
    };
    const Case cases[] = {
        {"plain", {}, false, nullptr},
        {"option", {"--decompress"}, false, "1.2.840.10008.1.2.4.70"},
        {"rule", {}, true, "1.2.840.10008.1.2.4.70"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const TempFolder folder;
        WriteWholeFile(folder / "rules.json", std::string(R"({"rules": [{"match": {"modality": "DX"}, "settings": )") +
                                                  (c.RuleDecodes ? R"({"decompress": true}}]})" : "{}}]}"));
        const fs::path plain = folder / "plain.dcm", jpeg = folder / "jpeg.dcm";
        WriteDicomFile(plain, Numbered(1));
        ASSERT_EQ(RunTool({"/usr/bin/dcmcjpeg", plain.string(), jpeg.string()}, folder / "dcmcjpeg.out").Status, 0);
        Node node(folder, "serve", c.Extra);
        ASSERT_TRUE(node.Listening()) << node.Log();
        // Proposed in a context of its own, and the uncompressed syntaxes in another.
        std::vector<std::string> send = StoreScu("SENDER", node.Port, {jpeg});
        send.insert(send.begin() + 1, {"--required", "--propose-lossless"});
        const Tool sent = RunTool(send, folder / "sent.out");
        if (c.StoredSyntax == nullptr) {
            EXPECT_NE(sent.Status, 0) << sent.Output;
            EXPECT_EQ(node.Stop(), 0);
            EXPECT_TRUE(FilesOf(node.Store).empty());
            EXPECT_TRUE(Inbox(node.Db).empty());
            continue;
        }
        EXPECT_EQ(sent.Status, 0) << sent.Output;
        EXPECT_TRUE(WaitFor([&] { return Inbox(node.Db).size() == 1 && CountState(Inbox(node.Db), "waiting") == 0; }))
            << node.Log();
        EXPECT_EQ(node.Stop(), 0);
        const nlohmann::json entries = Inbox(node.Db);
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0]["state"], "analysed") << node.Log();
        const auto files = FilesOf(node.Store);
        ASSERT_EQ(files.size(), 1u);
        const std::string stored = ReadWholeFile(node.Store / files[0]);
        // Transfer Syntax UID (0002,0010), explicit VR little endian, padded with NUL to even length.
        std::string syntax = c.StoredSyntax;
        if (syntax.size() % 2) syntax += '\0';
        const std::string element =
            std::string("\x02\x00\x10\x00UI", 6) + static_cast<char>(syntax.size()) + '\0' + syntax;
        EXPECT_NE(stored.find(element), std::string::npos) << node.Log();
    }
}

// Sends files with storescu -v; its exit status and whether the node answered
// a C-STORE with "out of resources".
struct Sent {
    int Status = -1;
    bool OutOfResources = false;
    std::string Output;
};
Sent SendVerbose(int port, const std::vector<fs::path>& files, const fs::path& outFile)
{
    std::vector<std::string> args = StoreScu("SENDER", port, files);
    args.insert(args.begin() + 1, "-v");
    const Tool tool = RunTool(args, outFile);
    return {tool.Status, tool.Output.find("Received Store Response (Refused: OutOfResources)") != std::string::npos,
            tool.Output};
}

TEST(CliServe, AHalfSentRequestHoldsUpNoOneAndEachConnectionIsLoggedAsWhatItWas)
{
    const TempFolder folder;
    Node node(folder, "serve", {"--listen", "127.0.0.1"});
    ASSERT_TRUE(node.Listening()) << node.Log();
    close(ConnectTo(node.Port));  // a TCP health probe: connected, then closed
    // The first 30 bytes of a 206-byte A-ASSOCIATE-RQ, then nothing.
    const int stalled = ConnectTo(node.Port);
    const std::string head = std::string("\x01\x00\x00\x00\x00\xc8\x00\x01\x00\x00", 10) + "EVENOR          "
                                                                                           "SEND";
    ASSERT_EQ(write(stalled, head.data(), head.size()), 30);
    std::this_thread::sleep_for(200ms);

    const auto start = std::chrono::steady_clock::now();
    const Tool echo =
        RunTool({"/usr/bin/echoscu", "-ta", "3", "-aet", "OTHER", "-aec", kAet, "127.0.0.1", std::to_string(node.Port)},
                folder / "echo.out");
    EXPECT_EQ(echo.Status, 0) << echo.Output << node.Log();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    // The stalled peer is let go once the request time (5 s) is over.
    pollfd letGo{stalled, POLLIN, 0};
    EXPECT_EQ(poll(&letGo, 1, 8000), 1) << node.Log();
    close(stalled);

    // Only a SOP class the node does not serve (intra-oral, for processing).
    std::string intraOral = DicomFileBytes(Numbered(1));
    for (auto at = intraOral.find("1.2.840.10008.5.1.4.1.1.1.1.1"); at != std::string::npos;
         at = intraOral.find("1.2.840.10008.5.1.4.1.1.1.1.1", at))
        intraOral.replace(at, 29, "1.2.840.10008.5.1.4.1.1.1.3.1");
    WriteWholeFile(folder / "intraoral.dcm", intraOral);
    std::vector<std::string> required = StoreScu("SENDER", node.Port, {folder / "intraoral.dcm"});
    required.insert(required.begin() + 1, "-R");  // no other presentation context
    EXPECT_NE(RunTool(required, folder / "intraoral.out").Status, 0);
    EXPECT_EQ(node.Stop(), 0);

    const std::string log = node.Log();
    for (const char* line :
         {"serve: listening as EVENOR on 127.0.0.1 port ",
          "serve: connection from 127.0.0.1 closed without a request (a TCP health probe)\n",
          "association (peer 127.0.0.1) not made: no complete request within 5 s; connection closed\n",
          "association from SENDER (peer 127.0.0.1) accepted (0 presentation contexts): no SOP class and transfer "
          "syntax offered is served here; offered: DigitalIntraOralXRayImageStorageForProcessing\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line << '\n' << log;
    EXPECT_EQ(log.find("it calls ,"), std::string::npos) << log;
}

TEST(CliServe, AFullDatabaseAnswersOutOfResourcesAndAFullOutputFolderRefusesTheImage)
{
    // A tmpfs of 512 KiB, filled up, holds the SQLite database (the image
    // must not be answered with success: 0xA700, and once there is room the
    // resend is recorded), or the outputs (a report of every pixel, some
    // 150 kB: the image is refused with the error, no output is left).
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    for (const bool databaseFull : {true, false}) {
        SCOPED_TRACE(databaseFull ? "database full" : "output folder full");
        const TempFolder folder;
        const fs::path full = databaseFull ? folder / "db" : folder / "out";
        fs::create_directories(full);
        ASSERT_EQ(mount("tmpfs", full.c_str(), "tmpfs", 0, "size=512k"), 0) << std::strerror(errno);
        struct Unmount {
            fs::path Path;
            ~Unmount() { umount(Path.c_str()); }
        } unmount{full};
        WriteWholeFile(folder / "rules.json", R"({"rules": [{"match": {"modality": "DX"}, )"
                                              R"("settings": {"pixel_deviation": 1, "record": true}}]})");
        Node node(folder, "serve", {}, 0, databaseFull ? (full / "history.sqlite").string() : std::string());
        ASSERT_TRUE(node.Listening()) << node.Log();
        std::ofstream filler(full / "filler", std::ios::binary);
        const std::string block(4096, 'f');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) && filler.flush()) {}
        filler.close();

        WriteDicomFile(folder / "image.dcm", Numbered(1));
        const Sent first = SendVerbose(node.Port, {folder / "image.dcm"}, folder / "first.out");
        if (databaseFull) {
            EXPECT_TRUE(first.OutOfResources) << first.Output << node.Log();
            fs::remove(full / "filler");
            const Sent again = SendVerbose(node.Port, {folder / "image.dcm"}, folder / "again.out");
            EXPECT_EQ(again.Status, 0) << again.Output << node.Log();
            EXPECT_TRUE(WaitFor([&] { return CountState(Inbox(node.Db), "analysed") == 1; })) << node.Log();
            EXPECT_EQ(Records(node.Db), 1u);
        } else {
            EXPECT_EQ(first.Status, 0) << first.Output;
            EXPECT_TRUE(WaitFor([&] { return CountState(Inbox(node.Db), "refused") == 1; })) << node.Log();
            const nlohmann::json entries = Inbox(node.Db);
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_NE(entries[0]["message"].get<std::string>().find(".txt: Disk full"), std::string::npos)
                << entries.dump(1);
            EXPECT_EQ(FilesOf(full), std::vector<std::string>{"filler"});  // nothing cut, nothing temporary
            EXPECT_EQ(Records(node.Db), 0u);
        }
        EXPECT_EQ(node.Stop(), 0);
        if (databaseFull) {
            EXPECT_NE(node.Log().find(" refused (status 0xA700): cannot register it: History database "),
                      std::string::npos)
                << node.Log();
        }
    }
}

void Cluster(const char* action)
{
    const std::string command =
        std::string("pg_ctlcluster ") + std::getenv("PGVERSION") + " regress " + action + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

TEST(CliServePostgres, TheServerStoppedAndStartedBetweenTwoSendsLosesNothing)
{
    // pg_virtualenv's cluster is stopped under a running serve and watch:
    // the image sent meanwhile is answered 0xA700 (the sender keeps it), the
    // file dropped into the watched folder waits; once the server is back,
    // both and the resend are recorded, neither program restarted.
    EVENOR_REQUIRE_ENGINE(Engine::Postgres);
    ASSERT_NE(std::getenv("PGVERSION"), nullptr) << "run under pg_virtualenv";
    const EngineDatabase db(Engine::Postgres);
    const TempFolder folder;
    Node node(folder, "serve", {}, 0, db.Location());
    ASSERT_TRUE(node.Listening()) << node.Log();
    fs::create_directories(folder / "watched");
    const pid_t watch =
        Spawn({EVENOR_CLI_PATH, "watch", (folder / "watched").string(), "--rules", (folder / "rules.json").string(),
               "--db", db.Location(), "--out-dir", (folder / "out").string(), "--settle", "0", "--interval", "0.2"},
              folder / "watch.log");
    for (int i = 1; i <= 2; ++i) WriteDicomFile(folder / ("image" + std::to_string(i) + ".dcm"), Numbered(i));
    EXPECT_EQ(SendVerbose(node.Port, {folder / "image1.dcm"}, folder / "first.out").Status, 0);
    EXPECT_TRUE(WaitFor([&] { return CountState(Inbox(db.Location()), "analysed") == 1; })) << node.Log();

    Cluster("stop");
    const Sent meanwhile = SendVerbose(node.Port, {folder / "image2.dcm"}, folder / "meanwhile.out");
    EXPECT_TRUE(meanwhile.OutOfResources) << meanwhile.Output << node.Log();
    WriteDicomFile(folder / "watched" / "image3.dcm", Numbered(3));
    EXPECT_TRUE(WaitFor([&] { return ReadWholeFile(folder / "watch.log").find("image3.dcm: ") != std::string::npos; }));
    Cluster("start");

    EXPECT_EQ(SendVerbose(node.Port, {folder / "image2.dcm"}, folder / "again.out").Status, 0) << node.Log();
    EXPECT_TRUE(WaitFor([&] { return CountState(Inbox(db.Location()), "analysed") == 3; }, 30s))
        << node.Log() << ReadWholeFile(folder / "watch.log");
    EXPECT_EQ(Records(db.Location()), 3u);
    kill(watch, SIGTERM);
    EXPECT_EQ(Wait(watch), 0);
    EXPECT_EQ(node.Stop(), 0);
    EXPECT_NE(node.Log().find(" refused (status 0xA700): cannot register it: "), std::string::npos) << node.Log();
}

TEST(CliServePostgres, AReportCutByAFileSizeLimitLeavesNoFileAndRefusesTheImage)
{
    // The node may write files of 48 KiB (RLIMIT_FSIZE): the image (9 kB)
    // is stored, its report of every pixel (some 150 kB) is not.
    EVENOR_REQUIRE_ENGINE(Engine::Postgres);
    const EngineDatabase db(Engine::Postgres);
    const TempFolder folder;
    WriteWholeFile(folder / "rules.json", R"({"rules": [{"match": {"modality": "DX"}, )"
                                          R"("settings": {"pixel_deviation": 1, "record": true}}]})");
    Node node(folder, "serve", {}, 48 * 1024, db.Location());
    ASSERT_TRUE(node.Listening()) << node.Log();
    WriteDicomFile(folder / "image.dcm", Numbered(1));
    EXPECT_EQ(SendVerbose(node.Port, {folder / "image.dcm"}, folder / "sent.out").Status, 0);
    EXPECT_TRUE(WaitFor([&] { return CountState(Inbox(db.Location()), "refused") == 1; })) << node.Log();
    EXPECT_EQ(node.Stop(), 0);
    const nlohmann::json entries = Inbox(db.Location());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_NE(entries[0]["message"].get<std::string>().find(".txt: I/O error 27"), std::string::npos)
        << entries.dump(1);  // EFBIG
    EXPECT_TRUE(FilesOf(folder / "out").empty());
    EXPECT_EQ(Records(db.Location()), 0u);
}

// Images Evenor does not judge are stored (the sender is answered success)
// and listed as refused with the reason; only the plain image is recorded.
TEST(CliServe, ImagesNotJudgedAreStoredAndRefusedWithTheReason)
{
    const TempFolder folder;
    Node node(folder, "serve");
    ASSERT_TRUE(node.Listening()) << node.Log();
    const TestImage plain = Numbered(0);
    std::vector<NotJudgedImage> cases = NotJudgedImages(plain);
    cases.push_back({"plain", plain, ""});
    std::vector<fs::path> files;
    fs::create_directories(folder / "send");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        cases[i].Image.SopInstanceUid = "1.2.826.0.1.3680043.10.998." + std::to_string(i);
        files.push_back(folder / "send" / (cases[i].Name + ".dcm"));
        WriteDicomFile(files.back(), cases[i].Image);
    }
    const Tool sent = RunTool(StoreScu("MODALITY", node.Port, files), folder / "storescu.out");
    EXPECT_EQ(sent.Status, 0) << sent.Output;
    const auto finished = [&] {
        const nlohmann::json entries = Inbox(node.Db);
        return entries.size() == cases.size() && CountState(entries, "waiting") == 0;
    };
    EXPECT_TRUE(WaitFor(finished)) << node.Log();
    EXPECT_EQ(node.Stop(), 0);

    const std::string log = node.Log();
    std::map<std::string, nlohmann::json> byUid;
    for (const auto& entry : Inbox(node.Db)) byUid[fs::path(entry["path"].get<std::string>()).stem().string()] = entry;
    for (const auto& c : cases) {
        const nlohmann::json& entry = byUid[c.Image.SopInstanceUid];
        EXPECT_EQ(entry["state"], c.Warning.empty() ? "analysed" : "refused") << c.Name << '\n' << log;
        if (!c.Warning.empty()) {
            EXPECT_EQ(entry["message"], c.Warning) << c.Name;
            EXPECT_NE(log.find(": refused: " + c.Warning + "\n"), std::string::npos) << c.Name << '\n' << log;
        }
    }
    EXPECT_EQ(Records(node.Db), 1u) << log;
}

}  // namespace
}  // namespace evenor::test
