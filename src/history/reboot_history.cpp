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
#include "history_command.hpp"
#include "history_output.hpp"
#include "uptime_field.hpp"

namespace {

constexpr const char* history_command = "/usr/bin/last reboot";
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
    bool below_zero = false;        // Unreadable: a length read, and less than zero
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

// The duration a chunk ends with: Counted with its length, Unreadable, or
// Nothing where it has none.
Judgement written_duration(std::string_view text) {
    Judgement judgement;
    judgement.minutes = read_written_duration(text, judgement.sample);
    if (judgement.minutes == not_written_shape) {
        const FieldOutcome outcome = parse_uptime_field(text);
        switch (outcome.kind) {
            case FieldKind::NoField:
                return {};
            case FieldKind::Malformed:
                return {Verdict::Unreadable, {}, 0, outcome.field_text, outcome.below_zero};
            case FieldKind::Parsed:
                judgement.sample = outcome.sample;
                judgement.minutes = sample_minutes(outcome.sample);
                break;
        }
    }
    judgement.verdict = Verdict::Counted;
    return judgement;
}

constexpr std::int64_t minutes_per_day = 1440;
// `last` truncates both a start and a length to the minute, so an end
// worked out from them may lie a minute before the one it shows.
constexpr std::int64_t truncation_slack = 1;

// Where a boot line with the duration it is written with may be placed. A
// boot ended before the start above it, or, crashed, was run on by its
// `last` to the next shutdown, where the boot above it ended too: any
// other length says the start was placed in the wrong year.
bool fits_placement(const PlacedStart& placed, std::int64_t minutes, const BootOrder& order) {
    const std::int64_t end = placed.at + minutes;
    if (end <= order.above.at) {
        return true;
    }
    return order.next_start_known && order.above_end != no_written_end &&
           end >= order.above_end - truncation_slack && end <= order.above_end + truncation_slack;
}

constexpr std::int64_t time_of_day(std::int64_t minutes) {
    return (minutes % minutes_per_day + minutes_per_day) % minutes_per_day;
}

// Where a start and duration end, to the minute, by the end the line shows:
// no_written_end where it shows none, or one they do not reach.
std::int64_t shown_end_at(const ShownEnd& shown, std::int64_t end) {
    for (std::int64_t late = 0; late <= truncation_slack; ++late) {
        if (shown.minute_of_day != no_shown_end && time_of_day(end + late) == shown.minute_of_day) {
            return end + late;
        }
    }
    return no_written_end;
}

// A boot written as lasting to the next start, or a minute less: crashed
// and run on to a shutdown within a minute of that start, or shut down
// then. The end `last` shows tells them apart where it is the end: later
// than the next start is a run-on. sysvinit 3.x shows the start's time
// there: then the boot above, which the run-on would have ended with, says
// so. `last` truncates the seconds from a start to the end it runs on to,
// so a run-on is written no shorter than the gap and the boot above
// together, less the minute truncation takes: a minute short of the gap is
// a run-on only below a boot written as (00:00).
bool ran_on_to_next(std::int64_t shown_end, std::int64_t written, std::int64_t to_next,
                    const BootOrder& order) {
    if (!order.ends_unreliable && shown_end != no_written_end) {
        return shown_end > order.above.at;
    }
    return order.above_end != no_written_end &&
           written >= to_next - truncation_slack + (order.above_end - order.above.at);
}

// A boot line whose start is placed, or not, and what its end says.
Judgement judge_boot_line(std::string_view text, const BootStart& start, BootOrder& order) {
    const ShownEnd shown = read_boot_end(text, start);
    const bool newest = !order.boot_seen;
    order.boot_seen = true;
    const Judgement written =
        shown.kind == BootEnd::Written || shown.kind == BootEnd::Crashed ? written_duration(text)
                                                                         : Judgement{};
    const bool has_length = written.verdict == Verdict::Counted;
    // A line that shows an end and then "- crash" is a crash all the same.
    const BootEnd end_kind = shown.kind == BootEnd::Written &&
                                     written.verdict == Verdict::Nothing &&
                                     is_crash_without_duration(text)
                                 ? BootEnd::Crashed
                                 : shown.kind;
    // A crash's length is measured to the next start: below zero, that
    // start came before this one, as the clock was set back, and no earlier
    // year may be found for this one.
    const bool next_start_before = end_kind == BootEnd::Crashed && written.below_zero;
    PlacedStart placed = !order.above.known ? place_before(start, order.now)
                         : next_start_before ? PlacedStart{}
                                             : place_below(start, order.above);
    if (placed.known && has_length && order.above.known &&
        !fits_placement(placed, written.minutes, order)) {
        placed = {};
    }
    // A start after the one above: the clock was set back between them. It
    // has no next start to be counted to, and the lines below follow it.
    bool set_back = false;
    if (!placed.known && order.above.known) {
        placed = place_after(start, order.above, order.now);
        set_back = placed.known;
    }
    const bool to_next_known = placed.known && order.next_start_known && !set_back;
    const std::int64_t to_next = to_next_known ? order.above.at - placed.at : 0;
    // Where the placed start and the written duration end.
    const std::int64_t written_end =
        placed.known && has_length ? placed.at + written.minutes : no_written_end;
    // What the next line is placed below and may be checked against.
    const auto settle = [&](Judgement judgement) {
        order.next_start_known = placed.known;
        order.above_end = written_end;
        if (placed.known) {
            order.above = placed;
        }
        return judgement;
    };
    switch (end_kind) {
        case BootEnd::StillRunning:
            if (newest) {
                return settle({});
            }
            return settle(to_next_known ? counted_to_next(to_next)
                                        : Judgement{Verdict::CrashUncounted});
        case BootEnd::Crashed:
            // An unreadable length gets its error line wherever the line
            // stands, as any other does: it is no length to count to.
            if (written.verdict == Verdict::Unreadable) {
                return settle(written);
            }
            if (to_next_known) {
                return settle(counted_to_next(to_next));
            }
            // util-linux writes a crashed boot's length to the next start.
            if (has_length) {
                return settle(counted_to_next(written.minutes));
            }
            return settle({Verdict::CrashUncounted});
        case BootEnd::Written:
            break;
    }
    if (!has_length) {
        return settle(written);
    }
    const std::int64_t shown_end = placed.known ? shown_end_at(shown, written_end) : no_written_end;
    if (placed.known && shown.minute_of_day != no_shown_end && shown_end == no_written_end) {
        order.ends_unreliable = true;
    }
    // sysvinit's `last` writes the running boot as ended when it read the
    // clock, no earlier than the scan's now and within a minute of it.
    if (newest && placed.known && written_end >= order.now - truncation_slack &&
        written_end <= order.now + truncation_slack) {
        return settle({});
    }
    if (to_next_known &&
        (written.minutes > to_next ||
         (written.minutes >= to_next - truncation_slack &&
          ran_on_to_next(shown_end, written.minutes, to_next, order)))) {
        return settle(counted_to_next(to_next));
    }
    return settle(written);
}

// A boot ends at the earlier of its written end and the next boot's start:
// a boot whose end the history gives as a crash, as still running below a
// newer boot, or as later than the next start (a history command that runs
// a crashed boot on to the next shutdown), crashed at that start. Where the
// next start is not known, the line is taken as it is written.
Judgement judge_chunk(std::string_view text, BootOrder& order) {
    BootStart start;
    if (order.line_start) {
        if (read_boot_start(text, start)) {
            return judge_boot_line(text, start, order);
        }
        order.next_start_known = false;
        order.above_end = no_written_end;
    }
    const Judgement written = written_duration(text);
    if (written.verdict == Verdict::Nothing && is_crash_without_duration(text)) {
        return {Verdict::CrashUncounted};
    }
    return written;
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
    add_minutes(totals.total, static_cast<std::uint64_t>(judgement.minutes));
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
    const std::uint64_t mean = divide_total(totals.total, totals.count);
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
    // Read before the command starts, so that its own clock, which sysvinit's
    // `last` ends the running boot with, is no earlier.
    const EpochMinutes now = std::time(nullptr) / seconds_per_minute;
    HistoryCommand history;
    if (!start_history_command(history_command, history)) {
        write_start_failure(stderr);
        return ScanAnswer::HistoryUnavailable;
    }
    // The stream's descriptor is read directly: popen()'s stdio buffer would
    // cut every read to 4 KiB and hold lines back until a block is full.
    fcntl(history.descriptor, F_SETPIPE_SZ, history_pipe_size);
    const HistoryScan scan = scan_history_stream(history.descriptor, stdout, stderr, options, now);
    const int wait_status = finish_history_command(history);
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
