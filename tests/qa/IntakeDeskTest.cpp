// The intake desk without a receiver: contents taken once across threads,
// a fresh image that fails tried again before it is refused.
#include "qa/Intake.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "history/HistoryStore.h"
#include "qa/IntakeRules.h"
#include "tests/cli/CliTestSupport.h"

namespace evenor::test {
namespace {

using namespace std::chrono_literals;

TEST(IntakeDesk, TheSameContentTakenTwiceAtOnceGivesOneResult)
{
    // Two receivers hand over the same image at the same moment (a sender
    // repeating a transfer; a restart taking what it finds while the image
    // arrives again): one analysis, one record, the other call finds it seen.
    const TempFolder folder;
    const IntakeRules rules =
        ParseIntakeRules(R"({"rules": [{"match": {"modality": "DX"}, "settings": {"record": true}}]})");
    ASSERT_TRUE(rules.Problems.empty());
    const std::string db = (folder / "history.sqlite").string();
    IntakeDesk desk(IntakeOptions{&rules, db, (folder / "out").string()});
    constexpr int kImages = 4;
    for (int i = 0; i < kImages; ++i) {
        const std::string bytes = DicomFileBytes(NoisyFlatImage(256, static_cast<std::uint16_t>(1000 + i)));
        WriteWholeFile(folder / ("a" + std::to_string(i) + ".dcm"), bytes);
        WriteWholeFile(folder / ("b" + std::to_string(i) + ".dcm"), bytes);
    }
    std::atomic<int> seen{0}, ready{0};
    const auto receiver = [&](const char* prefix) {
        ++ready;
        while (ready.load() < 2) {}
        for (int i = 0; i < kImages; ++i) {
            bool seenBefore = false;
            desk.Take(folder / (prefix + std::to_string(i) + ".dcm"), "test", IntakeDesk::Retry::Never, seenBefore,
                      [](const std::string&) {});
            seen += seenBefore;
        }
    };
    std::thread first(receiver, "a"), second(receiver, "b");
    first.join();
    second.join();
    EXPECT_EQ(seen.load(), kImages);
    const auto store = HistoryStore::Open(db, false);
    EXPECT_EQ(store->Intake().size(), static_cast<std::size_t>(kImages));
    EXPECT_EQ(store->Records().size(), static_cast<std::size_t>(kImages));
}

// An image that fails while it was just written is left for a later try
// (it may still be being copied): each later try must be able to take it
// again, and once it has settled it is refused and listed.
TEST(IntakeDesk, AFreshImageThatFailsIsTriedAgainAndThenRefused)
{
    const TempFolder folder;
    const IntakeRules rules =
        ParseIntakeRules(R"({"rules": [{"match": {"modality": "DX"}, "settings": {"area": [0, 0, 9000, 9000]}}]})");
    ASSERT_TRUE(rules.Problems.empty());
    const std::string db = (folder / "history.sqlite").string();
    IntakeDesk desk(IntakeOptions{&rules, db, (folder / "out").string()});
    const auto image = folder / "fresh.dcm";
    WriteDicomFile(image, NoisyFlatImage(40));
    for (int attempt = 0; attempt < 3; ++attempt) {
        bool seenBefore = true;
        auto taken = std::async(std::launch::async, [&] {
            return desk.Take(image, "test", IntakeDesk::Retry::WhileRecent, seenBefore, [](const std::string&) {});
        });
        ASSERT_EQ(taken.wait_for(20s), std::future_status::ready) << "try " << attempt << " hangs";
        const IntakeEntry entry = taken.get();
        EXPECT_FALSE(seenBefore);
        EXPECT_EQ(entry.State, IntakeWaiting);
        EXPECT_EQ(entry.Id, 0);  // nothing kept
    }
    std::filesystem::last_write_time(image, std::filesystem::file_time_type::clock::now() - 5min);
    bool seenBefore = true;
    const IntakeEntry entry =
        desk.Take(image, "test", IntakeDesk::Retry::WhileRecent, seenBefore, [](const std::string&) {});
    EXPECT_EQ(entry.State, IntakeRefused);
    EXPECT_EQ(HistoryStore::Open(db, false)->Intake().size(), 1u);
}

}  // namespace
}  // namespace evenor::test
