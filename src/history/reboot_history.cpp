#include "reboot_history.hpp"

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

UptimeTotals scan_history_stream(std::FILE* history, std::FILE* out, std::FILE* err,
                                 RunOptions options) {
    UptimeTotals totals;
    ChunkReader reader;
    reader.stream = history;
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
    std::FILE* history = popen(history_command, read_mode);
    if (history == nullptr) {
        write_start_failure(stderr);
        return ScanAnswer::HistoryUnavailable;
    }
    const UptimeTotals totals = scan_history_stream(history, stdout, stderr, options);
    const int wait_status = pclose(history);
    // A command that failed after yielding durations still gets its summary;
    // one that yielded none has told nothing, and that is no empty history.
    // A failed pclose() (SIGCHLD left ignored) says nothing either way.
    if (totals.count == 0 && wait_status != pclose_failed &&
        write_history_failure(stderr, wait_status)) {
        return ScanAnswer::HistoryFailed;
    }
    report_mean_uptime(stdout, totals, options);
    return ScanAnswer::Completed;
}
