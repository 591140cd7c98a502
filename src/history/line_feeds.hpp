// Where the line feeds of a block are, one bit per byte, so that cutting a
// block into lines costs a few bit operations per line rather than a call.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t bytes_per_mask = 64;

// Bit i is set when bytes[i] is a line feed; reads exactly 64 bytes.
std::uint64_t line_feed_mask(const char* bytes);
// The same, byte by byte: the fallback where no vector unit is known, and
// the reference that the vector path is tested against.
std::uint64_t line_feed_mask_portable(const char* bytes, std::size_t count = bytes_per_mask);
