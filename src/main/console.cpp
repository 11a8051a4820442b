#include <pthread.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "main/commands.h"

namespace {
// Plain and statically initialised so it is usable before main() runs.
pthread_mutex_t _print_mutex = PTHREAD_MUTEX_INITIALIZER;

void write_reply(const char* format, va_list args) noexcept {
  pthread_mutex_lock(&_print_mutex);
  // Most replies are fixed texts: they need no formatting pass.
  if (std::strchr(format, '%') == nullptr)
    std::fputs(format, stdout);
  else
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
