// The command line: no argument, "-v" or "--verbose".
#pragma once

#include <cstdio>
#include <optional>

#include "reboot_history.hpp"

// Empty after writing the usage text to err.
std::optional<RunOptions> parse_command_line(int argc, const char* const* argv, std::FILE* err);
