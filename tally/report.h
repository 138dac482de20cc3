// The usage report: one line on standard output for every address that
// sent and received more than 4,096 bytes to and from outside addresses.
#pragma once

// Walks the HostTable once, in slot order, and prints every entry whose
// bytes_in and bytes_out both exceed 4,096 as "address bytes_in bytes_out
// packets_in packets_out first_seen last_seen internal_bytes_in
// internal_bytes_out owner". The lines are gathered and standard output is
// written and flushed a block of lines at a time: nothing goes to standard
// error while the report is written, so the merged order of the two
// streams is that of a flush after every line. Exits 1 when standard
// output cannot be written.
void print_report();
