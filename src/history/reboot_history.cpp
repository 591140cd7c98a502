#include "reboot_history.hpp"

#include <fcntl.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include "boot_start.hpp"
#include "chunk_reader.hpp"
#include "history_output.hpp"
#include "uptime_field.hpp"

namespace {

constexpr const char* history_command = "/usr/bin/last reboot";
constexpr const char* read_mode = "r";
constexpr int pclose_failed = -1;
constexpr std::string_view crash_mark = "- crash";
constexpr std::string_view trailing_blanks = " \t\n";
constexpr std::int64_t seconds_per_minute = 60;
// The history is read with English names and UTC times, whatever the
// caller's locale and zone: no daylight-saving hour lies between two starts.
constexpr const char* zone_variable = "TZ";
constexpr const char* zone = "UTC0";
constexpr const char* locale_variable = "LC_ALL";
constexpr const char* locale = "C";
constexpr int overwrite = 1;

// A boot that ended in a crash, as a history command that cannot tell its
// length writes it: the line ends with "- crash" and gives no duration.
bool is_crash_without_duration(std::string_view text) {
    const std::size_t last = text.find_last_not_of(trailing_blanks);
    return last != std::string_view::npos && text.substr(0, last + 1).ends_with(crash_mark);
}

// 72 KiB of block and masks: too much for a small stack, so the one reader
// of a run lives in static storage and is set afresh for each scan.
ChunkReader& fresh_reader(int descriptor) {
    static ChunkReader reader;
    reader = ChunkReader{};
    reader.descriptor = descriptor;
    return reader;
}

constexpr std::int64_t no_next_start = -1;

// For a chunk that begins a boot line: the minutes from its start to the
// start of the boot right above it, where both are placed; no_next_start
// otherwise. Every chunk that begins a line becomes the one above the next.
std::int64_t minutes_to_next_start(std::string_view text, BootOrder& order, BootEnd& end) {
    if (!order.line_start) {
        return no_next_start;
    }
    BootStart start;
    if (!read_boot_start(text, start)) {
        order.above = {};
        return no_next_start;
    }
    const PlacedStart above = order.above;
    order.above = above.known ? place_below(start, above) : place_before(start, order.now);
    if (!above.known || !order.above.known) {
        return no_next_start;
    }
    end = read_boot_end(text, start);
    return above.at - order.above.at;
}

enum class Verdict {
    Nothing,
    Counted,         // a boot's written duration
    CountedToNext,   // a crashed boot, counted to the next boot's start
    Unreadable,      // a duration that cannot be read, or is no boot's length
    CrashUncounted,  // a crash whose end cannot be known
};

struct Judgement {
    Verdict verdict = Verdict::Nothing;
    UptimeSample sample{};          // Counted, CountedToNext: as it is listed
    std::int64_t minutes = 0;       // Counted, CountedToNext
    std::string_view field_text{};  // Unreadable
};

UptimeSample sample_of_length(std::int64_t minutes) {
    constexpr std::int64_t per_hour = 60;
    constexpr std::int64_t per_day = 24 * per_hour;
    return {static_cast<std::int32_t>(minutes / per_day),
            static_cast<std::int32_t>(minutes % per_day / per_hour),
            static_cast<std::int32_t>(minutes % per_hour), SampleForm::WithDays, false};
}

Judgement counted_to_next(std::int64_t minutes) {
    return {Verdict::CountedToNext, sample_of_length(minutes), minutes, {}};
}

// A boot ends at the earlier of its written end and the next boot's start:
// a boot whose end the history gives as a crash, as still running below a
// newer boot, or as later than the next start (a history command that runs
// a crashed boot on to the next shutdown), crashed at that start. Where the
// next start is not known, the line is taken as it is written.
Judgement judge_chunk(std::string_view text, BootOrder& order) {
    BootEnd end = BootEnd::Written;
    const std::int64_t to_next = minutes_to_next_start(text, order, end);
    if (to_next != no_next_start && end != BootEnd::Written) {
        return counted_to_next(to_next);
    }
    Judgement judgement;
    judgement.minutes = read_written_duration(text, judgement.sample);
    if (judgement.minutes == not_written_shape) {
        const FieldOutcome outcome = parse_uptime_field(text);
        switch (outcome.kind) {
            case FieldKind::NoField:
                return {is_crash_without_duration(text) ? Verdict::CrashUncounted
                                                        : Verdict::Nothing};
            case FieldKind::Malformed:
                return {Verdict::Unreadable, {}, 0, outcome.field_text};
            case FieldKind::Parsed:
                judgement.sample = outcome.sample;
                judgement.minutes = sample_minutes(outcome.sample);
                break;
        }
    }
    if (to_next != no_next_start && judgement.minutes > to_next) {
        return counted_to_next(to_next);
    }
    judgement.verdict = Verdict::Counted;
    return judgement;
}

// The listing, the error line and the totals that a judgement calls for.
void take_judgement(const Judgement& judgement, UptimeTotals& totals, std::FILE* out,
                    std::FILE* err, RunOptions options) {
    switch (judgement.verdict) {
        case Verdict::Nothing:
            return;
        case Verdict::CrashUncounted:
            ++totals.crashed;
            return;
        case Verdict::Unreadable:
            write_error_line(err, judgement.field_text);
            return;
        case Verdict::CountedToNext:
            ++totals.crashed_to_next_boot;
            break;
        case Verdict::Counted:
            break;
    }
    if (options.verbose) {
        write_listing_line(out, judgement.sample);
    }
    totals.total += static_cast<std::uint64_t>(judgement.minutes);
    ++totals.count;
}

}  // namespace

