// mkflow: makes flow files for tests, examples and benchmarks. nettally and
// recdump only ever read flow files; this is the one place that writes them.
//
//   mkflow text IN OUT [--fill zero|ones|random:SEED]
//       IN is a text description (see below), "-" for standard input;
//       OUT the flow file, "-" for standard output.
//   mkflow synth --nets FILE --records N --files K --seed S --out DIR
//                [--start T] [--fill ...] [--outside-in BLOCKS --outside-share P]
//                [--longest L]
//       K files DIR/flow.000 ... (flow.0000 ... from 1,001 files on) with
//       N records in all, file k starting at
//       T + 300·k, each flow at 0..299 s into its file and lasting 0..L
//       seconds (default 119, at most 65,236): 90% crossing (the
//       inside end skewed towards a few thousand busy addresses), 8%
//       internal, 2% with neither end inside the supernets of FILE. With
//       --outside-in, P% of the outside ends lie in BLOCKS (a.b.c.d/p,
//       separated by commas; none may overlap the supernets), the others
//       anywhere outside the supernets.
//   mkflow custs --nets FILE --count N --seed S [--min-prefix 22]
//                [--max-prefix 32] [--disjoint | --overlapping]
//       writes a customer file of N blocks inside the supernets to stdout,
//       each of a prefix length drawn from --min-prefix to --max-prefix but
//       never larger than the supernet it is drawn in. By default
//       (--disjoint) no two blocks overlap: a block that overlaps one
//       written before, or leaves fewer free addresses than blocks to come,
//       is drawn again, prefix length and all, so that large blocks grow
//       rarer as the space fills; after 10,000 draws in vain, the block is
//       the largest free one around a free address drawn at random, a single
//       address if need be. More blocks than the supernets have addresses
//       is an error. --overlapping keeps every block as drawn.
//
// Text description: one item per line, written to the file in order; "#"
// starts a comment. A record needs a header line before it; raw lines may
// stand anywhere, so that an empty file or a short header can be made.
//   header START STOP TOTAL_BYTES FLOWS PACKETS [MAGIC]     272 bytes
//   PROTO SRC DST START_OFF END_OFF FPKTS FBYTES RPKTS RBYTES  57 bytes
//   raw HEX...                                        the bytes as given
// Numbers are decimal, or hexadecimal after "0x", in these ranges:
//   START, STOP       0..4294967295, seconds since the epoch (32 bits)
//   TOTAL_BYTES       0..18446744073709551615 (64 bits)
//   FLOWS, PACKETS    0..4294967295 (32 bits)
//   PROTO             tcp, udp, icmp or a number 0..255
//   START_OFF, END_OFF  0..65535, seconds after the header's START (16 bits)
//   FPKTS, FBYTES, RPKTS, RBYTES  0..4294967295 (32 bits): packets and bytes
//                     from SRC to DST, then back
//   PORT 0..65535; TYPE, CODE 0..255; raw HEX bytes 00..ff
// SRC and DST are a.b.c.d, optionally followed by ":PORT", the raw value of
// that end's port field. ICMP keeps its type and code in the source port
// field: write them as the source's ":TYPE/CODE" (10.0.0.1:8/0). MAGIC is
// four characters (default KVRZ). The not-interpreted bytes are zero unless
// --fill says otherwise. A number out of its range ends the run with a
// message that names the field and the range.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "flowformat/flow_format.h"

namespace {

// Writes "mkflow: [line N: ]what[: detail]" and exits 1.
[[noreturn]] void die(const char* what, const char* detail = "", long line = 0) {
  if (line > 0) fprintf(stderr, "mkflow: line %ld: %s", line, what);
  else fprintf(stderr, "mkflow: %s", what);
  if (*detail) fprintf(stderr, ": %s", detail);
  fputc('\n', stderr);
  exit(1);
}

// splitmix64: a small, seeded, platform-independent generator.
struct Rng {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint64_t below(uint64_t n) { return n ? next() % n : 0; }
  double unit() { return double(next() >> 11) / 9007199254740992.0; }
};

enum FillKind { FILL_ZERO, FILL_ONES, FILL_RANDOM };
struct Fill {
  FillKind kind = FILL_ZERO;
  Rng rng{0};
  uint8_t byte() {
    if (kind == FILL_ONES) return 0xFF;
    if (kind == FILL_RANDOM) return uint8_t(rng.next());
    return 0;
  }
};

void put_be16(uint8_t* p, uint32_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }
void put_be32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}
void put_be64(uint8_t* p, uint64_t v) { put_be32(p, uint32_t(v >> 32)); put_be32(p + 4, uint32_t(v)); }

