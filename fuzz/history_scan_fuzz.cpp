// The whole scan and report over arbitrary bytes, held against a reference
// of its own written the plain way: fgets() with a 256-byte buffer for the
// chunks, sscanf() for the fields, timegm() and gmtime() for placing boot
// starts, printf() for every line, and totals kept apart. Nothing may crash, leak or trip a
// sanitizer, and the listing, the error lines, the summary and the totals must match the
// reference's.
#include <sys/mman.h>
#include <unistd.h>

#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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
    std::uint64_t counted_to_next = 0;
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

// A boot's start as placed, the plain way: the C library's calendar.
struct Placed {
    bool known = false;
    long long minute = 0;
    int year = 0;
};

struct Start {
    int weekday, month, day, hour, minute;
    std::size_t end;
};

const char* const weekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int find_name(const char* text, const char* const* names, int count) {
    for (int i = 0; i < count; ++i) {
        if (std::strncmp(text, names[i], 3) == 0) {
            return i;
        }
    }
    return -1;
}

bool digit_at(const char* text, std::size_t i) { return text[i] >= '0' && text[i] <= '9'; }
int two_digits(const char* text, std::size_t i) {
    return (text[i] == ' ' ? 0 : text[i] - '0') * 10 + text[i + 1] - '0';
}

// "reboot " first, then the first "Www Mmm DD HH:MM" after a blank.
bool find_start(const char* text, Start& start) {
    const std::size_t length = std::strlen(text);
    if (std::strncmp(text, "reboot ", 7) != 0) {
        return false;
    }
    for (std::size_t i = 1; i + 16 <= length; ++i) {
        const char* s = text + i;
        if ((s[-1] != ' ' && s[-1] != '\t') || s[3] != ' ' || s[7] != ' ' || s[10] != ' ' ||
            s[13] != ':' || !(s[8] == ' ' || digit_at(s, 8)) || !digit_at(s, 9) ||
            !digit_at(s, 11) || !digit_at(s, 12) || !digit_at(s, 14) || !digit_at(s, 15)) {
            continue;
        }
        start = {find_name(s, weekdays, 7), find_name(s + 4, months, 12) + 1,
                 two_digits(s, 8),          two_digits(s, 11),
                 two_digits(s, 14),         i + 16};
        if (start.weekday >= 0 && start.month >= 1 && start.day >= 1 && start.day <= 31 &&
            start.hour < 24 && start.minute < 60) {
            return true;
        }
    }
    return false;
}

bool word_at(const char* text, const char* word) {
    const std::size_t n = std::strlen(word);
    return std::strncmp(text, word, n) == 0 && std::strchr(" \t\n(", text[n]) != nullptr;
}

// 0 written, 1 crashed, 2 still running
int boot_end(const char* text, const Start& start) {
    const char* p = text + start.end;
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    if (std::strncmp(p, "- ", 2) == 0) {
        p += 2;
    }
    return word_at(p, "crash") ? 1 : word_at(p, "still running") ? 2 : 0;
}

// The start in that year, if the year has that day: its minute and weekday.
bool start_in(int year, const Start& start, long long& minute, int& weekday) {
    std::tm time{};
    time.tm_year = year - 1900;
    time.tm_mon = start.month - 1;
    time.tm_mday = start.day;
    time.tm_hour = start.hour;
    time.tm_min = start.minute;
    const std::time_t at = timegm(&time);
    if (time.tm_mday != start.day) {
        return false;  // normalised into the next month
    }
    minute = at / 60;
    weekday = time.tm_wday;
    return true;
}

Placed place(const Start& start, const Placed& above, long long now) {
    long long minute = 0;
    int weekday = 0;
    if (above.known) {
        for (int year = above.year; year >= above.year - 8; --year) {
            if (start_in(year, start, minute, weekday) && minute <= above.minute) {
                return weekday == start.weekday ? Placed{true, minute, year} : Placed{};
            }
        }
        return {};
    }
    const std::time_t seconds = static_cast<std::time_t>(now) * 60;
    std::tm today{};
    gmtime_r(&seconds, &today);
    for (int year = today.tm_year + 1900; year >= today.tm_year + 1900 - 28; --year) {
        if (start_in(year, start, minute, weekday) && minute <= now && weekday == start.weekday) {
            return {true, minute, year};
        }
    }
    return {};
}

void append(std::string& text, const char* format, auto... values) {
    char line[128];
    std::snprintf(line, sizeof line, format, values...);
    text += line;
}

void list_length(Expected& e, bool verbose, long long minutes) {
    if (verbose) {
        append(e.out, "%lld+%lld:%lld\n", minutes / 1440, minutes % 1440 / 60, minutes % 60);
    }
    e.total += static_cast<std::uint64_t>(minutes);
    ++e.count;
    ++e.counted_to_next;
}

Expected reference_scan(std::FILE* stream, bool verbose) {
    Expected e;
    char buffer[fgets_buffer];
    Placed above;
    bool line_start = true;
    long position = 0;
    while (std::fgets(buffer, sizeof buffer, stream) != nullptr) {
        const long next = std::ftell(stream);
        const bool ends_line = buffer[next - position - 1] == '\n';
        position = next;
        e.settled = e.settled && sscanf_reference::all_numbers_fit(buffer);
        const sscanf_reference::Reference r = sscanf_reference::reference_parse(buffer);
        long long to_next = -1;
        int end = 0;
        Start start{};
        if (line_start && find_start(buffer, start)) {
            const Placed placed = place(start, above, fuzz_now);
            if (above.known && placed.known) {
                to_next = above.minute - placed.minute;
                end = boot_end(buffer, start);
            }
            above = placed;
        } else if (line_start) {
            above = {};
        }
        line_start = ends_line;
        if (to_next >= 0 && (end != 0 || (r.kind == FieldKind::Parsed && r.length > to_next))) {
            list_length(e, verbose, to_next);
        } else if (r.kind == FieldKind::NoField) {
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
        // A number past 32 bits reads as sscanf() happens to read it, which
        // settles neither the duration nor whether it fits before the next boot.
        if (expected.settled && (scan.totals.count != expected.count ||
                                 scan.totals.crashed_to_next_boot != expected.counted_to_next ||
                                 static_cast<std::uint64_t>(scan.totals.total) != expected.total ||
                                 out.text() != expected.out || err.text() != expected.err)) {
            std::abort();
        }
    }
    std::fclose(history);
    return 0;
}
