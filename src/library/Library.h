// File: library/Library.h
//
// The music library of a phone of iOS 5 or later, copied whole and
// consistent. Such a phone keeps it in one SQLite database in WAL mode,
// kLibraryPath, whose newest commits live only in its -wal file, and its
// media daemon writes both at any moment, while a copy runs too. No lock on
// the phone holds that daemon off, so get_library makes sure of what it
// copied instead. The destination is made ready first (LocalFile's stage),
// so a folder that is missing or may not be written fails before anything
// is asked of the phone. Then:
//
//  1. The copy. The main file and its -wal are copied, through the file
//     service's read-ahead, into a private staging folder (a hidden folder
//     beside the destination, else under TMPDIR, else /tmp). The file
//     service is asked about both files (size, modification time) before
//     and after, and the -wal's header is read again after. The copy is one
//     committed moment of the library when the main file did not change and
//     the -wal kept its header and only grew: SQLite's recovery then keeps
//     the last whole commit and drops a frame caught half written. Anything
//     else (a checkpoint, a -wal reset, a side file that appeared or went)
//     drops the staged files, and the copy is made again after a pause that
//     doubles, until both a few tries and a few seconds have passed (the
//     daemon writes in bursts). A missing -wal is normal: a checkpoint just
//     ran. The -shm is never copied: SQLite rebuilds it from the -wal.
//  2. The fold. SQLite opens the staged pair as the untrusted input it is:
//     defensive mode, schema not trusted, no memory mapping, cell sizes
//     checked, and never through the destination's path or as immutable
//     (which would ignore the -wal). It folds the -wal in
//     (wal_checkpoint(TRUNCATE), then journal_mode=DELETE) and closes: one
//     self-contained file that needs no side file.
//  3. The check and the placement. SQLite's integrity_check reads that
//     file, opened the same way, on a thread of its own while its bytes go
//     to the destination through LocalFile; the destination is touched only
//     once the check has passed, so LocalFile's promise holds: an earlier
//     file there stays exactly as it was unless the whole library, checked,
//     is in place.
//
// Errors: get_library appends one message per failure to the link's
// err_text (mdv_add_err) and returns -1; the staging folder is gone
// whatever the result, and a terminating signal removes it too (the
// unfinished-file guard). Main thread only, like every copy.
//
// Example:
//   if (get_library(link, "/home/me/MediaLibrary.sqlitedb") == 0) ok();
#pragma once

#include <chrono>

#include "device/device.h"

// Where a phone of iOS 5 or later keeps its music library.
inline constexpr const char* kLibraryPath = "/iTunes_Control/iTunes/MediaLibrary.sqlitedb";

// Copies the phone's music library into the local file `local_path` as one
// SQLite database in rollback-journal mode: 0, or -1 with the reasons in
// err_text:
//   - "No music library at PATH on this phone. ..." (a phone before iOS 5
//     keeps its library for getDB);
//   - "The music library kept changing ..." after every try;
//   - "The copied music library is damaged: <SQLite's message>";
//   - the device file layer's messages (a lost link, a refused read);
//   - LocalFile's and the staging folder's messages (the local disk).
[[nodiscard]] int get_library(DeviceLink* link, const char* local_path) noexcept;

namespace library_internal {

// When a copy that changed under the reader is given up: only once it has
// been tried `tries` times and `patience` has passed since the first try.
// The pause before another try starts at `first_pause` and doubles.
struct RetryRule {
  std::chrono::milliseconds first_pause{100};
  std::chrono::milliseconds patience{2000};
  int tries = 3;
};

// The rule in force.
[[nodiscard]] RetryRule retry_rule() noexcept;

// Replaces the rule for the object's life (tests shorten the pauses). Main
// thread only; not nested.
class ScopedRetryRule {
 public:
  explicit ScopedRetryRule(RetryRule rule) noexcept;
  ~ScopedRetryRule();
  ScopedRetryRule(const ScopedRetryRule&) = delete;
  ScopedRetryRule& operator=(const ScopedRetryRule&) = delete;

 private:
  RetryRule saved_;
};

}  // namespace library_internal
