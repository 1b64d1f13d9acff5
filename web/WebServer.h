#pragma once
// "evenor-cli web": the read-only dashboard over the history, served over
// HTTP, or HTTPS with a certificate and key.
//
// Safety: no route writes (the SQLite file is opened read-only); with a users
// file every page but the login page needs a session; without one the server
// listens on the loopback only. Requests have a read time limit, a size
// limit, and the connections served and waiting are bounded, so that slow or
// many clients cannot hold it. Files are served from the output folder only.
#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>

namespace evenor {

struct WebOptions {
    std::string Db;
    std::string Listen = "127.0.0.1:8080";  // ADDRESS:PORT, [IPv6]:PORT; port 0: any free one
    std::string UsersFile;                  // empty: no login (loopback only)
    std::string CertFile, KeyFile;          // both or neither: HTTPS
    std::string OutDir;                     // reports, JSON, PDFs and maps offered for download
    int ReadTimeoutSeconds = 5;             // per read of a request
    std::size_t MaxRequestBytes = 16 * 1024;
    std::size_t Threads = 16;     // requests served at a time
    std::size_t MaxWaiting = 64;  // connections accepted and waiting; more wait in the kernel
    int LoginDelayMs = 1000;      // after the first failed login of an address; doubling
};

// Splits "ADDRESS:PORT" ("[::1]:8080" for IPv6); throws EvenorError when it is
// not one.
void SplitListen(const std::string& listen, std::string& host, int& port);
// True for 127.0.0.0/8, ::1 and "localhost".
bool IsLoopback(const std::string& host);

class WebServer {
public:
    // Checks the options, opens the database and reads the users; throws
    // EvenorError with the message to show.
    explicit WebServer(const WebOptions& options);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds the address; returns the port. Throws EvenorError when it cannot.
    int Bind();
    // Serves until Stop (from another thread or a signal handler's thread).
    void Serve();
    void Stop();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Runs the server until SIGTERM or SIGINT; prints where it listens on err.
// 0 after a signal, 1 when it cannot start.
int RunWeb(const WebOptions& options, std::ostream& err);

}  // namespace evenor
