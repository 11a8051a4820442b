// File: localfile/BackgroundSync.h
//
// Syncs a file to disk on a thread of its own while the copy goes on: each
// time new bytes are in the file and the last sync is done, another. A sync
// waits for the disk to flush what reached it since the sync before (its
// cost per MiB is in BENCHMARKS.md), so keeping up leaves the sync before
// the "ok" only the last block or two, and neither the copy nor the
// device's next request waits for the ones before. A slower disk simply
// gets fewer, larger syncs. The first failure is kept: the system reports
// a writeback error only once, so the final sync would not see it.
//
// Example:
//   BackgroundSync syncer;
//   if (syncer.start(fd)) syncer.wrote();   // after each block written
//   ...
//   int error = syncer.finish();            // then the final fsync(fd)
//
// Invariants: the descriptor is borrowed; its owner calls finish() (or lets
// the syncer go) before closing it. start() is called at most once. Every
// call but the thread's own is made by one thread, the copy's.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

class BackgroundSync {
 public:
  BackgroundSync() = default;
  BackgroundSync(const BackgroundSync&) = delete;
  BackgroundSync& operator=(const BackgroundSync&) = delete;
  ~BackgroundSync() { (void)finish(); }

  // Starts syncing `fd`; false when no thread can be had.
  bool start(int fd) noexcept;
  [[nodiscard]] bool running() const noexcept { return thread_.joinable(); }

  // More bytes are in the file.
  void wrote() noexcept;

  // Stops syncing once the sync under way, if any, is done; the errno of
  // the first failed sync, or 0. The bytes written since are not synced.
  int finish() noexcept;

 private:
  void run() noexcept;

  int fd_ = -1;
  std::thread thread_;
  std::mutex mutex_;  // guards the three below
  std::condition_variable changed_;
  bool unsynced_ = false;
  bool stop_ = false;
  int error_ = 0;
};
