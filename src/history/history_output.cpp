#include "history_output.hpp"

#include <sys/wait.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

// The field text holds no NUL: it is cut from what the C string of a chunk shows.
constexpr const char* error_line_format = "Error reading from %.*s\n";
constexpr std::string_view start_failure = "Unable to invoke '/usr/sbin/last'\n";
constexpr const char* summary_format =
    "* Mean time between reboots:\t\t%" PRIu64 " minutes (%" PRIu64 "+%" PRIu64 ":%" PRIu64 ")\n";
constexpr const char* exit_failure_format =
    "Unable to read history from '/usr/bin/last reboot' (exit status %d)\n";
constexpr const char* signal_failure_format =
    "Unable to read history from '/usr/bin/last reboot' (signal %d)\n";
constexpr const char* read_failure_format =
    "Unable to read history from '/usr/bin/last reboot': %s\n";
constexpr const char* crash_count_format =
    "Crashed boots with no duration, not counted: %" PRIu64 "\n";
constexpr const char* crashes_counted_format =
    "Crashed boots counted to the next boot: %" PRIu64 "\n";
constexpr const char* listing_with_days_format = "%" PRId32 "+%" PRId32 ":%" PRId32 "\n";
constexpr const char* listing_without_days_format = "0+%" PRId32 ":%" PRId32 "\n";
constexpr std::uint64_t minutes_per_hour = 60;
constexpr std::uint64_t minutes_per_day = 24 * minutes_per_hour;

void write_text(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
}

}  // namespace

void write_listing_line(std::FILE* out, const UptimeSample& sample) {
    if (sample.form == SampleForm::WithDays) {
        std::fprintf(out, listing_with_days_format, sample.days, sample.hours, sample.minutes);
        return;
    }
    std::fprintf(out, listing_without_days_format, sample.hours, sample.minutes);
}

// One call, so one write on the unbuffered standard error: a reader that
// gathers standard output and error together (clush -B) gets the line whole.
void write_error_line(std::FILE* err, std::string_view field_text) {
    std::fprintf(err, error_line_format, static_cast<int>(field_text.size()), field_text.data());
}

void write_blank_line(std::FILE* out) { std::fputc('\n', out); }

void write_summary_line(std::FILE* out, std::uint64_t mean_minutes) {
    std::fprintf(out, summary_format, mean_minutes, mean_minutes / minutes_per_day,
                 (mean_minutes % minutes_per_day) / minutes_per_hour,
                 mean_minutes % minutes_per_hour);
}

void write_crash_count(std::FILE* err, std::uint64_t crashed) {
    std::fprintf(err, crash_count_format, crashed);
}

void write_crashes_counted(std::FILE* err, std::uint64_t crashed) {
    std::fprintf(err, crashes_counted_format, crashed);
}

void write_read_failure(std::FILE* err, int error) {
    std::fprintf(err, read_failure_format, std::strerror(error));
}

void write_start_failure(std::FILE* err) { write_text(err, start_failure); }

bool write_history_failure(std::FILE* err, int wait_status) {
    if (WIFEXITED(wait_status)) {
        if (WEXITSTATUS(wait_status) == 0) {
            return false;
        }
        std::fprintf(err, exit_failure_format, WEXITSTATUS(wait_status));
        return true;
    }
    if (WIFSIGNALED(wait_status)) {
        std::fprintf(err, signal_failure_format, WTERMSIG(wait_status));
        return true;
    }
    return false;
}
