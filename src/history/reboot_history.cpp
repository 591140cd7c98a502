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

}  // namespace

UptimeTotals scan_history_stream(int history, std::FILE* out, std::FILE* err, RunOptions options) {
    UptimeTotals totals;
    ChunkReader reader;
    reader.descriptor = history;
    // A chunk is a C string to the parser: what follows a NUL is not seen.
    Chunk chunk;
    while (next_chunk(reader, chunk)) {
        const FieldOutcome outcome = parse_uptime_field(chunk.text);
        switch (outcome.kind) {
            case FieldKind::NoField:
                break;
            case FieldKind::Malformed:
                write_error_line(err, outcome.field_text);
                break;
            case FieldKind::Parsed:
                if (options.verbose) {
                    write_listing_line(out, outcome.sample);
                }
                totals.total += sample_minutes(outcome.sample);
                ++totals.count;
                break;
        }
    }
    return totals;
}

void report_mean_uptime(std::FILE* out, const UptimeTotals& totals, RunOptions options) {
    if (totals.count == 0) {
        return;
    }
    // Truncates toward zero; the magnitude of a mean never exceeds that of
    // the largest sample, so it fits in 64 bits.
    const auto mean =
        static_cast<std::int64_t>(totals.total / static_cast<TotalMinutes>(totals.count));
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
    const UptimeTotals totals = scan_history_stream(fileno(history), stdout, stderr, options);
    const int wait_status = pclose(history);
    // A command that failed after yielding durations still gets its summary;
    // one that yielded none has told nothing, and that is no empty history.
    // A pclose() that fails all the same says nothing either way.
    if (totals.count == 0 && wait_status != pclose_failed &&
        write_history_failure(stderr, wait_status)) {
        return ScanAnswer::HistoryFailed;
    }
    report_mean_uptime(stdout, totals, options);
    return ScanAnswer::Completed;
}
