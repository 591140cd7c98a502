#include "chunk_reader.hpp"

#include <algorithm>
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

void refill(ChunkReader& reader) {
    const std::size_t pending = reader.end - reader.begin;
    std::memmove(reader.block, reader.block + reader.begin, pending);
    reader.begin = 0;
    reader.end = pending;
    const std::size_t wanted = read_block_size - pending;
    const std::size_t got = std::fread(reader.block + pending, 1, wanted, reader.stream);
    reader.end += got;
    if (got < wanted) {
        reader.at_end = true;
        reader.failed = std::ferror(reader.stream) != 0;
    }
    find_nul(reader);
}

}  // namespace

bool next_chunk(ChunkReader& reader, Chunk& chunk) {
    for (;;) {
        const char* start = reader.block + reader.begin;
        const std::size_t pending = reader.end - reader.begin;
        const std::size_t window = std::min(pending, max_chunk_length);
        const void* line_feed = std::memchr(start, '\n', window);
        std::size_t length = 0;
        if (line_feed != nullptr) {
            length = static_cast<std::size_t>(static_cast<const char*>(line_feed) - start) + 1;
        } else if (pending >= max_chunk_length) {
            length = max_chunk_length;
        } else if (reader.at_end) {
            if (pending == 0 || reader.failed) {
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
