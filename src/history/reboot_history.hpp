// The scan of the host's reboot history and the mean report.
#pragma once

#include <cstdint>
#include <cstdio>

// A pipe this large lets the history command run ahead by more than one read
// block, so that neither side waits on the other page by page. Where the
// system refuses it, the pipe keeps its size and nothing else changes.
inline constexpr int history_pipe_size = 1 << 20;

struct RunOptions {
    bool verbose = false;  // list every duration before the summary
};

// Wide enough that no history can overflow it: each sample is under 2^26
// minutes and the count is 64-bit.
__extension__ using TotalMinutes = unsigned __int128;

struct UptimeTotals {
    TotalMinutes total = 0;     // sum of the sample lengths in minutes
    std::uint64_t count = 0;    // number of samples counted
    std::uint64_t crashed = 0;  // boots the history says crashed, with no duration to count
};

struct HistoryScan {
    UptimeTotals totals;
    int read_error = 0;  // errno of a failed read of the stream; 0 when it was read to its end
};

enum class ScanAnswer {
    Completed,
    HistoryUnavailable,  // the history command could not be started
    HistoryFailed,       // it failed without yielding a single duration, or could not be read
};

// Reads a whole history from a descriptor: the listing lines (in verbose
// mode) go to out and the error lines for unreadable durations to err.
HistoryScan scan_history_stream(int history, std::FILE* out, std::FILE* err, RunOptions options);

// The summary, and in verbose mode the blank line before it; nothing at all
// when no sample was counted.
void report_mean_uptime(std::FILE* out, const UptimeTotals& totals, RunOptions options);

// The whole run over the host's history command, on the process's own
// standard output and standard error.
ScanAnswer scan_reboot_history(RunOptions options);
