#include "boot_start.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

constexpr std::string_view boot_word = "reboot ";
constexpr std::string_view crash_word = "crash";
constexpr std::string_view running_words = "still running";
constexpr std::string_view end_dash = "- ";
constexpr unsigned bits_per_byte = 8;

// Three letters as one number, so that a name is found by comparing numbers.
constexpr std::uint32_t name_key(const char* name) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(name[0])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(name[1])) << bits_per_byte |
           static_cast<std::uint32_t>(static_cast<unsigned char>(name[2])) << (2 * bits_per_byte);
}

constexpr std::array<std::uint32_t, 7> weekday_keys = {
    name_key("Sun"), name_key("Mon"), name_key("Tue"), name_key("Wed"),
    name_key("Thu"), name_key("Fri"), name_key("Sat")};
constexpr std::array<std::uint32_t, 12> month_keys = {
    name_key("Jan"), name_key("Feb"), name_key("Mar"), name_key("Apr"),
    name_key("May"), name_key("Jun"), name_key("Jul"), name_key("Aug"),
    name_key("Sep"), name_key("Oct"), name_key("Nov"), name_key("Dec")};

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

template <std::size_t count>
int name_index(const char* text, const std::array<std::uint32_t, count>& keys) {
    const std::uint32_t key = name_key(text);
    for (std::size_t i = 0; i < count; ++i) {
        if (keys[i] == key) {
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
    const int weekday = name_index(s, weekday_keys);
    const int month = name_index(s + month_offset, month_keys);
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

// Days in the year before each month begins, in a common and a leap year.
constexpr std::array<std::array<int, 13>, 2> days_before_month = {{
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366},
}};

// A year by its number and its first day, so that a date in it, and the
// year before it, cost a few additions rather than a calendar computation.
struct Year {
    int number = 0;
    std::int64_t first_day = 0;  // days since 1970-01-01 of 1 January
};

Year year_numbered(int number) { return {number, days_from_civil(number, 1, 1)}; }

Year year_before(const Year& year) {
    const int before = year.number - 1;
    return {before, year.first_day - days_before_month[is_leap(before) ? 1 : 0].back()};
}

// The start in a given year, or false where that year has no such day.
bool start_in(const Year& year, const BootStart& start, EpochMinutes& at, int& weekday) {
    const auto& before = days_before_month[is_leap(year.number) ? 1 : 0];
    const auto month = static_cast<std::size_t>(start.month);
    if (start.day > before[month] - before[month - 1]) {
        return false;
    }
    const std::int64_t days = year.first_day + before[month - 1] + start.day - 1;
    at = days * minutes_per_day + start.minute_of_day;
    weekday = weekday_of(days);
    return true;
}

// Where a date and time stand in the order of a year, the same in every
// year: a leap year's day numbers, so that 29 February has one too.
int minute_of_year(const BootStart& start) {
    const auto month = static_cast<std::size_t>(start.month);
    return (days_before_month[1][month - 1] + start.day - 1) * hours_per_day * minutes_per_hour +
           start.minute_of_day;
}

PlacedStart placed(const Year& year, const BootStart& start, EpochMinutes at) {
    return {true, at, year.number, year.first_day, minute_of_year(start)};
}

// "HH:MM" at the front of the text, in minutes, or no_shown_end.
int shown_time_of_day(std::string_view text) {
    constexpr std::size_t time_length = 5;
    constexpr std::size_t colon = 2;
    if (text.size() < time_length || !is_digit(text[0]) || !is_digit(text[1]) ||
        text[colon] != ':' || !is_digit(text[colon + 1]) || !is_digit(text[colon + 2])) {
        return no_shown_end;
    }
    const int hour = digit(text[0]) * decimal_base + digit(text[1]);
    const int minute = digit(text[colon + 1]) * decimal_base + digit(text[colon + 2]);
    return hour < hours_per_day && minute < minutes_per_hour ? hour * minutes_per_hour + minute
                                                             : no_shown_end;
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

ShownEnd read_boot_end(std::string_view line, const BootStart& start) {
    std::string_view rest = line.substr(start.end);
    while (!rest.empty() && is_blank(rest.front())) {
        rest.remove_prefix(1);
    }
    if (rest.starts_with(end_dash)) {
        rest.remove_prefix(end_dash.size());
    }
    // Nearly every boot ended at a time, written next: a digit.
    if (rest.empty() || is_digit(rest.front())) {
        return {BootEnd::Written, shown_time_of_day(rest)};
    }
    if (starts_with_word(rest, crash_word)) {
        return {BootEnd::Crashed};
    }
    if (starts_with_word(rest, running_words)) {
        return {BootEnd::StillRunning};
    }
    return {};
}

PlacedStart place_below(const BootStart& start, const PlacedStart& above) {
    // The latest year in which this date comes no later than the start
    // above; a 29 February is looked for in the leap years among these.
    Year year{above.year, above.year_first_day};
    if (minute_of_year(start) > above.minute_of_year) {
        year = year_before(year);
    }
    for (int step = 0; step < placing_horizon_years; ++step, year = year_before(year)) {
        EpochMinutes at = 0;
        int weekday = 0;
        if (start_in(year, start, at, weekday) && weekday == start.weekday) {
            return placed(year, start, at);
        }
    }
    return {};
}

PlacedStart place_after(const BootStart& start, const PlacedStart& above, EpochMinutes now) {
    const Year year = minute_of_year(start) > above.minute_of_year
                          ? Year{above.year, above.year_first_day}
                          : year_numbered(above.year + 1);
    EpochMinutes at = 0;
    int weekday = 0;
    if (start_in(year, start, at, weekday) && weekday == start.weekday && at <= now) {
        return placed(year, start, at);
    }
    return {};
}

PlacedStart place_before(const BootStart& start, EpochMinutes now) {
    Year year = year_numbered(year_from_days(floor_div(now, minutes_per_day)));
    for (int step = 0; step <= weekday_cycle_years; ++step, year = year_before(year)) {
        EpochMinutes at = 0;
        int weekday = 0;
        if (start_in(year, start, at, weekday) && at <= now && weekday == start.weekday) {
            return placed(year, start, at);
        }
    }
    return {};
}
