#pragma once
// The dashboard's pages as HTML text, made from the history alone (no HTTP
// here). Every text that comes from an image's tags or from a person is
// escaped. The pages need no JavaScript and fit a phone's width.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "history/HistoryStore.h"

namespace evenor {

class WebPageNotFound : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// &, <, >, " and ' as character references.
std::string HtmlEscape(std::string_view text);
// For a query parameter's value: everything but letters, digits and -._~ as %XX.
std::string UrlEncode(std::string_view text);

struct PageFrame {
    std::string User;  // shown with a logout button; empty: no login in use
    bool LoginInUse = false;
};

// The overview. sort: "name", "station", "tested", "verdict" or empty
// (overdue, then failing, then warning first; then by name). today:
// "YYYY-MM-DD".
std::string OverviewPage(HistoryStore& store, const std::string& sort, const std::string& today,
                         const PageFrame& frame);
// Throws WebPageNotFound when no detector has that key or name.
std::string DetectorPage(HistoryStore& store, const std::string& detector, const std::filesystem::path& outDir,
                         const PageFrame& frame);
std::string RecordPage(HistoryStore& store, const std::string& detector, std::int64_t id,
                       const std::filesystem::path& outDir, const PageFrame& frame);
// state: one of the intake states, or empty for all.
std::string InboxPage(HistoryStore& store, const std::string& state, const PageFrame& frame);
std::string LoginPage(const std::string& message);
std::string MessagePage(const std::string& title, const std::string& message, const PageFrame& frame);
const std::string& Stylesheet();

// The files of the output folder written for a record (NAME-SHA12 and its
// suffixes: report, JSON, PDF, maps), by name; none without a folder.
std::vector<std::string> RecordFiles(const std::filesystem::path& outDir, const QaRecord& record);

// The file under root that a request names, or none when it would leave root
// (a ".." or empty segment, a hidden name, a link leading out) or is not a
// regular file. relative is the already decoded path.
std::optional<std::filesystem::path> FileUnder(const std::filesystem::path& root, std::string_view relative);

}  // namespace evenor
