#include "uptime_field.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "sscanf_reference.hpp"

namespace {

struct FieldCase {
    const char* chunk;
    FieldKind kind;
    SampleForm form;
    std::int32_t days, hours, minutes;
    bool negative;
    std::int64_t length;
};

constexpr auto D = SampleForm::WithDays;
constexpr auto H = SampleForm::WithoutDays;
constexpr auto P = FieldKind::Parsed;

const FieldCase parsed_cases[] = {
    {"reboot   system boot  6.1.0  Mon Jun  1 18:55 - 09:34 (1+02:03)\n", P, D, 1, 2, 3, false,
     1563},
    {"(1+00:00)\n", P, D, 1, 0, 0, false, 1440},
    {"(00:05)\n", P, H, 0, 0, 5, false, 5},
    {"(1:75)\n", P, H, 0, 1, 75, false, 135},
    {"(0+25:00)\n", P, D, 0, 25, 0, false, 1500},
    {"(1+01:00)\n", P, D, 1, 1, 0, false, 1500},
    {"text (x) (2:30)\n", P, H, 0, 2, 30, false, 150},
    {"(12:34", P, H, 0, 12, 34, false, 754},
    {"(1+ 02:03)\n", P, D, 1, 2, 3, false, 1563},
    {"(1++2:3)\n", P, D, 1, 2, 3, false, 1563},
    {"(1+-2:3)\n", P, D, 1, -2, 3, false, 1323},
    {"(1+-0:5)\n", P, D, 1, 0, 5, false, 1445},
    // A minus sign that leaves the length at zero still makes a boot of zero minutes.
    {"(-00:00)\n", P, H, 0, 0, 0, true, 0},
    {"( \t-0+0:0)\n", P, D, 0, 0, 0, true, 0},
    {"(1+-24:00)\n", P, D, 1, -24, 0, false, 0},
    {"(0000000000001:00)\n", P, H, 0, 1, 0, false, 60},
    // Up to a century, exactly, is a boot.
    {"(36525+00:00)\n", P, D, 36525, 0, 0, false, 52596000},
    {"(876600:00)\n", P, H, 0, 876600, 0, false, 52596000},
    {"(36524+24:00)\n", P, D, 36524, 24, 0, false, 52596000},
    {"(36526+-24:00)\n", P, D, 36526, -24, 0, false, 52596000},
    {"(0+0:52596000)\n", P, D, 0, 0, 52596000, false, 52596000},
    {"(7+08:09)", P, D, 7, 8, 9, false, 10569},
    {"x+(7+08:09)\n", P, D, 7, 8, 9, false, 10569},
    {"( 12:34)\n", P, H, 0, 12, 34, false, 754},
    {"(12:34))\n", P, H, 0, 12, 34, false, 754},
};

TEST(ParseUptimeField, ReadsDurations) {
    for (const FieldCase& c : parsed_cases) {
        SCOPED_TRACE(c.chunk);
        const FieldOutcome outcome = parse_uptime_field(c.chunk);
        ASSERT_EQ(outcome.kind, c.kind);
        EXPECT_EQ(outcome.sample.form, c.form);
        EXPECT_EQ(outcome.sample.days, c.days);
        EXPECT_EQ(outcome.sample.hours, c.hours);
        EXPECT_EQ(outcome.sample.minutes, c.minutes);
        EXPECT_EQ(outcome.sample.negative, c.negative);
        EXPECT_EQ(sample_minutes(outcome.sample), c.length);
    }
}

TEST(ParseUptimeField, FindsNoFieldWithoutParenthesis) {
    for (const char* chunk :
         {"", "\n", "wtmp begins Mon Jan  6 08:02:11 2025\n",
          "reboot   system boot  6.1.0  Thu Aug 20 09:37   still running\n", "1+02:03)\n"}) {
        EXPECT_EQ(parse_uptime_field(chunk).kind, FieldKind::NoField) << chunk;
    }
}

struct MalformedCase {
    const char* chunk;
    const char* field_text;
};

const MalformedCase malformed_cases[] = {
    {"a line ending with (2:30) (x)\n", "(x)\n"},
    {"( 1 + 2:3)\n", "( 1 + 2:3)\n"},
    {"(5)\n", "(5)\n"},
    {"(abc)\n", "(abc)\n"},
    {"boot (\n", "(\n"},
    {"(", "("},
    {"(+5:00)\n", "(+5:00)\n"},
    {"(02:00) later a +\n", "(02:00) later a +\n"},
    {"(1 :00)\n", "(1 :00)\n"},
    {"(-:00)\n", "(-:00)\n"},
    {"(1+2)\n", "(1+2)\n"},
    {"(1+2:)\n", "(1+2:)\n"},
    {"(   \n", "(   \n"},
    // Numbers that do not fit in 32 bits fail rather than wrap.
    {"(2147483648:00)\n", "(2147483648:00)\n"},
    {"(-2147483649:00)\n", "(-2147483649:00)\n"},
    {"(1:99999999999999999999)\n", "(1:99999999999999999999)\n"},
    {"(4294967296+0:0)\n", "(4294967296+0:0)\n"},
    {"(9999999999+01:02)\n", "(9999999999+01:02)\n"},
    {"(+05:00)", "(+05:00)"},
    {"(05:+0)\n", "(05:+0)\n"},
    {"(05:00)+\n", "(05:00)+\n"},
    {"(-+05:00)\n", "(-+05:00)\n"},
    {"(1+2+03:04)\n", "(1+2+03:04)\n"},
    // Below zero: the clock went back during the boot. The history command
    // puts a negative duration's sign on the first number only, so that sign
    // makes the whole duration negative.
    {"(-1:00)\n", "(-1:00)\n"},
    {"(-00:01)\n", "(-00:01)\n"},
    {"(-1:30)\n", "(-1:30)\n"},
    {"(-1+01:00)\n", "(-1+01:00)\n"},
    {"( \t-0+0:7)\n", "( \t-0+0:7)\n"},
    {"(-335+00:00)\n", "(-335+00:00)\n"},
    {"(0+-1:30)\n", "(0+-1:30)\n"},
    {"(1+-25:00)\n", "(1+-25:00)\n"},
    {"(00:-1)\n", "(00:-1)\n"},
    // Longer than a century: a wrapped or corrupted clock, not a boot.
    {"reboot   system boot  6.12.38+deb13- Mon Dec  1 10:00 - 09:58 (213503982+06:31)\n",
     "(213503982+06:31)\n"},
    {"(36525+00:01)\n", "(36525+00:01)\n"},
    {"(-36525+00:00)\n", "(-36525+00:00)\n"},
    {"(876600:01)", "(876600:01)"},
    {"(2000000+00:00)\n", "(2000000+00:00)\n"},
    {"(999999999+23:59)\n", "(999999999+23:59)\n"},
    {"(2147483647:00)\n", "(2147483647:00)\n"},
    {"(-2147483648+-2147483648:-2147483648)\n", "(-2147483648+-2147483648:-2147483648)\n"},
    {"x (1:00) (0+0:52596001)\n", "(0+0:52596001)\n"},
};

TEST(ParseUptimeField, ReportsMalformedFieldsFromTheLastParenthesis) {
    for (const MalformedCase& c : malformed_cases) {
        const FieldOutcome outcome = parse_uptime_field(c.chunk);
        EXPECT_EQ(outcome.kind, FieldKind::Malformed) << c.chunk;
        EXPECT_EQ(outcome.field_text, c.field_text) << c.chunk;
    }
}

TEST(SampleMinutes, NeverWrapsWhateverTheFields) {
    const struct {
        UptimeSample sample;
        std::int64_t length;
    } cases[] = {
        {{2147483647, 2147483647, 2147483647, D, false}, 3223372954147},
        {{-2147483647 - 1, -2147483647 - 1, -2147483647 - 1, D, true}, -3223372955648},
        {{0, 2147483647, 0, H, false}, 128849018820},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sample_minutes(c.sample), c.length);
    }
}

