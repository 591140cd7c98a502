// peak-rss REPORT COMMAND...: runs COMMAND and writes its peak resident set
// size in KiB to REPORT. Kept tiny on purpose: the child's peak is measured
// from the fork, so a large measuring process (an interpreter) would set the
// floor of every reading.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace {

constexpr int exec_failed = 127;
constexpr int status_mask = 0xff;

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: peak-rss REPORT COMMAND...\n", stderr);
        return 2;
    }
    const pid_t child = fork();
    if (child == 0) {
        execv(argv[2], argv + 2);
        _exit(exec_failed);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child) {
        return exec_failed;
    }
    std::FILE* report = std::fopen(argv[1], "w");
    if (report == nullptr) {
        return exec_failed;
    }
    std::fprintf(report, "%ld\n", usage.ru_maxrss);
    std::fclose(report);
    if (WIFSIGNALED(status)) {
        return (128 + WTERMSIG(status)) & status_mask;
    }
    return WEXITSTATUS(status);
}
