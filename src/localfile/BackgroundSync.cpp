// BackgroundSync: the syncing thread (BackgroundSync.h).
#include "localfile/BackgroundSync.h"

#include <unistd.h>

#include <cerrno>

bool BackgroundSync::start(int fd) noexcept {
  fd_ = fd;
  try {
    thread_ = std::thread([this] { run(); });
  } catch (...) {
    return false;
  }
  return true;
}

void BackgroundSync::wrote() noexcept {
  {
    std::lock_guard lock(mutex_);
    unsynced_ = true;
  }
  changed_.notify_one();
}

int BackgroundSync::finish() noexcept {
  if (thread_.joinable()) {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_one();
    thread_.join();
  }
  return error_;
}

void BackgroundSync::run() noexcept {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return unsynced_ || stop_; });
    if (stop_) return;
    unsynced_ = false;
    lock.unlock();
    const int failed = ::fdatasync(fd_) == 0 ? 0 : errno;
    lock.lock();
    if (error_ == 0) error_ = failed;
  }
}
