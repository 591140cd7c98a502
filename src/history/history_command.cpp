#include "history_command.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

extern char** environ;

namespace {

constexpr const char* read_mode = "r";
constexpr const char* shell = "/bin/sh";
constexpr const char* shell_name = "sh";
constexpr const char* command_option = "-c";
constexpr int shell_not_started = 127;  // as the shell itself says it
constexpr int no_wait_status = -1;

bool fork_history_command(const char* command, HistoryCommand& started) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    const pid_t child = fork();
    if (child < 0) {
        close(ends[0]);
        close(ends[1]);
        return false;
    }
    if (child == 0) {
        // dup2() clears close-on-exec on the copy; a pipe already on
        // standard output is kept as it is.
        if (ends[1] != STDOUT_FILENO) {
            dup2(ends[1], STDOUT_FILENO);
        } else {
            fcntl(STDOUT_FILENO, F_SETFD, 0);
        }
        char* const argv[] = {const_cast<char*>(shell_name), const_cast<char*>(command_option),
                              const_cast<char*>(command), nullptr};
        execve(shell, argv, environ);
        _exit(shell_not_started);
    }
    close(ends[1]);
    started = {nullptr, ends[0], child};
    return true;
}

}  // namespace

bool start_history_command(const char* command, HistoryCommand& started) {
    std::FILE* stream = popen(command, read_mode);
    if (stream != nullptr) {
        started = {stream, fileno(stream), -1};
        return true;
    }
    // glibc reports a refused clone3 as ENOMEM, like a real shortage: every
    // failure is tried the second way, which fails again where the start
    // itself cannot be made.
    return fork_history_command(command, started);
}

int finish_history_command(HistoryCommand& started) {
    if (started.stream != nullptr) {
        return pclose(started.stream);
    }
    close(started.descriptor);
    int status = 0;
    pid_t waited = 0;
    do {
        waited = waitpid(started.child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    return waited == started.child ? status : no_wait_status;
}
