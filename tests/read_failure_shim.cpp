// Preloaded into the tool by the end-to-end tests: after MRI_READ_BUDGET
// bytes have come through read(2) from pipes, every further read from a pipe
// fails with EIO, as a failing device or a broken stream would. Only the
// tool itself is touched: the shell and the history command it starts
// inherit the preload, and read as usual.
#include <dlfcn.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

using ReadFunction = ssize_t (*)(int, void*, std::size_t);
constexpr const char* tool_name = "mean-reboot-interval";
constexpr int decimal = 10;

bool is_pipe(int descriptor) {
    struct stat status {};
    return fstat(descriptor, &status) == 0 && S_ISFIFO(status.st_mode);
}

}  // namespace

extern "C" ssize_t read(int descriptor, void* buffer, std::size_t size) {
    static const auto real_read = reinterpret_cast<ReadFunction>(dlsym(RTLD_NEXT, "read"));
    static const char* const budget_text = std::getenv("MRI_READ_BUDGET");
    static long budget = budget_text == nullptr ? -1 : std::strtol(budget_text, nullptr, decimal);
    if (budget < 0 || std::strcmp(program_invocation_short_name, tool_name) != 0 ||
        !is_pipe(descriptor)) {
        return real_read(descriptor, buffer, size);
    }
    if (budget == 0) {
        errno = EIO;
        return -1;
    }
    const ssize_t got = real_read(
        descriptor, buffer,
        size < static_cast<std::size_t>(budget) ? size : static_cast<std::size_t>(budget));
    if (got > 0) {
        budget -= got;
    }
    return got;
}
