#include "history_output.hpp"

#include <sys/wait.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace {

constexpr std::string_view error_prefix = "Error reading from ";
constexpr std::string_view start_failure = "Unable to invoke '/usr/sbin/last'\n";
constexpr const char* summary_format =
    "* Mean time between reboots:\t\t%" PRId64 " minutes (%s%" PRIu64 "+%" PRIu64 ":%" PRIu64 ")\n";
constexpr const char* exit_failure_format =
    "Unable to read history from '/usr/bin/last reboot' (exit status %d)\n";
constexpr const char* signal_failure_format =
    "Unable to read history from '/usr/bin/last reboot' (signal %d)\n";
constexpr const char* number_format = "%" PRId32;
constexpr const char* days_rest_format = "+%" PRId32 ":%" PRId32 "\n";
constexpr const char* hours_rest_format = ":%" PRId32 "\n";
constexpr std::string_view no_days_prefix = "0+";
constexpr std::string_view minus_zero = "-0";
constexpr std::uint64_t minutes_per_hour = 60;
constexpr std::uint64_t minutes_per_day = 24 * minutes_per_hour;

void write_text(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
}

// %d would print a negative zero as 0 and hide that the duration is negative.
void write_first_number(std::FILE* out, std::int32_t value, bool negative) {
    if (negative && value == 0) {
        write_text(out, minus_zero);
        return;
    }
    std::fprintf(out, number_format, value);
}

}  // namespace

void write_listing_line(std::FILE* out, const UptimeSample& sample) {
    if (sample.form == SampleForm::WithDays) {
        write_first_number(out, sample.days, sample.negative);
        std::fprintf(out, days_rest_format, sample.hours, sample.minutes);
        return;
    }
    write_text(out, no_days_prefix);
    write_first_number(out, sample.hours, sample.negative);
    std::fprintf(out, hours_rest_format, sample.minutes);
}

void write_error_line(std::FILE* err, std::string_view field_text) {
    write_text(err, error_prefix);
    write_text(err, field_text);
    std::fputc('\n', err);
}

void write_blank_line(std::FILE* out) { std::fputc('\n', out); }

void write_summary_line(std::FILE* out, std::int64_t mean_minutes) {
    const bool negative = mean_minutes < 0;
    const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(mean_minutes)
                                             : static_cast<std::uint64_t>(mean_minutes);
    std::fprintf(out, summary_format, mean_minutes, negative ? "-" : "",
                 magnitude / minutes_per_day, (magnitude % minutes_per_day) / minutes_per_hour,
                 magnitude % minutes_per_hour);
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
