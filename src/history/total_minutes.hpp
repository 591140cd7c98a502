// The sum of every boot's length, exact however long the history: two
// 64-bit words, since 32-bit compilers (ARM, i686) have no 128-bit integer.
#pragma once

#include <cstdint>

// Each sample is under 2^26 minutes and the count is 64-bit, so the total
// stays under 2^90 and two words never overflow.
struct TotalMinutes {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    friend bool operator==(const TotalMinutes&, const TotalMinutes&) = default;
};

inline constexpr int total_word_bits = 64;

constexpr void add_minutes(TotalMinutes& total, std::uint64_t minutes) {
    total.low += minutes;
    total.high += total.low < minutes ? 1U : 0U;
}

// minutes times count, for totals set up whole.
constexpr TotalMinutes total_of(std::uint64_t minutes, std::uint64_t count) {
    TotalMinutes total;
    for (int bit = total_word_bits - 1; bit >= 0; --bit) {
        total.high = total.high << 1U | total.low >> (total_word_bits - 1);
        total.low <<= 1U;
        if ((count >> bit & 1U) != 0) {
            add_minutes(total, minutes);
        }
    }
    return total;
}

// The quotient, truncated, by long division a bit at a time; the caller
// knows it fits in 64 bits (a mean never exceeds the largest sample).
constexpr std::uint64_t divide_total(const TotalMinutes& total, std::uint64_t divisor) {
    std::uint64_t remainder = 0;
    std::uint64_t quotient = 0;
    const std::uint64_t words[] = {total.high, total.low};
    for (const std::uint64_t word : words) {
        for (int bit = total_word_bits - 1; bit >= 0; --bit) {
            // The remainder is below the divisor, so doubling it can carry
            // one bit out of 64: with that bit set it is surely above.
            const bool carried = (remainder >> (total_word_bits - 1)) != 0;
            remainder = remainder << 1U | (word >> bit & 1U);
            quotient <<= 1U;
            if (carried || remainder >= divisor) {
                remainder -= divisor;
                quotient |= 1U;
            }
        }
    }
    return quotient;
}