void fill_range(uint8_t* p, size_t n, Fill& fill) {
  for (size_t i = 0; i < n; i++) p[i] = fill.byte();
}

void encode_header(uint8_t* h, const uint8_t magic[4], uint32_t start, uint32_t stop,
                   uint64_t total_bytes, uint32_t flows, uint32_t packets, Fill& fill) {
  fill_range(h, FLOW_HEADER_SIZE, fill);
  memcpy(h + HDR_MAGIC, magic, 4);
  put_be32(h + HDR_START_TIME, start);
  put_be32(h + HDR_STOP_TIME, stop);
  put_be64(h + HDR_TOTAL_BYTES, total_bytes);
  put_be32(h + HDR_FLOW_COUNT, flows);
  put_be32(h + HDR_PACKET_COUNT, packets);
}

struct RecordFields {
  uint8_t protocol;
  uint32_t src, dst;
  uint16_t sport, dport;
  uint16_t start_off, end_off;
  uint32_t fpkts, fbytes, rpkts, rbytes;
};

void encode_record(uint8_t* r, const RecordFields& f, Fill& fill) {
  fill_range(r, FLOW_RECORD_SIZE, fill);
  r[REC_PROTOCOL] = f.protocol;
  put_be16(r + REC_START_OFFSET, f.start_off);
  put_be16(r + REC_END_OFFSET, f.end_off);
  put_be32(r + REC_FWD_PACKETS, f.fpkts);
  put_be32(r + REC_FWD_BYTES, f.fbytes);
  put_be32(r + REC_REV_PACKETS, f.rpkts);
  put_be32(r + REC_REV_BYTES, f.rbytes);
  put_be32(r + REC_SRC_ADDR, f.src);
  put_be32(r + REC_DST_ADDR, f.dst);
  put_be16(r + REC_SRC_PORT, f.sport);
  put_be16(r + REC_DST_PORT, f.dport);
}

Fill parse_fill(const char* s) {
  Fill f;
  if (strcmp(s, "zero") == 0) f.kind = FILL_ZERO;
  else if (strcmp(s, "ones") == 0) f.kind = FILL_ONES;
  else if (strncmp(s, "random:", 7) == 0) {
    f.kind = FILL_RANDOM;
    f.rng.s = strtoull(s + 7, nullptr, 10);
  } else die("bad --fill value", s);
  return f;
}

// ---- text descriptions -------------------------------------------------

// Writes "mkflow: writing NAME: <the system's reason>" and exits 1: output
// that cannot be written in full ends the run as it does in the programs.
[[noreturn]] void die_writing(const char* name) {
  std::string what = std::string("writing ") + name;
  die(what.c_str(), strerror(errno));
}

// Flushes and closes f (standard output too: a failure can show only at
// the close, on a file system that writes late), exiting 1 if any of it
// fails.
void close_output(FILE* f, const char* name) {
  errno = 0;
  if (fflush(f) != 0 || ferror(f)) die_writing(name);
  if (fclose(f) != 0) die_writing(name);
}

struct Out {
  FILE* f;
  const char* name;  // in messages: the path, or "standard output"
  void put(const uint8_t* p, size_t n) {
    if (fwrite(p, 1, n, f) != n) die_writing(name);
  }
};

// A field's number: decimal, or hexadecimal after "0x", from 0 to max.
// Anything else ends the run with a message that names the field and its
// range, as in "line 3: FBYTES must be a number from 0 to 4294967295: -1".
uint64_t parse_number(const std::string& tok, const char* field, uint64_t max, long line) {
  bool hex = tok.size() > 2 && tok[0] == '0' && (tok[1] == 'x' || tok[1] == 'X');
  const char* digits = tok.c_str() + (hex ? 2 : 0);
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(digits, &end, hex ? 16 : 10);
  bool ok = *digits != '\0' && isxdigit((unsigned char)*digits) && (hex || isdigit((unsigned char)*digits)) &&
            *end == '\0' && errno == 0 && v <= max;
  if (!ok) {
    char what[128];
    snprintf(what, sizeof what, "%s must be a number from 0 to %" PRIu64, field, max);
    die(what, tok.c_str(), line);
  }
  return v;
}

