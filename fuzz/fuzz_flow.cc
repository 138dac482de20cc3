// Fuzz target: flow input. The input is one flow file. It is read twice:
// - by read_flow_file, from a regular file, every whole record going to
//   the accounting against a fixed set of supernets and customers (loaded
//   once): in the fixed table, or, built with FUZZ_SIZED_TABLE (the target
//   fuzz_flow_sized), beside a /12 in a table sized to them, where some
//   addresses are pushed off their home slots by copies placed before
//   them. A run that ends in fail_exit or fail_perror is fine, any other end
//   is not, and the counters of a run that got through must equal those
//   that tally_record makes of the same records one by one;
// - by the chunked reader alone, from a pipe that one writer thread fills
//   in small pieces of varying size, so that reads come back short and cut
//   records in two: the records handed out must be exactly the input's
//   whole 57-byte pieces, in order, followed by the right end status.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "flowformat/flow_reader.h"
#include "fuzz/fuzz_support.h"
#include "nets/address.h"
#include "tally/flow_input.h"
#include "nets/host_table.h"
#include "nets/networks.h"
#include "tally/tally.h"

static constexpr char OUR_NETS[] =
#ifdef FUZZ_SIZED_TABLE
    // Copies of the first addresses of 10.0.0.0/12, placed before it, take
    // the home slots of later ones.
    "10.0.0.0/28\n"
    "10.0.0.0/12\n"
#endif
    "192.0.2.0/24\n"
    "198.51.100.0/26\n"
    "203.0.113.77/32\n"
    "0.0.0.0/30\n"
    "255.255.255.248/29\n";
static constexpr char CUSTS[] =
    "192.0.2.0/26 acme\n"
    "192.0.2.64/27 globex\n"
    "203.0.113.77 umbrella\n"
    "255.255.255.255 top\n";

static void load_fixture() { load_networks(); }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_setup();
  signal(SIGPIPE, SIG_IGN);
  fuzz_write_file("our.nets", reinterpret_cast<const uint8_t*>(OUR_NETS), sizeof OUR_NETS - 1);
  fuzz_write_file("custs", reinterpret_cast<const uint8_t*>(CUSTS), sizeof CUSTS - 1);
  networks_restart();
  if (run_program(load_fixture) != -1) abort();
#ifdef FUZZ_SIZED_TABLE
  if (host_table.fixed) abort();
#else
  if (!host_table.fixed) abort();
#endif
  // The records stay: the table points at them for the whole process.
  return 0;
}

// The slots that the input's whole records touch: the only ones whose
// counters a run may change, zeroed between runs (clearing the whole
// table would cost more than the run itself).
static std::vector<int32_t> touched_slots(const uint8_t* data, size_t size) {
  std::vector<int32_t> slots;
  for (size_t at = FLOW_HEADER_SIZE; at <= size && size - at >= FLOW_RECORD_SIZE; at += FLOW_RECORD_SIZE)
    for (size_t end : {REC_SRC_ADDR, REC_DST_ADDR}) {
      int32_t i = host_lookup(load_be32(data + at + end));
      if (i >= 0) slots.push_back(i);
    }
  std::sort(slots.begin(), slots.end());
  slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
  return slots;
}

static void read_fuzz_file() { read_flow_file("flow.fuzz", FLOW_NAMED_PATH); }

static void clear_counters(const std::vector<int32_t>& slots) {
  for (int32_t i : slots) host_table.entries[i] = {};
}

// The counters that read_flow_file left must be those that tally_record
// makes of the same records one at a time: whatever read_flow_file does to
// be fast, it adds up the same.
static void compare_with_tally_record(const uint8_t* data, size_t size,
                                      const std::vector<int32_t>& slots) {
  std::vector<HostEntry> got;
  for (int32_t i : slots) got.push_back(host_table.entries[i]);
  clear_counters(slots);
  uint64_t base_time = load_be32(data + HDR_START_TIME);
  for (size_t at = FLOW_HEADER_SIZE; size - at >= FLOW_RECORD_SIZE; at += FLOW_RECORD_SIZE)
    tally_record(std::span<const uint8_t, FLOW_RECORD_SIZE>(data + at, FLOW_RECORD_SIZE),
                 base_time);
  for (size_t k = 0; k < slots.size(); k++)
    if (memcmp(&got[k], &host_table.entries[slots[k]], sizeof(HostEntry)) != 0) abort();
}

