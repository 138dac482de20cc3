// One record of a flow file as recdump's line of text: protocol, addresses
// and ports, counts, transfer rates, local start time and duration.
#pragma once

#include <cstddef>
#include <cstdint>

#include "flowformat/flow_format.h"

// Longest line: two 15-character addresses, five-digit ports, four
// ten-digit counts, two rates of up to 43 characters, the time and duration.
constexpr size_t RECORD_LINE_MAX = 256;

// The transfer rate that recdump prints: bytes * 0.0078 / duration in double
// precision, rounded to single precision; 0 for a duration below 3 seconds.
double record_rate(uint64_t bytes, uint16_t duration);

// Writes the record's line, newline included, into line and returns its
// length. start_time is the header's start_time; the start time is shown
// in the process's local time zone.
size_t format_record(char* line, const FlowRecord& r, uint32_t start_time);

// Writes the record's line to standard output.
void print_record(const FlowRecord& r, uint32_t start_time);
