// The network definitions: the supernets file `our.nets`, whose every
// single address gets a slot of the HostTable held by DEFAULT, and the
// customer file `custs`, whose blocks pass those addresses to customers.
// nettally reads both by their relative names from the working directory;
// netbill by the names its options give, with fewer words while loading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct CustomerRecord {
  char name[260];  // NUL-terminated, at most CUSTOMER_NAME_MAX characters
  uint64_t network;  // host order, as written in the entry (not masked)
  uint8_t prefix_length;  // 32 when the entry gives none
  int line;  // the line of the file, from 1, where the entry's network starts
};

constexpr size_t CUSTOMER_NAME_MAX = 200;
constexpr size_t DEFINITION_WORD_MAX = 255;

// What "%u.%u.%u.%u/%u" makes of a network text, read the way the
// formatted-input functions read it: `count` numbers were matched, and
// `end` points behind the last character matched.
struct NetworkScan {
  int count;
  uint32_t number[5];  // a, b, c, d, prefix length
  bool out_of_range;   // a number had a sign or did not fit in 32 bits
  const char* end;
};
NetworkScan scan_network(const char* text);

// One entry of `our.nets`, read from a stream as the formatted-input
// pattern "%u.%u.%u.%u/%u\n" reads it: each number may have white space
// before it (so an entry may be broken across lines after a separator), "."
// and "/" must follow the numbers exactly, and all white space behind the
// entry is consumed. A number with a sign or beyond 32 bits, and a prefix
// length above 32, are refused rather than taken wrapped.
constexpr size_t SUPERNET_TEXT_MAX = 255;
struct SupernetEntry {
  uint32_t number[5];  // a, b, c, d, prefix length, as written
  // What was read of a refused entry, up to and with the character where it
  // stopped matching: at most SUPERNET_TEXT_MAX bytes, `text_cut` when more.
  char text[SUPERNET_TEXT_MAX + 1];
  size_t text_length;
  bool text_cut;
  int line;  // the line, from 1, where a refused entry stopped matching
  int error;  // errno of a read that failed
};
enum SupernetRead { SUPERNET_END, SUPERNET_ENTRY, SUPERNET_REFUSED, SUPERNET_FAILED };
// Reads the next entry of f; *line counts the lines passed so far (start it
// at 1). SUPERNET_END when only white space is left; SUPERNET_FAILED, with
// the error in entry->error, when the stream fails.
SupernetRead read_supernet_entry(FILE* f, int* line, SupernetEntry* entry);

// A customer entry's network text: a.b.c.d, optionally "/" and a prefix
// length of 0..32; whatever follows the fourth number unless it is "/" and
// a number, and whatever follows the prefix length, is ignored. Sets the
// host-order address (modulo 2^32) and the prefix length (32 when absent).
// Returns false for any other text.
bool parse_customer_network(const char* text, uint32_t* network, uint32_t* prefix_length);

// Reads the next customer entry of the customer file (`custs`, or the one
// load_networks_for was given; opened on the first call, closed on the call
// that finds no further entry). Returns its own static record, valid until
// the next call, or nullptr at the end. A malformed entry writes "Bad
// Statement in Line %d : %s %s\n" (the number counts entries, from 1) on
// standard output, or on standard error for NETWORKS_NOTES_PER_ENTRY, and
// exits 1; a file that cannot be opened or read exits 1 with a perror
// report.
CustomerRecord* next_customer();

// Fills the HostTable: every address of every supernet of `our.nets`, in
// file order, held by DEFAULT; then every customer of `custs` claims the
// addresses of its block that DEFAULT still holds. Supernets of more than
// HOST_TABLE_CAPACITY addresses get a table sized to them, made before the
// first address is placed. Writes the supernet echo lines, "Coll:" notes
// (in a table of our own size, one "Collisions:" line instead) and
// conflict reports on standard error. Exits 1 on a file that cannot be
// read, a malformed entry, supernets too large for any table or for the
// memory, or an allocation failure.
void load_networks();

// What load_networks_for writes while it loads.
enum NetworksNotes : uint8_t {
  // nettally's, as load_networks describes them.
  NETWORKS_NOTES_PER_ADDRESS,
  // netbill's: no supernet echo, no "Coll:" or "Collisions:" line and no
  // report per conflicting address; instead, on standard error, for each
  // custs entry that lost addresses to earlier entries
  //   "%s: entry %d (line %d), %s/%u %s: %lu address(es) held by earlier entries\n"
  // and for each entry partly or wholly outside the supernets
  //   "%s: entry %d (line %d), %s/%u %s: %lu address(es) outside our.nets\n"
  // (the customer file's name, the entry's number and line, its network
  // text, name and count). A malformed custs entry is reported on
  // standard error. Every custs entry joins the owner list, in file
  // order, whether it claims addresses or not: entry n (from 1) is owner
  // index n + 1, after nullptr and DEFAULT.
  NETWORKS_NOTES_PER_ENTRY,
};

struct NetworksOptions {
  const char* nets_path;  // the supernets file; "our.nets" for nettally
  const char* custs_path;  // the customer file; "custs" for nettally
  NetworksNotes notes;
};

// load_networks with other file names and notes: the same rules, the same
// errors with the same messages (the supernets file named by its path
// where nettally's say "our.nets"). load_networks() is
// load_networks_for({"our.nets", "custs", NETWORKS_NOTES_PER_ADDRESS}).
void load_networks_for(const NetworksOptions& options);

// Lets load_networks and next_customer start afresh in the same process, for
// tests and fuzz targets; nettally reads its definitions once and never
// calls it. The caller closes the streams and frees the records that a run
// ended by an error left behind.
void networks_restart();
