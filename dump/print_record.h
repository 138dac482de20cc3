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

// Writes the record's line, newline included, into line (RECORD_LINE_MAX
// bytes, of which those behind the line may be overwritten) and returns its
// length. start_time is the header's start_time; the start time is shown
// in the process's local time zone.
size_t format_record(char* line, const FlowRecord& r, uint32_t start_time);

// The local times of day ("%T") already shown, one per second, so that a
// run calls localtime once per distinct start second instead of once per
// record. The start seconds of one file lie within 65,536 seconds of its
// start_time, so a slot per value of the low 16 bits never drops one of
// them. Valid only while the time zone stays the same: recdump keeps one
// for its run. Zero-filled, it holds nothing.
constexpr size_t TIME_TEXT_SLOTS = 65536;
struct TimeTextCache {
  uint64_t second[TIME_TEXT_SLOTS];  // the second shown in the slot, plus 1; 0: none
  char text[TIME_TEXT_SLOTS][8];     // "HH:MM:SS", without its NUL
};

// format_record, taking the time of day from cache when it holds the
// second and storing it there when not: the same bytes, whatever the cache
// holds, as long as the time zone has not changed since it was filled.
size_t format_record_cached(char* line, const FlowRecord& r, uint32_t start_time,
                            TimeTextCache* cache);

// Every byte recdump writes on standard output goes through these four:
// they gather the text and write it a buffer at a time, with write_all, so
// that a non-blocking standard output is waited for rather than failed.
// The record's line, its time of day taken through one cache for the run.
void print_record(const FlowRecord& r, uint32_t start_time);
// Any other text of at most RECORD_LINE_MAX bytes (the summary lines).
void print_text(const char* text, size_t n);
// Writes out what is gathered: before anything goes to standard error, and
// at the end. A failed write reports "Writing standard output: ..." in the
// perror form on standard error and exits 1.
void print_flush();
// The end of a dump: flushes, then closes standard output, since some file
// systems (NFS, quotas) report a failed write only there. Exits 0 once
// both succeeded; else reports "Writing standard output: ..." as
// print_flush does and exits 1.
[[noreturn]] void print_finish();
