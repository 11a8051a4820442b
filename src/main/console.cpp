// Replies and the end of the process.
#include <pthread.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "main/console.h"

namespace {
// Plain and statically initialised so it is usable before main() runs.
pthread_mutex_t _print_mutex = PTHREAD_MUTEX_INITIALIZER;

// Every line leaves through stdio, so replies and the locator's trace lines
// keep their order, and is flushed at once because the parent waits on it.
// A flush that fails part-way does not send the line again: stdio drops what
// it could not write, and the parent has gone or stopped reading by then.
void write_reply(const char* format, va_list args) noexcept {
  pthread_mutex_lock(&_print_mutex);
  std::vfprintf(stdout, format, args);
  std::fflush(stdout);
  pthread_mutex_unlock(&_print_mutex);
}
}  // namespace

void ui_printf(const char* format, ...) noexcept {
  va_list args;
  va_start(args, format);
  write_reply(format, args);
  va_end(args);
}

void ui_eprintf(const char* format, ...) noexcept {
  va_list args;
  va_start(args, format);
  write_reply(format, args);
  va_end(args);
}

void ok() noexcept { ui_printf("ok\n"); }

void end_process(int status) noexcept {
  // A device thread may be inside the library (pairing, TLS): running the
  // atexit handlers would race it, so only the replies are flushed.
  std::fflush(stdout);
  _exit(status);
}
