// The scan of the host's reboot history and the mean report.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "boot_start.hpp"
#include "total_minutes.hpp"

// A pipe this large lets the history command run ahead by more than one read
// block, so that neither side waits on the other page by page. Where the
// system refuses it, the pipe keeps its size and nothing else changes.
inline constexpr int history_pipe_size = 1 << 20;

struct RunOptions {
    bool verbose = false;  // list every duration before the summary
};

struct UptimeTotals {
    TotalMinutes total;         // sum of the sample lengths in minutes
    std::uint64_t count = 0;    // number of samples counted
    std::uint64_t crashed = 0;  // boots the history says crashed, with no end to count to
    std::uint64_t crashed_to_next_boot = 0;  // crashed boots counted to the next boot's start
};

struct HistoryScan {
    UptimeTotals totals;
    int read_error = 0;  // errno of a failed read of the stream; 0 when it was read to its end
};

enum class ScanAnswer {
    Completed,
    HistoryUnavailable,  // the history command could not be started
    HistoryFailed,       // it failed, or could not be read: what it gave is only part
};

inline constexpr EpochMinutes no_written_end = -1;

// What the history has told of the boots above the current line.
struct BootOrder {
    EpochMinutes now = 0;  // the newest boot started no later than this
    PlacedStart above;     // the latest start placed: the next one lies before it
    // above is the start of the boot line right above, so the boot of the
    // current line ended by then.
    bool next_start_known = false;
    EpochMinutes above_end = no_written_end;  // that line's start and written duration
    bool boot_seen = false;                   // a boot line came before: the newest
    // A line showed an end that its start and duration do not reach
    // (sysvinit 3.x writes the start's time there): no shown end is the end.
    bool ends_unreliable = false;
    bool line_start = true;                   // the next chunk begins a line
};

// One chunk (or whole line) of the history, in order: its listing line, its
// error line and what it adds to the totals. ends_line: the chunk's bytes
// end with a line feed, so the next one begins a line.
void scan_chunk(std::string_view text, bool ends_line, BootOrder& order, UptimeTotals& totals,
                std::FILE* out, std::FILE* err, RunOptions options);

// Reads a whole history from a descriptor: the listing lines (in verbose
// mode) go to out and the error lines for unreadable durations to err. The
// newest boot's start is placed no later than now.
HistoryScan scan_history_stream(int history, std::FILE* out, std::FILE* err, RunOptions options,
                                EpochMinutes now);

// The summary, and in verbose mode the blank line before it; nothing at all
// when no sample was counted.
void report_mean_uptime(std::FILE* out, const UptimeTotals& totals, RunOptions options);

// The whole run over the host's history command, on the process's own
// standard output and standard error.
ScanAnswer scan_reboot_history(RunOptions options);
