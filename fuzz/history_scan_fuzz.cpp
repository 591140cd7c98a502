// The whole scan and report over arbitrary bytes: nothing may crash, leak or
// trip a sanitizer, and the samples counted must be exactly the chunks, cut
// as fgets() cuts them, that the parser accepts.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "reboot_history.hpp"
#include "uptime_field.hpp"

namespace {

constexpr int fgets_buffer = 256;

std::uint64_t parsed_chunks_by_fgets(std::FILE* stream) {
    std::uint64_t parsed = 0;
    char buffer[fgets_buffer];
    while (std::fgets(buffer, sizeof buffer, stream) != nullptr) {
        if (parse_uptime_field(buffer).kind == FieldKind::Parsed) {
            ++parsed;
        }
    }
    return parsed;
}

// The scan reads a descriptor: one in-memory file, refilled for each input.
int history_descriptor(const std::uint8_t* data, std::size_t size) {
    static const int descriptor = memfd_create("history", 0);
    if (descriptor < 0 || ftruncate(descriptor, 0) != 0 ||
        pwrite(descriptor, data, size, 0) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    return descriptor;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;  // fmemopen() wants a buffer of at least one byte
    }
    void* bytes = const_cast<std::uint8_t*>(data);
    std::FILE* history = fmemopen(bytes, size, "r");
    std::FILE* sink = std::fopen("/dev/null", "w");
    if (history == nullptr || sink == nullptr) {
        std::abort();
    }
    const int descriptor = history_descriptor(data, size);
    for (const bool verbose : {false, true}) {
        if (lseek(descriptor, 0, SEEK_SET) != 0) {
            std::abort();
        }
        const RunOptions options{.verbose = verbose};
        const UptimeTotals totals = scan_history_stream(descriptor, sink, sink, options);
        report_mean_uptime(sink, totals, options);
        std::rewind(history);
        if (totals.count != parsed_chunks_by_fgets(history)) {
            std::abort();
        }
    }
    std::fclose(history);
    std::fclose(sink);
    return 0;
}
