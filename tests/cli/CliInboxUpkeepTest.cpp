// Looking after an unattended inbox through the command line: refused and
// unmatched images taken again after a rule was fixed ("inbox retry"), the
// summary and its exit status for monitoring ("inbox --summary"), and the
// removal of recorded images from the store ("store prune").
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include "cli/InboxUpkeep.h"
#include "history/Sha256.h"
#include "qa/Intake.h"
#include "tests/cli/CliTestSupport.h"

namespace evenor::test {
namespace {

const IntakeLog kQuiet = [](const std::string&) {};

// An inbox made by the intake desk itself: each image of the fixture taken
// with the rules given, so that its entry is what serve or watch leaves.
class Inbox {
public:
    Inbox() { std::filesystem::create_directories(store); }

    // Writes bytes as NAME in the store and takes it with rules.
    IntakeEntry Take(const std::string& name, const std::string& bytes, const std::string& rules)
    {
        WriteWholeFile(store / name, bytes);
        const IntakeRules parsed = ParseIntakeRules(rules);
        EXPECT_TRUE(parsed.Problems.empty()) << rules;
        IntakeDesk desk(IntakeOptions{&parsed, db, out.string()});
        bool seenBefore = false;
        return desk.Take(store / name, "test", IntakeDesk::Retry::Never, seenBefore, kQuiet);
    }

    // Writes bytes as NAME and registers it as waiting (a run died with it).
    IntakeEntry Claim(const std::string& name, const std::string& bytes)
    {
        WriteWholeFile(store / name, bytes);
        const IntakeRules none = ParseIntakeRules(R"({"rules": []})");
        IntakeDesk desk(IntakeOptions{&none, db, out.string()});
        bool isNew = false;
        return desk.Claim((store / name).string(), Sha256OfFile((store / name).string()), "test", isNew);
    }

    // Moves the times of an entry back by minutes (it arrived or was
    // analysed that long ago).
    void Age(std::int64_t id, std::int64_t minutes)
    {
        const auto history = HistoryStore::Open(db);
        const SqlValue params[] = {minutes * 60, minutes * 60, id};
        history->Session().Run(
            "UPDATE intake SET first_seen = first_seen - ?, updated_at = updated_at - ? WHERE id = ?", params);
    }

    std::map<std::string, IntakeEntry> ByName()
    {
        std::map<std::string, IntakeEntry> entries;
        for (auto& entry : HistoryStore::Open(db)->Intake())
            entries[std::filesystem::path(entry.Path).filename().string()] = entry;
        return entries;
    }

    std::size_t Records()
    {
        return nlohmann::json::parse(RunInProcess({"history", "--db", db, "--json"}).out)["records"].size();
    }

    TempFolder folder;
    std::filesystem::path store = folder / "store", out = folder / "out";
    std::string db = (folder / "history.sqlite").string();
};

std::string DxImage(std::uint16_t base = 1000) { return DicomFileBytes(NoisyFlatImage(40, base)); }

std::string CtImage()
{
    std::string bytes = DxImage(1200);
    bytes.replace(bytes.find("DX"), 2, "CT");
    return bytes;
}

// Refuses every DX image (the area lies outside it) and matches no CT image.
constexpr const char* kBrokenRules =
    R"({"rules": [{"match": {"modality": "DX"}, "settings": {"area": [0, 0, 9000, 9000], "record": true}}]})";
// The same rule mended, and a rule for CT images added.
constexpr const char* kFixedRules = R"({"rules": [
    {"match": {"modality": "DX"}, "settings": {"record": true}},
    {"match": {"modality": "CT"}, "settings": {"record": true}}]})";

