#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "nets/networks.h"

static bool armed;  // a run of program code is in progress
static jmp_buf exit_jump;
static int exit_status;
static std::vector<FILE*> open_streams;
static std::vector<void*> records;
static char private_dir[] = "/tmp/nettally-fuzz-XXXXXX";
static int home_fd = -1;
static size_t last_left_open;  // streams the last run left open

extern "C" {
[[noreturn]] void __real_exit(int status);
FILE* __real_fopen(const char* path, const char* mode);
int __real_fclose(FILE* f);
void* __real_calloc(size_t n, size_t size);
void __real_free(void* p);

[[noreturn]] void __wrap_exit(int status) {
  if (armed) {
    armed = false;
    exit_status = status;
    longjmp(exit_jump, 1);
  }
  __real_exit(status);
}

FILE* __wrap_fopen(const char* path, const char* mode) {
  FILE* f = __real_fopen(path, mode);
  if (armed && f) open_streams.push_back(f);
  return f;
}

int __wrap_fclose(FILE* f) {
  for (size_t i = 0; i < open_streams.size(); i++)
    if (open_streams[i] == f) {
      open_streams.erase(open_streams.begin() + long(i));
      break;
    }
  return __real_fclose(f);
}

void* __wrap_calloc(size_t n, size_t size) {
  void* p = __real_calloc(n, size);
  if (armed && p) records.push_back(p);
  return p;
}

// A record the program frees itself is no longer the harness's to free.
void __wrap_free(void* p) {
  if (armed)
    for (size_t i = 0; i < records.size(); i++)
      if (records[i] == p) {
        records[i] = records.back();
        records.pop_back();
        break;
      }
  __real_free(p);
}
}

[[noreturn]] static void harness_fail(const char* what) {
  fprintf(stderr, "fuzz harness: %s\n", what);
  abort();
}

const char* fuzz_path(const char* name) {
  static char path[sizeof private_dir + 64];
  snprintf(path, sizeof path, "%s/%s", private_dir, name);
  return path;
}

void fuzz_write_file(const char* name, const uint8_t* data, size_t size) {
  const char* path = fuzz_path(name);
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) harness_fail("cannot create a file in the private directory");
  size_t done = 0;
  while (done < size) {
    ssize_t k = write(fd, data + done, size - done);
    if (k <= 0) harness_fail("cannot write a file in the private directory");
    done += size_t(k);
  }
  close(fd);
}

int run_program(void (*fn)()) {
  if (chdir(private_dir) != 0) harness_fail("cannot enter the private directory");
  open_streams.clear();
  exit_status = -1;
  armed = true;
  if (setjmp(exit_jump) == 0) fn();
  armed = false;
  // Only a run that exited leaves streams open: the program closes its own.
  last_left_open = open_streams.size();
  while (!open_streams.empty()) __wrap_fclose(open_streams.back());
  if (fchdir(home_fd) != 0) harness_fail("cannot return to the starting directory");
  return exit_status;
}

void release_records() {
  for (void* p : records) __real_free(p);
  records.clear();
}

void keep_records() { records.clear(); }

size_t held_records() { return records.size(); }

bool is_held_record(const void* p) {
  for (void* r : records)
    if (r == p) return true;
  return false;
}

static void load_bad_supernets() { load_networks(); }

static void remove_private_dir() {
  for (const char* name : {"our.nets", "custs", "flow.fuzz"}) unlink(fuzz_path(name));
  rmdir(private_dir);
}

void fuzz_setup() {
  if (home_fd >= 0) return;
  home_fd = open(".", O_RDONLY | O_DIRECTORY);
  if (home_fd < 0) harness_fail("cannot open the starting directory");
  if (!mkdtemp(private_dir)) harness_fail("cannot make the private directory");
  // A crash leaves the directory behind; a normal end removes it.
  atexit(remove_private_dir);
  static const char bad[] = "not-a-network\n";
  fuzz_write_file("our.nets", reinterpret_cast<const uint8_t*>(bad), sizeof bad - 1);
  fuzz_write_file("custs", nullptr, 0);
  networks_restart();
  int status = run_program(load_bad_supernets);
  if (status != 1) harness_fail("exit() is not wrapped: link with -Wl,--wrap=exit");
  if (last_left_open != 1) harness_fail("fopen() is not wrapped: link with -Wl,--wrap=fopen,--wrap=fclose");
  if (held_records() == 0) harness_fail("calloc() is not wrapped: link with -Wl,--wrap=calloc");
  release_records();
}
