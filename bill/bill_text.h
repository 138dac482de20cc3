// The text of a bill: CSV and series rows, the JSON document, and the SI
// rates and byte counts of the table a person reads. Each writer fills a
// caller's buffer of its documented size and returns the length, no NUL
// counted (one may follow inside the buffer); none does any I/O.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bill/figures.h"
#include "bill/period.h"

// Customer names are words of custs: 1 to 200 bytes, any byte but white
// space. A writer given a longer name writes nothing and returns 0.
constexpr size_t BILL_NAME_MAX = 200;

constexpr const char* BILL_CSV_HEADER =
    "customer,bytes_in,bytes_out,billable_bps,p_in_bps,p_out_bps,p_sum_bps,peak_in_bps,peak_out_bps,"
    "active_intervals\n";
constexpr const char* SERIES_CSV_HEADER = "customer,interval_start,bytes_in,bytes_out\n";

// A name quoted with every quote doubled, then nine numbers of up to 20
// digits with their commas, and the newline.
constexpr size_t BILL_CSV_ROW_MAX = 2 * BILL_NAME_MAX + 2 + 9 * 21 + 1;
// A name quoted, then three numbers with their commas, and the newline.
constexpr size_t SERIES_CSV_ROW_MAX = 2 * BILL_NAME_MAX + 2 + 3 * 21 + 1;

// One CSV row of a bill (RFC 4180), in BILL_CSV_HEADER's order, ending in
// "\n": the name as it is unless it holds a comma, a double quote, CR or
// LF, then in double quotes with each double quote doubled; the figures
// in decimal. buffer holds BILL_CSV_ROW_MAX bytes.
size_t put_bill_csv_row(char* buffer, const char* name, size_t name_length, const BillFigures& f);

// One CSV row of the series: name (quoted as in put_bill_csv_row),
// interval_start (epoch seconds of the interval's start), bytes_in,
// bytes_out, then "\n". buffer holds SERIES_CSV_ROW_MAX bytes.
size_t put_series_csv_row(char* buffer, const char* name, size_t name_length, uint64_t interval_start,
                          uint64_t bytes_in, uint64_t bytes_out);

// The JSON document is the head, the objects of the customers and the
// tail, with no white space but the tail's final newline:
//   {"from":F,"to":T,"interval":L,"percentile":P,"intervals":N,"customers":[{…},{…}]}
// The head, for a period in epoch seconds, the interval length in
// seconds, the percentile and the number of intervals. buffer holds
// BILL_JSON_HEAD_MAX bytes.
constexpr size_t BILL_JSON_HEAD_MAX = 100 + 5 * 20;
size_t put_bill_json_head(char* buffer, Period period, uint32_t interval, uint32_t percentile, uint64_t intervals);
constexpr const char* BILL_JSON_TAIL = "]}\n";

// One customer's object, with the CSV's fields in its order, the name as
// "customer"; preceded by a comma unless it is the first. buffer holds
// BILL_JSON_OBJECT_MAX bytes.
constexpr size_t BILL_JSON_OBJECT_MAX = 1 + 14 + 6 * BILL_NAME_MAX + 9 * (20 + 20) + 1;
size_t put_bill_json_object(char* buffer, bool first, const char* name, size_t name_length, const BillFigures& f);

// The length (1 to 4) of the valid UTF-8 sequence that starts at bytes[0]
// of the `left` bytes there, or 0 when none does: no overlong forms, no
// surrogates, nothing above U+10FFFF. left >= 1.
size_t utf8_sequence_length(const uint8_t* bytes, size_t left);

// A JSON string of any bytes, quotes included: valid UTF-8 passes
// through (no overlong forms, no surrogates, nothing above U+10FFFF);
// " and \ as \" and \\; the control bytes 08, 09, 0A, 0C, 0D as \b \t \n
// \f \r, every other byte below 20 and every byte of no valid sequence as
// \u00XX (hexadecimal in capitals), so that a reader gets the code point
// of the byte. buffer holds 6 · length + 2 bytes.
size_t put_json_string(char* buffer, const char* bytes, size_t length);

// A rate in bits per second with an SI unit, for the text table: below
// 1,000 the whole number and " bit/s" ("950 bit/s"); else the largest of
// k, M, G, T, P, E (10^3 .. 10^18) that leaves at least 1, with two
// decimals rounded half up in exact integers ("12.35 kbit/s", "1.20
// Mbit/s"); a value that rounds to 1000.00 takes the next unit (999,995
// bit/s is "1.00 Mbit/s"). At most SI_TEXT_MAX bytes.
constexpr size_t SI_TEXT_MAX = 24;
size_t put_rate_si(char* buffer, uint64_t bits_per_second);

// A byte count by the same rule with B, kB, MB, GB, TB, PB, EB (decimal):
// "950 B", "1.23 kB", "38.35 TB". At most SI_TEXT_MAX bytes.
size_t put_bytes_si(char* buffer, uint64_t bytes);
