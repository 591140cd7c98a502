// Differential fuzzing of the field parser against the sscanf() reference.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "sscanf_reference.hpp"
#include "uptime_field.hpp"

namespace {

using sscanf_reference::all_numbers_fit;
using sscanf_reference::Reference;
using sscanf_reference::reference_parse;

void check(bool agreed) {
    if (!agreed) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    // The whole input, NULs and all, must never crash the parser.
    (void)parse_uptime_field(raw);

    const std::string text(raw.substr(0, raw.find('\0')));
    const FieldOutcome actual = parse_uptime_field(text);
    if (!all_numbers_fit(text.c_str())) {
        return 0;
    }
    const Reference expected = reference_parse(text.c_str());
    check(actual.kind == expected.kind);
    if (expected.kind == FieldKind::Malformed) {
        check(actual.field_text == expected.field_text);
    }
    if (expected.kind == FieldKind::Parsed) {
        const UptimeSample& s = actual.sample;
        check(s.form == expected.form);
        check(s.days == expected.days && s.hours == expected.hours &&
              s.minutes == expected.minutes);
        check(s.negative == expected.negative);
        check(sample_minutes(s) == expected.length);
    }
    return 0;
}