static void read_through_file(const uint8_t* data, size_t size) {
  fuzz_write_file("flow.fuzz", data, size);
  // open() takes the lowest free descriptor: after a failed run, this one
  // may hold the flow file that read_flow_file could not close.
  int next_fd = open("/dev/null", O_RDONLY);
  close(next_fd);
  int status = run_program(read_fuzz_file);
  if (status != -1 && status != 1) abort();
  if (status == 1) {
    struct stat left, ours;
    if (fstat(next_fd, &left) == 0 && stat(fuzz_path("flow.fuzz"), &ours) == 0 &&
        left.st_dev == ours.st_dev && left.st_ino == ours.st_ino)
      close(next_fd);
  }
  std::vector<int32_t> slots = touched_slots(data, size);
  if (status == -1) compare_with_tally_record(data, size, slots);
  clear_counters(slots);
}

static FlowReader pipe_reader;

// The pipe's writer: one thread for the whole process, handed one input
// at a time (the sanitizers keep what they know of every thread that ever
// ran, so a thread per input would grow without end).
struct PipeJob {
  std::mutex lock;
  std::condition_variable changed;
  const uint8_t* data = nullptr;
  size_t size = 0;
  int fd = -1;  // the pipe's write end while a job is pending; -1 when done
};
// Never destroyed: at exit the writer still waits on its condition, and
// destroying a condition that a thread waits on blocks for ever.
static PipeJob& pipe_job = *new PipeJob;

static void write_pipe_jobs() {
  for (;;) {
    std::unique_lock<std::mutex> held(pipe_job.lock);
    pipe_job.changed.wait(held, [] { return pipe_job.fd >= 0; });
    const uint8_t* data = pipe_job.data;
    size_t size = pipe_job.size;
    int fd = pipe_job.fd;
    held.unlock();
    size_t done = 0;
    for (size_t step = 0; done < size; step++) {
      size_t piece = 1 + data[step % size] % 131;
      if (piece > size - done) piece = size - done;
      ssize_t k = write(fd, data + done, piece);
      if (k <= 0) break;
      done += size_t(k);
    }
    close(fd);
    held.lock();
    pipe_job.fd = -1;
    pipe_job.changed.notify_all();
  }
}

static void read_through_pipe(const uint8_t* data, size_t size) {
  // Detached: a joinable thread left at exit would end the process in
  // std::terminate.
  static const bool writer_started = (std::thread(write_pipe_jobs).detach(), true);
  (void)writer_started;
  int fds[2];
  if (pipe(fds) != 0) abort();
  {
    std::lock_guard<std::mutex> held(pipe_job.lock);
    pipe_job.data = data;
    pipe_job.size = size;
    pipe_job.fd = fds[1];
  }
  pipe_job.changed.notify_all();

  std::vector<uint8_t> got;
  flow_reader_start(&pipe_reader, fds[0]);
  FlowReadStatus st;
  const uint8_t* records;
  size_t count;
  while ((st = flow_reader_next(&pipe_reader, &records, &count)) == FLOW_READ_RECORDS) {
    if (count == 0) abort();
    got.insert(got.end(), records, records + count * FLOW_RECORD_SIZE);
  }
  {
    std::unique_lock<std::mutex> held(pipe_job.lock);
    pipe_job.changed.wait(held, [] { return pipe_job.fd < 0; });
  }
  close(fds[0]);

  size_t whole = size / FLOW_RECORD_SIZE * FLOW_RECORD_SIZE;
  if (got.size() != whole || (whole > 0 && memcmp(got.data(), data, whole) != 0)) abort();
  if (size == whole ? st != FLOW_READ_END
                    : st != FLOW_READ_PARTIAL || pipe_reader.trailing != size - whole)
    abort();
  if (flow_reader_next(&pipe_reader, &records, &count) != FLOW_READ_END) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  read_through_file(data, size);
  read_through_pipe(data, size);
  return 0;
}
