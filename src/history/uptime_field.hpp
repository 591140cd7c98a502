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
};

// The chunk is taken as it stands; a caller holding C-string data cuts it at
// the first NUL itself. A duration below zero or longer than 100 years
// (36,525 days) cannot be a boot and is Malformed.
FieldOutcome parse_uptime_field(std::string_view chunk);

// Length of a sample in minutes; wide enough that no 32-bit fields overflow it.
std::int64_t sample_minutes(const UptimeSample& sample);
