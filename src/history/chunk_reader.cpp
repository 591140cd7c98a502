#include "chunk_reader.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// NUL bytes are rare, so they are looked for once per block rather than once
// per chunk; only a chunk that passes one makes the search go on.
void find_nul(ChunkReader& reader) {
    const void* nul = std::memchr(reader.block + reader.begin, '\0', reader.end - reader.begin);
    reader.nul = nul == nullptr
                     ? reader.end
                     : static_cast<std::size_t>(static_cast<const char*>(nul) - reader.block);
}

void find_line_feeds(ChunkReader& reader) {
    const std::size_t whole = reader.end / bytes_per_mask;
    for (std::size_t word = 0; word < whole; ++word) {
        const char* bytes = reader.block + word * bytes_per_mask;
        reader.line_feeds[word] =
            reader.portable ? line_feed_mask_portable(bytes) : line_feed_mask(bytes);
    }
    // The bytes past the end were never read: only the read ones count.
    const std::size_t rest = reader.end % bytes_per_mask;
    if (rest != 0) {
        reader.line_feeds[whole] =
            line_feed_mask_portable(reader.block + whole * bytes_per_mask, rest);
    }
}

// The first line feed in [begin, limit), or limit if there is none.
std::size_t next_line_feed(const ChunkReader& reader, std::size_t limit) {
    std::size_t word = reader.begin / bytes_per_mask;
    std::uint64_t bits =
        reader.line_feeds[word] & (~std::uint64_t{0} << (reader.begin % bytes_per_mask));
    while (bits == 0) {
        ++word;
        if (word * bytes_per_mask >= limit) {
            return limit;
        }
        bits = reader.line_feeds[word];
    }
    return std::min(limit, word * bytes_per_mask + static_cast<std::size_t>(__builtin_ctzll(bits)));
}

void refill(ChunkReader& reader) {
    const std::size_t pending = reader.end - reader.begin;
    std::memmove(reader.block, reader.block + reader.begin, pending);
    reader.begin = 0;
    reader.end = pending;
    const ReadBytes read_bytes = reader.read_bytes != nullptr ? reader.read_bytes : ::read;
    ssize_t got = 0;
    do {
        got = read_bytes(reader.descriptor, reader.block + pending, read_block_size - pending);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        reader.end += static_cast<std::size_t>(got);
    } else {
        reader.at_end = true;
        reader.error = got < 0 ? errno : 0;
    }
    find_nul(reader);
    find_line_feeds(reader);
}

}  // namespace

bool next_chunk(ChunkReader& reader, Chunk& chunk) {
    for (;;) {
        const char* start = reader.block + reader.begin;
        const std::size_t pending = reader.end - reader.begin;
        const std::size_t limit = reader.begin + std::min(pending, max_chunk_length);
        const std::size_t line_feed = pending == 0 ? limit : next_line_feed(reader, limit);
        std::size_t length = 0;
        if (line_feed != limit) {
            length = line_feed - reader.begin + 1;
        } else if (pending >= max_chunk_length) {
            length = max_chunk_length;
        } else if (reader.at_end) {
            if (pending == 0 || reader.error != 0) {
                return false;
            }
            length = pending;
        } else {
            refill(reader);
            continue;
        }
        chunk.bytes = std::string_view(start, length);
        chunk.text = chunk.bytes.substr(0, std::min(length, reader.nul - reader.begin));
        reader.begin += length;
        if (reader.nul < reader.begin) {
            find_nul(reader);
        }
        return true;
    }
}
