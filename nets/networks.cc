#include "nets/networks.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nets/address.h"
#include "nets/host_table.h"
#include "nets/output.h"
#include "nets/run_array.h"

static_assert(sizeof(unsigned long) == sizeof(uint64_t), "%lu prints uint64_t");

// White space as the formatted-input functions see it in the C locale.
static bool is_blank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static bool is_digit(int c) { return c >= '0' && c <= '9'; }

// One "%u" from a cursor (a string, or our.nets as it is read): optional
// white space, an optional sign, at least one decimal digit. A sign or a
// value above 32 bits is matched but marked, so that the caller can refuse
// it instead of taking a wrapped number. Returns false when no digit comes.
template <typename Cursor>
static bool scan_unsigned(Cursor& in, uint32_t* value, bool* out_of_range) {
  while (is_blank(in.peek())) in.take();
  bool sign = in.peek() == '+' || in.peek() == '-';
  if (sign) in.take();
  if (!is_digit(in.peek())) return false;
  uint64_t v = 0;
  bool big = false;
  for (; is_digit(in.peek()); in.take()) {
    v = v * 10 + uint64_t(in.peek() - '0');
    if (v > UINT32_MAX) {
      big = true;
      v = UINT32_MAX;
    }
  }
  if (sign || big) *out_of_range = true;
  *value = uint32_t(v);
  return true;
}

// A NUL-terminated text as a cursor: the NUL matches nothing.
struct TextCursor {
  const char* p;
  int peek() const { return static_cast<unsigned char>(*p); }
  void take() { p++; }
};

NetworkScan scan_network(const char* text) {
  static constexpr char SEPARATORS[4] = {'.', '.', '.', '/'};
  NetworkScan scan = {};
  TextCursor in = {text};
  for (int i = 0; i < 5; i++) {
    if (i > 0) {
      if (in.peek() != SEPARATORS[i - 1]) break;
      in.take();
    }
    if (!scan_unsigned(in, &scan.number[i], &scan.out_of_range)) break;
    scan.count = i + 1;
    scan.end = in.p;
  }
  if (scan.count == 0) scan.end = text;
  return scan;
}

static uint32_t network_address(const uint32_t (&number)[5]) {
  // The numbers are not checked against 255: 10.0.0.256 is 10.0.1.0.
  return number[0] * 16777216u + number[1] * 65536u + number[2] * 256u + number[3];
}

bool parse_customer_network(const char* text, uint32_t* network, uint32_t* prefix_length) {
  NetworkScan s = scan_network(text);
  if (s.count < 4 || s.out_of_range) return false;
  uint32_t p = s.count == 5 ? s.number[4] : 32;
  if (p > 32) return false;
  *network = network_address(s.number);
  *prefix_length = p;
  return true;
}

// Reads the next word (a run of characters other than white space) of f
// into word. A word longer than DEFINITION_WORD_MAX is read to its end, so
// that no piece of it is taken as the next word, and keeps its first
// characters; it and a word holding a NUL byte set *bad. Returns false at
// the end of the file before a word; exits 1 on a read error.
// *line counts the line ends passed; *word_line gets the line where the
// word starts.
static bool read_word(FILE* f, char (&word)[DEFINITION_WORD_MAX + 1], bool* bad,
                      const char* read_label, int* line, int* word_line) {
  int c;
  do {
    c = getc(f);
    if (c == '\n') ++*line;
  } while (c != EOF && is_blank(c));
  *word_line = *line;
  size_t n = 0;
  while (c != EOF && !is_blank(c)) {
    if (n < DEFINITION_WORD_MAX) word[n++] = char(c);
    else *bad = true;
    if (c == '\0') *bad = true;
    c = getc(f);
  }
  if (c == '\n') ++*line;
  word[n] = '\0';
  if (ferror(f)) fail_perror(read_label);
  return n > 0 || *bad;
}

static CustomerRecord* new_record() {
  void* r = calloc(1, sizeof(CustomerRecord));
  if (!r) fail_perror("calloc");
  return static_cast<CustomerRecord*>(r);
}

// Set by networks_restart(), which nettally itself never calls.
static bool restart_requested;

// The files and notes of the run, set by load_networks_for.
static NetworksOptions options = {"our.nets", "custs", NETWORKS_NOTES_PER_ADDRESS};

