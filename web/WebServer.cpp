#include "web/WebServer.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <httplib.h>
#include <iterator>
#include <mutex>
#include <optional>
#include <ostream>
#include <thread>

#include "base/Dates.h"
#include "base/EvenorError.h"
#include "history/HistoryStore.h"
#include "web/WebPages.h"
#include "web/WebUsers.h"

namespace evenor {

namespace fs = std::filesystem;

namespace {

constexpr const char* kCookie = "evenor_session";

// A fixed number of threads and a bounded queue: when it is full the
// accepting thread waits, so further connections wait in the kernel's
// backlog instead of piling up here.
class BoundedPool final : public httplib::TaskQueue {
public:
    BoundedPool(std::size_t threads, std::size_t maxWaiting) : maxWaiting_(maxWaiting)
    {
        for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
    }
    ~BoundedPool() override { shutdown(); }

    void enqueue(std::function<void()> fn) override
    {
        std::unique_lock lock(mutex_);
        roomy_.wait(lock, [&] { return jobs_.size() < maxWaiting_ || stopping_; });
        jobs_.push_back(std::move(fn));
        ready_.notify_one();
    }

    void shutdown() override
    {
        {
            const std::lock_guard lock(mutex_);
            if (stopping_ && threads_.empty()) return;
            stopping_ = true;
        }
        ready_.notify_all();
        roomy_.notify_all();
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
    }

private:
    void Work()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [&] { return !jobs_.empty() || stopping_; });
                if (jobs_.empty()) return;  // stopping, and nothing left: every accepted socket is closed
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            roomy_.notify_one();
            job();
        }
    }

    std::size_t maxWaiting_;
    std::mutex mutex_;
    std::condition_variable ready_, roomy_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;
};

std::string CookieValue(const httplib::Request& request, const std::string& name)
{
    const std::string header = request.get_header_value("Cookie");
    std::size_t start = 0;
    while (start < header.size()) {
        std::size_t end = header.find(';', start);
        if (end == std::string::npos) end = header.size();
        std::string_view part(header.data() + start, end - start);
        while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
        if (part.size() > name.size() && part.compare(0, name.size(), name) == 0 && part[name.size()] == '=')
            return std::string(part.substr(name.size() + 1));
        start = end + 1;
    }
    return {};
}

std::string ContentType(const fs::path& file)
{
    const std::string extension = file.extension().string();
    if (extension == ".txt") return "text/plain; charset=utf-8";
    if (extension == ".json") return "application/json";
    if (extension == ".pdf") return "application/pdf";
    if (extension == ".png") return "image/png";
    if (extension == ".svg") return "image/svg+xml";
    if (extension == ".csv") return "text/csv; charset=utf-8";
    return "application/octet-stream";
}

// A PostgreSQL URI whose session refuses every write: its options (a
// parameter the URI may already have) get default_transaction_read_only.
std::string ReadOnlyPostgres(const std::string& uri)
{
    constexpr const char* readOnly = "-cdefault_transaction_read_only%3Don";
    const std::size_t query = uri.find('?');
    if (query == std::string::npos) return uri + "?options=" + readOnly;
    std::size_t start = query + 1;
    while (start <= uri.size()) {
        std::size_t end = uri.find('&', start);
        if (end == std::string::npos) end = uri.size();
        if (uri.compare(start, 8, "options=") == 0)
            return uri.substr(0, end) + (end > start + 8 ? "%20" : "") + readOnly + uri.substr(end);
        start = end + 1;
    }
    return uri + (uri.back() == '?' || uri.back() == '&' ? "" : "&") + "options=" + readOnly;
}

