#include "boot_start.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view boot_word = "reboot ";
constexpr std::string_view crash_word = "crash";
constexpr std::string_view running_words = "still running";
constexpr std::string_view end_dash = "- ";
constexpr std::array<std::string_view, 7> weekday_names = {"Sun", "Mon", "Tue", "Wed",
                                                           "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 12> month_names = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// "Www Mmm DD HH:MM": the offsets of each field from the start's first byte.
constexpr std::size_t name_length = 3;
constexpr std::size_t month_offset = 4;
constexpr std::size_t day_offset = 8;
constexpr std::size_t hour_offset = 11;
constexpr std::size_t colon_offset = 13;
constexpr std::size_t minute_offset = 14;
constexpr std::size_t start_length = 16;

constexpr int hours_per_day = 24;
constexpr int minutes_per_hour = 60;
constexpr EpochMinutes minutes_per_day = hours_per_day * minutes_per_hour;
constexpr int days_per_week = 7;
constexpr int thursday = 4;  // 1970-01-01
constexpr int max_month_day = 31;
constexpr int decimal_base = 10;
// A 29 February lies at most eight years before the next one (2096, 2104).
constexpr int max_years_between_leap_days = 8;
// Weekdays and dates repeat every 28 years within a century: looking back
// that far finds the latest year a start can have.
constexpr int weekday_cycle_years = 28;

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr int digit(char c) { return c - '0'; }
constexpr bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The words, then the end of the line, white space or a "(".
bool starts_with_word(std::string_view text, std::string_view words) {
    if (!text.starts_with(words)) {
        return false;
    }
    const std::string_view after = text.substr(words.size());
    return after.empty() || after.front() == '(' || is_blank(after.front()) ||
           after.front() == '\n';
}

int name_index(std::string_view text, const auto& names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (text == names[i]) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// The start whose ":" stands at colon, or false.
bool read_start_at(std::string_view line, std::size_t colon, BootStart& start) {
    if (colon < colon_offset + 1 || colon - colon_offset + start_length > line.size()) {
        return false;
    }
    const std::size_t first = colon - colon_offset;
    const char* const s = line.data() + first;
    if (!is_blank(s[-1]) || s[name_length] != ' ' || s[month_offset + name_length] != ' ' ||
        s[hour_offset - 1] != ' ' || !(s[day_offset] == ' ' || is_digit(s[day_offset])) ||
        !is_digit(s[day_offset + 1]) || !is_digit(s[hour_offset]) ||
        !is_digit(s[hour_offset + 1]) || !is_digit(s[minute_offset]) ||
        !is_digit(s[minute_offset + 1])) {
        return false;
    }
    const int weekday = name_index({s, name_length}, weekday_names);
    const int month = name_index({s + month_offset, name_length}, month_names);
    const int tens = s[day_offset] == ' ' ? 0 : digit(s[day_offset]);
    const int day = tens * decimal_base + digit(s[day_offset + 1]);
    const int hour = digit(s[hour_offset]) * decimal_base + digit(s[hour_offset + 1]);
    const int minute = digit(s[minute_offset]) * decimal_base + digit(s[minute_offset + 1]);
    if (weekday < 0 || month < 0 || day < 1 || day > max_month_day || hour >= hours_per_day ||
        minute >= minutes_per_hour) {
        return false;
    }
    start = {weekday, month + 1, day, hour * minutes_per_hour + minute, first + start_length};
    return true;
}

constexpr bool is_leap(std::int64_t year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

constexpr int days_in_month(std::int64_t year, int month) {
    constexpr std::array<int, 12> days = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : days[static_cast<std::size_t>(month - 1)];
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar
// (H. Hinnant's days_from_civil).
constexpr std::int64_t days_from_civil(std::int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t year_of_era = year - era * 400;
    const std::int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

constexpr int year_from_days(std::int64_t days) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t day_of_era = days - era * 146097;
    const std::int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::int64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t shifted_month = (5 * day_of_year + 2) / 153;
    return static_cast<int>(year_of_era + era * 400 + (shifted_month >= 10 ? 1 : 0));
}

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    return a / b - (a % b != 0 && (a < 0) != (b < 0) ? 1 : 0);
}

constexpr int weekday_of(std::int64_t days) {
    return static_cast<int>(days + thursday -
                            floor_div(days + thursday, days_per_week) * days_per_week);
}

static_assert(days_from_civil(1970, 1, 1) == 0);
static_assert(days_from_civil(2024, 2, 29) == 19782);
static_assert(weekday_of(days_from_civil(2025, 1, 11)) == 6);  // a Saturday
static_assert(year_from_days(days_from_civil(2024, 12, 31)) == 2024);

// The start in a given year, or false where that year has no such day.
bool start_in(int year, const BootStart& start, EpochMinutes& at, int& weekday) {
    if (start.day > days_in_month(year, start.month)) {
        return false;
    }
    const std::int64_t days = days_from_civil(year, start.month, start.day);
    at = days * minutes_per_day + start.minute_of_day;
    weekday = weekday_of(days);
    return true;
}

}  // namespace

bool read_boot_start(std::string_view line, BootStart& start) {
    if (!line.starts_with(boot_word)) {
        return false;
    }
    std::size_t colon = boot_word.size();
    while ((colon = line.find(':', colon)) != std::string_view::npos) {
        if (read_start_at(line, colon, start)) {
            return true;
        }
        ++colon;
    }
    return false;
}

BootEnd read_boot_end(std::string_view line, const BootStart& start) {
    std::string_view rest = line.substr(start.end);
    while (!rest.empty() && is_blank(rest.front())) {
        rest.remove_prefix(1);
    }
    if (rest.starts_with(end_dash)) {
        rest.remove_prefix(end_dash.size());
    }
    if (starts_with_word(rest, crash_word)) {
        return BootEnd::Crashed;
    }
    if (starts_with_word(rest, running_words)) {
        return BootEnd::StillRunning;
    }
    return BootEnd::Written;
}

PlacedStart place_below(const BootStart& start, const PlacedStart& above) {
    for (int year = above.year; year >= above.year - max_years_between_leap_days; --year) {
        EpochMinutes at = 0;
        int weekday = 0;
        if (start_in(year, start, at, weekday) && at <= above.at) {
            if (weekday != start.weekday) {
                return {};
            }
            return {true, at, year};
        }
    }
    return {};
}

PlacedStart place_before(const BootStart& start, EpochMinutes now) {
    const int this_year = year_from_days(floor_div(now, minutes_per_day));
    for (int year = this_year; year >= this_year - weekday_cycle_years; --year) {
        EpochMinutes at = 0;
        int weekday = 0;
        if (start_in(year, start, at, weekday) && at <= now && weekday == start.weekday) {
            return {true, at, year};
        }
    }
    return {};
}
