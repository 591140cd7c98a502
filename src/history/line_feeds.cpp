#include "line_feeds.hpp"

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr char line_feed = '\n';

}  // namespace

std::uint64_t line_feed_mask_portable(const char* bytes, std::size_t count) {
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < count; ++i) {
        mask |= static_cast<std::uint64_t>(bytes[i] == line_feed) << i;
    }
    return mask;
}

#if defined(__SSE2__)

std::uint64_t line_feed_mask(const char* bytes) {
    constexpr std::size_t lane = sizeof(__m128i);
    const __m128i line_feeds = _mm_set1_epi8(line_feed);
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

std::uint64_t line_feed_mask(const char* bytes) { return line_feed_mask_portable(bytes); }

#endif
