// Cuts a stream into the chunks that fgets() with a 256-byte buffer would
// return, but reads the descriptor straight into one large block, taking
// whatever each read(2) gives, so that a line is handed out as soon as it has
// arrived. The line feeds of each block are found in one pass, so the
// per-line cost is a few bit operations rather than a locked stdio call.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "line_feeds.hpp"

// fgets() with this buffer size stores at most one byte less, plus a NUL.
inline constexpr std::size_t chunk_buffer_size = 256;
inline constexpr std::size_t max_chunk_length = chunk_buffer_size - 1;
inline constexpr std::size_t read_block_size = 64 * 1024;
static_assert(read_block_size % bytes_per_mask == 0);

// read(2) by default; the tests put a failing source in its place.
using ReadBytes = ssize_t (*)(int descriptor, void* buffer, std::size_t size);

struct ChunkReader {
    int descriptor = -1;
    ReadBytes read_bytes = nullptr;  // nullptr: read(2)
    std::size_t begin = 0;           // first byte not yet handed out
    std::size_t end = 0;             // one past the last byte read
    bool at_end = false;             // the stream reached its end or failed
    int error = 0;  // errno of a failed read: a partial chunk is then dropped, as fgets() drops it
    std::size_t nul = 0;    // first NUL byte at or after begin, or end if there is none
    bool portable = false;  // find line feeds byte by byte (for the tests)
    char block[read_block_size];
    // Bit i of word w: block[64 w + i] is a line feed; valid up to end.
    std::uint64_t line_feeds[read_block_size / bytes_per_mask];
};

struct Chunk {
    std::string_view bytes;  // as fgets() stores it, line feed and any NUL bytes included
    std::string_view text;   // what the C string shows: the bytes up to the first NUL
};

// Yields the next chunk; false at the end of the stream or after a read
// error. The views stay valid until the next call.
bool next_chunk(ChunkReader& reader, Chunk& chunk);

// The fast lane: yields the next line when it lies whole in the block read
// so far, is shorter than a chunk's limit and holds no NUL, which is exactly
// the chunk, bytes and text alike, that next_chunk() would cut there. False
// when it does not; next_chunk() then cuts the next chunk. The two may be
// called in any mix. Inline: it runs once per line.
inline bool next_whole_line(ChunkReader& reader, std::string_view& line) {
    const std::size_t begin = reader.begin;
    // The line feed must come before the first NUL (which is the end of
    // what was read when there is none) and within a chunk's length; mask
    // words past that may hold an older block's bits.
    const std::size_t limit = std::min(reader.nul, begin + max_chunk_length);
    if (begin >= limit) {
        return false;  // nothing left of the block, or a NUL right here
    }
    std::size_t word = begin / bytes_per_mask;
    std::uint64_t bits = reader.line_feeds[word] & (~std::uint64_t{0} << (begin % bytes_per_mask));
    while (bits == 0) {
        if (++word * bytes_per_mask >= limit) {
            return false;
        }
        bits = reader.line_feeds[word];
    }
    const std::size_t line_feed =
        word * bytes_per_mask + static_cast<std::size_t>(__builtin_ctzll(bits));
    if (line_feed >= limit) {
        return false;
    }
    line = std::string_view(reader.block + begin, line_feed - begin + 1);
    reader.begin = line_feed + 1;
    return true;
}
