#include "chunk_reader.hpp"

#include <algorithm>
#include <cstring>

namespace {

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
}

}  // namespace

bool next_chunk(ChunkReader& reader, std::string_view& chunk) {
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
        chunk = std::string_view(start, length);
        reader.begin += length;
        return true;
    }
}
