#include <pthread.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <cerrno>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "main/commands.h"

namespace {
// Plain and statically initialised so it is usable before main() runs.
pthread_mutex_t _print_mutex = PTHREAD_MUTEX_INITIALIZER;

// Writes all of `bytes` to the descriptor; false when the descriptor fails.
bool write_all(int fd, const char* bytes, size_t count) noexcept {
  while (count > 0) {
    const ssize_t written = write(fd, bytes, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    count -= static_cast<size_t>(written);
  }
  return true;
}

// A reply leaves in one write of its own, as stdio's flush would send it,
// without stdio's buffering in between: the parent waits on every line, so
// its cost is paid on every command. Only when stdio still holds bytes (the
// locator's trace lines) or the line is long does the reply go through stdio,
// behind them.
void write_reply(const char* format, va_list args) noexcept {
  pthread_mutex_lock(&_print_mutex);
  char line[1024];
  const char* text = format;
  size_t length = 0;
  bool direct = __fpending(stdout) == 0;
  if (direct) {
    if (std::strchr(format, '%') == nullptr) {
      length = std::strlen(format);
    } else {
      va_list copy;
      va_copy(copy, args);
      const int formatted = std::vsnprintf(line, sizeof line, format, copy);
      va_end(copy);
      direct = formatted >= 0 && static_cast<size_t>(formatted) < sizeof line;
      text = line;
      length = direct ? static_cast<size_t>(formatted) : 0;
    }
  }
  if (!direct || !write_all(fileno(stdout), text, length)) {
    std::vfprintf(stdout, format, args);
    std::fflush(stdout);
  }
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
