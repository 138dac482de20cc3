// nettally: tallies, for every single address of our supernets, the
// traffic it exchanged with outside addresses and internally, over one flow
// file or every "flow." file of a directory, and reports the busy ones with
// their customers. A run is one pass: definitions, flow input, report. Any
// error ends it at once with exit status 1, and no report.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tally/flow_input.h"
#include "nets/networks.h"
#include "nets/output.h"
#include "tally/report.h"

static void read_flow_directory(const char* path) {
  if (chdir(path) != 0) fail_perror("Chdir");
  DIR* dir = opendir(".");
  if (!dir) fail_perror("Opendir");
  // The listing's own order, "." and ".." included; no test of the type.
  for (;;) {
    errno = 0;
    const struct dirent* entry = readdir(dir);
    if (!entry) {
      // A listing cut short would give a report that silently lacks files.
      if (errno != 0) fail_perror("Readdir");
      break;
    }
    if (strncmp(entry->d_name, "flow.", 5) == 0) {
      err_printf("Flowfile:%s\n", entry->d_name);
      out_flush();
      read_flow_file(entry->d_name, FLOW_DIRECTORY_ENTRY);
    } else {
      err_printf("Uknkown Filetype:%s\n", entry->d_name);
    }
  }
  closedir(dir);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    out_printf("%s: nettally <flowfile>\n", argc > 0 && argv[0] ? argv[0] : "nettally");
    fail_exit();
  }
  const char* path = argv[1];

  load_networks();

  struct stat st;
  if (stat(path, &st) != 0) fail_perror("Stat");
  if (S_ISDIR(st.st_mode)) {
    read_flow_directory(path);
  } else {
    // A regular file, and just as well a pipe, a FIFO or a device
    // (`nettally <(zcat flow.gz)`): skipping one would give an empty report
    // that looks complete. What cannot be opened, a socket, fails there.
    out_puts("File");
    read_flow_file(path, FLOW_NAMED_PATH);
  }

  print_report();
  finish();
}