TEST(CliInboxRetry, TakesRefusedAndUnmatchedImagesAgainWithTheRulesInForce)
{
    struct Case {
        const char* name;
        std::vector<std::string> selection;  // "dx", "ct", "notes", "flat": their entry IDs
        int status;
        std::map<std::string, std::string> states;  // by file name, afterwards
        std::size_t records;                        // besides flat.dcm's
        std::string err;                            // a part of standard error
    };
    const Case cases[] = {
        {"one refused image by ID",
         {"dx"},
         0,
         {{"dx.dcm", "analysed"}, {"ct.dcm", "unmatched"}, {"notes.txt", "refused"}},
         1,
         "taken again"},
        {"the unmatched images",
         {"--state", "unmatched"},
         0,
         {{"dx.dcm", "refused"}, {"ct.dcm", "analysed"}, {"notes.txt", "refused"}},
         1,
         ""},
        {"the refused images: one is no image and stays refused",
         {"--state", "refused"},
         1,
         {{"dx.dcm", "analysed"}, {"ct.dcm", "unmatched"}, {"notes.txt", "refused"}},
         1,
         "notes.txt: refused"},
        {"the refused images of another detector: none",
         {"--state", "refused", "--detector", "NO-SUCH"},
         0,
         {{"dx.dcm", "refused"}, {"ct.dcm", "unmatched"}, {"notes.txt", "refused"}},
         0,
         ""},
        {"an analysed image keeps its record",
         {"flat"},
         1,
         {{"dx.dcm", "refused"}, {"flat.dcm", "analysed"}},
         0,
         "only refused and unmatched images"},
        {"an unknown entry", {"999"}, 1, {{"dx.dcm", "refused"}}, 0, "entry 999: no such entry"},
        {"a file that now holds another image", {"changed"}, 1, {{"changed.dcm", "refused"}}, 0, "holds other content"},
        {"a file that is gone", {"gone"}, 1, {{"gone.dcm", "refused"}}, 0, "cannot be read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Inbox inbox;
        std::map<std::string, std::int64_t> ids;
        ids["dx"] = inbox.Take("dx.dcm", DxImage(), kBrokenRules).Id;
        ids["ct"] = inbox.Take("ct.dcm", CtImage(), kBrokenRules).Id;
        ids["notes"] = inbox.Take("notes.txt", "not an image", kBrokenRules).Id;
        ids["flat"] = inbox.Take("flat.dcm", DxImage(1500), kFixedRules).Id;
        ids["changed"] = inbox.Take("changed.dcm", DxImage(1600), kBrokenRules).Id;
        WriteWholeFile(inbox.store / "changed.dcm", DxImage(1700));
        ids["gone"] = inbox.Take("gone.dcm", DxImage(1800), kBrokenRules).Id;
        std::filesystem::remove(inbox.store / "gone.dcm");
        ASSERT_EQ(inbox.ByName()["dx.dcm"].State, IntakeRefused);
        ASSERT_EQ(inbox.ByName()["ct.dcm"].State, IntakeUnmatched);
        const auto rules = inbox.folder / "rules.json";
        WriteWholeFile(rules, kFixedRules);

        std::vector<std::string> args{"inbox",   "retry",        "--db",      inbox.db,
                                      "--rules", rules.string(), "--out-dir", inbox.out.string()};
        for (const auto& word : c.selection) args.push_back(ids.count(word) ? std::to_string(ids[word]) : word);
        const CliResult retry = RunInProcess(args);
        EXPECT_EQ(retry.status, c.status) << retry.out << retry.err;
        EXPECT_NE(retry.err.find(c.err), std::string::npos) << retry.err;
        const auto entries = inbox.ByName();
        for (const auto& [name, state] : c.states) {
            ASSERT_TRUE(entries.count(name)) << name;
            EXPECT_EQ(entries.at(name).State, state) << name;
            if (state == IntakeAnalysed) {
                EXPECT_TRUE(entries.at(name).RecordId) << name;
                EXPECT_TRUE(std::filesystem::exists(inbox.out / (name.substr(0, name.find('.')) + "-" +
                                                                 entries.at(name).Sha256.substr(0, 12) + ".txt")));
            }
        }
        EXPECT_EQ(inbox.Records(), c.records + 1);
        EXPECT_EQ(entries.size(), 6u);  // no new entry: the same content, the same entry
    }
}

TEST(CliInboxSummary, CountsStatesAndFailsAndSaysWhenAnImageWaitedTooLong)
{
    Inbox inbox;
    constexpr const char* kRules = R"({"rules": [{"match": {"modality": "DX"}, "settings": {"record": true}}]})";
    inbox.Take("pass.dcm", DicomFileBytes(NoisyFlatImage(60)), kRules);
    const auto firstFail = inbox.Take("fail1.dcm", DicomFileBytes(BlotchedImage(60)), kRules).Id;
    TestImage other = BlotchedImage(60);
    other.Pixels[0] += 1;
    const auto secondFail = inbox.Take("fail2.dcm", DicomFileBytes(other), kRules).Id;
    inbox.Age(firstFail, 5);  // the older fail
    inbox.Take("ct.dcm", CtImage(), kRules);
    inbox.Take("notes.txt", "not an image", kRules);

    const auto summary = [&](std::vector<std::string> more) {
        std::vector<std::string> args{"inbox", "--summary", "--db", inbox.db};
        args.insert(args.end(), more.begin(), more.end());
        return RunInProcess(args);
    };
    {
        const CliResult json = summary({"--json", "--max-wait", "1"});
        ASSERT_EQ(json.status, 0) << json.err;
        const auto result = nlohmann::json::parse(json.out);
        EXPECT_EQ(result["total"], 5);
        EXPECT_EQ(result["states"],
                  nlohmann::json::parse(R"({"waiting": 0, "analysed": 3, "unmatched": 1, "refused": 1})"));
        EXPECT_TRUE(result["oldest_waiting"].is_null());
        ASSERT_EQ(result["last_fails"].size(), 2u);
        EXPECT_EQ(result["last_fails"][0]["id"], secondFail);  // newest first
        EXPECT_EQ(result["last_fails"][1]["id"], firstFail);
        EXPECT_FALSE(result["waited_too_long"]);
    }

    // A node that died with an image in hand: it waits from then on.
    const auto waiting = inbox.Claim("stuck.dcm", DxImage(1900)).Id;
    inbox.Age(waiting, 90);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    };
    const Case cases[] = {
        {{}, 0, "Inbox: 6 images: 3 analysed, 1 unmatched, 1 refused, 1 waiting\nOldest waiting: entry ", ""},
        {{"--max-wait", "120"}, 0, "(90 min)", ""},
        {{"--max-wait", "60"},
         kExitWaitedTooLong,
         "Last fail verdicts:",
         "has waited 90 min, longer than --max-wait 60 min: "},
        {{"--max-wait", "60", "--json"}, kExitWaitedTooLong, "\"waited_too_long\": true", "stuck.dcm"},
        {{"--max-wait", "-1"}, kExitUsage, "", ""},
        {{"--max-wait", "60", "--detector", "NO-SUCH"}, 0, "Inbox: 0 images", ""},
    };
    for (const auto& c : cases) {
        const CliResult result = summary(c.args);
        SCOPED_TRACE(::testing::PrintToString(c.args) + "\n" + result.out + result.err);
        EXPECT_EQ(result.status, c.status);
        EXPECT_NE(result.out.find(c.out), std::string::npos);
        EXPECT_NE(result.err.find(c.err), std::string::npos);
    }
}