// The history opened for reading only: PostgreSQL in sessions that refuse
// writes; an SQLite file through a read-only URI, or, where SQLite cannot
// read it so (a file in write-ahead logging whose folder this user may not
// write), as the store opens a file it may not change.
std::unique_ptr<HistoryStore> OpenReadOnly(const std::string& db)
{
    if (db.starts_with("postgresql://") || db.starts_with("postgres://"))
        return HistoryStore::Open(ReadOnlyPostgres(db), false);
    if (db.starts_with("file:")) return HistoryStore::Open(db, false);
    std::error_code error;
    if (fs::is_directory(db, error)) throw EvenorError("History database " + db + ": this is a folder");
    if (!fs::exists(db, error)) throw EvenorError("History database " + db + ": no such file");
    try {
        std::unique_ptr<HistoryStore> store = HistoryStore::Open(SqliteFileUri(db) + "?mode=ro", false);
        store->Detectors();  // the first read: a file that is no history fails here
        return store;
    } catch (const EvenorError&) {
        std::unique_ptr<HistoryStore> store = HistoryStore::Open(db, false);
        store->Detectors();
        return store;
    }
}

}  // namespace

void SplitListen(const std::string& listen, std::string& host, int& port)
{
    const std::size_t colon = listen.rfind(':');
    const auto refuse = [&] {
        throw EvenorError("--listen " + listen + ": give ADDRESS:PORT, for example 127.0.0.1:8080 or [::1]:8080");
    };
    if (colon == std::string::npos || colon == 0 || colon + 1 >= listen.size()) refuse();
    host = listen.substr(0, colon);
    if (host.front() == '[') {
        if (host.back() != ']' || host.size() < 3) refuse();
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        refuse();
    }
    const std::string digits = listen.substr(colon + 1);
    if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) refuse();
    port = std::stoi(digits);
    if (port > 65535) refuse();
}

bool IsLoopback(const std::string& host)
{
    if (host == "localhost" || host == "::1") return true;
    // 127.x.y.z written as four decimal numbers.
    unsigned a = 0, b = 0, c = 0, d = 0;
    char rest = 0;
    return std::sscanf(host.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &rest) == 4 && a == 127 && b < 256 && c < 256 &&
           d < 256;
}

struct WebServer::State {
    WebOptions Options;
    std::string Host;
    int Port = 0;
    std::unique_ptr<HistoryStore> Store;
    std::mutex StoreMutex;  // one request at a time uses the store
    std::optional<WebUsers> Users;
    WebSessions Sessions;
    LoginThrottle Throttle;
    fs::path OutDir;
    std::unique_ptr<httplib::Server> Http;
    bool Tls = false;

    explicit State(const WebOptions& options)
        : Options(options), Throttle(std::chrono::milliseconds(options.LoginDelayMs),
                                     std::chrono::milliseconds(options.LoginDelayMs) * 16)
    {}

    PageFrame Frame(const httplib::Request& request)
    {
        PageFrame frame;
        frame.LoginInUse = Users.has_value();
        if (frame.LoginInUse) frame.User = Sessions.User(CookieValue(request, kCookie)).value_or("");
        return frame;
    }

    void Html(httplib::Response& response, std::string html, int status = 200)
    {
        response.status = status;
        response.set_content(std::move(html), "text/html; charset=utf-8");
    }

    // Runs a page under the store's lock, with its failures as pages.
    template <typename Make> void Serve(const httplib::Request& request, httplib::Response& response, Make make)
    {
        const PageFrame frame = Frame(request);
        try {
            std::string html;
            {
                const std::lock_guard lock(StoreMutex);
                html = make(frame);
            }
            Html(response, std::move(html));
        } catch (const WebPageNotFound& e) {
            Html(response, MessagePage("Not found", e.what(), frame), 404);
        } catch (const std::exception& e) {
            Html(response, MessagePage("The history cannot be read", e.what(), frame), 500);
        }
    }

    void Routes();
};

