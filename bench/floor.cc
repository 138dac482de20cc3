// bench_floor: the least work any reader of flow files must do, timed by
// bench/run as the floor of nettally and recdump. It reads the files the
// way they do (the header, then chunks of FLOW_READ_CHUNK bytes through an
// unbuffered descriptor) and touches every record's two address fields.
//
//   bench_floor PATH...
//
// A PATH that is a directory stands for its entries named "flow.*", in the
// listing's order. Prints the number of records and a sum of the addresses,
// so that the compiler cannot drop the loads.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "flowformat/flow_format.h"
#include "flowformat/flow_reader.h"

static uint8_t chunk[FLOW_READ_CHUNK];
static uint64_t record_count;
static uint64_t address_sum;

static void read_file(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    perror(path.c_str());
    exit(1);
  }
  if (read_full(fd, chunk, FLOW_HEADER_SIZE) != ssize_t(FLOW_HEADER_SIZE)) {
    fprintf(stderr, "bench_floor: %s: short header\n", path.c_str());
    exit(1);
  }
  for (;;) {
    ssize_t got = read_full(fd, chunk, sizeof chunk);
    if (got < 0) {
      perror(path.c_str());
      exit(1);
    }
    size_t n = size_t(got) / FLOW_RECORD_SIZE;
    for (size_t i = 0; i < n; i++) {
      const uint8_t* r = chunk + i * FLOW_RECORD_SIZE;
      address_sum += load_be32(r + REC_SRC_ADDR) ^ load_be32(r + REC_DST_ADDR);
    }
    record_count += n;
    if (size_t(got) < sizeof chunk) break;
  }
  close(fd);
}

int main(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      perror(argv[i]);
      return 1;
    }
    if (!S_ISDIR(st.st_mode)) {
      read_file(argv[i]);
      continue;
    }
    DIR* dir = opendir(argv[i]);
    if (!dir) {
      perror(argv[i]);
      return 1;
    }
    while (const struct dirent* e = readdir(dir))
      if (strncmp(e->d_name, "flow.", 5) == 0) read_file(std::string(argv[i]) + "/" + e->d_name);
    closedir(dir);
  }
  printf("%" PRIu64 " records, address sum %" PRIu64 "\n", record_count, address_sum);
  return 0;
}