TEST(CliStorePrune, RemovesOnlyImagesAnalysedAndRecordedLongEnoughAgo)
{
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> removed;  // of the files below
        std::string out;
    };
    const Case cases[] = {
        {{"--older-than", "30", "--dry-run"}, {}, "would remove "},
        {{"--older-than", "30"}, {"old.dcm"}, "Removed 1 image ("},
        {{"--older-than", "0"}, {"old.dcm", "new.dcm"}, "Removed 2 images ("},
        {{"--older-than", "365"}, {}, "Removed 0 images ("},
    };
    const std::vector<std::string> files{"old.dcm",       "new.dcm",     "unrecorded.dcm", "refused.dcm",
                                         "unmatched.dcm", "waiting.dcm", "reused.dcm",     "unknown.dcm"};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        Inbox inbox;
        constexpr const char* kRecord = R"({"rules": [{"match": {"modality": "DX"}, "settings": {"record": true}}]})";
        inbox.Age(inbox.Take("old.dcm", DxImage(1000), kRecord).Id, 40 * 24 * 60);
        inbox.Take("new.dcm", DxImage(1100), kRecord);
        inbox.Age(inbox.Take("unrecorded.dcm", DxImage(1200), R"({"rules": [{"settings": {}}]})").Id, 40 * 24 * 60);
        inbox.Age(inbox.Take("refused.dcm", DxImage(1300), kBrokenRules).Id, 40 * 24 * 60);
        inbox.Age(inbox.Take("unmatched.dcm", CtImage(), kRecord).Id, 40 * 24 * 60);
        inbox.Age(inbox.Claim("waiting.dcm", DxImage(1400)).Id, 40 * 24 * 60);
        // Recorded, then removed by hand, and the name taken by another image
        // that waits.
        inbox.Age(inbox.Take("reused.dcm", DxImage(1500), kRecord).Id, 40 * 24 * 60);
        inbox.Claim("reused.dcm", DxImage(1600));
        WriteWholeFile(inbox.store / "unknown.dcm", DxImage(1700));
        // An image analysed and recorded outside the store (a watched folder).
        const auto outside = inbox.folder / "watched";
        std::filesystem::create_directories(outside);
        WriteWholeFile(outside / "elsewhere.dcm", DxImage(1800));
        const IntakeRules rules = ParseIntakeRules(kRecord);
        bool seenBefore = false;
        inbox.Age(IntakeDesk(IntakeOptions{&rules, inbox.db, inbox.out.string()})
                      .Take(outside / "elsewhere.dcm", "watch", IntakeDesk::Retry::Never, seenBefore, kQuiet)
                      .Id,
                  40 * 24 * 60);

        std::vector<std::string> args{"store", "prune", "--store", inbox.store.string(), "--db", inbox.db};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CliResult prune = RunInProcess(args);
        EXPECT_EQ(prune.status, 0) << prune.err;
        EXPECT_NE(prune.out.find(c.out), std::string::npos) << prune.out;
        for (const auto& file : files) {
            const bool removed = std::find(c.removed.begin(), c.removed.end(), file) != c.removed.end();
            EXPECT_EQ(std::filesystem::exists(inbox.store / file), !removed) << file << "\n" << prune.out;
        }
        EXPECT_TRUE(std::filesystem::exists(outside / "elsewhere.dcm"));
        EXPECT_EQ(HistoryStore::Open(inbox.db)->Intake().size(), 9u);  // the inbox still lists every image
    }
}

}  // namespace
}  // namespace evenor::test