void WebServer::State::Routes()
{
    httplib::Server& http = *Http;
    httplib::Headers headers{
        {"Content-Security-Policy",
         "default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; frame-ancestors 'none'; "
         "base-uri 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
    };
    if (Tls) headers.emplace("Strict-Transport-Security", "max-age=31536000");
    http.set_default_headers(headers);
    http.set_read_timeout(Options.ReadTimeoutSeconds, 0);
    http.set_write_timeout(Options.ReadTimeoutSeconds * 2, 0);
    http.set_keep_alive_timeout(2);
    http.set_keep_alive_max_count(100);
    http.set_payload_max_length(Options.MaxRequestBytes);
    const std::size_t threads = Options.Threads, waiting = Options.MaxWaiting;
    http.new_task_queue = [threads, waiting] { return new BoundedPool(threads, waiting); };

    // Only reading methods, and the login and logout forms.
    http.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        const bool form = request.method == "POST" && (request.path == "/login" || request.path == "/logout");
        if (request.method != "GET" && request.method != "HEAD" && !form) {
            response.status = 405;
            response.set_header("Allow", "GET, HEAD");
            response.set_content("Method not allowed\n", "text/plain; charset=utf-8");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!Users || request.path == "/login" || request.path == "/style.css" || request.path == "/logout")
            return httplib::Server::HandlerResponse::Unhandled;
        if (Sessions.User(CookieValue(request, kCookie))) return httplib::Server::HandlerResponse::Unhandled;
        response.status = 303;
        response.set_header("Location", "/login");
        response.set_content("Log in first\n", "text/plain; charset=utf-8");
        return httplib::Server::HandlerResponse::Handled;
    });
    http.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        response.status = 500;
        response.set_content("Internal error\n", "text/plain; charset=utf-8");
    });

    http.Get("/style.css", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(Stylesheet(), "text/css; charset=utf-8");
    });
    http.Get("/login", [this](const httplib::Request&, httplib::Response& response) {
        if (!Users) {
            response.status = 303;
            response.set_header("Location", "/");
            return;
        }
        Html(response, LoginPage(""));
    });
    http.Post("/login", [this](const httplib::Request& request, httplib::Response& response) {
        if (!Users) {
            response.status = 303;
            response.set_header("Location", "/");
            return;
        }
        const std::string& address = request.remote_addr;
        if (const auto wait = Throttle.Remaining(address); wait.count() > 0) {
            const long seconds = static_cast<long>((wait.count() + 999) / 1000);
            response.set_header("Retry-After", std::to_string(seconds));
            Html(response, LoginPage("Too many failed logins: try again in " + std::to_string(seconds) + " s."), 429);
            return;
        }
        const std::string user = request.get_param_value("user");
        if (!Users->Check(user, request.get_param_value("password"))) {
            Throttle.Failed(address);
            Html(response, LoginPage("Wrong user name or password."), 401);
            return;
        }
        Throttle.Succeeded(address);
        const std::string token = Sessions.Start(user);
        response.set_header("Set-Cookie", std::string(kCookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict" +
                                              (Tls ? "; Secure" : ""));
        response.status = 303;
        response.set_header("Location", "/");
    });
    http.Post("/logout", [this](const httplib::Request& request, httplib::Response& response) {
        Sessions.End(CookieValue(request, kCookie));
        response.set_header("Set-Cookie", std::string(kCookie) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict" +
                                              (Tls ? "; Secure" : ""));
        response.status = 303;
        response.set_header("Location", Users ? "/login" : "/");
    });

    http.Get("/", [this](const httplib::Request& request, httplib::Response& response) {
        Serve(request, response, [&](const PageFrame& frame) {
            return OverviewPage(*Store, request.get_param_value("sort"), TodayText(), frame);
        });
    });
    http.Get("/detector", [this](const httplib::Request& request, httplib::Response& response) {
        Serve(request, response, [&](const PageFrame& frame) {
            const std::string key = request.get_param_value("key");
            if (key.empty()) throw WebPageNotFound("Name a detector");
            return DetectorPage(*Store, key, OutDir, frame);
        });
    });
    http.Get("/record", [this](const httplib::Request& request, httplib::Response& response) {
        Serve(request, response, [&](const PageFrame& frame) {
            const std::string id = request.get_param_value("id");
            if (id.empty() || id.size() > 18 || id.find_first_not_of("0123456789") != std::string::npos)
                throw WebPageNotFound("No such record");
            return RecordPage(*Store, request.get_param_value("key"), std::stoll(id), OutDir, frame);
        });
    });
    http.Get("/inbox", [this](const httplib::Request& request, httplib::Response& response) {
        Serve(request, response,
              [&](const PageFrame& frame) { return InboxPage(*Store, request.get_param_value("state"), frame); });
    });
    http.Get("/files/(.+)", [this](const httplib::Request& request, httplib::Response& response) {
        const std::optional<fs::path> file = FileUnder(OutDir, request.matches[1].str());
        if (!file) {
            Html(response, MessagePage("Not found", "No such file", Frame(request)), 404);
            return;
        }
        std::ifstream in(*file, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in && !in.eof()) {
            Html(response, MessagePage("Not found", "The file cannot be read", Frame(request)), 404);
            return;
        }
        response.set_header("Content-Disposition",
                            "attachment; filename=\"" + UrlEncode(file->filename().string()) + "\"");
        response.set_content(std::move(bytes), ContentType(*file).c_str());
    });
}

