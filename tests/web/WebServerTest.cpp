// The dashboard as a client sees it: a server on 127.0.0.1 over a history
// made here (SQLite; PostgreSQL under pg_virtualenv), driven over HTTP.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/EvenorError.h"
#include "history/Sha256.h"
#include "tests/history/HistoryTestSupport.h"
#include "web/WebPages.h"
#include "web/WebServer.h"
#include "web/WebUsers.h"

namespace evenor::test {
namespace {

namespace fs = std::filesystem;

const std::string kHostileId = "<script>alert(1)</script>";
const std::string kPassword = "correct horse";

QaRecord Sample(int n, const std::string& detectorId, Verdict verdict = Verdict::Pass)
{
    QaRecord r;
    r.Detector = DetectorIdentity{"Maker", "Model X", "SN-" + detectorId, detectorId, "ROOM 3 <u>"};
    r.SoftwareVersions = "1.0";
    r.SopInstanceUid = "1.2.3." + std::to_string(n);
    r.AcquisitionDate = "20240102";
    r.AcquisitionTime = "1015" + std::to_string(10 + n);
    r.KVp = "70";
    r.Exposure = "2000";
    r.ExposureUnit = "uAs";
    r.FileName = "/data/flat" + std::to_string(n) + ".dcm";
    r.FileSha256 = Sha256Hex("image " + std::to_string(n));
    r.Settings = "box_cm=1";
    r.Preset = "evenor-default";
    r.Numbers.AreaMean = 1000.0 + n;
    r.Numbers.AreaSNR = 100.0 - n;
    r.Numbers.MeanRoiSNR = 90.0;
    r.Numbers.RoiCount = 100;
    r.Numbers.Metrics = {1.0, 0.5, 4.0, -0.8, 1.2};
    r.Overall = verdict;
    r.Details = R"({"metrics":[],"warnings":["Pixel <i>spacing</i> missing"]})";
    r.ProgramVersion = "test";
    r.RecordedBy = "tester";
    return r;
}

// One history (DET-1 with a baseline and three records, a detector whose ID
// is HTML, one failing), an output folder with the files of record 1 and a
// secret beside it, a users file, and a server on a free port.
class WebFixture {
public:
    explicit WebFixture(Engine engine, bool withUsers = true) : db_(engine)
    {
        {
            auto store = db_.Open();
            for (int n = 1; n <= 3; ++n) store->Record(Sample(n, "DET-1"));
            store->SetBaselineFromRecord("DET-1", 1, "acceptance", "physicist");
            store->Record(Sample(4, kHostileId));
            store->Record(Sample(5, "DET-FAIL", Verdict::Fail));
            bool isNew = false;
            IntakeEntry refused = store->ClaimIntake("sha-refused", "/in/<img src=x>.dcm", "watch", isNew);
            refused.State = IntakeRefused;
            refused.Message = "Not an image: <script>x</script>";
            store->FinishIntake(refused);
            store->ClaimIntake("sha-waiting", "/in/waiting.dcm", "serve from MODALITY", isNew);
        }
        fs::create_directories(folder_ / "out" / "sub");
        const std::string stem = "flat1-" + Sha256Hex("image 1").substr(0, 12);
        PdfName = stem + ".pdf";
        for (const char* suffix : {".txt", ".json", ".pdf"})
            WriteFile(folder_ / "out" / (stem + suffix), "content of " + stem + suffix);
        WriteFile(folder_ / "secret.txt", "SECRET-BYTES");
        WriteFile(folder_ / "out" / ".hidden", "SECRET-BYTES");
        fs::create_symlink(folder_ / "secret.txt", folder_ / "out" / "link-out.txt");
        Options.Db = db_.Location();
        Options.Listen = "127.0.0.1:0";
        Options.OutDir = (folder_ / "out").string();
        Options.ReadTimeoutSeconds = 1;
        Options.LoginDelayMs = 300;
        if (withUsers) {
            Options.UsersFile = (folder_ / "users").string();
            WebUsers::AddUser(Options.UsersFile, "alice", kPassword);
        }
    }
    ~WebFixture()
    {
        if (server_) server_->Stop();
        if (thread_.joinable()) thread_.join();
    }