CustomerRecord* next_customer() {
  static FILE* file;
  static bool opened;
  static int line;  // entries, for "Bad Statement in Line"
  static int file_line;  // lines of the file
  static CustomerRecord record;

  if (restart_requested) {
    file = nullptr;  // a failed run's stream is its caller's to close
    opened = false;
    line = 0;
    file_line = 1;
    restart_requested = false;
  }
  if (!opened) {
    file = fopen(options.custs_path, "r");
    file_line = 1;
    if (!file) fail_perror("Opening custs file");
    opened = true;
  }
  if (!file) return nullptr;

  char network_text[DEFINITION_WORD_MAX + 1];
  char name[DEFINITION_WORD_MAX + 1] = "";
  bool bad = false;
  int entry_line = 0, name_line = 0;
  if (!read_word(file, network_text, &bad, "Reading custs file", &file_line, &entry_line)) {
    fclose(file);
    file = nullptr;
    return nullptr;
  }
  bool has_name = read_word(file, name, &bad, "Reading custs file", &file_line, &name_line);
  line++;

  record = {};
  uint32_t network, prefix_length;
  if (bad || !has_name || !parse_customer_network(network_text, &network, &prefix_length)) {
    // netbill writes nothing on standard output when a run fails.
    if (options.notes == NETWORKS_NOTES_PER_ENTRY)
      err_printf("Bad Statement in Line %d : %s %s\n", line, network_text, name);
    else
      out_printf("Bad Statement in Line %d : %s %s\n", line, network_text, name);
    fail_exit();
  }
  record.line = entry_line;
  record.network = network;
  record.prefix_length = uint8_t(prefix_length);
  memcpy(record.name, name, strnlen(name, CUSTOMER_NAME_MAX));  // the rest stays zero
  return &record;
}

// The next character of our.nets. A failed read looks like the end of the
// file, and its error is kept in e.
static int get_supernet_char(FILE* f, SupernetEntry* e) {
  int c = getc(f);
  if (c == EOF && ferror(f) && e->error == 0) e->error = errno;
  return c;
}

static void keep_text(SupernetEntry* e, int c) {
  if (e->text_length < SUPERNET_TEXT_MAX) e->text[e->text_length++] = char(c);
  else e->text_cut = true;
}

// our.nets as a cursor, `c` being the character at hand: what it takes is
// kept in the entry's text, and line ends are counted.
struct StreamCursor {
  FILE* f;
  int c;
  int* line;
  SupernetEntry* e;
  int peek() const { return c; }
  void take() {
    keep_text(e, c);
    if (c == '\n') ++*line;
    c = get_supernet_char(f, e);
  }
};

static SupernetRead read_entry(FILE* f, int* line, SupernetEntry* e) {
  static constexpr char SEPARATORS[4] = {'.', '.', '.', '/'};
  int c = get_supernet_char(f, e);
  // White space before the first entry; after an entry, its trailing
  // white space has been consumed already.
  while (is_blank(c)) {
    if (c == '\n') ++*line;
    c = get_supernet_char(f, e);
  }
  if (c == EOF) return SUPERNET_END;

  bool out_of_range = false;
  bool matched = true;
  StreamCursor in = {f, c, line, e};
  for (int i = 0; i < 5 && matched; i++) {
    if (i > 0) {
      matched = in.peek() == SEPARATORS[i - 1];  // no white space before a separator
      if (!matched) break;
      in.take();
    }
    matched = scan_unsigned(in, &e->number[i], &out_of_range);
  }
  c = in.c;
  if (!matched) {
    e->line = *line;
    if (c != EOF) keep_text(e, c);  // the character where it stopped
    return SUPERNET_REFUSED;
  }
  if (out_of_range || e->number[4] > 32) {
    e->line = *line;
    return SUPERNET_REFUSED;
  }
  while (is_blank(c)) {
    if (c == '\n') ++*line;
    c = get_supernet_char(f, e);
  }
  if (c != EOF) ungetc(c, f);
  return SUPERNET_ENTRY;
}

SupernetRead read_supernet_entry(FILE* f, int* line, SupernetEntry* e) {
  *e = {};
  SupernetRead got = read_entry(f, line, e);
  return e->error != 0 ? SUPERNET_FAILED : got;
}

