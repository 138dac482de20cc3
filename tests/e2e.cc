#include "tests/e2e.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

constexpr unsigned RUN_TIME_LIMIT_SECONDS = 30;

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/nettally-e2e.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::string cmd = "rm -rf '" + path_ + "'";
  if (system(cmd.c_str()) != 0) {
  }
}

void TempDir::write(const std::string& name, const std::string& bytes) const {
  std::ofstream f(at(name), std::ios::binary);
  f.write(bytes.data(), std::streamsize(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + at(name));
}

void TempDir::write_flow(const std::string& name, const std::string& text,
                         const std::string& fill) const {
  std::string text_path = at(name) + ".flowtext";
  write(name + ".flowtext", text);
  RunResult r = run_program(MKFLOW_BIN, {"mkflow", "text", text_path, at(name), "--fill", fill},
                            path_);
  unlink(text_path.c_str());
  if (r.status != 0) throw std::runtime_error("mkflow failed: " + r.err);
}

void TempDir::mkdir(const std::string& name) const {
  if (::mkdir(at(name).c_str(), 0777) != 0) throw std::runtime_error("mkdir " + at(name));
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// In a child: runs binary with argv, under the time limit, which survives
// exec (a hanging program is killed); 127 when it cannot be started.
[[noreturn]] static void exec_limited(const std::string& binary, const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  alarm(RUN_TIME_LIMIT_SECONDS);
  execv(binary.c_str(), args.data());
  _exit(127);
}

static int run_once(const std::string& binary, const std::vector<std::string>& argv,
                    const std::string& cwd, const std::string& tz, const std::string& stdin_file,
                    const std::string& out_path, const std::string& err_path) {
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int in = open(stdin_file.c_str(), O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    int err = err_path == out_path ? out : open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (in < 0 || out < 0 || err < 0 || chdir(cwd.c_str()) != 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (tz.empty()) unsetenv("TZ");
    else setenv("TZ", tz.c_str(), 1);
    exec_limited(binary, argv);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

RunResult run_program(const std::string& binary, const std::vector<std::string>& argv,
                      const std::string& cwd, const std::string& tz,
                      const std::string& stdin_file) {
  char tmpl[] = "/tmp/nettally-streams.XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  std::string dir = tmpl;
  RunResult r;
  r.status = run_once(binary, argv, cwd, tz, stdin_file, dir + "/out", dir + "/err");
  r.out = read_file(dir + "/out");
  r.err = read_file(dir + "/err");
  int merged_status = run_once(binary, argv, cwd, tz, stdin_file, dir + "/merged", dir + "/merged");
  r.merged = read_file(dir + "/merged");
  if (merged_status != r.status) r.status = -2;  // two runs that differ are a failure
  std::string cmd = "rm -rf '" + dir + "'";
  if (system(cmd.c_str()) != 0) {
  }
  return r;
}

RunResult run_program_once(const std::string& binary, const std::vector<std::string>& argv,
                           const std::string& cwd, const std::string& tz) {
  char tmpl[] = "/tmp/nettally-streams.XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  std::string dir = tmpl;
  RunResult r;
  r.status = run_once(binary, argv, cwd, tz, "/dev/null", dir + "/out", dir + "/err");
  r.out = read_file(dir + "/out");
  r.err = read_file(dir + "/err");
  std::string cmd = "rm -rf '" + dir + "'";
  if (system(cmd.c_str()) != 0) {
  }
  return r;
}

int start_slow_writer(int fd, const std::string& bytes, size_t piece) {
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid != 0) return pid;
  signal(SIGPIPE, SIG_IGN);
  for (size_t done = 0; done < bytes.size();) {
    usleep(30 * 1000);  // the reader has found the pipe empty by now
    size_t n = std::min(piece, bytes.size() - done);
    ssize_t k = write(fd, bytes.data() + done, n);
    if (k <= 0) _exit(1);
    done += size_t(k);
    // Until the reader has taken the piece: bytes left in a FIFO that
    // nobody holds open any more would be lost.
    for (int waited = 0; waited < 500; waited++) {
      int pending = 0;
      if (ioctl(fd, FIONREAD, &pending) != 0 || pending == 0) break;
      usleep(10 * 1000);
    }
  }
  _exit(0);
}

static bool child_succeeded(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool finish_slow_writer(int pid) { return child_succeeded(pid); }

int start_fifo_writer(const std::string& path, const std::string& bytes, unsigned delay_ms,
                      size_t piece, unsigned pause_ms) {
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid != 0) return pid;
  signal(SIGPIPE, SIG_IGN);
  alarm(RUN_TIME_LIMIT_SECONDS);  // a reader that never comes fails the test, not hangs it
  usleep(useconds_t(delay_ms) * 1000);
  int fd = open(path.c_str(), O_WRONLY);
  if (fd < 0) _exit(1);
  for (size_t done = 0; done < bytes.size();) {
    if (done > 0) usleep(useconds_t(pause_ms) * 1000);
    size_t n = std::min(piece, bytes.size() - done);
    ssize_t k = write(fd, bytes.data() + done, n);
    if (k <= 0) _exit(1);
    done += size_t(k);
  }
  _exit(close(fd) == 0 ? 0 : 1);
}

// Reads fd to its end into the file at path, a little at a time with a
// pause after each read, so that the writer keeps finding the pipe full.
// The child closes the descriptors in `others` (pipe ends it must not
// hold, or its reading would never end).
static pid_t start_slow_reader(int fd, const std::string& path, std::vector<int> others) {
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid != 0) return pid;
  for (int other : others)
    if (other != fd) close(other);
  int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (out < 0) _exit(1);
  char buf[8192];
  for (;;) {
    ssize_t k = read(fd, buf, sizeof buf);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) break;
    if (write(out, buf, size_t(k)) != k) _exit(1);
    usleep(2000);
  }
  _exit(close(out) == 0 ? 0 : 1);
}

RunResult run_with_nonblocking_output(const std::string& binary,
                                      const std::vector<std::string>& argv,
                                      const std::string& cwd, const std::string& tz) {
  char tmpl[] = "/tmp/nettally-streams.XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  std::string dir = tmpl;
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  for (int fd : {out_pipe[1], err_pipe[1]})
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0)
      throw std::runtime_error("fcntl failed");
  std::vector<int> ends = {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]};
  pid_t out_reader = start_slow_reader(out_pipe[0], dir + "/out", ends);
  pid_t err_reader = start_slow_reader(err_pipe[0], dir + "/err", ends);
  close(out_pipe[0]);
  close(err_pipe[0]);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    if (in < 0 || chdir(cwd.c_str()) != 0) _exit(126);
    dup2(in, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (int fd : {in, out_pipe[1], err_pipe[1]})
      if (fd > 2) close(fd);
    if (tz.empty()) unsetenv("TZ");
    else setenv("TZ", tz.c_str(), 1);
    exec_limited(binary, argv);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  RunResult r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  bool out_read = child_succeeded(out_reader);
  bool err_read = child_succeeded(err_reader);
  bool readers_done = out_read && err_read;
  if (!readers_done) r.status = -3;
  r.out = read_file(dir + "/out");
  r.err = read_file(dir + "/err");
  std::string cmd = "rm -rf '" + dir + "'";
  if (system(cmd.c_str()) != 0) {
  }
  return r;
}

RunResult run_with_failing_output(const std::string& binary, const std::vector<std::string>& argv,
                                  const std::string& cwd, FailingOutput how) {
  char tmpl[] = "/tmp/nettally-streams.XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  std::string err_path = std::string(tmpl) + "/err";
  int pipe_fds[2] = {-1, -1};
  if (how == FailingOutput::READER_GONE) {
    if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
    close(pipe_fds[0]);  // the reader is gone before the first write
  }
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (in < 0 || err < 0 || chdir(cwd.c_str()) != 0) _exit(126);
    dup2(in, 0);
    dup2(err, 2);
    switch (how) {
      case FailingOutput::FULL_DEVICE: {
        int out = open("/dev/full", O_WRONLY);
        if (out < 0) _exit(126);
        dup2(out, 1);
        close(out);
        break;
      }
      case FailingOutput::CLOSED:
        close(1);
        break;
      case FailingOutput::READER_GONE:
        dup2(pipe_fds[1], 1);
        close(pipe_fds[1]);
        signal(SIGPIPE, SIG_IGN);  // an ignored signal stays ignored across exec
        break;
    }
    if (in > 2) close(in);
    if (err > 2) close(err);
    setenv("TZ", "UTC", 1);
    exec_limited(binary, argv);
  }
  if (pipe_fds[1] >= 0) close(pipe_fds[1]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  RunResult r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.err = read_file(err_path);
  std::string cmd = "rm -rf '" + std::string(tmpl) + "'";
  if (system(cmd.c_str()) != 0) {
  }
  return r;
}

std::vector<std::string> readme_blocks(const std::string& heading) {
  std::string readme = read_file(std::string(EXAMPLES_DIR) + "/../README.md");
  size_t start = readme.find("\n" + heading + "\n");
  if (start == std::string::npos) return {};
  size_t end = readme.find("\n### ", start + 1);
  std::string section = readme.substr(start, end == std::string::npos ? end : end - start);
  std::vector<std::string> blocks;
  bool in_block = false;
  size_t at = 0;
  while (at < section.size()) {
    size_t eol = section.find('\n', at);
    if (eol == std::string::npos) eol = section.size();
    std::string line = section.substr(at, eol - at);
    at = eol + 1;
    if (line.compare(0, 4, "    ") == 0) {
      if (!in_block) blocks.emplace_back();
      blocks.back() += line.substr(4) + "\n";
      in_block = true;
    } else {
      in_block = false;
    }
  }
  return blocks;
}

std::vector<std::string> list_directory(const std::string& path) {
  std::vector<std::string> names;
  DIR* d = opendir(path.c_str());
  if (!d) throw std::runtime_error("opendir " + path);
  while (const dirent* e = readdir(d)) names.push_back(e->d_name);
  closedir(d);
  return names;
}

bool is_flow_name(const std::string& name) { return name.compare(0, 5, "flow.") == 0; }

std::string walk_line(const std::string& name) {
  return (is_flow_name(name) ? "Flowfile:" : "Uknkown Filetype:") + name + "\n";
}
