// "evenor-cli web" (the read-only dashboard, web/) and "evenor-cli web user
// add NAME" (a user of its users file).
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <string>

#include "base/EvenorError.h"
#include "cli/CliCommands.h"
#include "web/WebServer.h"
#include "web/WebUsers.h"

namespace evenor {

namespace {

struct WebCommandLine {
    CLI::App* Web = nullptr;
    CLI::App* User = nullptr;
    CLI::App* Add = nullptr;
    WebOptions Options;
    std::string UserName, UsersFile;
};

// One line of the standard input; on a terminal without echo, after prompt.
bool ReadSecret(const std::string& prompt, std::string& line, std::ostream& err)
{
    const bool terminal = isatty(STDIN_FILENO) == 1;
    termios saved{};
    if (terminal) {
        err << prompt << std::flush;
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool read = static_cast<bool>(std::getline(std::cin, line));
    if (terminal) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return read;
}

int AddUser(const WebCommandLine& line, std::ostream& out, std::ostream& err)
{
    std::string password, again;
    if (!ReadSecret("Password for " + line.UserName + ": ", password, err)) {
        err << "No password given\n";
        return kExitFailed;
    }
    if (isatty(STDIN_FILENO) == 1) {
        if (!ReadSecret("Again: ", again, err) || again != password) {
            err << "The passwords differ; nothing was changed\n";
            return kExitFailed;
        }
    }
    try {
        WebUsers::AddUser(line.UsersFile, line.UserName, password);
    } catch (const EvenorError& e) {
        err << e.what() << '\n';
        return kExitFailed;
    }
    out << "User " << line.UserName << " written to " << line.UsersFile << '\n';
    return kExitSuccess;
}

}  // namespace

std::function<bool(std::ostream&, std::ostream&, int&)> AddWebCommand(CLI::App& app)
{
    auto line = std::make_shared<WebCommandLine>();
    WebOptions& o = line->Options;
    line->Web = app.add_subcommand("web", "Serve the read-only dashboard of a history database over HTTP(S)");
    line->Web->add_option("--db", o.Db, "The history database: an SQLite file or a postgresql:// URI")->required();
    line->Web->add_option("--listen", o.Listen,
                          "ADDRESS:PORT to listen on (default 127.0.0.1:8080; [::1]:8080 for IPv6)");
    line->Web->add_option("--users", o.UsersFile,
                          "The users file (evenor-cli web user add); needed to listen beyond the loopback");
    auto* cert = line->Web->add_option("--cert", o.CertFile, "TLS certificate (PEM): serve HTTPS");
    auto* key = line->Web->add_option("--key", o.KeyFile, "The certificate's private key (PEM)");
    cert->needs(key);
    key->needs(cert);
    line->Web->add_option("--out-dir", o.OutDir, "The folder whose reports, JSON, PDFs and maps are offered");
    line->Web->footer(R"(
A read-only view of the history: the overview of every detector (overdue and
failing ones first), each detector's records against its baseline, each
record's summary and files, and the inbox. Nothing it serves changes the
database; an SQLite file is opened read-only. Without --users it listens on
the loopback only and asks for no login; with --users every page needs a
login (made with "evenor-cli web user add NAME --users FILE"). Files are
served from --out-dir only. SIGTERM or SIGINT stops it (exit status 0).)");

    line->User = line->Web->add_subcommand("user", "Manage the dashboard's users file");
    line->Add = line->User->add_subcommand("add", "Add a user or set a user's password (read from the terminal)");
    line->Add->add_option("NAME", line->UserName, "User name")->required();
    line->Add->add_option("--users", line->UsersFile, "The users file (made when missing, mode 0600)")->required();
    // "web user add" needs no database.
    line->Web->get_option("--db")->required(false);
    line->User->require_subcommand(1);

    return [line](std::ostream& out, std::ostream& err, int& status) {
        if (!*line->Web) return false;
        if (*line->Add) {
            status = AddUser(*line, out, err);
            return true;
        }
        if (line->Options.Db.empty()) {
            err << "--db is required\nRun with --help for more information.\n";
            status = kExitUsage;
            return true;
        }
        status = RunWeb(line->Options, err);
        return true;
    };
}

}  // namespace evenor