WebServer::WebServer(const WebOptions& options) : state_(std::make_unique<State>(options))
{
    State& s = *state_;
    SplitListen(options.Listen, s.Host, s.Port);
    if (options.UsersFile.empty() && !IsLoopback(s.Host))
        throw EvenorError("--listen " + options.Listen +
                          ": without --users the dashboard listens on the loopback only (127.0.0.1 or ::1)");
    if (options.CertFile.empty() != options.KeyFile.empty()) throw EvenorError("--cert and --key go together");
    if (!options.UsersFile.empty()) {
        s.Users = WebUsers::Load(options.UsersFile);
        if (s.Users->Empty())
            throw EvenorError("Users file " + options.UsersFile +
                              ": holds no user (add one with \"evenor-cli web user add NAME\")");
    }
    if (!options.OutDir.empty()) {
        std::error_code error;
        if (!fs::is_directory(options.OutDir, error))
            throw EvenorError("--out-dir " + options.OutDir + ": no such folder");
        s.OutDir = fs::canonical(options.OutDir, error);
    }
    s.Store = OpenReadOnly(options.Db);
    s.Store->Detectors();  // the first read: a database that is no history fails here
    if (!options.CertFile.empty()) {
        auto tls = std::make_unique<httplib::SSLServer>(options.CertFile.c_str(), options.KeyFile.c_str());
        if (!tls->is_valid())
            throw EvenorError("--cert " + options.CertFile + " / --key " + options.KeyFile +
                              ": cannot be used (not a readable certificate and matching key in PEM)");
        s.Http = std::move(tls);
        s.Tls = true;
    } else {
        s.Http = std::make_unique<httplib::Server>();
    }
    s.Routes();
}

WebServer::~WebServer() = default;

int WebServer::Bind()
{
    State& s = *state_;
    if (s.Port == 0) {
        const int port = s.Http->bind_to_any_port(s.Host);
        if (port <= 0) throw EvenorError("--listen " + s.Options.Listen + ": cannot listen there");
        s.Port = port;
    } else if (!s.Http->bind_to_port(s.Host, s.Port)) {
        throw EvenorError("--listen " + s.Options.Listen +
                          ": cannot listen there (in use, or not an address of this machine)");
    }
    return s.Port;
}

void WebServer::Serve() { state_->Http->listen_after_bind(); }

void WebServer::Stop() { state_->Http->stop(); }

int RunWeb(const WebOptions& options, std::ostream& err)
{
    // SIGTERM and SIGINT reach one thread that stops the server.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::unique_ptr<WebServer> server;
    int port = 0;
    try {
        server = std::make_unique<WebServer>(options);
        port = server->Bind();
    } catch (const std::exception& e) {
        err << e.what() << '\n';
        pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
        return 1;
    }
    std::string host;
    int ignored = 0;
    SplitListen(options.Listen, host, ignored);
    err << "Dashboard at " << (options.CertFile.empty() ? "http" : "https") << "://"
        << (host.find(':') != std::string::npos ? "[" + host + "]" : host) << ":" << port << "/"
        << (options.UsersFile.empty() ? " (no login: loopback only)" : "") << std::endl;
    std::atomic<bool> stopped{false}, served{false};
    std::thread waiter([&] {
        int signal = 0;
        sigwait(&signals, &signal);
        stopped = true;
        // A signal that comes before the server runs is not lost.
        while (!served) {
            server->Stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    server->Serve();
    served = true;
    if (!stopped) ::kill(::getpid(), SIGTERM);  // ends the waiter
    waiter.join();
    err << "Dashboard stopped" << std::endl;
    return 0;
}

}  // namespace evenor
