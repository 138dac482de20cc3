// netbill: every customer's bill from the flow files: the bytes each sent
// and received across the border over a period, spread over intervals of
// fixed length, and the percentile of those intervals' rates that transit
// is billed by. A run is one pass: the command line, the definitions, the
// flow input, then the series file and graphs, and last the bill on
// standard output. Any error ends it at once with status 1 and nothing on
// standard output.

#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bill/bill_table.h"
#include "bill/bill_text.h"
#include "bill/figures.h"
#include "bill/graph.h"
#include "bill/interval.h"
#include "bill/period.h"
#include "flowformat/flow_file.h"
#include "flowformat/flow_format.h"
#include "flowformat/flow_reader.h"
#include "flowformat/write_all.h"
#include "nets/networks.h"
#include "nets/output.h"

static_assert(sizeof(unsigned long) == sizeof(uint64_t), "%lu prints uint64_t");

enum BillFormat : uint8_t { FORMAT_TEXT, FORMAT_CSV, FORMAT_JSON };

struct Options {
  const char* nets_path;
  const char* custs_path;
  uint32_t interval;
  uint32_t percentile;
  const char* from_text;
  const char* to_text;
  const char* month_text;
  BillFormat format;
  const char* series_path;
  const char* graph_dir;
};

static constexpr const char* USAGE =
    "usage: netbill [-n NETS] [-c CUSTS] [-i INTERVAL] [-p PERCENTILE] [-f FROM -t TO | -m MONTH]\n"
    "               [-o text|csv|json] [-s SERIES.csv] [-g DIR] PATH...\n"
    "  -n, --nets FILE         the supernets (default our.nets)\n"
    "  -c, --custs FILE        the customers (default custs)\n"
    "  -i, --interval LENGTH   seconds, or with s, m or h: 1 s to 1 day (default 300)\n"
    "  -p, --percentile P      1 to 100, by nearest rank (default 95)\n"
    "  -f, --from TIME         the period's start, with -t: @EPOCHSECONDS, YYYY-MM-DD,\n"
    "                          YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS, in local time\n"
    "  -t, --to TIME           the period's end, not included\n"
    "  -m, --month YYYY-MM     the calendar month in local time as the period\n"
    "  -o, --format FORMAT     text (default), csv or json\n"
    "  -s, --series FILE       write every customer's bytes per interval as CSV\n"
    "  -g, --graphs DIR        write one SVG graph per customer into DIR\n"
    "      --help              print this and exit\n"
    "      --version           print the version and exit\n"
    "PATH is a flow file, or a directory whose flow.* files are read, with its subdirectories.\n";

// Ends a run refused on its command line.
[[noreturn]] static void refuse() { fail_exit(); }

