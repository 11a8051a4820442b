// File: localfile/UniqueFd.h
//
// UniqueFd owns one open file descriptor and closes it exactly once: when it
// goes, when it is reset, or by close(), the one way that reports how the
// close went. That matters for a file written through it: a write the
// system took may fail only at the close (a full disk, a network file
// system), so such a descriptor is closed by close() and its result used.
//
// Example:
//   UniqueFd file(::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
//   if (!file) return -1;                      // errno from open
//   if (::write(file.get(), bytes, n) != n) return -1;  // closed on the way
//   return file.close();                       // 0, or -1 with errno
//
// Invariants: get() is an open descriptor or -1. Closing without a result
// (reset, the destructor) leaves errno as it was, so it may stand between a
// failure and its report.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  // Takes `fd`; a negative one (a failed open) owns nothing.
  explicit UniqueFd(int fd) noexcept : fd_(fd < 0 ? -1 : fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  [[nodiscard]] int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

  // Gives the descriptor up to the caller, owning nothing after.
  [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }

  // Closes the one held, if any, ignoring how that went, and takes `fd`.
  void reset(int fd = -1) noexcept {
    const int old = std::exchange(fd_, fd < 0 ? -1 : fd);
    if (old < 0) return;
    const int saved = errno;
    (void)::close(old);
    errno = saved;
  }

  // Closes the one held: 0, or -1 with errno. Either way nothing is held
  // after (Linux frees the descriptor even when its close fails). Nothing
  // held: 0.
  [[nodiscard]] int close() noexcept {
    const int old = release();
    return old < 0 ? 0 : ::close(old);
  }

 private:
  int fd_ = -1;
};
