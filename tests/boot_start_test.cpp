#include "boot_start.hpp"

#include <gtest/gtest.h>
#include <time.h>

#include <ctime>
#include <optional>
#include <string>

namespace {

constexpr EpochMinutes minutes_per_day = 1440;

// The C library's calendar, apart from the tool's: minutes since 1970 of a UTC time.
EpochMinutes at(int year, int month, int day, int hour, int minute) {
    std::tm time{};
    time.tm_year = year - 1900;
    time.tm_mon = month - 1;
    time.tm_mday = day;
    time.tm_hour = hour;
    time.tm_min = minute;
    return timegm(&time) / 60;
}

std::optional<BootStart> start_of(const std::string& line) {
    BootStart start;
    if (!read_boot_start(line, start)) {
        return std::nullopt;
    }
    return start;
}

BootStart start_at(const std::string& when) {
    return start_of("reboot   system boot  6.1.0-18-amd64   " + when + " - 12:00 (1+00:00)\n")
        .value();
}

TEST(ReadBootStart, FindsTheStartOfABootLineOnEitherLast) {
    const auto util_linux =
        start_of("reboot   system boot  6.1.0-18-amd64   Sat Jan 11 08:05 - 08:00 (11+23:55)\n");
    ASSERT_TRUE(util_linux);
    EXPECT_EQ(util_linux->weekday, 6);
    EXPECT_EQ(util_linux->month, 1);
    EXPECT_EQ(util_linux->day, 11);
    EXPECT_EQ(util_linux->minute_of_day, 8 * 60 + 5);
    const auto wtmpdb =
        start_of("reboot   system boot  6.12.48+deb13-amd64 Wed Jan  1 00:00 - crash \n");
    ASSERT_TRUE(wtmpdb);
    EXPECT_EQ(wtmpdb->day, 1);
    EXPECT_EQ(read_boot_end("reboot   system boot  6.12.48+deb13-amd64 Wed Jan  1 00:00 - crash \n",
                            *wtmpdb)
                  .kind,
              BootEnd::Crashed);
    // Not a boot line, or no start a boot line could have.
    for (const char* line : {"wtmp begins Wed Jan  1 08:00:00 2025\n",
                             "reboot2  system boot  6.1.0  Sat Jan 11 08:05 - 08:00 (00:01)\n",
                             "reboot   system boot  6.1.0  Sat Jan 11 24:05 - 08:00 (00:01)\n",
                             "reboot   system boot  6.1.0  Sat Jan  0 08:05 - 08:00 (00:01)\n",
                             "reboot   system boot  6.1.0  Sat Jam 11 08:05 - 08:00 (00:01)\n",
                             "reboot   system boot  6.1.0  sat Jan 11 08:05 - 08:00 (00:01)\n",
                             "reboot   system boot  6.1.0  Sat Jan 11 08:5 - 08:00 (00:01)\n",
                             "reboot Sat Jan 11 08:0"}) {
        EXPECT_FALSE(start_of(line)) << line;
    }
    // A ':' before the start (a host name) does not hide it.
    EXPECT_TRUE(start_of("reboot   x:y  Sat Jan 11 08:05   still running\n"));
}

TEST(ReadBootEnd, TellsCrashesAndRunningBootsOnEveryLast) {
    const struct {
        const char* after_start;
        BootEnd end;
        int minute_of_day;
    } cases[] = {
        {"   still running\n", BootEnd::StillRunning, no_shown_end},  // util-linux
        {" - still running\n", BootEnd::StillRunning, no_shown_end},  // wtmpdb
        {" - crash \n", BootEnd::Crashed, no_shown_end},              // wtmpdb
        {" - crash (1+00:00)\n", BootEnd::Crashed, no_shown_end},     // util-linux 2.40 and later
        {" - crashed\n", BootEnd::Written, no_shown_end},
        {" - 08:00 (11+23:55)\n", BootEnd::Written, 8 * 60},
        {" - 23:59  (00:05)   \n", BootEnd::Written, 23 * 60 + 59},  // sysvinit
        {" - 24:00 (00:05)\n", BootEnd::Written, no_shown_end},
        {" - 8:00 (00:05)\n", BootEnd::Written, no_shown_end},
        {" - down  (00:05)\n", BootEnd::Written, no_shown_end},
        {"\n", BootEnd::Written, no_shown_end},
    };
    for (const auto& c : cases) {
        const std::string line =
            std::string("reboot   system boot  6.1.0 Sat Jan 11 08:05") + c.after_start;
        const ShownEnd shown = read_boot_end(line, start_of(line).value());
        EXPECT_EQ(shown.kind, c.end) << line;
        EXPECT_EQ(shown.minute_of_day, c.minute_of_day) << line;
    }
}

TEST(PlaceBootStart, FindsTheYearFromTheBootAbove) {
    const struct {
        const char* name;
        const char* above;
        EpochMinutes above_at;
        const char* below;
        std::optional<EpochMinutes> expected;
    } cases[] = {
        {"the same year", "Fri Jan 24 10:00", at(2025, 1, 24, 10, 0), "Sat Jan 11 08:05",
         at(2025, 1, 11, 8, 5)},
        {"across New Year", "Wed Jan  1 00:10", at(2025, 1, 1, 0, 10), "Tue Dec 31 23:50",
         at(2024, 12, 31, 23, 50)},
        {"29 February of a leap year", "Fri Mar  1 00:00", at(2024, 3, 1, 0, 0), "Thu Feb 29 23:59",
         at(2024, 2, 29, 23, 59)},
        {"29 February four years back", "Wed Feb 28 12:00", at(2024, 2, 28, 12, 0),
         "Sat Feb 29 12:00", at(2020, 2, 29, 12, 0)},
        {"two boots in one minute", "Sat Jan 11 08:05", at(2025, 1, 11, 8, 5), "Sat Jan 11 08:05",
         at(2025, 1, 11, 8, 5)},
        // Where the weekday does not hold in the latest year, an earlier one.
        {"a boot over a year long", "Mon Mar  3 10:00", at(2025, 3, 3, 10, 0), "Tue Jan 10 10:00",
         at(2023, 1, 10, 10, 0)},
        {"over three years", "Mon Mar  3 10:00", at(2025, 3, 3, 10, 0), "Fri Mar  4 10:00",
         at(2022, 3, 4, 10, 0)},
        {"no further than four years", "Mon Mar  3 10:00", at(2025, 3, 3, 10, 0),
         "Wed Mar  3 10:00", std::nullopt},  // 2021
        // A start that looks later than the one above, after the clock was
        // set back, never falls on its weekday in the four years before.
        {"a clock that went back", "Mon Feb  3 09:05", at(2025, 2, 3, 9, 5), "Mon Feb  3 10:30",
         std::nullopt},
        {"no such day", "Mon Mar  3 10:00", at(2025, 3, 3, 10, 0), "Sun Feb 30 10:00",
         std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const PlacedStart above = place_before(start_at(c.above), c.above_at);
        ASSERT_TRUE(above.known);
        ASSERT_EQ(above.at, c.above_at);
        const PlacedStart below = place_below(start_at(c.below), above);
        EXPECT_EQ(below.known, c.expected.has_value());
        if (c.expected) {
            EXPECT_EQ(below.at, *c.expected);
        }
    }
}

TEST(PlaceBootStart, TheNewestBootIsTheLatestMatchingOneBeforeNow) {
    const EpochMinutes now = at(2026, 12, 8, 12, 0);
    // Sat Jan 11: not 2026 (a Sunday), but 2025.
    EXPECT_EQ(place_before(start_at("Sat Jan 11 08:05"), now).at, at(2025, 1, 11, 8, 5));
    // Later today is last year's, or an older year's with that weekday.
    EXPECT_EQ(place_before(start_at("Tue Dec  8 11:59"), now).at, at(2026, 12, 8, 11, 59));
    EXPECT_EQ(place_before(start_at("Sun Dec  8 12:01"), now).at, at(2024, 12, 8, 12, 1));
    // 29 February back to 2004, the latest that was a Sunday; 2032's is not yet.
    EXPECT_EQ(place_before(start_at("Sun Feb 29 00:00"), now).at, at(2004, 2, 29, 0, 0));
    EXPECT_FALSE(place_before(start_at("Sun Feb 30 00:00"), now).known);
    EXPECT_EQ(place_before(start_at("Mon Jan  1 00:00"), 0 - minutes_per_day * 365).at,
              at(1968, 1, 1, 0, 0));
}

}  // namespace
