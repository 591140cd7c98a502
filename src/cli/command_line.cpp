#include "command_line.hpp"

#include <cstdio>
#include <optional>
#include <string_view>

namespace {

constexpr std::string_view short_verbose = "-v";
constexpr std::string_view long_verbose = "--verbose";
constexpr const char* usage_format =
    "Usage:\n\t%s [-v|--verbose] calculate mean time between node reboots\n";
constexpr int argc_without_arguments = 1;
constexpr int argc_with_one_argument = 2;

}  // namespace

std::optional<RunOptions> parse_command_line(int argc, const char* const* argv, std::FILE* err) {
    if (argc <= argc_without_arguments) {
        return RunOptions{};
    }
    if (argc == argc_with_one_argument) {
        const std::string_view argument = argv[1];
        if (argument == short_verbose || argument == long_verbose) {
            return RunOptions{.verbose = true};
        }
    }
    std::fprintf(err, usage_format, argv[0]);
    return std::nullopt;
}
