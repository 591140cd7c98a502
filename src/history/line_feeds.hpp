// Where the line feeds of a block are, one bit per byte, so that cutting a
// block into lines costs a few bit operations per line rather than a call.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

inline constexpr std::size_t bytes_per_mask = 64;

// Bit i is set when bytes[i] is a line feed, byte by byte: the fallback
// where no vector unit is known, and the reference that the vector path is
// tested against.
std::uint64_t line_feed_mask_portable(const char* bytes, std::size_t count = bytes_per_mask);

// The same for exactly 64 bytes, 16 at a time where SSE2 is known. Inline:
// it runs once for every 64 bytes of the history.
#if defined(__SSE2__)
inline std::uint64_t line_feed_mask(const char* bytes) {
    constexpr std::size_t lane = sizeof(__m128i);
    const __m128i line_feeds = _mm_set1_epi8('\n');
    std::uint64_t mask = 0;
    for (std::size_t offset = 0; offset < bytes_per_mask; offset += lane) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + offset));
        const auto bits =
            static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, line_feeds)));
        mask |= static_cast<std::uint64_t>(bits) << offset;
    }
    return mask;
}
#else
inline std::uint64_t line_feed_mask(const char* bytes) { return line_feed_mask_portable(bytes); }
#endif
