// Cuts a stream into the chunks that fgets() with a 256-byte buffer would
// return, but reads the stream in large blocks so that the per-line cost is a
// memchr() rather than a locked stdio call.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>

// fgets() with this buffer size stores at most one byte less, plus a NUL.
inline constexpr std::size_t chunk_buffer_size = 256;
inline constexpr std::size_t max_chunk_length = chunk_buffer_size - 1;
inline constexpr std::size_t read_block_size = 64 * 1024;

struct ChunkReader {
    std::FILE* stream = nullptr;
    std::size_t begin = 0;  // first byte not yet handed out
    std::size_t end = 0;    // one past the last byte read
    bool at_end = false;    // the stream reached its end or failed
    bool failed = false;    // it failed: a partial chunk is dropped, as fgets() drops it
    std::size_t nul = 0;    // first NUL byte at or after begin, or end if there is none
    char block[read_block_size];
};

struct Chunk {
    std::string_view bytes;  // as fgets() stores it, line feed and any NUL bytes included
    std::string_view text;   // what the C string shows: the bytes up to the first NUL
};

// Yields the next chunk; false at the end of the stream or after a read
// error. The views stay valid until the next call.
bool next_chunk(ChunkReader& reader, Chunk& chunk);
