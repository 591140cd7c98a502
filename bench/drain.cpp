// drain: the floor for reading a history, as the tool reads it. Enlarges
// the pipe on standard input as the tool does, then reads it to its end in
// blocks of the tool's size and looks at nothing.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "chunk_reader.hpp"
#include "reboot_history.hpp"

namespace {

// The tool's own sizes, so that the floor follows the tool if they change.
char block[read_block_size];

}  // namespace

int main() {
    fcntl(STDIN_FILENO, F_SETPIPE_SZ, history_pipe_size);
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, block, read_block_size);
        if (got > 0 || (got < 0 && errno == EINTR)) {
            continue;
        }
        return got == 0 ? 0 : 1;
    }
}