uint32_t parse_address(const std::string& tok, long line) {
  unsigned a, b, c, d;
  char tail;
  if (sscanf(tok.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 ||
      c > 255 || d > 255)
    die("bad address", tok.c_str(), line);
  return a << 24 | b << 16 | c << 8 | d;
}

// "a.b.c.d" or "a.b.c.d:PORT" or "a.b.c.d:TYPE/CODE".
void parse_end(const std::string& tok, uint32_t* addr, uint16_t* port, long line) {
  size_t colon = tok.find(':');
  *addr = parse_address(tok.substr(0, colon), line);
  *port = 0;
  if (colon == std::string::npos) return;
  std::string p = tok.substr(colon + 1);
  size_t slash = p.find('/');
  if (slash == std::string::npos) {
    *port = uint16_t(parse_number(p, "PORT", 65535, line));
  } else {
    uint64_t type = parse_number(p.substr(0, slash), "TYPE", 255, line);
    uint64_t code = parse_number(p.substr(slash + 1), "CODE", 255, line);
    *port = uint16_t(type << 8 | code);
  }
}

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && isspace((unsigned char)s[i])) i++;
    size_t j = i;
    while (j < s.size() && !isspace((unsigned char)s[j])) j++;
    if (j > i) words.push_back(s.substr(i, j - i));
    i = j;
  }
  return words;
}

int cmd_text(int argc, char** argv) {
  if (argc < 2) die("usage: mkflow text IN OUT [--fill zero|ones|random:SEED]");
  Fill fill;
  for (int i = 2; i < argc; i++) {
    if (strcmp(argv[i], "--fill") == 0 && i + 1 < argc) fill = parse_fill(argv[++i]);
    else die("unknown option", argv[i]);
  }
  FILE* in = strcmp(argv[0], "-") == 0 ? stdin : fopen(argv[0], "r");
  if (!in) die("cannot open", argv[0]);
  bool to_stdout = strcmp(argv[1], "-") == 0;
  FILE* of = to_stdout ? stdout : fopen(argv[1], "wb");
  if (!of) die("cannot create", argv[1]);
  Out out{of, to_stdout ? "standard output" : argv[1]};

  const char* in_name = strcmp(argv[0], "-") == 0 ? "standard input" : argv[0];
  bool have_header = false;
  char buf[4096];
  long line = 0;
  while (fgets(buf, sizeof buf, in)) {
    line++;
    std::string s(buf);
    size_t hash = s.find('#');
    if (hash != std::string::npos) s.resize(hash);
    std::vector<std::string> w = split(s);
    if (w.empty()) continue;
    if (w[0] == "header") {
      if (w.size() != 6 && w.size() != 7) die("header wants START STOP BYTES FLOWS PACKETS [MAGIC]", "", line);
      uint8_t magic[4];
      memcpy(magic, FLOW_MAGIC, 4);
      if (w.size() == 7) {
        if (w[6].size() != 4) die("magic must be four characters", w[6].c_str(), line);
        memcpy(magic, w[6].data(), 4);
      }
      uint8_t h[FLOW_HEADER_SIZE];
      encode_header(h, magic, uint32_t(parse_number(w[1], "START", UINT32_MAX, line)),
                    uint32_t(parse_number(w[2], "STOP", UINT32_MAX, line)),
                    parse_number(w[3], "TOTAL_BYTES", UINT64_MAX, line),
                    uint32_t(parse_number(w[4], "FLOWS", UINT32_MAX, line)),
                    uint32_t(parse_number(w[5], "PACKETS", UINT32_MAX, line)), fill);
      out.put(h, sizeof h);
      have_header = true;
    } else if (w[0] == "raw") {
      for (size_t i = 1; i < w.size(); i++) {
        uint8_t b = uint8_t(parse_number("0x" + w[i], "HEX", 255, line));
        out.put(&b, 1);
      }
    } else {
      // Records without a header make a file that no reader takes for a
      // flow file; a damaged one is written with raw lines instead.
      if (!have_header) {
        fprintf(stderr, "mkflow: %s: line %ld: a record before any header line (only raw lines may come before it)\n",
                in_name, line);
        exit(1);
      }
      if (w.size() != 9) die("a record wants 9 fields", buf, line);
      RecordFields f = {};
      if (w[0] == "tcp") f.protocol = PROTO_TCP;
      else if (w[0] == "udp") f.protocol = PROTO_UDP;
      else if (w[0] == "icmp") f.protocol = PROTO_ICMP;
      else f.protocol = uint8_t(parse_number(w[0], "PROTO", 255, line));
      parse_end(w[1], &f.src, &f.sport, line);
      parse_end(w[2], &f.dst, &f.dport, line);
      f.start_off = uint16_t(parse_number(w[3], "START_OFF", 65535, line));
      f.end_off = uint16_t(parse_number(w[4], "END_OFF", 65535, line));
      f.fpkts = uint32_t(parse_number(w[5], "FPKTS", UINT32_MAX, line));
      f.fbytes = uint32_t(parse_number(w[6], "FBYTES", UINT32_MAX, line));
      f.rpkts = uint32_t(parse_number(w[7], "RPKTS", UINT32_MAX, line));
      f.rbytes = uint32_t(parse_number(w[8], "RBYTES", UINT32_MAX, line));
      uint8_t r[FLOW_RECORD_SIZE];
      encode_record(r, f, fill);
      out.put(r, sizeof r);
    }
  }
  if (in != stdin) fclose(in);
  close_output(of, out.name);
  return 0;
}

