// Standard output redirected into a file in memory, so a harness can check
// what the code under test printed. capture_stdout() once at start-up, then
// take_output() after each run: what was written since, and the file emptied.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

inline void capture_stdout(const char* name) {
  const int fd = memfd_create(name, 0);
  if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) std::abort();
}

inline std::string take_output() {
  std::fflush(stdout);
  std::string out;
  char chunk[4096];
  ssize_t got = 0;
  for (off_t at = 0; (got = pread(STDOUT_FILENO, chunk, sizeof chunk, at)) > 0; at += got)
    out.append(chunk, static_cast<size_t>(got));
  if (ftruncate(STDOUT_FILENO, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0) std::abort();
  return out;
}
