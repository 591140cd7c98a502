#include "uptime_field.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

namespace {

constexpr char field_open = '(';
constexpr char field_close = ')';
constexpr char line_feed = '\n';
constexpr char days_separator = '+';
constexpr char hours_separator = ':';
constexpr std::int64_t minutes_per_hour = 60;
constexpr std::int64_t minutes_per_day = 24 * minutes_per_hour;
constexpr unsigned decimal_base = 10;
// A boot lasts from zero minutes to a century. A negative duration is a
// clock that went back during the boot, and a longer one a wrapped or
// corrupted clock (one history command writes a boot whose clock went back
// as about 213503982 days): neither is a boot's length, and either would
// swamp or drag down every mean it entered.
constexpr std::int64_t max_boot_days = 36525;
constexpr std::int64_t max_boot_minutes = max_boot_days * minutes_per_day;

// Largest magnitude a signed 32-bit number may have, by sign.
constexpr std::uint64_t max_positive = std::numeric_limits<std::int32_t>::max();
constexpr std::uint64_t max_negative = max_positive + 1;

// White space as isspace() sees it in the C locale; the tool never changes
// locale. '\t' to '\r' are the five control characters among them.
constexpr bool is_blank(char c) {
    return c == ' ' || static_cast<unsigned char>(c - '\t') <= '\r' - '\t';
}

constexpr unsigned digit_value(char c) { return static_cast<unsigned char>(c - '0'); }

struct ScannedNumber {
    bool ok = false;
    bool minus = false;  // written with a "-" sign
    bool plus = false;   // written with a "+" sign
    std::int32_t value = 0;
};

// One "%d" conversion at *cursor: white space, an optional sign, one or more
// digits. A number that does not fit in 32 bits fails the conversion rather
// than wrap.
ScannedNumber scan_number(const char*& cursor, const char* end) {
    const char* p = cursor;
    while (p != end && is_blank(*p)) {
        ++p;
    }
    ScannedNumber number;
    if (p != end && (*p == '+' || *p == '-')) {
        number.minus = *p == '-';
        number.plus = !number.minus;
        ++p;
    }
    const std::uint64_t limit = number.minus ? max_negative : max_positive;
    const char* const first_digit = p;
    std::uint64_t magnitude = 0;
    for (; p != end && digit_value(*p) < decimal_base; ++p) {
        magnitude = magnitude * decimal_base + digit_value(*p);
        if (magnitude > limit) {
            magnitude = limit + 1;  // stays out of range, and the product stays small
        }
    }
    cursor = p;
    if (p == first_digit || magnitude > limit) {
        return number;
    }
    number.ok = true;
    number.value = number.minus ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude))
                                : static_cast<std::int32_t>(magnitude);
    return number;
}

// A literal of the pattern: it must be the very next character.
bool scan_literal(const char*& cursor, const char* end, char literal) {
    if (cursor == end || *cursor != literal) {
        return false;
    }
    ++cursor;
    return true;
}

std::int64_t magnitude_of(std::int32_t value) {
    const std::int64_t wide = value;
    return wide < 0 ? -wide : wide;
}

// The shape that the history command writes, "(HH:MM)" or "(D+HH:MM)" with
// bare digits, then the chunk's line feed, is checked at fixed offsets from
// the end: nearly every line takes this way, and it reads exactly what the
// general scan below would read.
constexpr std::size_t shape_length = 7;   // "(HH:MM)"
constexpr int max_shape_days_digits = 9;  // nine digits always fit in 32 bits

constexpr bool two_digits(const char* p, std::int32_t& value) {
    if (digit_value(p[0]) >= decimal_base || digit_value(p[1]) >= decimal_base) {
        return false;
    }
    value = static_cast<std::int32_t>(digit_value(p[0]) * decimal_base + digit_value(p[1]));
    return true;
}

