// For tests of nettally's pieces: what a piece of code writes to standard
// output or standard error, nettally's own buffers emptied included.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "nets/output.h"

// Runs f with descriptor fd (1 or 2) sent to a temporary file and returns
// the bytes f wrote there.
template <typename F>
std::string captured_output(int fd, F f) {
  out_flush();
  fflush(stderr);
  int saved = dup(fd);
  char path[] = "/tmp/nettally_capture.XXXXXX";
  int file = mkstemp(path);
  EXPECT_GE(file, 0);
  dup2(file, fd);
  f();
  out_flush();  // standard error's buffer first, then standard output's
  dup2(saved, fd);
  close(saved);
  std::string text;
  char buf[65536];
  off_t at = 0;
  for (ssize_t k; (k = pread(file, buf, sizeof buf, at)) > 0; at += k) text.append(buf, size_t(k));
  close(file);
  unlink(path);
  return text;
}
