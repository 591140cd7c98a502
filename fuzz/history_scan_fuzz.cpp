// The whole scan and report over arbitrary bytes, held against a reference
// of its own written the plain way: fgets() with a 256-byte buffer for the
// chunks, sscanf() for the fields, printf() for every line, and totals kept
// apart. Nothing may crash, leak or trip a sanitizer, and the listing, the
// error lines, the summary and the totals must match the reference's.
#include <sys/mman.h>
#include <unistd.h>

#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "reboot_history.hpp"
#include "sscanf_reference.hpp"
#include "stream_capture.hpp"

namespace {

constexpr int fgets_buffer = 256;
constexpr EpochMinutes fuzz_now = 29945520;  // 2026-12-08 12:00 UTC

struct Expected {
    std::string out;
    std::string err;
    std::uint64_t total = 0;
    std::uint64_t count = 0;
    std::uint64_t crashed = 0;
    bool settled = true;  // false when a number is beyond what sscanf() settles
};

bool ends_with_crash(const char* text) {
    std::size_t length = std::strlen(text);
    while (length > 0 && std::strchr(" \t\n", text[length - 1]) != nullptr) {
        --length;
    }
    constexpr std::size_t mark = sizeof "- crash" - 1;
    return length >= mark && std::memcmp(text + length - mark, "- crash", mark) == 0;
}

void append(std::string& text, const char* format, auto... values) {
    char line[128];
    std::snprintf(line, sizeof line, format, values...);
    text += line;
}

Expected reference_scan(std::FILE* stream, bool verbose) {
    Expected e;
    char buffer[fgets_buffer];
    while (std::fgets(buffer, sizeof buffer, stream) != nullptr) {
        e.settled = e.settled && sscanf_reference::all_numbers_fit(buffer);
        const sscanf_reference::Reference r = sscanf_reference::reference_parse(buffer);
        if (r.kind == FieldKind::NoField) {
            e.crashed += ends_with_crash(buffer) ? 1 : 0;
        } else if (r.kind == FieldKind::Malformed) {
            e.err += "Error reading from ";
            e.err += r.field_text;
            e.err += "\n";
        } else {
            if (verbose && r.form == SampleForm::WithDays) {
                append(e.out, "%d+%d:%d\n", r.days, r.hours, r.minutes);
            } else if (verbose) {
                append(e.out, "0+%d:%d\n", r.hours, r.minutes);
            }
            e.total += static_cast<std::uint64_t>(r.length);
            ++e.count;
        }
    }
    if (e.count != 0) {
        const std::uint64_t mean = e.total / e.count;
        if (verbose) {
            e.out += "\n";
        }
        append(e.out,
               "* Mean time between reboots:\t\t%" PRIu64 " minutes (%" PRIu64 "+%" PRIu64
               ":%" PRIu64 ")\n",
               mean, mean / 1440, mean % 1440 / 60, mean % 60);
    }
    return e;
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
    if (history == nullptr) {
        std::abort();
    }
    const int descriptor = history_descriptor(data, size);
    for (const bool verbose : {false, true}) {
        if (lseek(descriptor, 0, SEEK_SET) != 0) {
            std::abort();
        }
        CapturedStream out;
        CapturedStream err;
        const RunOptions options{.verbose = verbose};
        const HistoryScan scan =
            scan_history_stream(descriptor, out.stream, err.stream, options, fuzz_now);
        report_mean_uptime(out.stream, scan.totals, options);
        std::rewind(history);
        const Expected expected = reference_scan(history, verbose);
        if (scan.read_error != 0 || scan.totals.crashed != expected.crashed) {
            std::abort();
        }
        if (expected.settled && (scan.totals.count != expected.count ||
                                 static_cast<std::uint64_t>(scan.totals.total) != expected.total ||
                                 out.text() != expected.out || err.text() != expected.err)) {
            std::abort();
        }
    }
    std::fclose(history);
    return 0;
}
