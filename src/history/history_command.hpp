// Starting the history command through the system shell, and waiting for it.
#pragma once

#include <sys/types.h>

#include <cstdio>

struct HistoryCommand {
    std::FILE* stream = nullptr;  // from popen(), or null where the fallback started it
    int descriptor = -1;          // the read end of the command's standard output
    pid_t child = -1;             // the fallback's shell
};

// Runs command as popen() does, through "/bin/sh -c". Where the C library's
// way of starting it is refused (glibc starts the child with clone3, which
// older container seccomp profiles answer with EPERM rather than ENOSYS),
// the shell is started with fork and exec instead. False where neither can
// start it.
bool start_history_command(const char* command, HistoryCommand& started);

// Closes the stream and waits for the command: its wait status as pclose()
// gives it, or -1 where there is none to give.
int finish_history_command(HistoryCommand& started);