bool read_written_shape(std::string_view chunk, UptimeSample& sample) {
    const char* const begin = chunk.data();
    const char* end = begin + chunk.size();
    if (end != begin && end[-1] == line_feed) {
        --end;
    }
    if (static_cast<std::size_t>(end - begin) < shape_length || end[-1] != field_close ||
        end[-4] != hours_separator || !two_digits(end - 6, sample.hours) ||
        !two_digits(end - 3, sample.minutes)) {
        return false;
    }
    const char* mark = end - shape_length;
    if (*mark == field_open) {
        sample.form = SampleForm::WithoutDays;
        return true;
    }
    if (*mark != days_separator) {
        return false;
    }
    std::int32_t days = 0;
    std::int32_t scale = 1;
    const char* p = mark;
    for (int digits = 0;
         digits < max_shape_days_digits && p != begin && digit_value(p[-1]) < decimal_base;
         ++digits) {
        --p;
        days += static_cast<std::int32_t>(digit_value(*p)) * scale;
        scale *= static_cast<std::int32_t>(decimal_base);
    }
    if (p == mark || p == begin || p[-1] != field_open) {
        return false;
    }
    sample.form = SampleForm::WithDays;
    sample.days = days;
    return true;
}

FieldOutcome malformed_from_last_open(std::string_view chunk) {
    const std::size_t open = chunk.rfind(field_open);
    return {FieldKind::Malformed, {}, chunk.substr(open)};
}

// The pattern is "%d+%d:%d" when the tail after the last "(" holds a "+"
// anywhere, and "%d:%d" otherwise. Rather than search the tail first, this
// reads forward and settles the choice where it matters: the two patterns
// read the first number alike, and a "+" that turns up later, once the ":"
// has matched, could only have made the days pattern fail at that ":".
FieldOutcome read_field(std::string_view chunk) {
    UptimeSample written;
    if (read_written_shape(chunk, written)) {
        return {FieldKind::Parsed, written, {}};
    }
    const void* found = memrchr(chunk.data(), field_open, chunk.size());
    if (found == nullptr) {
        return {};
    }
    const char* const open = static_cast<const char*>(found);
    const char* const end = chunk.data() + chunk.size();
    const FieldOutcome malformed{
        FieldKind::Malformed, {}, {open, static_cast<std::size_t>(end - open)}};

    const char* cursor = open + 1;
    UptimeSample sample;
    const ScannedNumber first = scan_number(cursor, end);
    if (!first.ok) {
        return malformed;
    }
    sample.negative = first.minus;
    if (scan_literal(cursor, end, days_separator)) {
        sample.form = SampleForm::WithDays;
        sample.days = first.value;
        const ScannedNumber hours = scan_number(cursor, end);
        if (!hours.ok) {
            return malformed;
        }
        sample.hours = hours.value;
        if (!scan_literal(cursor, end, hours_separator)) {
            return malformed;
        }
    } else {
        // A "+" written as the first number's sign, or anywhere after the
        // ":", selects the days pattern, which then fails here.
        if (first.plus || !scan_literal(cursor, end, hours_separator) ||
            std::memchr(cursor, days_separator, static_cast<std::size_t>(end - cursor)) !=
                nullptr) {
            return malformed;
        }
        sample.form = SampleForm::WithoutDays;
        sample.hours = first.value;
    }
    const ScannedNumber minutes = scan_number(cursor, end);
    if (!minutes.ok) {
        return malformed;
    }
    sample.minutes = minutes.value;
    return {FieldKind::Parsed, sample, {}};
}

}  // namespace

FieldOutcome parse_uptime_field(std::string_view chunk) {
    // One object from start to end, so that it is built in the caller's
    // place rather than copied there once per line.
    FieldOutcome outcome = read_field(chunk);
    if (outcome.kind == FieldKind::Parsed) {
        const std::int64_t length = sample_minutes(outcome.sample);
        if (length > max_boot_minutes || length < 0) {
            outcome = malformed_from_last_open(chunk);
        }
    }
    return outcome;
}

std::int64_t sample_minutes(const UptimeSample& sample) {
    if (sample.negative) {
        return -(magnitude_of(sample.days) * minutes_per_day +
                 magnitude_of(sample.hours) * minutes_per_hour + magnitude_of(sample.minutes));
    }
    return sample.minutes + minutes_per_hour * sample.hours + minutes_per_day * sample.days;
}
