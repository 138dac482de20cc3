// The usage report: one line on standard output for every address that
// sent and received more than 4,096 bytes to and from outside addresses.
#pragma once

// Walks the HostTable once, in slot order, and prints every entry whose
// bytes_in and bytes_out both exceed 4,096 as "address bytes_in bytes_out
// packets_in packets_out first_seen last_seen internal_bytes_in
// internal_bytes_out owner"; standard output is flushed as the lines go.
void print_report();
