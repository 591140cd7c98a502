// Runs a program under a seccomp filter that answers clone3 with an error,
// as container runtimes with older seccomp profiles do:
//
//   clone3-refused EPERM|ENOSYS PROGRAM [ARGUMENT...]
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

constexpr int usage_status = 2;
constexpr int failed_status = 1;

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || (std::strcmp(argv[1], "EPERM") != 0 && std::strcmp(argv[1], "ENOSYS") != 0)) {
        std::fprintf(stderr, "usage: %s EPERM|ENOSYS PROGRAM [ARGUMENT...]\n", argv[0]);
        return usage_status;
    }
    const unsigned error = std::strcmp(argv[1], "EPERM") == 0 ? EPERM : ENOSYS;
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone3, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | error),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog filter{sizeof program / sizeof program[0], program};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
        std::perror("seccomp");
        return failed_status;
    }
    execvp(argv[2], argv + 2);
    std::perror(argv[2]);
    return failed_status;
}
