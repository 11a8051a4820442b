// The unfinished-file guard (unfinished.h): the unfinished copy that a
// terminating signal removes before the process ends. The handler may run
// on any thread at any moment, so it touches only what was prepared
// beforehand: fixed buffers and lock-free flags.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <initializer_list>

#include "localfile/unfinished.h"

namespace {

constexpr size_t kPathRoom = 4096;  // PATH_MAX: longer names were never made

// Written only while their flag is false, read by the handler only while
// it is true.
char unfinished_file[kPathRoom];
char unfinished_folder[kPathRoom];
std::atomic<bool> armed{false};
// Likewise, under its own flag.
char scratch_folder[kPathRoom];
std::atomic<bool> scratch_armed{false};
static_assert(std::atomic<bool>::is_always_lock_free);
// 0, or kHolding while signals wait, or the number of the one that waits.
constexpr int kHolding = -1;
std::atomic<int> held{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Removes every file in afclink's scratch folder (a staged library and
// SQLite's side files beside it). Only the raw system calls, which a
// signal handler may make: no stream, no allocation.
void empty_folder(const char* folder) noexcept {
  const int listing = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return;
  alignas(dirent64) char entries[4096];
  ssize_t filled = 0;
  while ((filled = getdents64(listing, entries, sizeof entries)) > 0) {
    for (ssize_t at = 0; at < filled;) {
      const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
      at += entry->d_reclen;
      const char* name = entry->d_name;
      const bool dots = name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
      if (!dots) (void)unlinkat(listing, name, 0);
    }
  }
  (void)close(listing);
}

extern "C" void remove_unfinished_and_end(int signal_number) {
  int holding = kHolding;
  if (held.compare_exchange_strong(holding, signal_number)) return;  // ends it when released
  if (armed.load()) {
    (void)unlink(unfinished_file);
    if (unfinished_folder[0] != '\0') (void)rmdir(unfinished_folder);
  }
  if (scratch_armed.load()) {
    empty_folder(scratch_folder);
    (void)rmdir(scratch_folder);
  }
  // End as the signal itself would have ended the process: its default
  // action, delivered as soon as this handler returns.
  (void)std::signal(signal_number, SIG_DFL);
  (void)std::raise(signal_number);
}

bool copy_path(char (&into)[kPathRoom], const char* path) noexcept {
  const size_t length = path ? std::strlen(path) : 0;
  if (length >= kPathRoom) return false;
  if (length > 0) std::memcpy(into, path, length);
  into[length] = '\0';
  return true;
}

}  // namespace

void remove_unfinished_on_signals() noexcept {
  for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    struct sigaction previous {};
    // A signal the parent chose to ignore (nohup) stays ignored.
    if (sigaction(signal_number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN)
      continue;
    struct sigaction action {};
    action.sa_handler = remove_unfinished_and_end;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    (void)sigaction(signal_number, &action, nullptr);
  }
}

void set_unfinished(const char* file, const char* folder) noexcept {
  armed.store(false);
  if (!file || !copy_path(unfinished_file, file) || !copy_path(unfinished_folder, folder)) return;
  armed.store(true);
}

void clear_unfinished() noexcept { armed.store(false); }

void set_scratch_folder(const char* folder) noexcept {
  scratch_armed.store(false);
  if (folder && copy_path(scratch_folder, folder)) scratch_armed.store(true);
}

void hold_signals() noexcept { held.store(kHolding); }

void release_signals() noexcept {
  const int waiting = held.exchange(0);
  if (waiting > 0) remove_unfinished_and_end(waiting);
}
