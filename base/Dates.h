#pragma once
// Dates and times as the reports, the history and the logs write and read
// them: UTC unless a name says otherwise, "YYYY-MM-DD HH:MM:SS".
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace evenor {

// "YYYY-MM-DD HH:MM:SS" of seconds since 1970, in UTC.
inline std::string UtcTimeText(std::int64_t seconds)
{
    using namespace std::chrono;
    const sys_seconds time{std::chrono::seconds(seconds)};
    const sys_days day = floor<days>(time);
    const year_month_day date{day};
    const hh_mm_ss clock{time - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text;
}

// "YYYY-MM-DD" of a day counted from 1970-01-01 (its fraction, the time of
// day, left out).
inline std::string DateTextOfDay(double day)
{
    using namespace std::chrono;
    const year_month_day date{sys_days{days{static_cast<std::int64_t>(std::floor(day))}}};
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return text;
}

// Today's date on the computer's clock and in its time zone, "YYYY-MM-DD".
inline std::string TodayText()
{
    const std::time_t t = std::time(nullptr);
    std::tm parts{};
    localtime_r(&t, &parts);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &parts);
    return text;
}

// SOURCE_DATE_EPOCH, when it is a number of seconds since 1970 (UTC): the
// time the reports take as now instead of the clock's, so that two runs on
// the same content give the same bytes. None when unset or not such a number.
inline std::optional<std::int64_t> SourceDateEpoch()
{
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch == nullptr || *epoch == '\0') return std::nullopt;
    char* end = nullptr;
    const long long seconds = std::strtoll(epoch, &end, 10);
    if (*end != '\0' || seconds < 0) return std::nullopt;
    return seconds;
}

// The time a report gives an analysis made now: SOURCE_DATE_EPOCH when set,
// else the clock's; UtcTimeText's form.
inline std::string AnalysisTimeNow()
{
    const std::optional<std::int64_t> epoch = SourceDateEpoch();
    return UtcTimeText(
        epoch ? *epoch
              : std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                    .count());
}

// The day a report is made: SOURCE_DATE_EPOCH's (UTC) when it is set, else
// today (TodayText); "YYYY-MM-DD".
inline std::string ReportToday()
{
    const std::optional<std::int64_t> epoch = SourceDateEpoch();
    if (!epoch) return TodayText();
    return DateTextOfDay(static_cast<double>(
        std::chrono::floor<std::chrono::days>(std::chrono::sys_seconds(std::chrono::seconds(*epoch)))
            .time_since_epoch()
            .count()));
}

// The parts of "YYYY-MM-DD HH:MM:SS" (UtcTimeText's form, nothing after it);
// none when the text is not such a time.
struct TimeParts {
    int Year = 0;
    unsigned Month = 0, Day = 0;
    int Hour = 0, Minute = 0, Second = 0;
};
inline std::optional<TimeParts> ReadTimeText(const std::string& text)
{
    TimeParts t;
    char end = 0;
    if (std::sscanf(text.c_str(), "%4d-%2u-%2u %2d:%2d:%2d%c", &t.Year, &t.Month, &t.Day, &t.Hour, &t.Minute, &t.Second,
                    &end) != 6)
        return std::nullopt;
    return t;
}

// Seconds since 1970 of "YYYY-MM-DD HH:MM:SS" in UTC; none when it is not
// such a text. A day or time beyond its range counts on (the 32nd of
// January is the 1st of February).
inline std::optional<std::int64_t> UtcSeconds(const std::string& text)
{
    const std::optional<TimeParts> t = ReadTimeText(text);
    if (!t) return std::nullopt;
    std::tm parts{};
    parts.tm_year = t->Year - 1900;
    parts.tm_mon = static_cast<int>(t->Month) - 1;
    parts.tm_mday = static_cast<int>(t->Day);
    parts.tm_hour = t->Hour;
    parts.tm_min = t->Minute;
    parts.tm_sec = t->Second;
    return static_cast<std::int64_t>(timegm(&parts));
}

// Days since 1970-01-01 of "YYYY-MM-DD HH:MM:SS", the time of day as the
// fraction; none when it is not such a text or not a day of the calendar.
inline std::optional<double> DayOf(const std::string& text)
{
    const std::optional<TimeParts> t = ReadTimeText(text);
    if (!t) return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year(t->Year), std::chrono::month(t->Month),
                                           std::chrono::day(t->Day)};
    if (!date.ok()) return std::nullopt;
    const double days = std::chrono::sys_days(date).time_since_epoch().count();
    return days + (t->Hour * 3600.0 + t->Minute * 60.0 + t->Second) / 86400.0;
}

// "YYYY-MM-DD" from "YYYY-MM-DD" or "YYYYMMDD" naming a day of the calendar
// (no month 13, no 30 February); empty otherwise.
inline std::string CalendarDate(const std::string& text)
{
    const auto digits = [](const std::string& s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
    };
    std::string date;
    if (text.size() == 8 && digits(text)) date = text.substr(0, 4) + "-" + text.substr(4, 2) + "-" + text.substr(6, 2);
    if (text.size() == 10 && text[4] == '-' && text[7] == '-' && digits(text.substr(0, 4)) &&
        digits(text.substr(5, 2)) && digits(text.substr(8, 2)))
        date = text;
    if (date.empty()) return {};
    const std::chrono::year_month_day day{std::chrono::year{std::stoi(date.substr(0, 4))},
                                          std::chrono::month{static_cast<unsigned>(std::stoi(date.substr(5, 2)))},
                                          std::chrono::day{static_cast<unsigned>(std::stoi(date.substr(8, 2)))}};
    return day.ok() ? date : std::string();
}

}  // namespace evenor
