// generate-history: plays `last reboot` for tests and timings, writing a
// history of COUNT finished boots (plus a running boot and the trailer) to
// standard output, or with --expected only the summary the tool must print.
//
//   generate-history COUNT [--expected]
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "realistic_history.hpp"

namespace {

constexpr std::size_t output_block = 1 << 16;

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || (argc == 3 && std::strcmp(argv[2], "--expected") != 0)) {
        std::fputs("usage: generate-history COUNT [--expected]\n", stderr);
        return 2;
    }
    const unsigned long long count = std::strtoull(argv[1], nullptr, 10);
    const bool expected_only = argc == 3;

    realistic_history::Generator generator;
    static char block[output_block + realistic_history::max_line_length];
    std::size_t used = 0;
    auto flush = [&] {
        if (!expected_only && std::fwrite(block, 1, used, stdout) != used) {
            std::exit(1);  // the reader went away
        }
        used = 0;
    };
    std::memcpy(block, realistic_history::running_line.data(),
                realistic_history::running_line.size());
    used = realistic_history::running_line.size();
    for (unsigned long long i = 0; i < count; ++i) {
        used += realistic_history::next_line(generator, block + used);
        if (used >= output_block) {
            flush();
        }
    }
    flush();
    if (expected_only) {
        realistic_history::print_expected_summary(stdout, generator);
        return 0;
    }
    std::fwrite(realistic_history::trailer.data(), 1, realistic_history::trailer.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