static Options parse_options(int argc, char** argv) {
  static const option LONG_OPTIONS[] = {
      {"nets", required_argument, nullptr, 'n'},     {"custs", required_argument, nullptr, 'c'},
      {"interval", required_argument, nullptr, 'i'}, {"percentile", required_argument, nullptr, 'p'},
      {"from", required_argument, nullptr, 'f'},     {"to", required_argument, nullptr, 't'},
      {"month", required_argument, nullptr, 'm'},    {"format", required_argument, nullptr, 'o'},
      {"series", required_argument, nullptr, 's'},   {"graphs", required_argument, nullptr, 'g'},
      {"help", no_argument, nullptr, 'H'},           {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  Options o = {"our.nets", "custs", INTERVAL_DEFAULT, PERCENTILE_DEFAULT, nullptr, nullptr, nullptr,
               FORMAT_TEXT, nullptr, nullptr};
  opterr = 0;  // the messages are ours
  int c;
  while ((c = getopt_long(argc, argv, ":n:c:i:p:f:t:m:o:s:g:", LONG_OPTIONS, nullptr)) != -1) {
    switch (c) {
      case 'n': o.nets_path = optarg; break;
      case 'c': o.custs_path = optarg; break;
      case 'i':
        if (!parse_interval(optarg, &o.interval)) {
          err_printf("netbill: bad interval \"%s\": %s\n", optarg, INTERVAL_FORMS);
          refuse();
        }
        break;
      case 'p':
        if (!parse_percentile(optarg, &o.percentile)) {
          err_printf("netbill: bad percentile \"%s\": %s\n", optarg, PERCENTILE_FORMS);
          refuse();
        }
        break;
      case 'f': o.from_text = optarg; break;
      case 't': o.to_text = optarg; break;
      case 'm': o.month_text = optarg; break;
      case 'o':
        if (strcmp(optarg, "text") == 0) o.format = FORMAT_TEXT;
        else if (strcmp(optarg, "csv") == 0) o.format = FORMAT_CSV;
        else if (strcmp(optarg, "json") == 0) o.format = FORMAT_JSON;
        else {
          err_printf("netbill: bad format \"%s\": text, csv or json\n", optarg);
          refuse();
        }
        break;
      case 's': o.series_path = optarg; break;
      case 'g': o.graph_dir = optarg; break;
      case 'H':
        out_write(USAGE, strlen(USAGE));
        finish();
      case 'V':
        out_printf("netbill %s\n", NETBILL_VERSION);
        finish();
      case ':':
        err_printf("netbill: option %s needs a value (netbill --help lists the options)\n", argv[optind - 1]);
        refuse();
      default:
        if (optopt != 0)
          err_printf("netbill: unknown option -%c (netbill --help lists the options)\n", optopt);
        else
          err_printf("netbill: unknown option %s (netbill --help lists the options)\n", argv[optind - 1]);
        refuse();
    }
  }
  return o;
}

// The period of the command line, checked against the interval length;
// false when none is given.
static bool command_line_period(const Options& o, Period* period) {
  if (o.month_text && (o.from_text || o.to_text)) {
    err_printf("netbill: -m and -f/-t both give the period: use one\n");
    refuse();
  }
  if (o.from_text && !o.to_text) {
    err_printf("netbill: -f needs -t: the period has no end\n");
    refuse();
  }
  if (o.to_text && !o.from_text) {
    err_printf("netbill: -t needs -f: the period has no start\n");
    refuse();
  }
  if (o.month_text) {
    if (!parse_month(o.month_text, period)) {
      err_printf("netbill: bad month \"%s\": %s\n", o.month_text, MONTH_FORMS);
      refuse();
    }
  } else if (o.from_text) {
    if (!parse_time(o.from_text, &period->from)) {
      err_printf("netbill: bad time \"%s\": %s\n", o.from_text, TIME_FORMS);
      refuse();
    }
    if (!parse_time(o.to_text, &period->to)) {
      err_printf("netbill: bad time \"%s\": %s\n", o.to_text, TIME_FORMS);
      refuse();
    }
  } else {
    return false;
  }
  switch (check_period(*period, o.interval)) {
    case PERIOD_OK: break;
    case PERIOD_FROM_OFF_EDGE:
      err_printf("netbill: the period starts at %lu, not on an interval edge (a multiple of %u seconds)\n",
                 period->from, o.interval);
      refuse();
    case PERIOD_TO_OFF_EDGE:
      err_printf("netbill: the period ends at %lu, not on an interval edge (a multiple of %u seconds)\n",
                 period->to, o.interval);
      refuse();
    case PERIOD_EMPTY:
      err_printf("netbill: the period from %lu to %lu is empty: it must end after it starts\n", period->from,
                 period->to);
      refuse();
  }
  return true;
}

// ---- Flow input ----

// A perror label that names the path: "netbill: <what> <path>".
static const char* path_label(const char* what, const char* path) {
  static char label[PATH_MAX + 64];
  snprintf(label, sizeof label, "netbill: %s%s", what, path);
  return label;
}

// The progress line, on a terminal only: files read of how many and
// records per second, rewritten at most ten times a second and erased
// before any other message and at the end.
struct Progress {
  bool on;
  bool shown;
  size_t file, files;
  uint64_t records;
  double started, last;
};
static Progress progress;

static double seconds_now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

static void progress_erase() {
  if (!progress.shown) return;
  err_printf("\r%60s\r", "");
  err_flush();
  progress.shown = false;
}

static void progress_update(uint64_t records) {
  progress.records += records;
  if (!progress.on) return;
  double now = seconds_now();
  if (now - progress.last < 0.1) return;
  progress.last = now;
  double elapsed = now - progress.started;
  uint64_t rate = elapsed > 0 ? uint64_t(double(progress.records) / elapsed) : 0;
  err_printf("\rnetbill: %zu of %zu files, %lu records/s   ", progress.file, progress.files, rate);
  err_flush();
  progress.shown = true;
}

static FlowReader reader;

// Reads one flow file whole into the bill; exits 1 as nettally does when it
// cannot be opened or read, its header is short or its magic wrong.
static void read_flow_file(const char* path, FlowFileOrigin origin) {
  uint8_t header[FLOW_HEADER_SIZE];
  FlowFile file;
  FlowOpenStatus opened = open_flow_file(path, origin, header, &file);
  if (opened != FLOW_OPEN_WHOLE || !header_has_magic(header)) progress_erase();
  if (opened == FLOW_OPEN_FAILED) {
    errno = file.error;
    fail_perror(path_label("open flowfile ", path));
  }
  if (opened == FLOW_OPEN_READ_FAILED) {
    errno = file.error;
    fail_perror(path_label("read header of ", path));
  }
  if (opened == FLOW_OPEN_SHORT) {
    err_printf("netbill: Short read header: %s has %zu of 272 bytes\n", path, file.header_bytes);
    fail_exit();
  }
  if (!header_has_magic(header)) {
    err_printf("netbill: No KVRZ File: %s\n", path);
    fail_exit();
  }
  uint64_t base_time = load_be32(header + HDR_START_TIME);
  flow_reader_start(&reader, file.fd);
  for (;;) {
    const uint8_t* records;
    size_t count;
    FlowReadStatus st = flow_reader_next(&reader, &records, &count);
    if (st == FLOW_READ_RECORDS) {
      bill_records(records, count, base_time);
      progress_update(count);
      continue;
    }
    progress_erase();
    if (st == FLOW_READ_PARTIAL)
      err_printf("netbill: Partial record: %s ends with %zu bytes after its last whole record\n", path,
                 reader.trailing);
    if (st == FLOW_READ_ERROR) {
      errno = reader.error;
      fail_perror(path_label("read flowfile ", path));
    }
    break;
  }
  close(file.fd);
}

// The files and directories read so far, by device and inode, so that no
// file is billed twice and no loop of links is walked for ever: an open
// addressing set, at most half full.
struct FileId {
  uint64_t dev, ino;
  bool used;
};
static FileId* seen;
static size_t seen_capacity, seen_count;

static size_t file_id_home(uint64_t dev, uint64_t ino, size_t capacity) {
  uint64_t h = (ino * 0x9E3779B97F4A7C15u) ^ (dev * 0xC2B2AE3D27D4EB4Fu);
  return size_t(h >> 20) & (capacity - 1);
}

static void seen_insert(FileId* ids, size_t capacity, uint64_t dev, uint64_t ino) {
  size_t i = file_id_home(dev, ino, capacity);
  while (ids[i].used) i = (i + 1) & (capacity - 1);
  ids[i] = {dev, ino, true};
}

// Notes the file; false when it was noted before.
static bool first_visit(const struct stat& st) {
  uint64_t dev = uint64_t(st.st_dev), ino = uint64_t(st.st_ino);
  if (seen_capacity > 0) {
    for (size_t i = file_id_home(dev, ino, seen_capacity); seen[i].used; i = (i + 1) & (seen_capacity - 1))
      if (seen[i].dev == dev && seen[i].ino == ino) return false;
  }
  if (2 * (seen_count + 1) > seen_capacity) {
    size_t capacity = seen_capacity == 0 ? 1024 : 2 * seen_capacity;
    FileId* ids = static_cast<FileId*>(calloc(capacity, sizeof(FileId)));
    if (!ids) fail_perror("netbill: memory for the list of files read");
    for (size_t i = 0; i < seen_capacity; i++)
      if (seen[i].used) seen_insert(ids, capacity, seen[i].dev, seen[i].ino);
    free(seen);
    seen = ids;
    seen_capacity = capacity;
  }
  seen_insert(seen, seen_capacity, dev, ino);
  seen_count++;
  return true;
}

// The flow files to read, found by walking the paths first, so that the
// progress line can say how many there are: their paths one after the
// other in one growing block of text, each with its NUL.
struct FileList {
  char* text;
  size_t used, capacity;
  uint32_t* origins;  // FlowFileOrigin of each file
  size_t count, origin_capacity;
};
static FileList files;

static void list_file(const char* path, FlowFileOrigin origin) {
  size_t n = strlen(path) + 1;
  if (files.capacity - files.used < n) {
    size_t capacity = files.capacity < 65536 ? 65536 : files.capacity;
    while (capacity - files.used < n) capacity *= 2;
    void* p = realloc(files.text, capacity);
    if (!p) fail_perror("netbill: memory for the list of files read");
    files.text = static_cast<char*>(p);
    files.capacity = capacity;
  }
  if (files.count == files.origin_capacity) {
    size_t capacity = files.origin_capacity < 1024 ? 1024 : 2 * files.origin_capacity;
    void* p = realloc(files.origins, capacity * sizeof(uint32_t));
    if (!p) fail_perror("netbill: memory for the list of files read");
    files.origins = static_cast<uint32_t*>(p);
    files.origin_capacity = capacity;
  }
  memcpy(files.text + files.used, path, n);
  files.used += n;
  files.origins[files.count++] = origin;
}

static void visit(const char* path, bool named);

// The names of one directory's entries, one after the other with their
// NULs, and where each begins.
struct Names {
  char* text;
  size_t used, capacity;
  size_t* starts;
  size_t count, starts_capacity;
};

static void names_add(Names* names, const char* name) {
  size_t n = strlen(name) + 1;
  if (names->capacity - names->used < n) {
    size_t capacity = names->capacity < 4096 ? 4096 : names->capacity;
    while (capacity - names->used < n) capacity *= 2;
    char* text = static_cast<char*>(realloc(names->text, capacity));
    if (!text) fail_perror("netbill: memory for the names of a directory");
    names->text = text;
    names->capacity = capacity;
  }
  if (names->count == names->starts_capacity) {
    size_t capacity = names->starts_capacity < 256 ? 256 : 2 * names->starts_capacity;
    size_t* starts = static_cast<size_t*>(realloc(names->starts, capacity * sizeof(size_t)));
    if (!starts) fail_perror("netbill: memory for the names of a directory");
    names->starts = starts;
    names->starts_capacity = capacity;
  }
  memcpy(names->text + names->used, name, n);
  names->starts[names->count++] = names->used;
  names->used += n;
}

static const char* sorting_text;  // the Names being sorted, for the comparison

static bool name_before(size_t a, size_t b) { return strcmp(sorting_text + a, sorting_text + b) < 0; }

// Every entry of a directory, in the order of the bytes of the names:
// subdirectories walked, entries named flow.* read, the rest passed over
// in silence. A collector names its files by time, so the files are read
// in time order: the bill's sums of one file then lie together in memory,
// and the notes come in the same order on every file system.
static void walk_directory(const char* path) {
  DIR* dir = opendir(path);
  if (!dir) fail_perror(path_label("open directory ", path));
  Names names = {};
  for (;;) {
    errno = 0;
    const struct dirent* entry = readdir(dir);
    if (!entry) {
      // A listing cut short would give a bill that silently lacks files.
      if (errno != 0) fail_perror(path_label("read directory ", path));
      break;
    }
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    names_add(&names, entry->d_name);
  }
  closedir(dir);
  sorting_text = names.text;
  std::sort(names.starts, names.starts + names.count, name_before);
  bool slash = path[0] != '\0' && path[strlen(path) - 1] == '/';
  for (size_t i = 0; i < names.count; i++) {
    const char* name = names.text + names.starts[i];
    char child[PATH_MAX];
    int n = snprintf(child, sizeof child, "%s%s%s", path, slash ? "" : "/", name);
    if (n < 0 || size_t(n) >= sizeof child) {
      err_printf("netbill: %s%s%s: path too long\n", path, slash ? "" : "/", name);
      fail_exit();
    }
    visit(child, false);
  }
  free(names.text);
  free(names.starts);
}

// A path of the command line (named) or an entry met in a directory.
static void visit(const char* path, bool named) {
  struct stat st;
  const char* base = strrchr(path, '/');
  base = base ? base + 1 : path;
  bool flow_name = strncmp(base, "flow.", 5) == 0;
  if (stat(path, &st) != 0) {
    // A named path or a flow file that is not there fails the bill; another
    // entry (a dangling link beside the files) is only noted.
    if (named || flow_name) fail_perror(path_label("", path));
    int saved = errno;
    err_printf("netbill: %s: %s, passed over\n", path, strerror(saved));
    return;
  }
  bool directory = S_ISDIR(st.st_mode);
  if (!named && !directory && !flow_name) return;
  if (!first_visit(st)) {
    err_printf("netbill: %s: already read (the same file by another path), not read again\n", path);
    return;
  }
  if (directory) walk_directory(path);
  else list_file(path, named ? FLOW_NAMED_PATH : FLOW_DIRECTORY_ENTRY);
}

// ---- Output files ----

// A file written whole through one buffer; any failure ends the run.
struct OutFile {
  const char* path;
  int fd;
  size_t used;
  char buffer[65536];
};

static void out_file_open(OutFile* f, const char* path) {
  f->path = path;
  f->used = 0;
  f->fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (f->fd < 0) fail_perror(path_label("create ", path));
}

static void out_file_flush(OutFile* f) {
  if (!write_all(f->fd, f->buffer, f->used)) fail_perror(path_label("write ", f->path));
  f->used = 0;
}

static void out_file_write(OutFile* f, const char* bytes, size_t n) {
  if (sizeof f->buffer - f->used < n) out_file_flush(f);
  if (n > sizeof f->buffer) {
    if (!write_all(f->fd, bytes, n)) fail_perror(path_label("write ", f->path));
    return;
  }
  memcpy(f->buffer + f->used, bytes, n);
  f->used += n;
}

static void out_file_close(OutFile* f) {
  out_file_flush(f);
  // A file system that reports a failed write only at close (NFS, quotas).
  if (close(f->fd) != 0) fail_perror(path_label("write ", f->path));
}

static OutFile out_file;

// One row's sums of the period at a time, gathered by bill_row_sums.
struct RowSums {
  uint64_t* in;
  uint64_t* out;
};

static RowSums row_sums(uint64_t n) {
  uint64_t* words = static_cast<uint64_t*>(calloc(size_t(n) * 2 + 2, sizeof(uint64_t)));
  if (!words) fail_perror("netbill: memory for the figures");
  return {words, words + n + 1};
}

static void write_series(const char* path, uint64_t n, RowSums sums) {
  out_file_open(&out_file, path);
  out_file_write(&out_file, SERIES_CSV_HEADER, strlen(SERIES_CSV_HEADER));
  char line[SERIES_CSV_ROW_MAX];
  const BillTable& t = bill_table;
  for (uint32_t r = 0; r < t.row_count; r++) {
    const BillRow& row = t.rows[r];
    bill_row_sums(r, sums.in, sums.out);
    for (uint64_t k = 0; k < n; k++) {
      uint64_t in = sums.in[k], out = sums.out[k];
      if (in == 0 && out == 0) continue;
      uint64_t start = t.period.from + k * t.interval;
      out_file_write(&out_file, line, put_series_csv_row(line, row.name, row.name_length, start, in, out));
    }
  }
  out_file_close(&out_file);
}

static void write_graphs(const char* dir, const BillFigures* figures, uint64_t n, RowSums sums,
                         uint32_t percentile) {
  // The directory is made when missing; one that exists is written into.
  if (mkdir(dir, 0777) != 0 && errno != EEXIST) fail_perror(path_label("make directory ", dir));
  GraphBuffer svg = {};
  const BillTable& t = bill_table;
  for (uint32_t r = 0; r < t.row_count; r++) {
    const BillRow& row = t.rows[r];
    bill_row_sums(r, sums.in, sums.out);
    GraphInput g = {row.name, row.name_length, sums.in, sums.out, n, t.period, t.interval, percentile, figures[r]};
    svg.length = 0;
    write_graph_svg(&svg, g);
    char file_name[GRAPH_FILE_NAME_MAX];
    put_graph_file_name(file_name, row.name, row.name_length);
    char path[PATH_MAX];
    int len = snprintf(path, sizeof path, "%s/%s", dir, file_name);
    if (len < 0 || size_t(len) >= sizeof path) {
      err_printf("netbill: %s/%s: path too long\n", dir, file_name);
      fail_exit();
    }
    out_file_open(&out_file, path);
    out_file_write(&out_file, svg.bytes, svg.length);
    out_file_close(&out_file);
  }
  graph_buffer_free(&svg);
}

// ---- The bill on standard output ----

static void put_local_time(char (&text)[64], uint64_t epoch) {
  time_t t = time_t(epoch);
  struct tm local = {};
  localtime_r(&t, &local);
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &local);
}

// A name for the terminal: bytes below 0x20 and 0x7F as \xNN, the rest as
// they are. Returns the length; *width gets the columns it takes, one per
// character of UTF-8 (continuation bytes take none).
static size_t put_shown_name(char* out, const char* name, size_t n, size_t* width) {
  size_t length = 0, columns = 0;
  for (size_t i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7F) {
      length += size_t(sprintf(out + length, "\\x%02X", c));
      columns += 4;
      continue;
    }
    out[length++] = char(c);
    if ((c & 0xC0) != 0x80) columns++;
  }
  *width = columns;
  return length;
}

