#include "dicom/DicomDictionary.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dicom/DicomText.h"

namespace evenor {

namespace {

// The lines of the dictionary text in use, sorted. Until a dictionary is
// loaded the built-in text is used, so a reader made before start-up (a test,
// a fuzz run) still describes its elements.
std::vector<std::string>& DictionaryLines()
{
    static std::vector<std::string> lines;
    return lines;
}

bool& DictionaryLoaded()
{
    static bool loaded = false;
    return loaded;
}

// Results of earlier lookups. The dictionary does not change between loads,
// so a remembered result is what the scan would find again; the memo only
// saves the scan over all lines for tags met many times. Bounded in size.
struct LookupResult {
    bool found;
    std::string vr;
    std::string description;
};

std::unordered_map<std::uint32_t, LookupResult>& LookupMemo()
{
    static std::unordered_map<std::uint32_t, LookupResult> memo;
    return memo;
}

constexpr std::size_t kMemoLimit = 4096;

// Guards the lines, the loaded flag and the memo: readers of several images
// at once (the command line's batch workers) look tags up concurrently, and
// a lookup writes the memo.
std::mutex& DictionaryMutex()
{
    static std::mutex mutex;
    return mutex;
}

LookupResult ScanLines(std::uint32_t tag)
{
    const std::string key = TagToHex(tag);
    for (const auto& line : DictionaryLines()) {
        if (line.find(key) == std::string::npos) continue;
        // Characters 10 and 11 are the VR, 12 to the end the name; a line too
        // short to hold them gives spaces for the missing VR characters and
        // an empty name.
        std::string vr = line.size() > 9 ? line.substr(9, 2) : std::string();
        vr.resize(2, ' ');
        return {true, std::move(vr), line.size() > 11 ? line.substr(11) : std::string()};
    }
    return {false, {}, {}};
}

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Case-insensitive order of whole lines: bytes compared as unsigned values
// after folding A-Z to a-z, a shorter line first when it is a prefix.
bool LessIgnoringCase(const std::string& a, const std::string& b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(FoldCase(x)) < static_cast<unsigned char>(FoldCase(y));
    });
}

std::vector<std::string> SplitLines(std::string_view text)
{
    const std::size_t nul = text.find('\0');
    if (nul != std::string_view::npos) text = text.substr(0, nul);

    std::vector<std::string> lines;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.emplace_back(text.substr(start, i - start));
            i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
            start = i;
        } else {
            ++i;
        }
    }
    // A break at the very end adds no line.
    if (start < text.size()) lines.emplace_back(text.substr(start));
    return lines;
}

// Reads "DicomLibrary.txt" from the working directory when it can be had
// exclusively. Linux has no sharing modes, so "exclusively" means: an
// advisory lock (flock LOCK_EX) is taken without waiting, and the file is
// not used when another open file holds a lock on it. Where the file system
// does not support such locks the file is used without one.
std::optional<std::string> ReadDictionaryFile()
{
    const int fd = ::open("DicomLibrary.txt", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;

    std::optional<std::string> content;
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    const bool locked = regular && ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (regular && !locked) {
        std::string text;
        char buffer[64 * 1024];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            if (n == 0) {
                content = std::move(text);
                break;
            }
            text.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);  // also releases the lock
    return content;
}

}  // namespace

namespace {
// Replaces the dictionary; the caller holds DictionaryMutex().
void LoadLinesLocked(std::string_view text)
{
    auto lines = SplitLines(text);
    std::stable_sort(lines.begin(), lines.end(), LessIgnoringCase);
    DictionaryLines() = std::move(lines);
    DictionaryLoaded() = true;
    LookupMemo().clear();
}

}  // namespace

void LoadDicomDictionaryFromText(std::string_view text)
{
    const std::lock_guard lock(DictionaryMutex());
    LoadLinesLocked(text);
}

void LoadDicomDictionary()
{
    const auto content = ReadDictionaryFile();
    LoadDicomDictionaryFromText(content ? std::string_view(*content) : BuiltInDictionary);
}

bool LookupTag(std::uint32_t tag, std::string& vr, std::string& description)
{
    const std::lock_guard lock(DictionaryMutex());
    if (!DictionaryLoaded()) LoadLinesLocked(BuiltInDictionary);
    auto& memo = LookupMemo();
    auto it = memo.find(tag);
    if (it == memo.end()) {
        if (memo.size() >= kMemoLimit) memo.clear();
        it = memo.emplace(tag, ScanLines(tag)).first;
    }
    const LookupResult& result = it->second;
    if (!result.found) {
        description.clear();
        return false;
    }
    vr = result.vr;
    description = result.description;
    return true;
}

}  // namespace evenor