// A duration as the history command writes it, with a character or two
// changed, so that the shapes it reads at fixed offsets are tried at every edge.
std::string near_written_shape(std::mt19937& random) {
    static constexpr std::string_view shapes[] = {"x (12:34)\n", "x (3+04:05)\n", "(123+23:59)",
                                                  "(00:00)\n", "((1+00:00)\n"};
    static constexpr std::string_view replacements = "0123456789+-:() \n\t";
    std::uniform_int_distribution<std::size_t> shape(0, std::size(shapes) - 1);
    std::uniform_int_distribution<std::size_t> pick(0, replacements.size() - 1);
    std::uniform_int_distribution<int> edits(0, 2);
    std::string chunk(shapes[shape(random)]);
    for (int n = edits(random); n > 0; --n) {
        std::uniform_int_distribution<std::size_t> where(0, chunk.size() - 1);
        chunk[where(random)] = replacements[pick(random)];
    }
    return chunk;
}

// Short strings over the characters that matter to the patterns.
std::string generated_chunk(std::mt19937& random) {
    if (random() % 2 == 0) {
        return near_written_shape(random);
    }
    static constexpr std::string_view alphabet = "0123456789+-: \t\n(x";
    static constexpr std::string_view digits = "0123456789";
    std::uniform_int_distribution<std::size_t> length(0, 14);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> coin(0, 3);
    std::string chunk = coin(random) == 0 ? "" : "(";
    const std::size_t n = length(random);
    for (std::size_t i = 0; i < n; ++i) {
        // Digits dominate, so that most inputs come close to a duration.
        chunk += coin(random) < 2 ? digits[pick(random) % digits.size()] : alphabet[pick(random)];
    }
    return chunk;
}

TEST(ParseUptimeField, AgreesWithSscanfOnGeneratedInputs) {
    std::mt19937 random(20261208);
    int parsed = 0;
    for (int i = 0; i < 200000; ++i) {
        const std::string chunk = generated_chunk(random);
        // sscanf() leaves numbers beyond 32 bits undefined: keep clear of them.
        if (!sscanf_reference::all_numbers_fit(chunk.c_str())) {
            continue;
        }
        const sscanf_reference::Reference expected =
            sscanf_reference::reference_parse(chunk.c_str());
        const FieldOutcome actual = parse_uptime_field(chunk);
        ASSERT_EQ(actual.kind, expected.kind) << '"' << chunk << '"';
        if (expected.kind == FieldKind::Malformed) {
            ASSERT_EQ(actual.field_text, expected.field_text) << chunk;
        }
        if (expected.kind != FieldKind::Parsed) {
            continue;
        }
        ++parsed;
        ASSERT_EQ(actual.sample.form, expected.form) << chunk;
        ASSERT_EQ(actual.sample.days, expected.days) << chunk;
        ASSERT_EQ(actual.sample.hours, expected.hours) << chunk;
        ASSERT_EQ(actual.sample.minutes, expected.minutes) << chunk;
        ASSERT_EQ(actual.sample.negative, expected.negative) << chunk;
        ASSERT_EQ(sample_minutes(actual.sample), expected.length) << chunk;
    }
    EXPECT_GT(parsed, 5000);  // the generator must reach the interesting cases
}

}  // namespace