constexpr int TEXT_COLUMNS = 10;  // the name and nine figures

// The cells of one row of the text table, after the name.
static void text_cells(const BillFigures& f, char (&cells)[TEXT_COLUMNS - 1][SI_TEXT_MAX],
                       size_t (&lengths)[TEXT_COLUMNS - 1]) {
  lengths[0] = put_rate_si(cells[0], f.billable_bps);
  lengths[1] = put_rate_si(cells[1], f.p_in_bps);
  lengths[2] = put_rate_si(cells[2], f.p_out_bps);
  lengths[3] = put_rate_si(cells[3], f.p_sum_bps);
  lengths[4] = put_rate_si(cells[4], f.peak_in_bps);
  lengths[5] = put_rate_si(cells[5], f.peak_out_bps);
  lengths[6] = put_bytes_si(cells[6], f.bytes_in);
  lengths[7] = put_bytes_si(cells[7], f.bytes_out);
  lengths[8] = size_t(snprintf(cells[8], SI_TEXT_MAX, "%lu", f.active_intervals));
}

static void print_text(const BillFigures* figures, uint64_t n, uint32_t percentile) {
  const BillTable& t = bill_table;
  if (t.period.to > t.period.from) {
    char from[64], to[64];
    put_local_time(from, t.period.from);
    put_local_time(to, t.period.to);
    out_printf("Period %s to %s: %lu intervals of %u s, percentile %u\n", from, to, n, t.interval, percentile);
  } else {
    out_printf("Period empty (no crossing flow was read): 0 intervals of %u s, percentile %u\n", t.interval,
               percentile);
  }
  char heads[TEXT_COLUMNS][16];
  snprintf(heads[0], sizeof heads[0], "customer");
  snprintf(heads[1], sizeof heads[1], "billable");
  snprintf(heads[2], sizeof heads[2], "p%u_in", percentile);
  snprintf(heads[3], sizeof heads[3], "p%u_out", percentile);
  snprintf(heads[4], sizeof heads[4], "p%u_sum", percentile);
  snprintf(heads[5], sizeof heads[5], "peak_in");
  snprintf(heads[6], sizeof heads[6], "peak_out");
  snprintf(heads[7], sizeof heads[7], "bytes_in");
  snprintf(heads[8], sizeof heads[8], "bytes_out");
  snprintf(heads[9], sizeof heads[9], "active");
  size_t widths[TEXT_COLUMNS];
  for (int c = 0; c < TEXT_COLUMNS; c++) widths[c] = strlen(heads[c]);

  char shown[4 * BILL_NAME_MAX + 1];
  char cells[TEXT_COLUMNS - 1][SI_TEXT_MAX];
  size_t lengths[TEXT_COLUMNS - 1];
  for (uint32_t r = 0; r < t.row_count; r++) {
    size_t width;
    put_shown_name(shown, t.rows[r].name, t.rows[r].name_length, &width);
    if (width > widths[0]) widths[0] = width;
    text_cells(figures[r], cells, lengths);
    for (int c = 1; c < TEXT_COLUMNS; c++)
      if (lengths[c - 1] > widths[c]) widths[c] = lengths[c - 1];
  }

  // The name left-aligned, every figure right-aligned, two blanks between.
  out_printf("%-*s", int(widths[0]), heads[0]);
  for (int c = 1; c < TEXT_COLUMNS; c++) out_printf("  %*s", int(widths[c]), heads[c]);
  out_write("\n", 1);
  for (uint32_t r = 0; r < t.row_count; r++) {
    size_t width;
    size_t length = put_shown_name(shown, t.rows[r].name, t.rows[r].name_length, &width);
    out_printf("%.*s%*s", int(length), shown, int(widths[0] - width), "");
    text_cells(figures[r], cells, lengths);
    for (int c = 1; c < TEXT_COLUMNS; c++)
      out_printf("  %*s%.*s", int(widths[c] - lengths[c - 1]), "", int(lengths[c - 1]), cells[c - 1]);
    out_write("\n", 1);
  }
}

