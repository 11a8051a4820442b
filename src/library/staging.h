// File: library/staging.h
//
// What the library copy's three steps share (Library.h states the whole):
// the private staging folder, the copy, the fold and the check.
//
// The staging folder is made with mode 0700 under a random name, and holds
// only the staged library and the side files SQLite makes beside it. While
// it exists it is the unfinished-file guard's scratch folder, so a
// terminating signal removes it and everything in it, beside the
// destination's own stage. Main thread only.
//
// Example:
//   LocalFile local(link, destination);             // ready first
//   StagingFolder staging(link, destination);
//   if (!staging) return -1;                        // the reason was said
//   if (copy_library(link, staging) != 0) return -1;
//   if (fold_library(link, staging.library()) != 0) return -1;
//   LibraryCheck check(staging.library());          // runs while ...
//   staging.remove();
//   ...                                             // ... the bytes are placed
//   if (check.result(link) != 0) ...                // before the destination is touched
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <thread>

#include "device/device.h"

class StagingFolder {
 public:
  // Makes the folder beside `destination` (.afclink-XXXXXX), else, where
  // nothing can be made there or the destination is no regular file,
  // under TMPDIR or /tmp (afclink-XXXXXX). On
  // failure the object is false, with "Can't make a staging folder for
  // DESTINATION: reason" said.
  StagingFolder(DeviceLink* link, const char* destination) noexcept;
  // remove().
  ~StagingFolder() { remove(); }
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;

  explicit operator bool() const noexcept { return !folder_.empty(); }

  // The staged main file and its -wal.
  [[nodiscard]] const std::string& library() const noexcept { return library_; }
  [[nodiscard]] const std::string& wal() const noexcept { return wal_; }

  // Removes every file in the folder (a dropped copy), keeping the folder.
  void empty() noexcept;
  // Removes the folder with everything in it, and names no scratch folder
  // to the guard any more; the object is false after. Files opened before stay
  // readable through their descriptors.
  void remove() noexcept;

 private:
  std::string folder_;
  std::string library_;
  std::string wal_;
};

// Copies the phone's library and its -wal into `staging` as one committed
// moment, trying again while the phone changes them (Library.h): 0; 1 when
// the phone holds no library (no message); -1 with a message.
[[nodiscard]] int copy_library(DeviceLink* link, StagingFolder& staging) noexcept;

// Folds the -wal of the staged library at `path` into it, leaving one file
// in rollback-journal mode: 0, or -1 with a message.
[[nodiscard]] int fold_library(DeviceLink* link, const std::string& path) noexcept;

struct DatabaseClose {
  void operator()(sqlite3* db) const noexcept { (void)sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, DatabaseClose>;

// SQLite's integrity check of the folded library, on a thread of its own
// so that it runs while the placement writes the same bytes. The file is
// opened (read-only, distrusted) by the constructor, so the staging folder
// may go at once; the check reads it through that descriptor.
class LibraryCheck {
 public:
  explicit LibraryCheck(const std::string& path) noexcept;
  // Waits for the check when result() was not asked.
  ~LibraryCheck();
  LibraryCheck(const LibraryCheck&) = delete;
  LibraryCheck& operator=(const LibraryCheck&) = delete;

  // Waits for the check: 0 when the library is whole, else -1 with "The
  // copied music library is damaged: <SQLite's words>" said.
  [[nodiscard]] int result(DeviceLink* link) noexcept;

 private:
  Database db_;           // the checker's alone until it is joined
  std::string problems_;  // written by the checker, read after the join
  std::thread checker_;
};
