#pragma once
// Times as the reports, the history and the logs write them.
#include <chrono>
#include <cstdint>
#include <cstdio>
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

}  // namespace evenor
