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
BootEnd read_boot_end(std::string_view line, const BootStart& start);

struct PlacedStart {
    bool known = false;
    EpochMinutes at = 0;
    int year = 0;
    std::int64_t year_first_day = 0;  // days since 1970-01-01 of the year's 1 January
};

// Right below a placed boot: the latest moment no later than that boot's
// start with this month, day and time; unknown when its weekday then does
// not match (the clock went back, or a boot lasted over a year).
PlacedStart place_below(const BootStart& start, const PlacedStart& above);

// With nothing placed above: the latest moment no later than now with this
// month, day, time and weekday, within the weekday calendar's cycle.
PlacedStart place_before(const BootStart& start, EpochMinutes now);
