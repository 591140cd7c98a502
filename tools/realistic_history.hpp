// Lines as `last reboot` writes them, newest first, each boot starting a few
// minutes after the one below it ended, with lengths spread from minutes to
// months, made from a fixed seed so that every run sees the same history.
// Used by the history generator and the benchmark. The calendar is the C
// library's (gmtime_r), not the tool's.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

namespace realistic_history {

inline constexpr std::uint64_t minutes_per_hour = 60;
inline constexpr std::uint64_t minutes_per_day = 24 * minutes_per_hour;
inline constexpr std::size_t max_line_length = 128;
inline constexpr std::string_view line_start = "reboot   system boot  6.1.0-18-amd64   ";
inline constexpr std::string_view running_line =
    "reboot   system boot  6.1.0-28-amd64   Thu Aug 20 09:37   still running\n";
// The running boot's start, 2026-08-20 09:37 UTC, in seconds.
inline constexpr std::int64_t running_start = 1787218620;
inline constexpr std::int64_t seconds_per_minute = 60;
inline constexpr std::uint64_t max_downtime_minutes = 10;
inline constexpr std::string_view trailer = "\nwtmp begins Mon Jan  6 08:02:11 2025\n";

struct Generator {
    std::uint64_t state = 0x9e3779b97f4a7c15U;
    std::uint64_t total_minutes = 0;
    std::uint64_t count = 0;
    std::int64_t next_start = running_start;  // start of the boot above, in seconds
};

inline std::uint64_t next_random(Generator& generator) {
    // xorshift64*: fast, and the same everywhere.
    generator.state ^= generator.state >> 12;
    generator.state ^= generator.state << 25;
    generator.state ^= generator.state >> 27;
    return generator.state * 0x2545f4914f6cdd1dU;
}

inline std::uint64_t next_length(Generator& generator) {
    const std::uint64_t r = next_random(generator);
    switch (r % 4) {
        case 0:
            return (r >> 8) % minutes_per_hour;  // minutes
        case 1:
            return (r >> 8) % minutes_per_day;  // hours
        case 2:
            return (r >> 8) % (30 * minutes_per_day);  // days
        default:
            return (r >> 8) % (180 * minutes_per_day);  // months
    }
}

inline char* put_number(char* out, std::uint64_t value, int min_digits) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n < min_digits) {
        digits[n++] = '0';
    }
    while (n > 0) {
        *out++ = digits[--n];
    }
    return out;
}

// Writes the next finished boot's line into out (at least max_line_length
// bytes) and returns its length.
inline std::size_t next_line(Generator& generator, char* out) {
    const std::uint64_t length = next_length(generator);
    generator.total_minutes += length;
    ++generator.count;
    const std::uint64_t downtime = 1 + next_random(generator) % max_downtime_minutes;
    const std::time_t start =
        generator.next_start - static_cast<std::int64_t>(length + downtime) * seconds_per_minute;
    const std::time_t end = start + static_cast<std::int64_t>(length) * seconds_per_minute;
    generator.next_start = start;
    std::tm start_time{};
    std::tm end_time{};
    gmtime_r(&start, &start_time);
    gmtime_r(&end, &end_time);
    char* p = out;
    std::memcpy(p, line_start.data(), line_start.size());
    p += line_start.size();
    p += std::strftime(p, max_line_length / 2, "%a %b %e %H:%M - ", &start_time);
    p += std::strftime(p, max_line_length / 4, "%H:%M ", &end_time);
    const std::uint64_t days = length / minutes_per_day;
    if (days > 0) {
        *p++ = '(';
        p = put_number(p, days, 1);
        *p++ = '+';
    } else {
        *p++ = ' ';
        *p++ = '(';
    }
    p = put_number(p, length % minutes_per_day / minutes_per_hour, 2);
    *p++ = ':';
    p = put_number(p, length % minutes_per_hour, 2);
    *p++ = ')';
    *p++ = '\n';
    return static_cast<std::size_t>(p - out);
}

// The summary that the tool must print for what the generator produced.
inline void print_expected_summary(std::FILE* out, const Generator& generator) {
    if (generator.count == 0) {
        return;
    }
    const std::uint64_t mean = generator.total_minutes / generator.count;
    std::fprintf(out, "* Mean time between reboots:\t\t%llu minutes (%llu+%llu:%llu)\n",
                 static_cast<unsigned long long>(mean),
                 static_cast<unsigned long long>(mean / minutes_per_day),
                 static_cast<unsigned long long>(mean % minutes_per_day / minutes_per_hour),
                 static_cast<unsigned long long>(mean % minutes_per_hour));
}

}  // namespace realistic_history
