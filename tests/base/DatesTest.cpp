#include "base/Dates.h"

#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace evenor::test {
namespace {

// The times the history stores, read back as the trend charts place them
// (days) and as the inbox ages them (seconds); a text that is no such time
// is neither.
TEST(DatesTest, StoredTimesReadAsDaysAndSeconds)
{
    struct Case {
        const char* text;
        std::optional<double> day;
        std::optional<std::int64_t> seconds;
    };
    const Case cases[] = {
        {"1970-01-01 00:00:00", 0.0, 0},
        {"2026-01-05 08:15:00", 20458.0 + (8 * 3600.0 + 15 * 60.0) / 86400.0, 1767600900},
        {"2024-02-29 23:59:59", 19782.0 + 86399.0 / 86400.0, 1709251199},
        // No 30 February on a chart; the inbox counts on, as the C library does.
        {"2026-02-30 00:00:00", std::nullopt, 1772409600},
        {"2026-01-05", std::nullopt, std::nullopt},
        {"2026-01-05 08:15:00Z", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(DayOf(c.text), c.day);
        EXPECT_EQ(UtcSeconds(c.text), c.seconds);
        if (c.seconds && c.day) EXPECT_EQ(UtcTimeText(*c.seconds), c.text);
        if (c.day) EXPECT_EQ(DateTextOfDay(*c.day), std::string(c.text).substr(0, 10));
    }
}

// A date given on the command line: either form, a day of the calendar only.
TEST(DatesTest, CalendarDatesInEitherFormOnly)
{
    const std::pair<const char*, const char*> cases[] = {
        {"2026-03-01", "2026-03-01"}, {"20260301", "2026-03-01"}, {"2024-02-29", "2024-02-29"},
        {"2026-02-29", ""},           {"2026-13-01", ""},         {"2026-3-1", ""},
        {"2026/03/01", ""},           {"202603010", ""},          {"", ""},
    };
    for (const auto& [text, date] : cases) EXPECT_EQ(CalendarDate(text), date) << text;
}

// SOURCE_DATE_EPOCH fixes the reports' now; a value that is no number of
// seconds leaves the clock's.
TEST(DatesTest, SourceDateEpochFixesTheReportsTime)
{
    const char* saved = std::getenv("SOURCE_DATE_EPOCH");
    const std::optional<std::string> restore = saved ? std::optional<std::string>(saved) : std::nullopt;
    setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    EXPECT_EQ(AnalysisTimeNow(), "2023-11-14 22:13:20");
    EXPECT_EQ(ReportToday(), "2023-11-14");
    for (const char* bad : {"", "-5", "17e8", "1700000000 "}) {
        setenv("SOURCE_DATE_EPOCH", bad, 1);
        EXPECT_EQ(SourceDateEpoch(), std::nullopt) << bad;
        EXPECT_EQ(ReportToday(), TodayText()) << bad;
    }
    if (restore)
        setenv("SOURCE_DATE_EPOCH", restore->c_str(), 1);
    else
        unsetenv("SOURCE_DATE_EPOCH");
}

}  // namespace
}  // namespace evenor::test
