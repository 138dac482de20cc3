// bench_measure: runs one command and prints its wall time and peak
// resident memory, for bench/run.
//
//   bench_measure [-C DIR] [-i IN] [-o OUT] [-e ERR] -- COMMAND [ARG...]
//
// The command runs in DIR with its standard input, output and error taken
// from or sent to the files given (each left as is when not given; OUT and
// ERR are truncated). Prints "SECONDS MAXRSS_KIB STATUS": the wall time from
// fork to exit, the child's peak resident set in KiB, and its exit status
// (128 + the signal number when a signal ended it).

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

static void redirect(const char* path, int fd, int flags) {
  if (!path) return;
  int f = open(path, flags, 0666);
  if (f < 0 || dup2(f, fd) < 0) {
    perror(path);
    _exit(127);
  }
  close(f);
}

int main(int argc, char** argv) {
  const char *dir = nullptr, *in = nullptr, *out = nullptr, *err = nullptr;
  int i = 1;
  for (; i < argc && strcmp(argv[i], "--") != 0; i += 2) {
    if (i + 1 >= argc) break;
    if (strcmp(argv[i], "-C") == 0) dir = argv[i + 1];
    else if (strcmp(argv[i], "-i") == 0) in = argv[i + 1];
    else if (strcmp(argv[i], "-o") == 0) out = argv[i + 1];
    else if (strcmp(argv[i], "-e") == 0) err = argv[i + 1];
    else break;
  }
  if (i + 1 >= argc || strcmp(argv[i], "--") != 0) {
    fprintf(stderr, "usage: bench_measure [-C DIR] [-i IN] [-o OUT] [-e ERR] -- COMMAND [ARG...]\n");
    return 2;
  }
  char** command = argv + i + 1;

  timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    return 2;
  }
  if (pid == 0) {
    if (dir && chdir(dir) != 0) {
      perror(dir);
      _exit(127);
    }
    redirect(in, STDIN_FILENO, O_RDONLY);
    redirect(out, STDOUT_FILENO, O_WRONLY | O_CREAT | O_TRUNC);
    redirect(err, STDERR_FILENO, O_WRONLY | O_CREAT | O_TRUNC);
    execvp(command[0], command);
    perror(command[0]);
    _exit(127);
  }
  int status;
  rusage ru;
  if (wait4(pid, &status, 0, &ru) < 0) {
    perror("wait4");
    return 2;
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  double seconds = double(t1.tv_sec - t0.tv_sec) + double(t1.tv_nsec - t0.tv_nsec) * 1e-9;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  printf("%.6f %ld %d\n", seconds, ru.ru_maxrss, code);
  return 0;
}
