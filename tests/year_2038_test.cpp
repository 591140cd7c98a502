// The scan with its clock past 19 January 2038, where a 32-bit time_t ends.
// Built with the other tests here, and cross-built statically for each
// 32-bit release architecture and run there under qemu-user, which takes the
// host's clock: so the test gives the scan its "now" directly. It prints
// "N passed, N failed" and exits non-zero on any failure.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "reboot_history.hpp"
#include "stream_capture.hpp"

namespace {

// From 1901 to 2099 the calendar, weekdays and leap days, repeats every 28
// years; so a history read 28 years later places every boot 28 years later,
// and every length and the mean are the same.
constexpr EpochMinutes minutes_per_day = 1440;
constexpr EpochMinutes calendar_cycle = (28 * 365 + 7) * minutes_per_day;
constexpr EpochMinutes today = 29945520;                // 2026-12-08 12:00 UTC
constexpr EpochMinutes past_2038 = 35791440;            // 2038-01-19 04:00 UTC
constexpr EpochMinutes last_32_bit_minute = INT32_MAX / 60;  // 2038-01-19 03:14 UTC

const char* const prefix = "reboot   system boot  6.1.0-18-amd64   ";

// Boots either side of 2038-01-19 03:14, newest first: a crash counted to
// the next boot's start across it.
const std::string history_of_2038 = std::string(prefix) + "Tue Jan 19 03:30   still running\n" +
                                    prefix + "Mon Jan 18 22:00 - crash\n" + prefix +
                                    "Sun Jan 17 08:00 - 21:58  (1+13:58)\n" + prefix +
                                    "Thu Dec 31 23:00 - 07:55  (16+08:55)\n";
// Boots as a node lists them today.
const std::string history_of_today = std::string(prefix) + "Tue Dec  8 09:00   still running\n" +
                                     prefix + "Sat Dec  5 10:00 - crash\n" + prefix +
                                     "Thu Nov 19 07:00 - 09:58  (16+02:58)\n";

struct Scanned {
    std::string out;
    std::string err;
    UptimeTotals totals;
};

Scanned scan_at(const std::string& history, EpochMinutes now) {
    std::FILE* stream = stream_of(history);
    CapturedStream out;
    CapturedStream err;
    const RunOptions options{.verbose = true};
    const HistoryScan scan = scan_history_stream(fileno(stream), out.stream, err.stream, options, now);
    report_mean_uptime(out.stream, scan.totals, options);
    std::fclose(stream);
    return {out.text(), err.text(), scan.totals};
}

int passed = 0;
int failed = 0;

void check(bool holds, const char* what) {
    if (holds) {
        ++passed;
        return;
    }
    ++failed;
    std::printf("FAILED: %s\n", what);
}

// The same listing, errors and totals read at now as 28 years before it,
// with every boot counted and the crash counted to the next boot.
void check_same_placing(const std::string& history, EpochMinutes now, std::uint64_t boots,
                        const char* what) {
    const Scanned later = scan_at(history, now);
    const Scanned earlier = scan_at(history, now - calendar_cycle);
    const bool same = later.out == earlier.out && later.err == earlier.err &&
                      later.totals.total == earlier.totals.total;
    check(same, what);
    check(later.totals.count == boots && later.totals.crashed_to_next_boot == 1 && later.err.empty(),
          what);
    if (!same) {
        std::printf("%s", (later.out + later.err + "-- 28 years before --\n" + earlier.out + earlier.err).c_str());
    }
}

}  // namespace

int main() {
    // The clock the tool reads must hold a time past 2038 at all.
    check(sizeof(std::time_t) * CHAR_BIT >= 64, "time_t holds times past January 2038");
    check(past_2038 > last_32_bit_minute, "the test's now lies past a 32-bit time_t");
    check_same_placing(history_of_2038, past_2038, 3, "boots across 2038-01-19 03:14 UTC");
    check_same_placing(history_of_today, today + calendar_cycle, 2, "today's boots read in 2054");
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
