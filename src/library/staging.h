// File: library/staging.h
//
// What the library copy's three steps share (Library.h states the whole):
// the private staging folder and the two steps before the placement.
//
// The staging folder is made with mode 0700 under a random name, and holds
// only the staged library and the side files SQLite makes beside it. While
// it exists it is named to the unfinished-file guard, so a terminating
// signal removes it and everything in it. Main thread only.
//
// Example:
//   StagingFolder staging(link, destination);
//   if (!staging) return -1;                        // the reason was said
//   if (copy_library(link, staging) != 0) return -1;
//   if (fold_library(link, staging.library()) != 0) return -1;
//   ...                                             // place it; the folder goes
#pragma once

#include <string>

#include "device/device.h"

class StagingFolder {
 public:
  // Makes the folder beside `destination` (.afclink-XXXXXX), else, where
  // nothing can be made there, under TMPDIR or /tmp (afclink-XXXXXX). On
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
  // Removes the folder with everything in it, and names nothing to the
  // guard any more; the object is false after. Files opened before stay
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

// Checks the staged library at `path` and folds its -wal into it, leaving
// one file in rollback-journal mode: 0, or -1 with a message.
[[nodiscard]] int fold_library(DeviceLink* link, const std::string& path) noexcept;
