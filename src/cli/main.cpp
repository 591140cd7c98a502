// Entry point: command line, the scan, and the exit status.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "command_line.hpp"
#include "reboot_history.hpp"

namespace {

// The process exit status is the low 8 bits of these.
constexpr int run_completed = 0;
constexpr int output_failed = 1;
constexpr int history_failed = -1;  // 255
constexpr int usage_failed = -2;    // 254

constexpr const char* output_failure_format = "Unable to write to standard output: %s\n";

// Standard output is fully buffered, so a failed write may only show at the
// final flush; either way the run's result was not delivered.
bool standard_output_failed() {
    errno = 0;
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, output_failure_format, std::strerror(errno));
        return true;
    }
    if (std::ferror(stdout) != 0) {
        std::fprintf(stderr, output_failure_format, std::strerror(EIO));
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<RunOptions> options = parse_command_line(argc, argv, stderr);
    if (!options) {
        return usage_failed;
    }
    const ScanAnswer answer = scan_reboot_history(*options);
    if (answer == ScanAnswer::HistoryUnavailable) {
        return history_failed;
    }
    if (standard_output_failed()) {
        return output_failed;
    }
    return answer == ScanAnswer::Completed ? run_completed : history_failed;
}
