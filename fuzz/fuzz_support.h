// What the fuzz targets of nettally's and netbill's code share. Both end
// the process on any error, read their definitions by name from the
// working directory and never free their customer records (nor netbill its
// bill); the harness turns each of these into something one process can
// repeat many thousands of times, without changing the program code it
// runs:
// - the fuzz build links with -Wl,--wrap=exit, so that the exit() at the
//   end of nets/output.cc's fail_perror, fail_exit and finish jumps back
//   into run_program while a run is in progress;
// - it also wraps fopen/fclose and calloc/free, so that the streams a failed
//   run leaves open are closed, and the records a run allocates and keeps
//   are freed when the target says so (LeakSanitizer then still sees every
//   other leak);
// - every run happens in a private temporary directory, where the target
//   writes our.nets, custs and flow files.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nets/networks.h"

// Creates the private directory (once) and checks, with a run that must
// fail, that the exit wrapping is in effect. Every target calls it first.
void fuzz_setup();

// The full path of name inside the private directory (one static buffer).
const char* fuzz_path(const char* name);

// Writes size bytes to name inside the private directory.
void fuzz_write_file(const char* name, const uint8_t* data, size_t size);

// Calls fn() with the private directory as working directory and restores
// the old one afterwards. Returns -1 when fn returned, else the status that
// the program passed to exit(). Streams opened by fn and still open after
// an exit are closed.
int run_program(void (*fn)());

// Frees every calloc() block program code made during run_program calls
// since the last release and did not free itself: the customer records,
// which nettally keeps to its end. The HostTable's owner pointers dangle afterwards, until the next
// load_networks clears it.
void release_records();
// Leaves the blocks held now to the program for the rest of the process:
// release_records no longer frees them. For definitions that a target
// loads once and every later run uses.
void keep_records();
// How many such blocks are held now, and whether p is one of them.
size_t held_records();
bool is_held_record(const void* p);