void scan_chunk(std::string_view text, bool ends_line, BootOrder& order, UptimeTotals& totals,
                std::FILE* out, std::FILE* err, RunOptions options) {
    take_judgement(judge_chunk(text, order), totals, out, err, options);
    order.line_start = ends_line;
}

HistoryScan scan_history_stream(int history, std::FILE* out, std::FILE* err, RunOptions options,
                                EpochMinutes now) {
    HistoryScan scan;
    BootOrder order;
    order.now = now;
    ChunkReader& reader = fresh_reader(history);
    for (;;) {
        // Nearly every line lies whole in the block: it is cut straight from
        // the block's bytes. Any chunk the fast lane does not cut takes the
        // general way, with the same result.
        std::string_view line;
        while (next_whole_line(reader, line)) {
            scan_chunk(line, true, order, scan.totals, out, err, options);
        }
        // A chunk is a C string to the parser: what follows a NUL is not seen.
        Chunk chunk;
        if (!next_chunk(reader, chunk)) {
            break;
        }
        scan_chunk(chunk.text, chunk.bytes.ends_with('\n'), order, scan.totals, out, err, options);
    }
    scan.read_error = reader.error;
    return scan;
}

void report_mean_uptime(std::FILE* out, const UptimeTotals& totals, RunOptions options) {
    if (totals.count == 0) {
        return;
    }
    // Truncated; a mean never exceeds the largest sample, so it fits in 64 bits.
    const auto mean = static_cast<std::uint64_t>(totals.total / totals.count);
    if (options.verbose) {
        write_blank_line(out);
    }
    write_summary_line(out, mean);
}

ScanAnswer scan_reboot_history(RunOptions options) {
    // A caller that left SIGCHLD ignored (a daemon, `trap '' CHLD`) would have
    // the kernel reap the command at once, and pclose() could not tell a
    // failed history from an empty one; the command would inherit it too.
    std::signal(SIGCHLD, SIG_DFL);
    // Set here for the command, which inherits them; nothing in this
    // process reads either.
    setenv(zone_variable, zone, overwrite);
    setenv(locale_variable, locale, overwrite);
    std::FILE* history = popen(history_command, read_mode);
    if (history == nullptr) {
        write_start_failure(stderr);
        return ScanAnswer::HistoryUnavailable;
    }
    // The stream's descriptor is read directly: popen()'s stdio buffer would
    // cut every read to 4 KiB and hold lines back until a block is full.
    fcntl(fileno(history), F_SETPIPE_SZ, history_pipe_size);
    const EpochMinutes now = std::time(nullptr) / seconds_per_minute;
    const HistoryScan scan = scan_history_stream(fileno(history), stdout, stderr, options, now);
    const int wait_status = pclose(history);
    // Part of a history is no history: a mean of what happened to be read
    // would look like an answer.
    if (scan.read_error != 0) {
        write_read_failure(stderr, scan.read_error);
        return ScanAnswer::HistoryFailed;
    }
    // A command that failed part way has told only part of the history,
    // and the mean of a part looks like an answer: none is given. A
    // pclose() that fails all the same says nothing either way.
    if (wait_status != pclose_failed && write_history_failure(stderr, wait_status)) {
        return ScanAnswer::HistoryFailed;
    }
    if (scan.totals.crashed_to_next_boot != 0) {
        write_crashes_counted(stderr, scan.totals.crashed_to_next_boot);
    }
    if (scan.totals.crashed != 0) {
        write_crash_count(stderr, scan.totals.crashed);
    }
    report_mean_uptime(stdout, scan.totals, options);
    return ScanAnswer::Completed;
}
