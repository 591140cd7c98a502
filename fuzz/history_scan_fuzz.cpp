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
#include <limits>
#include <string>

#include "reboot_history.hpp"
#include "sscanf_reference.hpp"
#include "stream_capture.hpp"

namespace {

constexpr int fgets_buffer = 256;
constexpr EpochMinutes fuzz_now = 29945520;  // 2026-12-08 12:00 UTC
// No minute: a start placed before 1970 ends at a negative one.
constexpr long long no_minute = std::numeric_limits<long long>::min();

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
    int month = 0, day = 0, minute_of_day = 0;
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

// 0 written, 1 crashed, 2 still running; a written end's time of day, or -1.
int boot_end(const char* text, const Start& start, int& shown_end) {
    const char* p = text + start.end;
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    if (std::strncmp(p, "- ", 2) == 0) {
        p += 2;
    }
    shown_end = -1;
    int hour = 0;
    int minute = 0;
    if (digit_at(p, 0) && digit_at(p, 1) && p[2] == ':' && digit_at(p, 3) && digit_at(p, 4) &&
        std::sscanf(p, "%2d:%2d", &hour, &minute) == 2 && hour < 24 && minute < 60) {
        shown_end = hour * 60 + minute;
    }
    if (digit_at(p, 0) || *p == '\0') {
        return 0;
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

Placed placed_at(const Start& start, long long minute, int year) {
    return {true, minute, year, start.month, start.day, start.hour * 60 + start.minute};
}

// Below a placed start: in the latest year in which the date comes no later
// than it, or one of the three before, on the start's weekday.
Placed place(const Start& start, const Placed& above, long long now) {
    long long minute = 0;
    int weekday = 0;
    if (above.known) {
        const bool later_in_year =
            start.month != above.month   ? start.month > above.month
            : start.day != above.day     ? start.day > above.day
                                         : start.hour * 60 + start.minute > above.minute_of_day;
        const int latest = above.year - (later_in_year ? 1 : 0);
        for (int year = latest; year > latest - 4; --year) {
            if (start_in(year, start, minute, weekday) && weekday == start.weekday) {
                return placed_at(start, minute, year);
            }
        }
        return {};
    }
    const std::time_t seconds = static_cast<std::time_t>(now) * 60;
    std::tm today{};
    gmtime_r(&seconds, &today);
    for (int year = today.tm_year + 1900; year >= today.tm_year + 1900 - 28; --year) {
        if (start_in(year, start, minute, weekday) && minute <= now && weekday == start.weekday) {
            return placed_at(start, minute, year);
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

void list_written(Expected& e, bool verbose, const sscanf_reference::Reference& r) {
    if (verbose && r.form == SampleForm::WithDays) {
        append(e.out, "%d+%d:%d\n", r.days, r.hours, r.minutes);
    } else if (verbose) {
        append(e.out, "0+%d:%d\n", r.hours, r.minutes);
    }
    e.total += static_cast<std::uint64_t>(r.length);
    ++e.count;
}

// What the boots above the current line have told.
struct Order {
    Placed above;             // the latest placed start
    bool next_known = false;  // it is the start of the line right above
    long long above_end = no_minute;  // that line's placed start and written length
    bool boot_seen = false;
    bool ends_unreliable = false;  // an end shown that start and length do not reach
};

bool run_on(const Order& before, long long shown_at, bool unreliable, long long length,
            long long to_next);

// 1 counted to the next start (to_next), 2 taken as written, 3 a crash not
// counted, 0 nothing, 4 an error line.
int judge_boot(const char* buffer, const Start& start, const sscanf_reference::Reference& r,
               Order& order, long long& to_next) {
    int shown_end = -1;
    int end = boot_end(buffer, start, shown_end);
    if (end == 0 && r.kind == FieldKind::NoField && ends_with_crash(buffer)) {
        end = 1;
    }
    const bool newest = !order.boot_seen;
    order.boot_seen = true;
    const bool has_length = end != 2 && r.kind == FieldKind::Parsed;
    const long long length = r.length;
    // A crash's length below zero: the next start came before this one.
    Placed placed = end == 1 && r.kind == FieldKind::Malformed && r.length < 0 && order.above.known
                        ? Placed{}
                        : place(start, order.above, fuzz_now);
    if (placed.known && has_length && order.above.known &&
        placed.minute + length > order.above.minute &&
        !(order.next_known && order.above_end != no_minute &&
          std::llabs(placed.minute + length - order.above_end) <= 1)) {
        placed = {};
    }
    // A clock set back: the start after the one above, within a year.
    bool set_back = false;
    if (!placed.known && order.above.known) {
        const bool later_in_year =
            start.month != order.above.month ? start.month > order.above.month
            : start.day != order.above.day   ? start.day > order.above.day
                                             : start.hour * 60 + start.minute >
                                                   order.above.minute_of_day;
        const int year = order.above.year + (later_in_year ? 0 : 1);
        long long minute = 0;
        int weekday = 0;
        if (start_in(year, start, minute, weekday) && weekday == start.weekday &&
            minute <= fuzz_now) {
            placed = placed_at(start, minute, year);
            set_back = true;
        }
    }
    const bool known = placed.known && order.next_known && !set_back;
    to_next = known ? order.above.minute - placed.minute : 0;
    const Order before = order;
    order.next_known = placed.known;
    order.above_end = placed.known && has_length ? placed.minute + length : no_minute;
    if (placed.known) {
        order.above = placed;
    }
    if (end == 2) {
        return newest ? 0 : known ? 1 : 3;
    }
    if (end == 1) {
        if (r.kind == FieldKind::Malformed) {
            return 4;
        }
        if (known) {
            return 1;
        }
        if (has_length) {
            to_next = length;
            return 1;
        }
        return 3;
    }
    if (r.kind != FieldKind::Parsed) {
        return r.kind == FieldKind::Malformed ? 4 : 0;
    }
    // The end shown, as a minute that the start and length reach, or none.
    long long written_end_shown = no_minute;
    if (placed.known && shown_end >= 0) {
        for (long long late = 0; late <= 1 && written_end_shown == no_minute; ++late) {
            const std::time_t seconds =
                static_cast<std::time_t>(placed.minute + length + late) * 60;
            std::tm at{};
            gmtime_r(&seconds, &at);
            if (at.tm_hour * 60 + at.tm_min == shown_end) {
                written_end_shown = placed.minute + length + late;
            }
        }
        if (written_end_shown == no_minute) {
            order.ends_unreliable = true;
        }
    }
    if (newest && placed.known && placed.minute + length >= fuzz_now - 1 &&
        placed.minute + length <= fuzz_now + 1) {
        return 0;
    }
    if (!known) {
        return 2;
    }
    if (length > to_next) {
        return 1;
    }
    if (length + 1 < to_next) {
        return 2;
    }
    // As long as the gap, or a minute less: a run-on to a shutdown within a
    // minute of the next start, where the end shown or a short boot above says so.
    return run_on(before, written_end_shown, order.ends_unreliable, length, to_next) ? 1 : 2;
}

// Where the end shown cannot tell: a run-on's length, truncated from
// seconds, is no shorter than the gap and the boot above, less a minute.
bool run_on(const Order& before, long long shown_at, bool unreliable, long long length,
            long long to_next) {
    if (!unreliable && shown_at != no_minute) {
        return shown_at > before.above.minute;
    }
    return before.above_end != no_minute &&
           length + 1 >= to_next + (before.above_end - before.above.minute);
}

Expected reference_scan(std::FILE* stream, bool verbose) {
    Expected e;
    char buffer[fgets_buffer];
    Order order;
    bool line_start = true;
    long position = 0;
    while (std::fgets(buffer, sizeof buffer, stream) != nullptr) {
        const long next = std::ftell(stream);
        const bool ends_line = buffer[next - position - 1] == '\n';
        position = next;
        e.settled = e.settled && sscanf_reference::all_numbers_fit(buffer);
        const sscanf_reference::Reference r = sscanf_reference::reference_parse(buffer);
        Start start{};
        int verdict = -1;
        long long to_next = 0;
        if (line_start && find_start(buffer, start)) {
            verdict = judge_boot(buffer, start, r, order, to_next);
        } else if (line_start) {
            order.next_known = false;
            order.above_end = no_minute;
        }
        line_start = ends_line;
        if (verdict == 1) {
            list_length(e, verbose, to_next);
        } else if (verdict == 3) {
            ++e.crashed;
        } else if (verdict == 0) {
        } else if (r.kind == FieldKind::NoField) {
            e.crashed += ends_with_crash(buffer) ? 1 : 0;
        } else if (r.kind == FieldKind::Malformed) {
            e.err += "Error reading from ";
            e.err += r.field_text;
            e.err += "\n";
        } else {
            list_written(e, verbose, r);
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
        if (scan.read_error != 0) {
            std::abort();
        }
        // A number past 32 bits reads as sscanf() happens to read it, which
        // settles neither the duration nor whether it fits before the next
        // boot, and so neither where the boots below it are placed nor which
        // of their crashes can be counted.
        if (expected.settled && (scan.totals.count != expected.count ||
                                 scan.totals.crashed != expected.crashed ||
                                 scan.totals.crashed_to_next_boot != expected.counted_to_next ||
                                 scan.totals.total != TotalMinutes{.low = expected.total} ||
                                 out.text() != expected.out || err.text() != expected.err)) {
            std::abort();
        }
    }
    std::fclose(history);
    return 0;
}
