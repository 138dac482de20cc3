// Runs the real binaries for end-to-end tests: each case gets a fresh
// temporary directory with its files, and the program's streams go to files
// (no pipe deadlocks), separately and once more merged into one file.
#pragma once

#include <string>
#include <vector>

// Whether these tests were built with AddressSanitizer: valgrind cannot run
// such binaries, and they reserve address space that limits cannot allow.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool BUILT_WITH_ASAN = true;
#elif defined(__has_feature)
constexpr bool BUILT_WITH_ASAN = __has_feature(address_sanitizer);
#else
constexpr bool BUILT_WITH_ASAN = false;
#endif

struct RunResult {
  std::string out;     // standard output, streams kept apart
  std::string err;     // standard error, streams kept apart
  std::string merged;  // both streams into one file, from a second run
  int status = -1;     // exit status, or 128 + signal
};

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string at(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& bytes) const;
  // Makes a flow file from mkflow's text description.
  void write_flow(const std::string& name, const std::string& text,
                  const std::string& fill = "zero") const;
  void mkdir(const std::string& name) const;

 private:
  std::string path_;
};

// Runs binary with argv (argv[0] included, as given) in directory cwd, with
// TZ set to tz (unset when empty), no standard input, and a time limit after
// which the program is killed (a hang fails the test instead of blocking).
RunResult run_program(const std::string& binary, const std::vector<std::string>& argv,
                      const std::string& cwd, const std::string& tz = "UTC",
                      const std::string& stdin_file = "/dev/null");

// run_program without the second, merged run: for input that can be read
// only once (a pipe). RunResult::merged stays empty.
RunResult run_program_once(const std::string& binary, const std::vector<std::string>& argv,
                           const std::string& cwd, const std::string& tz = "UTC");

// A child process that writes bytes to fd in pieces of `piece` bytes, each
// only once the one before has been read (or after a few seconds), with a
// pause before each: a slow writer such as a decompressor, whose reader
// must wait for it. fd may be a pipe's write end or a FIFO opened for
// reading and writing; the caller closes its own copy. Returns the pid.
int start_slow_writer(int fd, const std::string& bytes, size_t piece);
// Waits for a child started by start_slow_writer; true if it wrote all.
bool finish_slow_writer(int pid);

// A child process that, after delay_ms, opens the FIFO at path for writing
// (waiting there for a reader, as `cat flow >fifo` does), writes bytes in
// pieces of `piece` bytes with pause_ms before each but the first, and
// closes it: a writer that comes late, and maybe slowly. It gives up after
// a time limit. Wait for it with finish_slow_writer.
int start_fifo_writer(const std::string& path, const std::string& bytes, unsigned delay_ms,
                      size_t piece, unsigned pause_ms);

// Runs binary as run_program_once does, but with standard output and
// standard error pipes whose descriptors are non-blocking (O_NONBLOCK on
// the open file description, as an event loop of a parent leaves them),
// each drained by a slow reader: a child that reads a little, pauses and
// reads more. RunResult::out and err hold every byte the readers got.
RunResult run_with_nonblocking_output(const std::string& binary,
                                      const std::vector<std::string>& argv,
                                      const std::string& cwd, const std::string& tz = "UTC");

// Ways in which standard output can fail to take the program's bytes.
enum class FailingOutput {
  FULL_DEVICE,   // /dev/full: every write fails with ENOSPC
  CLOSED,        // descriptor 1 not open
  READER_GONE,   // a pipe whose reader has closed it, SIGPIPE ignored
};
// Runs binary as run_program does (once), but with standard output failing
// as `how`; RunResult::out stays empty and `merged` is not made.
RunResult run_with_failing_output(const std::string& binary, const std::vector<std::string>& argv,
                                  const std::string& cwd, FailingOutput how);

// The names of a directory in the order in which the file system lists
// them, "." and ".." included.
std::vector<std::string> list_directory(const std::string& path);

std::string read_file(const std::string& path);

// The code blocks (runs of lines indented by four blanks) of the README
// section that starts with the line `heading` and ends before the next
// "### " heading, each without its indentation.
std::vector<std::string> readme_blocks(const std::string& heading);

// Whether nettally takes a directory entry of this name as a flow file.
bool is_flow_name(const std::string& name);
// The line nettally writes on standard error for a directory entry.
std::string walk_line(const std::string& name);
