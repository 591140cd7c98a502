// Every line that the scan and the report write, in one place.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "uptime_field.hpp"

// Verbose listing: days+hours:minutes as read, the first number keeping a
// minus sign even when it reads as zero.
void write_listing_line(std::FILE* out, const UptimeSample& sample);

// "Error reading from " and the field text, which normally ends with its own
// line feed, so the message is followed by an empty line.
void write_error_line(std::FILE* err, std::string_view field_text);

void write_blank_line(std::FILE* out);

// Mean in minutes and as days+hours:minutes; a negative mean carries its sign
// on both, the breakdown being that of its magnitude.
void write_summary_line(std::FILE* out, std::int64_t mean_minutes);

void write_start_failure(std::FILE* err);

// wait_status as pclose() reports it; says whether it described a failure
// (and wrote the message) or a clean exit.
bool write_history_failure(std::FILE* err, int wait_status);
