#include "line_feeds.hpp"

#include <cstddef>
#include <cstdint>

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
