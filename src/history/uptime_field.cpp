#include "uptime_field.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
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
constexpr std::int64_t minutes_per_day = 24 * 60;
constexpr unsigned decimal_base = 10;
// A boot lasts from zero minutes to a century. A negative duration is a
// clock that went back during the boot, and a longer one a wrapped or
// corrupted clock (one history command writes a boot whose clock went back
// as about 213503982 days): neither is a boot's length, and either would
// swamp or drag down every mean it entered.
constexpr std::int64_t max_boot_days = 36525;
constexpr std::int64_t max_boot_minutes = max_boot_days * minutes_per_day;

constexpr bool is_boot_length(std::int64_t minutes) {
    return minutes >= 0 && minutes <= max_boot_minutes;
}

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

// The shape that the history command writes, "(HH:MM)" or "(D+HH:MM)" with
// bare digits right before the chunk's line feed, is checked at fixed
// offsets from the end: nearly every line takes this way, and it reads
// exactly what the general scan below would read. The eight bytes from the
// mark ("(" or "+") to the line feed are taken as one word, little end
// first, and checked at once: a ":" and a ")" in their places, the line
// feed, and four digits.
constexpr std::size_t shape_length = 8;              // "(HH:MM)\n"
constexpr std::ptrdiff_t max_shape_days_digits = 9;  // nine digits always fit in 32 bits
constexpr unsigned bits_per_byte = 8;
constexpr unsigned nibble = 0xF;

constexpr std::uint64_t byte_at(unsigned position, unsigned value) {
    return std::uint64_t{value} << (bits_per_byte * position);
}

// Byte 0 is the mark, 1 and 2 the hours, 3 the ":", 4 and 5 the minutes,
// 6 the ")", 7 the line feed. A digit is 0x30 to 0x39: its high nibble is
// checked with the separators, its low one by adding 6, which carries out
// of the nibble only above 9.
constexpr unsigned digit_positions[] = {1, 2, 4, 5};
constexpr std::uint64_t shape_mask = byte_at(1, 0xF0) | byte_at(2, 0xF0) | byte_at(3, 0xFF) |
                                     byte_at(4, 0xF0) | byte_at(5, 0xF0) | byte_at(6, 0xFF) |
                                     byte_at(7, 0xFF);
constexpr std::uint64_t shape_bits =
    byte_at(1, '0') | byte_at(2, '0') | byte_at(3, hours_separator) | byte_at(4, '0') |
    byte_at(5, '0') | byte_at(6, field_close) | byte_at(7, line_feed);
constexpr std::uint64_t in_digits(unsigned value) {
    std::uint64_t word = 0;
    for (const unsigned position : digit_positions) {
        word |= byte_at(position, value);
    }
    return word;
}
constexpr std::uint64_t digit_low_nibbles = in_digits(nibble);
constexpr std::uint64_t nibble_carry = in_digits(nibble - 9);
constexpr std::uint64_t nibble_carry_bits = in_digits(nibble + 1);

// The eight bytes at p, little end first, whatever the machine's order.
std::uint64_t little_endian_word(const char* p) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) {
        word = __builtin_bswap64(word);
    }
    return word;
}

constexpr std::int32_t two_digits_at(std::uint64_t word, unsigned byte) {
    const auto tens = static_cast<unsigned>(word >> (bits_per_byte * byte)) & nibble;
    const auto ones = static_cast<unsigned>(word >> (bits_per_byte * (byte + 1))) & nibble;
    return static_cast<std::int32_t>(tens * decimal_base + ones);
}

bool read_written_shape(std::string_view chunk, UptimeSample& sample) {
    if (chunk.size() < shape_length) {
        return false;
    }
    const char* const begin = chunk.data();
    const char* const mark = begin + chunk.size() - shape_length;
    const std::uint64_t word = little_endian_word(mark);
    if ((word & shape_mask) != shape_bits ||
        (((word & digit_low_nibbles) + nibble_carry) & nibble_carry_bits) != 0) {
        return false;
    }
    sample.hours = two_digits_at(word, 1);
    sample.minutes = two_digits_at(word, 4);
    sample.negative = false;
    if (*mark == field_open) {
        sample.form = SampleForm::WithoutDays;
        sample.days = 0;
        return true;
    }
    if (*mark != days_separator) {
        return false;
    }
    const char* const stop = mark - std::min(max_shape_days_digits, mark - begin);
    const char* first = mark;
    while (first != stop && digit_value(first[-1]) < decimal_base) {
        --first;
    }
    if (first == mark || first == begin || first[-1] != field_open) {
        return false;
    }
    unsigned days = 0;
    for (const char* p = first; p != mark; ++p) {
        days = days * decimal_base + digit_value(*p);
    }
    sample.form = SampleForm::WithDays;
    sample.days = static_cast<std::int32_t>(days);
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
        return {FieldKind::Parsed, written, {}};  // the century is checked by the caller
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
        if (!is_boot_length(length)) {
            outcome = malformed_from_last_open(chunk);
            outcome.below_zero = length < 0;
        }
    }
    return outcome;
}

std::int64_t read_written_duration(std::string_view chunk, UptimeSample& sample) {
    if (!read_written_shape(chunk, sample)) {
        return not_written_shape;
    }
    const std::int64_t length = sample_minutes(sample);
    return is_boot_length(length) ? length : not_written_shape;
}
