// Reading the duration at the end of one chunk of the reboot history.
#pragma once

#include <cstdint>
#include <string_view>

enum class SampleForm {
    WithDays,     // written as days+hours:minutes
    WithoutDays,  // written as hours:minutes
};

struct UptimeSample {
    std::int32_t days = 0;  // 0 in the WithoutDays form
    std::int32_t hours = 0;
    std::int32_t minutes = 0;
    SampleForm form = SampleForm::WithoutDays;
    // The history command writes a negative duration with the minus sign on
    // its first number only, so that sign applies to the whole duration.
    bool negative = false;
};

enum class FieldKind {
    NoField,    // the chunk holds no "("
    Malformed,  // a "(" whose text cannot be read as a duration
    Parsed,
};

struct FieldOutcome {
    FieldKind kind = FieldKind::NoField;
    UptimeSample sample{};          // meaningful when Parsed
    std::string_view field_text{};  // when Malformed: from the last "(" to the end of the chunk
    // When Malformed: a duration that was read, and is less than zero.
    bool below_zero = false;
};

// The chunk is taken as it stands; a caller holding C-string data cuts it at
// the first NUL itself. A duration below zero or longer than 100 years
// (36,525 days) cannot be a boot and is Malformed.
FieldOutcome parse_uptime_field(std::string_view chunk);

// The shape the history command itself writes, "(HH:MM)" or "(D+HH:MM)" in
// bare digits right before the chunk's line feed, read at fixed offsets.
// When the chunk ends so and the duration is a boot's length, yields that
// length in minutes, and the sample is the one parse_uptime_field() would
// give. Otherwise yields not_written_shape, which says nothing: the chunk is
// parse_uptime_field()'s to judge.
inline constexpr std::int64_t not_written_shape = -1;
std::int64_t read_written_duration(std::string_view chunk, UptimeSample& sample);

// Length of a sample in minutes; wide enough that no 32-bit fields overflow
// it. Inline: the scan takes it once per line.
inline std::int64_t sample_minutes(const UptimeSample& sample) {
    constexpr std::int64_t minutes_per_hour = 60;
    constexpr std::int64_t minutes_per_day = 24 * minutes_per_hour;
    const std::int64_t days = sample.days;
    const std::int64_t hours = sample.hours;
    const std::int64_t minutes = sample.minutes;
    if (sample.negative) {
        return -((days < 0 ? -days : days) * minutes_per_day +
                 (hours < 0 ? -hours : hours) * minutes_per_hour +
                 (minutes < 0 ? -minutes : minutes));
    }
    return minutes + minutes_per_hour * hours + minutes_per_day * days;
}
