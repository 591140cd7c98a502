// The field parser's meaning, written the plain way: strrchr() for the last
// "(", strchr() for a "+" in the tail, and the C library's sscanf() with the
// two patterns, plus the whole-duration sign and a boot's range, zero to a century. The unit tests
// and the differential fuzz target both hold the parser against it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "uptime_field.hpp"

namespace sscanf_reference {

constexpr std::int64_t max_int32 = 2147483647;
constexpr std::int64_t century_minutes = 36525LL * 1440;  // the longest boot there can be

// sscanf() leaves numbers beyond 32 bits undefined: compare only where every
// run of digits, whatever its sign, fits.
inline bool all_numbers_fit(const char* text) {
    for (const char* p = text; *p != '\0';) {
        if (*p < '0' || *p > '9') {
            ++p;
            continue;
        }
        while (*p == '0') {
            ++p;
        }
        std::int64_t value = 0;
        int digits = 0;
        for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
            if (digits < 11) {
                value = value * 10 + (*p - '0');
            }
        }
        if (digits > 10 || value > max_int32) {
            return false;
        }
    }
    return true;
}

struct Reference {
    FieldKind kind = FieldKind::NoField;
    SampleForm form = SampleForm::WithoutDays;
    int days = 0;
    int hours = 0;
    int minutes = 0;
    bool negative = false;
    std::int64_t length = 0;
    std::string_view field_text;
};

inline Reference reference_parse(const char* chunk) {
    Reference r;
    const char* open = std::strrchr(chunk, '(');
    if (open == nullptr) {
        return r;
    }
    const char* tail = open + 1;
    bool parsed = false;
    if (std::strchr(tail, '+') != nullptr) {
        r.form = SampleForm::WithDays;
        parsed = std::sscanf(tail, "%d+%d:%d", &r.days, &r.hours, &r.minutes) == 3;
    } else {
        r.form = SampleForm::WithoutDays;
        parsed = std::sscanf(tail, "%d:%d", &r.hours, &r.minutes) == 2;
    }
    if (!parsed) {
        r.kind = FieldKind::Malformed;
        r.field_text = open;
        return r;
    }
    r.kind = FieldKind::Parsed;
    const char* first = tail + std::strspn(tail, " \t\n\v\f\r");
    r.negative = *first == '-';
    const std::int64_t d = r.days;
    const std::int64_t h = r.hours;
    const std::int64_t m = r.minutes;
    r.length = r.negative ? -(std::llabs(d) * 1440 + std::llabs(h) * 60 + std::llabs(m))
                          : m + 60 * h + 1440 * d;
    if (r.length < 0 || r.length > century_minutes) {
        r.kind = FieldKind::Malformed;
        r.field_text = open;
    }
    return r;
}

}  // namespace sscanf_reference