    void Start()
    {
        server_ = std::make_unique<WebServer>(Options);
        Port = server_->Bind();
        thread_ = std::thread([this] { server_->Serve(); });
        for (int i = 0; i < 100 && !Client().Get("/style.css"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    httplib::Client Client() const
    {
        httplib::Client client((Options.CertFile.empty() ? "http://" : "https://") + std::string("127.0.0.1:") +
                               std::to_string(Port));
        client.enable_server_certificate_verification(false);
        client.set_read_timeout(10, 0);
        return client;
    }

    // A session cookie ("evenor_session=...") of alice.
    std::string LogIn()
    {
        auto response =
            Client().Post("/login", "user=alice&password=correct+horse", "application/x-www-form-urlencoded");
        if (!response || response->status != 303) return {};
        const std::string cookie = response->get_header_value("Set-Cookie");
        return cookie.substr(0, cookie.find(';'));
    }

    static void WriteFile(const fs::path& path, const std::string& text)
    {
        std::ofstream(path, std::ios::binary) << text;
    }

    WebOptions Options;
    int Port = 0;
    std::string PdfName;

private:
    EngineDatabase db_;
    TempFolder folder_;
    std::unique_ptr<WebServer> server_;
    std::thread thread_;
};

void ExpectSecurityHeaders(const httplib::Response& response, const std::string& path)
{
    EXPECT_NE(response.get_header_value("Content-Security-Policy").find("frame-ancestors 'none'"), std::string::npos)
        << path;
    EXPECT_EQ(response.get_header_value("X-Content-Type-Options"), "nosniff") << path;
    EXPECT_EQ(response.get_header_value("X-Frame-Options"), "DENY") << path;
}

class WebRoutesTest : public testing::TestWithParam<Engine> {};

TEST_P(WebRoutesTest, EveryRouteAnswersAsItShould)
{
    EVENOR_REQUIRE_ENGINE(GetParam());
    WebFixture web(GetParam());
    web.Start();
    const std::string cookie = web.LogIn();
    ASSERT_FALSE(cookie.empty());

    struct Case {
        std::string Path;
        int Status;
        std::string Type;      // content type prefix
        std::string Contains;  // in the body
    };
    const std::string hostile = UrlEncode(kHostileId);
    const std::vector<Case> cases = {
        {"/", 200, "text/html", "DET-1"},
        {"/?sort=name", 200, "text/html", "Baseline"},
        {"/?sort=station", 200, "text/html", "DET-FAIL"},
        {"/?sort=tested", 200, "text/html", "DET-1"},
        {"/?sort=verdict", 200, "text/html", "DET-1"},
        {"/", 200, "text/html", "<span class=\"v v-fail\">fail</span>"},  // the last test of DET-FAIL
        {"/detector?key=DET-1", 200, "text/html", "Baseline in force: version 1"},
        {"/detector?key=DET-1", 200, "text/html", "<svg class=\"trend\""},
        {"/detector?key=" + hostile, 200, "text/html", "&lt;script&gt;alert(1)&lt;/script&gt;"},
        {"/detector?key=NOPE", 404, "text/html", "No detector"},
        {"/detector", 404, "text/html", "Name a detector"},
        {"/record?key=DET-1&id=1", 200, "text/html", "/files/" + web.PdfName},
        {"/record?key=DET-1&id=1", 200, "text/html", "Pixel &lt;i&gt;spacing&lt;/i&gt; missing"},
        {"/record?key=DET-1&id=999", 404, "text/html", "No such record"},
        {"/record?key=DET-1&id=-1", 404, "text/html", "No such record"},
        {"/record?key=DET-FAIL&id=1", 404, "text/html", "No such record"},
        {"/", 200, "text/html", "refused: <b>1</b>"},
        {"/", 200, "text/html", "The oldest waiting entry waits for"},
        {"/inbox", 200, "text/html", "waiting.dcm"},
        {"/inbox?state=refused", 200, "text/html", "Not an image: &lt;script&gt;x&lt;/script&gt;"},
        {"/inbox?state=refused", 200, "text/html", "&lt;img src=x&gt;.dcm"},
        {"/inbox?state=unmatched", 200, "text/html", "No entries"},
        {"/inbox?state=bogus", 404, "text/html", "No such state"},
        {"/files/" + web.PdfName, 200, "application/pdf", "content of"},
        {"/style.css", 200, "text/css", "body"},
        {"/login", 200, "text/html", "Password"},
    };
    for (const Case& c : cases) {
        auto response = web.Client().Get(c.Path, {{"Cookie", cookie}});
        ASSERT_TRUE(response) << c.Path;
        EXPECT_EQ(response->status, c.Status) << c.Path;
        EXPECT_EQ(response->get_header_value("Content-Type").rfind(c.Type, 0), 0u) << c.Path;
        EXPECT_NE(response->body.find(c.Contains), std::string::npos) << c.Path << "\n" << response->body;
        // Text from tags never reaches the page as markup.
        EXPECT_EQ(response->body.find("<script>"), std::string::npos) << c.Path;
        EXPECT_EQ(response->body.find("<u>"), std::string::npos) << c.Path;
        EXPECT_EQ(response->body.find("<i>"), std::string::npos) << c.Path;
        EXPECT_EQ(response->body.find("<img src=x"), std::string::npos) << c.Path;
        ExpectSecurityHeaders(*response, c.Path);
    }
    // Overdue and failing first: the failing detector comes before DET-1
    // whatever the sort (all are overdue: tested in 2024).
    auto overview = web.Client().Get("/?sort=name", {{"Cookie", cookie}});
    ASSERT_TRUE(overview);
    EXPECT_NE(overview->body.find("days since the test"), std::string::npos);
}

TEST_P(WebRoutesTest, NoRequestChangesTheDatabaseAndNoMethodButReadingIsServed)
{
    EVENOR_REQUIRE_ENGINE(GetParam());
    WebFixture web(GetParam());
    web.Start();
    const std::string cookie = web.LogIn();
    for (const std::string method : {"PUT", "DELETE", "PATCH", "POST", "OPTIONS"}) {
        httplib::Request request;
        request.method = method;
        request.path = "/detector?key=DET-1";
        request.headers = {{"Cookie", cookie}};
        request.body = "x";
        auto response = web.Client().send(request);
        ASSERT_TRUE(response) << method;
        EXPECT_EQ(response->status, 405) << method;
    }
    auto store = HistoryStore::Open(web.Options.Db, false);
    EXPECT_EQ(store->Records().size(), 5u);
}

INSTANTIATE_TEST_SUITE_P(Engines, WebRoutesTest, testing::Values(Engine::Sqlite, Engine::Postgres), EngineName);

TEST(WebSecurityTest, EveryPageNeedsALoginAndLogoutEndsTheSessionOnTheServer)
{
    WebFixture web(Engine::Sqlite);
    web.Start();
    const std::vector<std::string> paths = {
        "/", "/?sort=name", "/detector?key=DET-1", "/record?key=DET-1&id=1", "/inbox", "/files/" + web.PdfName};
    for (const std::string& path : paths) {
        for (const std::string cookie : {"", "evenor_session=0123456789abcdef", "evenor_session="}) {
            auto response = web.Client().Get(path, {{"Cookie", cookie}});
            ASSERT_TRUE(response) << path;
            EXPECT_EQ(response->status, 303) << path << " " << cookie;
            EXPECT_EQ(response->get_header_value("Location"), "/login") << path;
            EXPECT_EQ(response->body.find("DET-1"), std::string::npos) << path;
            EXPECT_EQ(response->body.find("content of"), std::string::npos) << path;
        }
    }
    auto login = web.Client().Post("/login", "user=alice&password=correct+horse", "application/x-www-form-urlencoded");
    ASSERT_TRUE(login);
    const std::string setCookie = login->get_header_value("Set-Cookie");
    EXPECT_NE(setCookie.find("HttpOnly"), std::string::npos);
    EXPECT_NE(setCookie.find("SameSite=Strict"), std::string::npos);
    EXPECT_EQ(setCookie.find("Secure"), std::string::npos);  // plain HTTP
    const std::string cookie = setCookie.substr(0, setCookie.find(';'));
    EXPECT_EQ(web.Client().Get("/", {{"Cookie", cookie}})->status, 200);

    // A copy of the cookie taken before the logout is worth nothing after it.
    auto logout = web.Client().Post("/logout", {{"Cookie", cookie}}, "", "application/x-www-form-urlencoded");
    ASSERT_TRUE(logout);
    EXPECT_EQ(logout->status, 303);
    auto stolen = web.Client().Get("/detector?key=DET-1", {{"Cookie", cookie}});
    ASSERT_TRUE(stolen);
    EXPECT_EQ(stolen->status, 303);
    EXPECT_EQ(stolen->body.find("DET-1"), std::string::npos);
}

TEST(WebSecurityTest, WrongPasswordsAreRefusedAndSlowed)
{
    WebFixture web(Engine::Sqlite);
    web.Start();
    struct Case {
        std::string Body;
        int Status;
    };
    // Each failure makes the address wait (300 ms, then 600 ms): a try in
    // that time is refused unchecked, even with the right password.
    const std::vector<std::pair<std::string, int>> tries = {
        {"user=alice&password=wrong", 401},          {"user=alice&password=correct+horse", 429}, {"WAIT", 0},
        {"user=nobody&password=correct+horse", 401}, {"user=alice&password=correct+horse", 429}, {"WAIT", 0},
        {"user=alice&password=correct+horse", 303},
    };
    for (const auto& [body, status] : tries) {
        if (body == "WAIT") {
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            continue;
        }
        auto response = web.Client().Post("/login", body, "application/x-www-form-urlencoded");
        ASSERT_TRUE(response) << body;
        EXPECT_EQ(response->status, status) << body;
        EXPECT_EQ(response->has_header("Set-Cookie"), status == 303) << body;
    }
}

TEST(WebSecurityTest, NoPathLeavesTheOutputFolder)
{
    WebFixture web(Engine::Sqlite);
    web.Start();
    const std::string cookie = web.LogIn();
    // The raw request targets: encoded or not, in the path and in every
    // parameter.
    const std::vector<std::string> targets = {
        "/files/../secret.txt",
        "/files/%2e%2e/secret.txt",
        "/files/%2E%2E%2Fsecret.txt",
        "/files/..%2fsecret.txt",
        "/files/sub/../../secret.txt",
        "/files/sub/%2e%2e/%2e%2e/secret.txt",
        "/files/.hidden",
        "/files//etc/passwd",
        "/files/%2fetc%2fpasswd",
        "/files/link-out.txt",
        "/files/sub",
        "/files/..%5csecret.txt",
        "/files/secret.txt%00.pdf",
        "/record?key=..%2f..%2fsecret.txt&id=1",
        "/record?key=DET-1&id=%2e%2e%2fsecret.txt",
        "/detector?key=%2e%2e%2f%2e%2e%2fsecret.txt",
        "/inbox?state=..%2f..%2fsecret.txt",
        "/?sort=..%2f..%2fsecret.txt",
        "/../secret.txt",
        "/%2e%2e/secret.txt",
    };
    for (const std::string& target : targets) {
        auto response = web.Client().Get(target, {{"Cookie", cookie}});
        ASSERT_TRUE(response) << target;
        EXPECT_EQ(response->body.find("SECRET-BYTES"), std::string::npos) << target;
        if (target.rfind("/?sort", 0) != 0) {
            EXPECT_GE(response->status, 400) << target;
        }
    }
}

TEST(WebSecurityTest, OversizedAndSlowRequestsAreCutOff)
{
    WebFixture web(Engine::Sqlite);
    web.Options.Threads = 2;
    web.Start();
    const std::string cookie = web.LogIn();
    // A body beyond the limit, a header beyond the limit, a target beyond the limit.
    auto big = web.Client().Post("/login", std::string(1 << 20, 'a'), "application/x-www-form-urlencoded");
    EXPECT_TRUE(!big || big->status == 413);
    auto header = web.Client().Get("/", {{"Cookie", cookie}, {"X-Long", std::string(20000, 'h')}});
    EXPECT_TRUE(!header || header->status >= 400);
    auto target = web.Client().Get("/detector?key=" + std::string(20000, 'k'), {{"Cookie", cookie}});
    EXPECT_TRUE(!target || target->status >= 400);

    // A client that sends half a request and then nothing is dropped after
    // the read time limit; others are served meanwhile.
    const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(web.Port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string half = "GET / HTTP/1.1\r\nHost: x\r\n";
    ASSERT_EQ(::send(sock, half.data(), half.size(), 0), static_cast<ssize_t>(half.size()));
    const auto start = std::chrono::steady_clock::now();
    auto other = web.Client().Get("/", {{"Cookie", cookie}});
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 200);
    char buffer[4096];
    timeval limit{15, 0};
    ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string answer;
    for (ssize_t got; (got = ::recv(sock, buffer, sizeof buffer, 0)) > 0;)
        answer.append(buffer, static_cast<std::size_t>(got));
    const auto waited = std::chrono::steady_clock::now() - start;
    ::close(sock);
    EXPECT_LT(waited, std::chrono::seconds(8));  // closed by the server, not by our own limit
    EXPECT_EQ(answer.find("DET-1"), std::string::npos);
}

TEST(WebSecurityTest, UnderTlsTheSessionCookieIsSecureAndPlainHttpIsNotServed)
{
    WebFixture web(Engine::Sqlite);
    const fs::path folder = fs::path(web.Options.OutDir).parent_path();
    const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 1 -keyout '" +
                                (folder / "key.pem").string() + "' -out '" + (folder / "cert.pem").string() +
                                "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    web.Options.CertFile = (folder / "cert.pem").string();
    web.Options.KeyFile = (folder / "key.pem").string();
    web.Start();
    auto login = web.Client().Post("/login", "user=alice&password=correct+horse", "application/x-www-form-urlencoded");
    ASSERT_TRUE(login);
    EXPECT_EQ(login->status, 303);
    EXPECT_NE(login->get_header_value("Set-Cookie").find("; Secure"), std::string::npos);
    EXPECT_FALSE(login->get_header_value("Strict-Transport-Security").empty());
    httplib::Client plain("127.0.0.1", web.Port);
    plain.set_read_timeout(3, 0);
    auto answer = plain.Get("/style.css");
    EXPECT_FALSE(answer && answer->status == 200);
}

TEST(WebStartTest, RefusesWhatIsNotSafeToStart)
{
    WebFixture web(Engine::Sqlite, false);
    struct Case {
        std::string Listen, Users, Cert, Key, OutDir, Message;
    };
    const std::vector<Case> cases = {
        {"0.0.0.0:8080", "", "", "", "", "without --users the dashboard listens on the loopback only"},
        {"[::]:8080", "", "", "", "", "loopback only"},
        {"192.168.1.5:8080", "", "", "", "", "loopback only"},
        {"localhost.evil.example:8080", "", "", "", "", "loopback only"},
        {"127.0.0.1", "", "", "", "", "give ADDRESS:PORT"},
        {"127.0.0.1:99999", "", "", "", "", "give ADDRESS:PORT"},
        {"::1:8080", "", "", "", "", "give ADDRESS:PORT"},
        {"127.0.0.1:0", "/no/such/users", "", "", "", "cannot be read"},
        {"127.0.0.1:0", "", "/no/cert.pem", "", "", "--cert and --key go together"},
        {"127.0.0.1:0", "", "/no/cert.pem", "/no/key.pem", "", "cannot be used"},
        {"127.0.0.1:0", "", "", "", "/no/such/folder", "no such folder"},
    };
    for (const Case& c : cases) {
        WebOptions options = web.Options;
        options.Listen = c.Listen;
        options.UsersFile = c.Users;
        options.CertFile = c.Cert;
        options.KeyFile = c.Key;
        options.OutDir = c.OutDir;
        try {
            WebServer server(options);
            ADD_FAILURE() << c.Listen << " was accepted";
        } catch (const EvenorError& e) {
            EXPECT_NE(std::string(e.what()).find(c.Message), std::string::npos) << c.Listen << ": " << e.what();
        }
    }
    for (const std::string listen : {"127.0.0.1:0", "127.9.8.7:0", "[::1]:0", "localhost:0"}) {
        WebOptions options = web.Options;
        options.Listen = listen;
        EXPECT_NO_THROW(WebServer{options}) << listen;
    }
}

TEST(WebUsersTest, HashesCheckAndRefusals)
{
    TempFolder folder;
    const std::string file = (folder / "users").string();
    WebUsers::AddUser(file, "alice", kPassword);
    WebUsers::AddUser(file, "bob", "another password");
    WebUsers::AddUser(file, "alice", "changed password");  // replaces alice's
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::ifstream in(file);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.find("password"), std::string::npos);  // only hashes
    EXPECT_NE(text.find("alice:$argon2id$"), std::string::npos);

    const WebUsers users = WebUsers::Load(file);
    const std::vector<std::tuple<std::string, std::string, bool>> checks = {
        {"alice", "changed password", true},
        {"alice", kPassword, false},
        {"bob", "another password", true},
        {"bob", "changed password", false},
        {"carol", "changed password", false},
        {"", "", false},
        {"alice", "", false},
    };
    for (const auto& [name, password, expected] : checks) EXPECT_EQ(users.Check(name, password), expected) << name;

    for (const auto& [name, password] : std::vector<std::pair<std::string, std::string>>{
             {"bad:name", "long enough"}, {"", "long enough"}, {"x y", "long enough"}, {"ok", "short"}})
        EXPECT_THROW(WebUsers::AddUser(file, name, password), EvenorError) << name;
    WebFixture::WriteFile(folder / "broken", "alice:plaintext\n");
    EXPECT_THROW(WebUsers::Load((folder / "broken").string()), EvenorError);
}

}  // namespace
}  // namespace evenor::test
