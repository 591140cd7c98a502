// The reader must cut exactly the chunks that fgets() with a 256-byte buffer
// cuts, whatever the stream holds.
#include "chunk_reader.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "stream_capture.hpp"

namespace {

std::vector<std::string> chunks_by_fgets(std::FILE* stream) {
    std::vector<std::string> chunks;
    char buffer[chunk_buffer_size];
    long position = std::ftell(stream);
    while (std::fgets(buffer, sizeof buffer, stream) != nullptr) {
        // The length includes any NUL bytes, which strlen() would not see;
        // a stream that cannot tell its position holds no NUL in these tests.
        const long next = std::ftell(stream);
        const std::size_t length =
            next < 0 ? std::strlen(buffer) : static_cast<std::size_t>(next - position);
        chunks.emplace_back(buffer, length);
        position = next;
    }
    return chunks;
}

std::vector<std::string> chunks_by_reader(std::FILE* stream, ReadBytes read_bytes = nullptr,
                                          bool portable = false, int* error = nullptr) {
    std::vector<std::string> chunks;
    auto reader = std::make_unique<ChunkReader>();
    reader->descriptor = fileno(stream);
    reader->read_bytes = read_bytes;
    reader->portable = portable;
    Chunk chunk;
    while (next_chunk(*reader, chunk)) {
        chunks.emplace_back(chunk.bytes);
        // What the parser sees is what a C string of the chunk shows.
        EXPECT_EQ(chunk.text, chunk.bytes.substr(0, chunk.bytes.find('\0')));
    }
    if (error != nullptr) {
        *error = reader->error;
    }
    return chunks;
}

std::string generated_stream(std::mt19937& random) {
    static constexpr std::string_view alphabet{"ab(1:+\n\0\xff", 10};
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> shape(0, 5);
    std::uniform_int_distribution<std::size_t> run(0, 600);
    std::string bytes;
    const int pieces = shape(random) == 0 ? 2000 : 20;  // some streams span several read blocks
    for (int i = 0; i < pieces; ++i) {
        // Runs without line feeds make lines of every length around 255.
        bytes.append(run(random), alphabet[pick(random) % 6]);
        bytes += alphabet[pick(random)];
        if (shape(random) == 0) {
            bytes += '\n';
        }
    }
    return bytes;
}

TEST(ChunkReader, CutsTheSameChunksAsFgetsWithEitherWayOfFindingLineFeeds) {
    std::mt19937 random(8122026);
    for (int i = 0; i < 300; ++i) {
        const std::string bytes = generated_stream(random);
        std::FILE* b = stream_of(bytes);
        const std::vector<std::string> expected = chunks_by_fgets(b);
        std::fclose(b);
        for (const bool portable : {false, true}) {
            std::FILE* a = stream_of(bytes);
            ASSERT_EQ(chunks_by_reader(a, nullptr, portable), expected)
                << "stream " << i << (portable ? ", portable" : ", vector");
            std::fclose(a);
        }
    }
}

TEST(LineFeedMask, VectorAndPortablePathsAgree) {
    std::mt19937 random(64);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> coin(0, 7);
    char bytes[bytes_per_mask];
    for (int i = 0; i < 20000; ++i) {
        for (char& b : bytes) {  // dense in line feeds, and every other byte value
            b = coin(random) == 0 ? '\n' : static_cast<char>(byte(random));
        }
        ASSERT_EQ(line_feed_mask(bytes), line_feed_mask_portable(bytes)) << i;
    }
}

TEST(ChunkReader, CutsAtExactlyTheBufferLimit) {
    for (const std::size_t length : {254UL, 255UL, 256UL, 510UL, 511UL}) {
        for (const char* end : {"", "\n"}) {
            const std::string bytes = std::string(length, 'z') + end + "tail";
            std::FILE* a = stream_of(bytes);
            std::FILE* b = stream_of(bytes);
            EXPECT_EQ(chunks_by_reader(a), chunks_by_fgets(b)) << length << '"' << end << '"';
            std::fclose(a);
            std::fclose(b);
        }
    }
}

// A source that delivers its bytes in small pieces, is interrupted now and
// then, and fails at its end, as a pipe from a dying writer may.
struct TricklingSource {
    std::string bytes;
    std::size_t offset = 0;
    std::size_t calls = 0;
};

ssize_t trickle(TricklingSource& source, char* buffer, std::size_t size) {
    if (++source.calls % 3 == 0) {
        errno = EINTR;
        return -1;
    }
    if (source.offset == source.bytes.size()) {
        errno = EIO;
        return -1;
    }
    const std::size_t n = std::min({size, std::size_t{7}, source.bytes.size() - source.offset});
    std::memcpy(buffer, source.bytes.data() + source.offset, n);
    source.offset += n;
    return static_cast<ssize_t>(n);
}

// The reader's side reaches its source through this; the fgets() side
// through a cookie stream.
TricklingSource* reader_source = nullptr;

ssize_t trickle_to_reader(int, void* buffer, std::size_t size) {
    return trickle(*reader_source, static_cast<char*>(buffer), size);
}

ssize_t trickle_to_stdio(void* cookie, char* buffer, std::size_t size) {
    ssize_t got = 0;
    do {  // stdio does not retry an interrupted read itself
        got = trickle(*static_cast<TricklingSource*>(cookie), buffer, size);
    } while (got < 0 && errno == EINTR);
    return got;
}

TEST(ChunkReader, TakesEachReadAsItComesAndEndsAtAnErrorAsFgetsDoes) {
    // The complete lines before the error arrive; the partial one does not.
    for (const char* text : {"(1:00)\n(2:00)\npartial", "(1:00)\n", "", "no line feed"}) {
        TricklingSource a{text};
        TricklingSource b{text};
        reader_source = &a;
        cookie_io_functions_t functions{};
        functions.read = trickle_to_stdio;
        std::FILE* sb = fopencookie(&b, "r", functions);
        std::FILE* sa = std::tmpfile();  // only for its descriptor, never read
        int error = 0;
        EXPECT_EQ(chunks_by_reader(sa, trickle_to_reader, false, &error), chunks_by_fgets(sb))
            << text;
        EXPECT_EQ(error, EIO) << "the failure is kept for the scan to report: " << text;
        std::fclose(sa);
        std::fclose(sb);
    }
}

// Whatever each read returns is handed out at once: a line that has arrived
// never waits for the block to fill, which a slow history would otherwise
// hold back until it ends. The pipe does not block, so a reader that asks
// for more before handing the line out fails here at once instead of hanging.
TEST(ChunkReader, HandsOutALineBeforeTheNextArrives) {
    int pipe_ends[2];
    ASSERT_EQ(pipe2(pipe_ends, O_NONBLOCK), 0);
    constexpr std::string_view first = "reboot (1:00)\n";
    ASSERT_EQ(write(pipe_ends[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
    auto reader = std::make_unique<ChunkReader>();
    reader->descriptor = pipe_ends[0];
    Chunk chunk;
    ASSERT_TRUE(next_chunk(*reader, chunk)) << "read again before handing the line out";
    EXPECT_EQ(chunk.bytes, first);
    close(pipe_ends[1]);
    EXPECT_FALSE(next_chunk(*reader, chunk));
    close(pipe_ends[0]);
}

}  // namespace