// ---- synthetic workloads ------------------------------------------------

struct Block {
  uint32_t first;
  uint64_t size;
};

Block make_block(unsigned a, unsigned b, unsigned c, unsigned d, unsigned p) {
  uint32_t addr = a << 24 | b << 16 | c << 8 | d;
  uint32_t mask = p == 0 ? 0 : ~uint32_t(0) << (32 - p);
  return {addr & mask, uint64_t(1) << (32 - p)};
}

std::vector<Block> read_supernets(const char* path) {
  FILE* f = fopen(path, "r");
  if (!f) die("cannot open", path);
  std::vector<Block> blocks;
  unsigned a, b, c, d, p;
  while (fscanf(f, " %u.%u.%u.%u/%u", &a, &b, &c, &d, &p) == 5) {
    if (p > 32) die("bad prefix length in", path);
    blocks.push_back(make_block(a, b, c, d, p));
  }
  fclose(f);
  if (blocks.empty()) die("no supernets in", path);
  return blocks;
}

// "a.b.c.d/p,a.b.c.d/p,...".
std::vector<Block> parse_blocks(const char* list) {
  std::vector<Block> blocks;
  std::string all(list);
  size_t at = 0;
  while (at <= all.size()) {
    size_t comma = all.find(',', at);
    std::string one = all.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    unsigned a, b, c, d, p;
    char tail;
    if (sscanf(one.c_str(), "%u.%u.%u.%u/%u%c", &a, &b, &c, &d, &p, &tail) != 5 || a > 255 ||
        b > 255 || c > 255 || d > 255 || p > 32)
      die("bad block", one.c_str());
    blocks.push_back(make_block(a, b, c, d, p));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return blocks;
}

struct Space {
  std::vector<Block> blocks;
  uint64_t total = 0;
  bool inside(uint32_t a) const {
    for (const Block& b : blocks)
      if (a >= b.first && uint64_t(a) < b.first + b.size) return true;
    return false;
  }
  // The address of index i, counting every block's addresses in turn;
  // *in is set to the block it lies in.
  uint32_t nth(uint64_t i, const Block** in = nullptr) const {
    for (const Block& b : blocks) {
      if (in) *in = &b;
      if (i < b.size) return uint32_t(b.first + i);
      i -= b.size;
    }
    if (in) *in = &blocks[0];
    return blocks[0].first;
  }
};

Space make_space(const char* nets) {
  Space s;
  s.blocks = read_supernets(nets);
  for (const Block& b : s.blocks) s.total += b.size;
  return s;
}

uint32_t inside_address(const Space& s, const std::vector<uint32_t>& busy, Rng& rng) {
  for (;;) {
    uint32_t a;
    if (rng.below(100) < 80) {
      // Skewed: a cube of a uniform number piles up on the first busy ones.
      double u = rng.unit();
      a = busy[size_t(u * u * u * double(busy.size()))];
    } else {
      a = s.nth(rng.below(s.total));
    }
    if (a != 0) return a;
  }
}

// Where some outside ends lie, when asked: `share` percent of them in
// `blocks`.
struct OutsidePlaces {
  Space blocks;
  uint64_t share = 0;
};

uint32_t outside_address(const Space& s, const OutsidePlaces& places, Rng& rng) {
  // Without --outside-in no number is drawn here, so the records are the
  // same as before the option existed.
  if (places.share > 0 && rng.below(100) < places.share) {
    for (;;) {
      uint32_t a = places.blocks.nth(rng.below(places.blocks.total));
      if (a != 0) return a;
    }
  }
  for (;;) {
    uint32_t a = uint32_t(rng.next());
    if (a != 0 && !s.inside(a)) return a;
  }
}

const char* arg_value(int argc, char** argv, const char* name, const char* dflt) {
  for (int i = 0; i + 1 < argc; i++)
    if (strcmp(argv[i], name) == 0) return argv[i + 1];
  if (!dflt) die("missing option", name);
  return dflt;
}

int cmd_synth(int argc, char** argv) {
  Space space = make_space(arg_value(argc, argv, "--nets", nullptr));
  uint64_t records = strtoull(arg_value(argc, argv, "--records", nullptr), nullptr, 10);
  uint64_t files = strtoull(arg_value(argc, argv, "--files", "1"), nullptr, 10);
  Rng rng{strtoull(arg_value(argc, argv, "--seed", "1"), nullptr, 10)};
  const char* dir = arg_value(argc, argv, "--out", nullptr);
  uint32_t start = uint32_t(strtoul(arg_value(argc, argv, "--start", "1700000000"), nullptr, 10));
  Fill fill = parse_fill(arg_value(argc, argv, "--fill", "zero"));
  uint64_t longest = strtoull(arg_value(argc, argv, "--longest", "119"), nullptr, 10);
  if (files == 0) die("--files must be at least 1");
  if (longest > 65535 - 299) die("--longest must leave the end offset within 16 bits");
  OutsidePlaces places;
  const char* outside_in = arg_value(argc, argv, "--outside-in", "");
  if (*outside_in) {
    places.blocks.blocks = parse_blocks(outside_in);
    for (const Block& b : places.blocks.blocks) {
      for (const Block& n : space.blocks)
        if (b.first < n.first + n.size && n.first < b.first + b.size)
          die("an --outside-in block overlaps the supernets", outside_in);
      places.blocks.total += b.size;
    }
    places.share = strtoull(arg_value(argc, argv, "--outside-share", nullptr), nullptr, 10);
    if (places.share > 100) die("--outside-share is a percentage");
  }
  mkdir(dir, 0777);

  std::vector<uint32_t> busy(4096);
  for (uint32_t& a : busy) a = space.nth(rng.below(space.total));

  // Numbers of at least three digits, all of one width, so that the
  // files' names sort in the order they were written, as a collector's do.
  int digits = 3;
  for (uint64_t n = files - 1; n >= 1000; n /= 10) digits++;
  static uint8_t chunk[FLOW_RECORD_SIZE * 4096];
  for (uint64_t k = 0; k < files; k++) {
    uint64_t n = records / files + (k < records % files ? 1 : 0);
    char path[4096];
    int length = snprintf(path, sizeof path, "%s/flow.%0*" PRIu64, dir, digits, k);
    if (length < 0 || size_t(length) >= sizeof path) die("path too long", dir);
    FILE* f = fopen(path, "wb");
    if (!f) die("cannot create", path);
    uint32_t file_start = start + uint32_t(k * 300);
    uint8_t h[FLOW_HEADER_SIZE];
    encode_header(h, FLOW_MAGIC, file_start, file_start + 300, 0, uint32_t(n), 0, fill);
    Out out{f, path};
    out.put(h, sizeof h);
    size_t used = 0;
    for (uint64_t i = 0; i < n; i++) {
      RecordFields r = {};
      uint64_t kind = rng.below(100);
      if (kind < 90) {
        uint32_t in = inside_address(space, busy, rng), out_addr = outside_address(space, places, rng);
        bool in_is_src = rng.below(2) == 0;
        r.src = in_is_src ? in : out_addr;
        r.dst = in_is_src ? out_addr : in;
      } else if (kind < 98) {
        r.src = inside_address(space, busy, rng);
        r.dst = inside_address(space, busy, rng);
      } else {
        r.src = outside_address(space, places, rng);
        r.dst = outside_address(space, places, rng);
      }
      static const uint8_t protos[4] = {PROTO_TCP, PROTO_TCP, PROTO_UDP, PROTO_ICMP};
      r.protocol = protos[rng.below(4)];
      r.sport = uint16_t(rng.below(65536));
      r.dport = uint16_t(rng.below(1024));
      r.start_off = uint16_t(rng.below(300));
      r.end_off = uint16_t(r.start_off + rng.below(longest + 1));
      r.fpkts = uint32_t(1 + rng.below(200));
      r.rpkts = uint32_t(1 + rng.below(200));
      r.fbytes = uint32_t(r.fpkts * (40 + rng.below(1460)));
      r.rbytes = uint32_t(r.rpkts * (40 + rng.below(1460)));
      encode_record(chunk + used, r, fill);
      used += FLOW_RECORD_SIZE;
      if (used == sizeof chunk) {
        out.put(chunk, used);
        used = 0;
      }
    }
    out.put(chunk, used);
    close_output(f, path);
  }
  return 0;
}

// The supernets as sorted ranges that neither overlap nor touch: the
// addresses a customer block may take, each counted once however many
// supernets list it.
struct Range {
  uint32_t first, last;
};

std::vector<Range> merged_ranges(const std::vector<Block>& blocks) {
  std::vector<Range> ranges;
  for (const Block& b : blocks) ranges.push_back({b.first, uint32_t(b.first + (b.size - 1))});
  std::sort(ranges.begin(), ranges.end(), [](Range x, Range y) { return x.first < y.first; });
  std::vector<Range> merged;
  for (Range r : ranges) {
    if (!merged.empty() && uint64_t(r.first) <= uint64_t(merged.back().last) + 1)
      merged.back().last = std::max(merged.back().last, r.last);
    else
      merged.push_back(r);
  }
  return merged;
}

// The blocks written so far in the disjoint mode, first -> last address.
using Taken = std::map<uint32_t, uint32_t>;

bool overlaps_taken(const Taken& taken, uint32_t first, uint32_t last) {
  auto next = taken.upper_bound(first);  // the first block that starts after first
  if (next != taken.end() && next->first <= last) return true;
  return next != taken.begin() && std::prev(next)->second >= first;
}

// The free address of rank `rank` (0 = the lowest) and the free run of
// addresses around it, in the supernets less the blocks taken. rank is
// below the number of free addresses.
Range nth_free(const std::vector<Range>& ranges, const Taken& taken, uint64_t rank, uint32_t* address) {
  for (Range r : ranges) {
    uint64_t at = r.first;  // 64-bit: a range may end at 255.255.255.255
    for (auto t = taken.lower_bound(r.first); at <= r.last; ++t) {
      uint64_t gap_end = t != taken.end() && t->first <= r.last ? uint64_t(t->first) : uint64_t(r.last) + 1;
      if (rank < gap_end - at) {
        *address = uint32_t(at + rank);
        return {uint32_t(at), uint32_t(gap_end - 1)};
      }
      rank -= gap_end - at;
      if (gap_end > r.last) break;
      at = uint64_t(t->second) + 1;
    }
  }
  die("no free address left");  // not reached: the caller counts them
}

// Draws after which a disjoint block stops being drawn at random (the
// benchmark's 20,000 blocks in a /9 and a /12 need at most 21 in a row).
constexpr uint64_t MAX_RANDOM_DRAWS = 10000;

int cmd_custs(int argc, char** argv) {
  const char* nets = arg_value(argc, argv, "--nets", nullptr);
  Space space = make_space(nets);
  uint64_t count = strtoull(arg_value(argc, argv, "--count", nullptr), nullptr, 10);
  Rng rng{strtoull(arg_value(argc, argv, "--seed", "1"), nullptr, 10)};
  unsigned lo = unsigned(strtoul(arg_value(argc, argv, "--min-prefix", "22"), nullptr, 10));
  unsigned hi = unsigned(strtoul(arg_value(argc, argv, "--max-prefix", "32"), nullptr, 10));
  if (lo > hi || hi > 32) die("bad prefix range");
  bool disjoint = false, overlapping = false;
  for (int i = 0; i < argc; i++) {
    if (strcmp(argv[i], "--disjoint") == 0) disjoint = true;
    if (strcmp(argv[i], "--overlapping") == 0) overlapping = true;
  }
  if (disjoint && overlapping) die("--disjoint and --overlapping exclude each other");
  disjoint = !overlapping;

  std::vector<Range> ranges = merged_ranges(space.blocks);
  uint64_t free_addresses = 0;
  for (Range r : ranges) free_addresses += uint64_t(r.last) - r.first + 1;
  if (disjoint && count > free_addresses) {
    char what[256];
    snprintf(what, sizeof what,
             "%" PRIu64 " disjoint blocks do not fit in the %" PRIu64
             " addresses of the supernets in %s (use a smaller --count, or --overlapping)",
             count, free_addresses, nets);
    die(what);
  }

  Taken taken;
  for (uint64_t i = 0; i < count; i++) {
    // Room for the blocks still to come, one address each at least.
    uint64_t budget = free_addresses - (count - i - 1);
    unsigned p = 0;
    uint32_t a = 0;
    bool placed = false;
    for (uint64_t tries = 0; tries < MAX_RANDOM_DRAWS && !placed; tries++) {
      p = lo + unsigned(rng.below(hi - lo + 1));
      const Block* in = nullptr;
      a = space.nth(rng.below(space.total), &in);
      // Never larger than the supernet the address was drawn in, so that
      // the block stays inside it.
      unsigned supernet_prefix = 32 - unsigned(std::countr_zero(in->size));
      p = std::max(p, supernet_prefix);
      uint32_t mask = p == 0 ? 0 : ~uint32_t(0) << (32 - p);
      a &= mask;
      if (!disjoint) break;
      // A block that overlaps one written before, or leaves too little
      // room, is drawn again, prefix length and all, so that large blocks
      // grow rarer as the space fills.
      uint64_t size = uint64_t(1) << (32 - p);
      placed = size <= budget && !overlaps_taken(taken, a, a | ~mask);
    }
    if (disjoint && !placed) {
      // The space is nearly full: take a free address at random and the
      // largest block around it that is free and leaves room, down to the
      // single address if need be.
      Range gap = nth_free(ranges, taken, rng.below(free_addresses), &a);
      for (;; p++) {
        uint32_t mask = p == 0 ? 0 : ~uint32_t(0) << (32 - p);
        uint64_t first = a & mask, size = uint64_t(1) << (32 - p);
        if (first >= gap.first && first + size - 1 <= gap.last && size <= budget) break;
      }
      a &= p == 0 ? 0 : ~uint32_t(0) << (32 - p);
    }
    if (disjoint) {
      uint32_t last = a | (p == 32 ? 0 : ~uint32_t(0) >> p);
      taken[a] = last;
      free_addresses -= uint64_t(last) - a + 1;
    }
    if (printf("%u.%u.%u.%u/%u cust%05" PRIu64 "\n", a >> 24, a >> 16 & 255, a >> 8 & 255, a & 255, p, i) < 0)
      die_writing("standard output");
  }
  close_output(stdout, "standard output");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "text") == 0) return cmd_text(argc - 2, argv + 2);
  if (argc >= 2 && strcmp(argv[1], "synth") == 0) return cmd_synth(argc - 2, argv + 2);
  if (argc >= 2 && strcmp(argv[1], "custs") == 0) return cmd_custs(argc - 2, argv + 2);
  fprintf(stderr,
          "usage: mkflow text IN OUT [--fill zero|ones|random:SEED]\n"
          "       mkflow synth --nets FILE --records N --files K --seed S --out DIR [--start T] [--fill F]\n"
          "                    [--outside-in BLOCKS --outside-share P] [--longest L]\n"
          "       mkflow custs --nets FILE --count N --seed S [--min-prefix P] [--max-prefix P]\n"
          "                    [--disjoint | --overlapping]\n");
  return 1;
}