// The text of a refused entry as a C string literal's body, so that white
// space and control characters inside it show; out holds 4 bytes per byte
// of text and a NUL.
static void show_text(const char* text, size_t n, char* out) {
  for (size_t i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    const char* named = c == '\t' ? "\\t" : c == '\n' ? "\\n" : c == '\r' ? "\\r"
                        : c == '\v' ? "\\v" : c == '\f' ? "\\f" : c == '"' ? "\\\""
                        : c == '\\' ? "\\\\" : nullptr;
    if (named) out += sprintf(out, "%s", named);
    else if (c < 0x20 || c > 0x7e) out += sprintf(out, "\\x%02x", c);
    else *out++ = char(c);
  }
  *out = '\0';
}

// The entries of our.nets, kept from reading to placing; the array grows as
// the file is read and lives for the whole run.
struct SupernetNumbers {
  uint32_t number[5];  // a, b, c, d, prefix length, as written
};
static SupernetNumbers* supernets;
static size_t supernet_capacity;

// Sums of address counts that a file of thousands of /0s could take past
// 64 bits stop at the largest value instead of wrapping.
static uint64_t add_saturated(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// The addresses of a supernet that get a slot: all of its block but 0.
static AddressBlock held_block(const uint32_t (&number)[5]) {
  AddressBlock block = address_block(network_address(number), number[4]);
  block.first = std::max<uint64_t>(block.first, 1);
  return block;
}

// Fills the table with the supernets of our.nets, each held by the owner
// at index default_owner. The file is read whole first, since the table's
// size depends on the total of its addresses; then each entry is echoed and
// placed, in file order, and an entry that cannot be read ends the run
// after those before it. Returns the number of slots filled.
static uint64_t load_supernets(uint32_t default_owner) {
  FILE* f = fopen(options.nets_path, "r");
  if (!f) fail_perror("Open SUPERNETS");

  size_t count = 0;
  uint64_t total = 0;  // every duplicate counted
  int line = 1;
  SupernetEntry s;
  SupernetRead got;
  while ((got = read_supernet_entry(f, &line, &s)) == SUPERNET_ENTRY) {
    grow_run_array(&supernets, &supernet_capacity, count + 1, "Reading our.nets");
    memcpy(supernets[count].number, s.number, sizeof s.number);
    AddressBlock block = held_block(s.number);
    if (block.last >= block.first) total = add_saturated(total, block.last - block.first + 1);
    count++;
  }

  // The table and its index hold the entries that are placed: those before
  // an entry that cannot be read.
  host_table_for(total, options.nets_path);
  for (size_t k = 0; k < count; k++) {
    AddressBlock block = held_block(supernets[k].number);
    if (block.last >= block.first) host_index_add(uint32_t(block.first), uint32_t(block.last));
  }
  host_index_build();

  // A table of our own size is placed by rank and seldom walks; its
  // thousands of collisions would bury what an operator looks for, so
  // they are summed up in one line. The fixed table notes each one.
  bool per_address = options.notes == NETWORKS_NOTES_PER_ADDRESS;
  uint64_t collisions = 0, most_steps = 0;
  for (size_t k = 0; k < count; k++) {
    const uint32_t(&number)[5] = supernets[k].number;
    if (per_address)
      err_printf("%u.%u.%u.%u Mask:%u\n", number[0], number[1], number[2], number[3], number[4]);
    AddressBlock block = address_block(network_address(number), number[4]);
    for (uint64_t x = block.first; x <= block.last; x++) {
      uint64_t steps = host_insert(uint32_t(x), default_owner);
      if (steps < 6) continue;
      if (host_table.fixed && per_address) err_printf("Coll:%lu \n", steps);
      collisions++;
      most_steps = std::max(most_steps, steps);
    }
  }
  if (!host_table.fixed && per_address)
    err_printf("Collisions: %lu of %lu addresses took 6 or more steps to place, the most %lu\n",
               collisions, total, most_steps);
  if (got == SUPERNET_REFUSED) {
    char shown[4 * SUPERNET_TEXT_MAX + 1];
    show_text(s.text, s.text_length, shown);
    err_printf("%s: entry %zu is not an address and a prefix length of 0 to 32: "
               "\"%s\"%s (line %d)\n",
               options.nets_path, count + 1, shown, s.text_cut ? "..." : "", s.line);
    fail_exit();
  }
  if (got == SUPERNET_FAILED) {
    errno = s.error;
    fail_perror("Reading our.nets");
  }
  fclose(f);
  host_table_seal();
  return total;
}

// What claim_block found of a customer's block.
struct BlockClaim {
  uint64_t outside;  // addresses of the block with no slot
  uint64_t taken;  // addresses that an earlier customer holds already
};

// Hands every address of the customer's block that DEFAULT still holds to
// the customer (at owner index customer_index, or added to the owners with
// its first address when that is 0), in ascending order, and reports every
// address that another customer holds already unless only the count is
// wanted.
static BlockClaim claim_block(CustomerRecord* customer, const CustomerRecord* default_owner,
                              uint32_t customer_index) {
  AddressBlock block = address_block(uint32_t(customer->network), customer->prefix_length);
  const AddressRange* ranges = host_index.ranges;
  const AddressRange* end = ranges + host_index.range_count;
  const AddressRange* r = std::lower_bound(
      ranges, end, block.first, [](const AddressRange& range, uint64_t x) { return range.last < x; });
  bool per_address = options.notes == NETWORKS_NOTES_PER_ADDRESS;
  uint64_t held = 0, taken = 0;
  for (; r < end && r->first <= block.last; r++) {
    uint64_t first = std::max<uint64_t>(r->first, block.first);
    uint64_t last = std::min<uint64_t>(r->last, block.last);
    held += last - first + 1;
    for (uint64_t x = first; x <= last; x++) {
      int32_t i = host_lookup(uint32_t(x));
      assert(i >= 0);  // every address of a range is held
      const CustomerRecord* owner = host_owner(uint32_t(i));
      if (owner == default_owner) {
        if (customer_index == 0) customer_index = host_owner_add(customer);
        host_set_owner(uint32_t(i), customer_index);
        continue;
      }
      taken++;
      if (per_address)
        err_printf("Used\nIP:%s\n%s\n%s\nNetwork:%lx\nNetmaks:%u\n", dotted_quad(host_table.addresses[i]),
                   owner->name, customer->name, customer->network, customer->prefix_length);
    }
  }
  return {block.last - block.first + 1 - held, taken};
}

void networks_restart() { restart_requested = true; }

void load_networks() { load_networks_for({"our.nets", "custs", NETWORKS_NOTES_PER_ADDRESS}); }

void load_networks_for(const NetworksOptions& how) {
  options = how;
  host_table_clear();
  CustomerRecord* default_owner = new_record();
  strcpy(default_owner->name, "DEFAULT");
  load_supernets(host_owner_add(default_owner));

  bool per_address = options.notes == NETWORKS_NOTES_PER_ADDRESS;
  int entry = 0;
  while (const CustomerRecord* r = next_customer()) {
    entry++;
    CustomerRecord* customer = new_record();
    *customer = *r;
    uint32_t owners_before = host_owner_count();
    // netbill bills every entry, those that claim nothing too: each is an
    // owner from the start.
    uint32_t customer_index = per_address ? 0 : host_owner_add(customer);
    BlockClaim claim = claim_block(customer, default_owner, customer_index);
    const char* network = dotted_quad(uint32_t(customer->network));
    if (per_address && claim.outside > 0)
      err_printf("custs: entry %d, %s/%u %s: %lu %s outside our.nets and %s not claimed\n", entry,
                 network, customer->prefix_length, customer->name, claim.outside,
                 claim.outside == 1 ? "address lies" : "addresses lie", claim.outside == 1 ? "is" : "are");
    if (!per_address && claim.taken > 0)
      err_printf("%s: entry %d (line %d), %s/%u %s: %lu %s held by earlier entries\n", options.custs_path,
                 entry, customer->line, network, customer->prefix_length, customer->name, claim.taken,
                 claim.taken == 1 ? "address" : "addresses");
    if (!per_address && claim.outside > 0)
      err_printf("%s: entry %d (line %d), %s/%u %s: %lu %s outside our.nets\n", options.custs_path, entry,
                 customer->line, network, customer->prefix_length, customer->name, claim.outside,
                 claim.outside == 1 ? "address" : "addresses");
    // A record that no slot points at would stay to the end unreferenced,
    // a leak: only the records that hold addresses live as long as the run.
    if (host_owner_count() == owners_before) free(customer);
  }
}
