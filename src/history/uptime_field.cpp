#include "uptime_field.hpp"

#include <cstdint>
#include <limits>
#include <string_view>

namespace {

constexpr char field_open = '(';
constexpr char days_separator = '+';
constexpr char hours_separator = ':';
constexpr std::int64_t minutes_per_hour = 60;
constexpr std::int64_t minutes_per_day = 24 * minutes_per_hour;
constexpr int decimal_base = 10;

// Largest magnitude a signed 32-bit number may have, by sign.
constexpr std::uint64_t max_positive = std::numeric_limits<std::int32_t>::max();
constexpr std::uint64_t max_negative = max_positive + 1;

// White space as isspace() sees it in the C locale; the tool never changes locale.
constexpr bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

struct ScannedNumber {
    bool ok = false;
    bool minus = false;
    std::int32_t value = 0;
};

// One "%d" conversion: white space, an optional sign, one or more digits.
// A number that does not fit in 32 bits fails the conversion rather than wrap.
ScannedNumber scan_number(std::string_view& text) {
    std::size_t pos = 0;
    while (pos < text.size() && is_blank(text[pos])) {
        ++pos;
    }
    ScannedNumber number;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        number.minus = text[pos] == '-';
        ++pos;
    }
    const std::uint64_t limit = number.minus ? max_negative : max_positive;
    const std::size_t first_digit = pos;
    std::uint64_t magnitude = 0;
    bool fits = true;
    while (pos < text.size() && is_digit(text[pos])) {
        magnitude = magnitude * decimal_base + static_cast<std::uint64_t>(text[pos] - '0');
        if (magnitude > limit) {
            fits = false;
            magnitude = limit;  // keeps the product small; the value is rejected anyway
        }
        ++pos;
    }
    text.remove_prefix(pos);
    if (pos == first_digit || !fits) {
        return number;
    }
    number.ok = true;
    number.value = number.minus ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude))
                                : static_cast<std::int32_t>(magnitude);
    return number;
}

// A literal of the pattern: it must be the very next character.
bool scan_literal(std::string_view& text, char literal) {
    if (text.empty() || text.front() != literal) {
        return false;
    }
    text.remove_prefix(1);
    return true;
}

std::int64_t magnitude_of(std::int32_t value) {
    const std::int64_t wide = value;
    return wide < 0 ? -wide : wide;
}

}  // namespace

FieldOutcome parse_uptime_field(std::string_view chunk) {
    const std::size_t open = chunk.rfind(field_open);
    if (open == std::string_view::npos) {
        return {};
    }
    const std::string_view field_text = chunk.substr(open);
    std::string_view tail = field_text.substr(1);
    const FieldOutcome malformed{FieldKind::Malformed, {}, field_text};

    UptimeSample sample;
    ScannedNumber first;
    if (tail.find(days_separator) != std::string_view::npos) {
        sample.form = SampleForm::WithDays;
        first = scan_number(tail);
        if (!first.ok || !scan_literal(tail, days_separator)) {
            return malformed;
        }
        sample.days = first.value;
        const ScannedNumber hours = scan_number(tail);
        if (!hours.ok) {
            return malformed;
        }
        sample.hours = hours.value;
    } else {
        sample.form = SampleForm::WithoutDays;
        first = scan_number(tail);
        if (!first.ok) {
            return malformed;
        }
        sample.hours = first.value;
    }
    if (!scan_literal(tail, hours_separator)) {
        return malformed;
    }
    const ScannedNumber minutes = scan_number(tail);
    if (!minutes.ok) {
        return malformed;
    }
    sample.minutes = minutes.value;
    sample.negative = first.minus;
    return {FieldKind::Parsed, sample, {}};
}

std::int64_t sample_minutes(const UptimeSample& sample) {
    if (sample.negative) {
        return -(magnitude_of(sample.days) * minutes_per_day +
                 magnitude_of(sample.hours) * minutes_per_hour + magnitude_of(sample.minutes));
    }
    return sample.minutes + minutes_per_hour * sample.hours + minutes_per_day * sample.days;
}