static void print_csv(const BillFigures* figures) {
  const BillTable& t = bill_table;
  out_write(BILL_CSV_HEADER, strlen(BILL_CSV_HEADER));
  char line[BILL_CSV_ROW_MAX];
  for (uint32_t r = 0; r < t.row_count; r++)
    out_write(line, put_bill_csv_row(line, t.rows[r].name, t.rows[r].name_length, figures[r]));
}

static void print_json(const BillFigures* figures, uint64_t n, uint32_t percentile) {
  const BillTable& t = bill_table;
  char text[BILL_JSON_OBJECT_MAX > BILL_JSON_HEAD_MAX ? BILL_JSON_OBJECT_MAX : BILL_JSON_HEAD_MAX];
  out_write(text, put_bill_json_head(text, t.period, t.interval, percentile, n));
  for (uint32_t r = 0; r < t.row_count; r++)
    out_write(text, put_bill_json_object(text, r == 0, t.rows[r].name, t.rows[r].name_length, figures[r]));
  out_write(BILL_JSON_TAIL, strlen(BILL_JSON_TAIL));
}

int main(int argc, char** argv) {
  tzset();
  Options o = parse_options(argc, argv);
  Period period = {};
  bool given = command_line_period(o, &period);
  if (optind >= argc) {
    err_printf("netbill: no PATH given: name flow files or directories (netbill --help lists the options)\n");
    refuse();
  }

  load_networks_for({o.nets_path, o.custs_path, NETWORKS_NOTES_PER_ENTRY});
  // A second processor adds the flows while the first reads the files.
  bill_table_start(o.interval, given, period, sysconf(_SC_NPROCESSORS_ONLN) > 1);
  for (int i = optind; i < argc; i++) visit(argv[i], true);
  progress.on = isatty(STDERR_FILENO);
  progress.files = files.count;
  progress.started = seconds_now();
  const char* path = files.text;
  for (size_t i = 0; i < files.count; i++) {
    progress.file = i;
    progress_update(0);
    read_flow_file(path, FlowFileOrigin(files.origins[i]));
    path += strlen(path) + 1;
  }
  progress_erase();

  uint64_t n = bill_table_finish();
  const BillTable& t = bill_table;
  err_printf("netbill: not billed: %lu internal flows, %lu flows with neither end in our.nets\n",
             t.internal_flows, t.neither_flows);
  if (given) err_printf("netbill: not billed: %lu bytes outside the period\n", t.clipped_bytes);

  // The figures of every row, before anything is written.
  static BillFigures* figures;  // lives to the end of the run
  figures = static_cast<BillFigures*>(calloc(size_t(t.row_count) + 1, sizeof(BillFigures)));
  uint64_t* scratch = static_cast<uint64_t*>(calloc(4 * size_t(n) + 1, sizeof(uint64_t)));
  if (!figures || !scratch) fail_perror("netbill: memory for the figures");
  RowSums sums = row_sums(n);
  for (uint32_t r = 0; r < t.row_count; r++) {
    const BillRow& row = t.rows[r];
    bill_row_sums(r, sums.in, sums.out);
    figures[r] = bill_figures(sums.in, sums.out, n, t.interval, o.percentile, scratch);
    if (figures[r].overflow) {
      err_printf("netbill: the bill of %s passes 2^64-1 in a sum or a rate: no bill\n", row.name);
      fail_exit();
    }
  }
  free(scratch);

  // The files first: a run that cannot write them fails before the bill
  // appears on standard output.
  if (o.series_path) write_series(o.series_path, n, sums);
  if (o.graph_dir) write_graphs(o.graph_dir, figures, n, sums, o.percentile);

  if (o.format == FORMAT_CSV) print_csv(figures);
  else if (o.format == FORMAT_JSON) print_json(figures, n, o.percentile);
  else print_text(figures, n, o.percentile);
  finish();
}
