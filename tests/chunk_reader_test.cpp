// The reader must cut exactly the chunks that fgets() with a 256-byte buffer
// cuts, whatever the stream holds.
#include "chunk_reader.hpp"

#include <gtest/gtest.h>
#include <sys/types.h>

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

std::vector<std::string> chunks_by_reader(std::FILE* stream) {
    std::vector<std::string> chunks;
    auto reader = std::make_unique<ChunkReader>();
    reader->stream = stream;
    Chunk chunk;
    while (next_chunk(*reader, chunk)) {
        chunks.emplace_back(chunk.bytes);
        // What the parser sees is what a C string of the chunk shows.
        EXPECT_EQ(chunk.text, chunk.bytes.substr(0, chunk.bytes.find('\0')));
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

TEST(ChunkReader, CutsTheSameChunksAsFgets) {
    std::mt19937 random(8122026);
    for (int i = 0; i < 300; ++i) {
        const std::string bytes = generated_stream(random);
        std::FILE* a = stream_of(bytes);
        std::FILE* b = stream_of(bytes);
        ASSERT_EQ(chunks_by_reader(a), chunks_by_fgets(b)) << "stream " << i;
        std::fclose(a);
        std::fclose(b);
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

// A stream that delivers its bytes in small pieces and then fails.
struct FailingSource {
    std::string bytes;
    std::size_t offset = 0;
};

ssize_t read_then_fail(void* cookie, char* buffer, std::size_t size) {
    auto* source = static_cast<FailingSource*>(cookie);
    if (source->offset == source->bytes.size()) {
        errno = EIO;
        return -1;
    }
    const std::size_t n = std::min({size, std::size_t{7}, source->bytes.size() - source->offset});
    std::memcpy(buffer, source->bytes.data() + source->offset, n);
    source->offset += n;
    return static_cast<ssize_t>(n);
}

std::FILE* failing_stream(FailingSource& source) {
    cookie_io_functions_t functions{};
    functions.read = read_then_fail;
    return fopencookie(&source, "r", functions);
}

TEST(ChunkReader, EndsAtAReadErrorAsFgetsDoes) {
    // The complete lines before the error arrive; the partial one does not.
    for (const char* text : {"(1:00)\n(2:00)\npartial", "(1:00)\n", "", "no line feed"}) {
        FailingSource a{text};
        FailingSource b{text};
        std::FILE* sa = failing_stream(a);
        std::FILE* sb = failing_stream(b);
        EXPECT_EQ(chunks_by_reader(sa), chunks_by_fgets(sb)) << text;
        std::fclose(sa);
        std::fclose(sb);
    }
}

}  // namespace
