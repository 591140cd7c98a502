#include "reboot_history.hpp"

#include <fcntl.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "chunk_reader.hpp"
#include "history_output.hpp"
#include "uptime_field.hpp"

namespace {

constexpr const char* history_command = "/usr/bin/last reboot";
constexpr const char* read_mode = "r";
constexpr int pclose_failed = -1;
constexpr std::string_view crash_mark = "- crash";
constexpr std::string_view trailing_blanks = " \t\n";

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

// One chunk through the general parser: the listing, the error line, the
// crash count and the totals it calls for.
void take_chunk(std::string_view text, UptimeTotals& totals, std::FILE* out, std::FILE* err,
                RunOptions options) {
    const FieldOutcome outcome = parse_uptime_field(text);
    switch (outcome.kind) {
        case FieldKind::NoField:
            if (is_crash_without_duration(text)) {
                ++totals.crashed;
            }
            break;
        case FieldKind::Malformed:
            write_error_line(err, outcome.field_text);
            break;
        case FieldKind::Parsed:
            if (options.verbose) {
                write_listing_line(out, outcome.sample);
            }
            totals.total += static_cast<std::uint64_t>(sample_minutes(outcome.sample));
            ++totals.count;
            break;
    }
}

}  // namespace

HistoryScan scan_history_stream(int history, std::FILE* out, std::FILE* err, RunOptions options) {
    HistoryScan scan;
    UptimeTotals& totals = scan.totals;
    ChunkReader& reader = fresh_reader(history);
    for (;;) {
        // Nearly every line lies whole in the block and ends in the shape
        // the history command writes: it is read straight from its bytes.
        // Any other line, and any chunk the fast lane does not cut, takes
        // the general way, with the same result.
        std::string_view line;
        while (next_whole_line(reader, line)) {
            UptimeSample sample;
            const std::int64_t length = read_written_duration(line, sample);
            if (length != not_written_shape) {
                if (options.verbose) {
                    write_listing_line(out, sample);
                }
                totals.total += static_cast<std::uint64_t>(length);
                ++totals.count;
            } else {
                take_chunk(line, totals, out, err, options);
            }
        }
        // A chunk is a C string to the parser: what follows a NUL is not seen.
        Chunk chunk;
        if (!next_chunk(reader, chunk)) {
            break;
        }
        take_chunk(chunk.text, totals, out, err, options);
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
    std::FILE* history = popen(history_command, read_mode);
    if (history == nullptr) {
        write_start_failure(stderr);
        return ScanAnswer::HistoryUnavailable;
    }
    // The stream's descriptor is read directly: popen()'s stdio buffer would
    // cut every read to 4 KiB and hold lines back until a block is full.
    fcntl(fileno(history), F_SETPIPE_SZ, history_pipe_size);
    const HistoryScan scan = scan_history_stream(fileno(history), stdout, stderr, options);
    const int wait_status = pclose(history);
    // Part of a history is no history: a mean of what happened to be read
    // would look like an answer.
    if (scan.read_error != 0) {
        write_read_failure(stderr, scan.read_error);
        return ScanAnswer::HistoryFailed;
    }
    // A command that failed after yielding durations still gets its summary;
    // one that yielded none has told nothing, and that is no empty history.
    // A pclose() that fails all the same says nothing either way.
    if (scan.totals.count == 0 && wait_status != pclose_failed &&
        write_history_failure(stderr, wait_status)) {
        return ScanAnswer::HistoryFailed;
    }
    if (scan.totals.crashed != 0) {
        write_crash_count(stderr, scan.totals.crashed);
    }
    report_mean_uptime(stdout, scan.totals, options);
    return ScanAnswer::Completed;
}
