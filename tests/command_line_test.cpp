#include "command_line.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "stream_capture.hpp"

namespace {

struct CommandLineCase {
    std::vector<const char*> argv;
    bool accepted;
    bool verbose;
};

const CommandLineCase cases[] = {
    {{"mean-reboot-interval"}, true, false},
    {{}, true, false},
    {{"mean-reboot-interval", "-v"}, true, true},
    {{"mean-reboot-interval", "--verbose"}, true, true},
    {{"./mean-reboot-interval", "-V"}, false, false},
    {{"mean-reboot-interval", "-vv"}, false, false},
    {{"mean-reboot-interval", "--verb"}, false, false},
    {{"mean-reboot-interval", "--VERBOSE"}, false, false},
    {{"mean-reboot-interval", "-h"}, false, false},
    {{"mean-reboot-interval", "--help"}, false, false},
    {{"mean-reboot-interval", "verbose"}, false, false},
    {{"mean-reboot-interval", ""}, false, false},
    {{"mean-reboot-interval", "-v", "-v"}, false, false},
    {{"/usr/local/bin/mean-reboot-interval", "--verbose", "x"}, false, false},
    {{"mean-reboot-interval", "--"}, false, false},
};

TEST(ParseCommandLine, AcceptsOnlyNothingOrOneVerboseFlag) {
    for (const CommandLineCase& c : cases) {
        const std::string shown = c.argv.size() > 1 ? c.argv[1] : "(none)";
        std::vector<const char*> argv = c.argv;
        argv.push_back(nullptr);
        CapturedStream err;
        const std::optional<RunOptions> options =
            parse_command_line(static_cast<int>(c.argv.size()), argv.data(), err.stream);
        ASSERT_EQ(options.has_value(), c.accepted) << shown;
        if (c.accepted) {
            EXPECT_EQ(options->verbose, c.verbose) << shown;
            EXPECT_EQ(err.text(), "") << shown;
        } else {
            EXPECT_EQ(err.text(), std::string("Usage:\n\t") + c.argv[0] +
                                      " [-v|--verbose] calculate mean time between node reboots\n")
                << shown;
        }
    }
}

}  // namespace
