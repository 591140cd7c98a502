// Where a boot began. Every boot line of the history carries its start as
// "Www Mmm DD HH:MM" (weekday, month, day, time, no year); a crashed boot
// ended where the boot after it began, so the scan places each start in time
// and keeps the one above, newest first as the history lists them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Minutes since 1970-01-01 00:00 UTC: the history is read in UTC.
using EpochMinutes = std::int64_t;

struct BootStart {
    int weekday = 0;  // 0 is Sunday
    int month = 0;    // 1 to 12
    int day = 0;      // 1 to 31
    int minute_of_day = 0;
    std::size_t end = 0;  // offset in the line just past the start
};

// A boot line: its first word is "reboot" and it holds a start. The first
// start in the line is taken.
bool read_boot_start(std::string_view line, BootStart& start);

// What the line says after the start about how the boot ended.
enum class BootEnd {
    Written,       // an end time and a duration, or anything else
    Crashed,       // "- crash", with or without a duration
    StillRunning,  // "still running" (or "- still running")
};

inline constexpr int no_shown_end = -1;

struct ShownEnd {
    BootEnd kind = BootEnd::Written;
    // Written: the end's time of day as "- HH:MM" gives it, in minutes, or
    // no_shown_end.
    int minute_of_day = no_shown_end;
};
ShownEnd read_boot_end(std::string_view line, const BootStart& start);

struct PlacedStart {
    bool known = false;
    EpochMinutes at = 0;
    int year = 0;
    std::int64_t year_first_day = 0;  // days since 1970-01-01 of the year's 1 January
    int minute_of_year = 0;           // its place in a leap year's order of dates
};

// A month and day fall on a different weekday in each of any five years in
// a row, so a weekday names the year of a start less than four years
// before another: further back, a year could be named that is not the
// start's own.
inline constexpr int placing_horizon_years = 4;

// Right below a placed boot: the latest moment no later than that boot's
// start with this month, day, time and weekday, less than
// placing_horizon_years before it; unknown where there is none (a boot or a
// downtime of four years or more, or a clock set back, which makes a start
// look later than the one above it and so never falls on its weekday in
// the years before).
PlacedStart place_below(const BootStart& start, const PlacedStart& above);

// Where a clock set back makes a start look later than the one above: the
// earliest moment after that start, less than a year after it, with this
// month, day, time and weekday, and no later than now.
PlacedStart place_after(const BootStart& start, const PlacedStart& above, EpochMinutes now);

// With nothing placed above: the latest moment no later than now with this
// month, day, time and weekday, within the weekday calendar's cycle.
PlacedStart place_before(const BootStart& start, EpochMinutes now);
