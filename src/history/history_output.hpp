// Every line that the scan and the report write, in one place.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "uptime_field.hpp"

// Verbose listing: days+hours:minutes as read, without leading zeros.
void write_listing_line(std::FILE* out, const UptimeSample& sample);

// "Error reading from " and the field text, which normally ends with its own
// line feed, so the message is followed by an empty line.
void write_error_line(std::FILE* err, std::string_view field_text);

void write_blank_line(std::FILE* out);

// Mean in minutes and as days+hours:minutes.
void write_summary_line(std::FILE* out, std::uint64_t mean_minutes);

// How many crashed boots were counted to the next boot's start.
void write_crashes_counted(std::FILE* err, std::uint64_t crashed);

// How many boots the history says crashed with no end that can be known.
void write_crash_count(std::FILE* err, std::uint64_t crashed);

void write_start_failure(std::FILE* err);

// The history stream itself failed (errno error) before its end.
void write_read_failure(std::FILE* err, int error);

// wait_status as pclose() reports it; says whether it described a failure
// (and wrote the message) or a clean exit.
bool write_history_failure(std::FILE* err, int wait_status);
