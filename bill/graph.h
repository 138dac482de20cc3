// One customer's graph as an SVG document: in and out bit rate per
// interval over the period, the percentile of each and the billable line
// with their values, a time axis in local time (TZ) and a rate axis in SI
// units. Written into a growing buffer; the caller writes it to its file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bill/figures.h"
#include "bill/period.h"

// Bytes that grow as a document is written, from malloc and realloc.
// Zero it with = {} before the first use; graph_buffer_free gives the
// memory back and leaves it empty again.
struct GraphBuffer {
  char* bytes;
  size_t length;
  size_t capacity;
};

// Appends n bytes. Exits 1 with the perror report "Making a graph" when
// the memory cannot be had.
void graph_append(GraphBuffer* buffer, const char* bytes, size_t n);
void graph_buffer_free(GraphBuffer* buffer);

// What one graph shows: bytes per interval k = 0 .. n−1 of the period
// (n = period_intervals), the interval length in seconds, the percentile
// 1..100, and the figures bill_figures gave for the same arrays.
struct GraphInput {
  const char* name;
  size_t name_length;  // at most 200 bytes
  const uint64_t* in;
  const uint64_t* out;
  uint64_t n;
  Period period;
  uint32_t interval;
  uint32_t percentile;
  BillFigures figures;
};

// The whole SVG document of one graph, appended to *svg: 1200 × 560
// pixels, each series one path of integer coordinates with at most four
// vertical steps per pixel column, so a month of 5-minute intervals takes
// some 50 KB whatever the traffic. The name is shown with & < > " '
// escaped and every byte that is a control byte or of no valid UTF-8
// sequence as %XX, so that the document is well-formed XML whatever the
// name holds. Times are labelled in local time (TZ). Exits 1 as
// graph_append does.
void write_graph_svg(GraphBuffer* svg, const GraphInput& graph);

// The file name of a customer's graph: the name with every byte outside
// A-Z a-z 0-9 . _ - as %XX (hexadecimal in capitals), then ".svg"; so
// "acme,inc" is "acme%2Cinc.svg". Names of 1 to 200 bytes; buffer holds
// GRAPH_FILE_NAME_MAX bytes. Returns the length, and writes a NUL after it.
constexpr size_t GRAPH_FILE_NAME_MAX = 3 * 200 + 4 + 1;
size_t put_graph_file_name(char* buffer, const char* name, size_t name_length);
