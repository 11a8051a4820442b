// Heap allocations per command once the first command has passed.
//
// Runs the real command loop (do_next_line: a line of standard input read,
// its command run and freed) over 100 000 ordinary commands read from a
// file, with replies going to /dev/null, and counts every malloc, calloc and
// realloc of the process, not only the buffer module's, by interposing on
// glibc's allocator. Target: 0 once one round of the command mix has passed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device/device.h"
#include "main/dispatch.h"

// glibc's own allocator entry points, which the counting wrappers call.
// NOLINTBEGIN(bugprone-reserved-identifier)
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}
// NOLINTEND(bugprone-reserved-identifier)

namespace {
unsigned long allocations = 0;
}

extern "C" void* malloc(size_t n) {
  ++allocations;
  return __libc_malloc(n);
}
extern "C" void* calloc(size_t c, size_t n) {
  ++allocations;
  return __libc_calloc(c, n);
}
extern "C" void* realloc(void* p, size_t n) {
  ++allocations;
  return __libc_realloc(p, n);
}
extern "C" void free(void* p) { __libc_free(p); }

int main() {
  constexpr int kCommands = 100000;
  const char* kLines[] = {"status",        "pid",
                          "getDB /tmp/db", "getFile \"/a b\" /tmp/x",
                          "disconnect",    "nosuchcommand with words",
                          "status extra"};
  char input_path[] = "/tmp/afclink-bench-XXXXXX";
  int fd = mkstemp(input_path);
  if (fd < 0) return 1;
  FILE* input = fdopen(fd, "w");
  for (int i = 0; i < kCommands; ++i)
    std::fprintf(input, "%s\n", kLines[i % (sizeof kLines / sizeof *kLines)]);
  std::fclose(input);

  if (!std::freopen(input_path, "r", stdin) || !std::freopen("/dev/null", "w", stdout)) return 1;
  std::remove(input_path);

  DeviceLink* link = mdv_new(nullptr, nullptr, nullptr);
  if (!link) return 1;
  auto run_one = [link] { (void)do_next_line(link); };
  // One round of the mix lets the recycled buffers grow to the longest line;
  // from then on nothing may be allocated.
  constexpr int kWarmUp = sizeof kLines / sizeof *kLines;
  for (int i = 0; i < kWarmUp; ++i) run_one();
  unsigned long before = allocations;
  for (int i = kWarmUp; i < kCommands; ++i) run_one();
  unsigned long after = allocations;

  std::fprintf(stderr,
               "heap allocations over %d commands after the first round of "
               "%d: %lu (%.6f per command; target 0)\n",
               kCommands - kWarmUp, kWarmUp, after - before,
               double(after - before) / (kCommands - kWarmUp));
  return after == before ? 0 : 2;
}
