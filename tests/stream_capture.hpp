// Streams for feeding the scan fixture text and reading back what it wrote.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// A FILE* that collects whatever is written to it.
struct CapturedStream {
    char* data = nullptr;
    std::size_t size = 0;
    std::FILE* stream = open_memstream(&data, &size);

    CapturedStream() = default;
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;
    ~CapturedStream() {
        if (stream != nullptr) {
            std::fclose(stream);
        }
        std::free(data);
    }

    std::string text() {
        std::fflush(stream);
        return {data, size};
    }
};

// A readable FILE* holding exactly these bytes, NULs included.
inline std::FILE* stream_of(std::string_view bytes) {
    std::FILE* stream = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::rewind(stream);
    return stream;
}
