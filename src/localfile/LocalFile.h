// File: localfile/LocalFile.h
//
// LocalFile is the local destination of one copy from the device: where
// the copy's bytes go, and how they come to stand under the destination's
// name. This is the contract the README and the manual page promise.
//
// The stage. A copy to a regular file, or to a name not yet taken, is
// staged: its bytes go to a file of its own, and the destination is touched
// only once the device file is complete and closed, so a copy that fails
// leaves an earlier file there exactly as it was (and makes none where
// there was none). The stage sits beside the destination under a short
// name, .afclink-XXXXXX, so a destination name of up to 255 bytes still
// fits; where nothing can be made beside it (a folder afclink may not
// write, a file system without a free inode), it is afclink-XXXXXX/copy, a
// private folder of its own under TMPDIR, else /tmp (only for an existing
// destination: what cannot be made beside a new name cannot be made under
// it either). A failed copy's stage is removed: nothing is left beside the
// destination.
//
// The last step, once the copy is good:
//  - Rename, when that gives exactly what writing in place would: the
//    destination does not exist yet (the stage gets 0666 less the umask),
//    or it is a regular file with one link whose mode and owner the stage
//    could be given. The stage is synced to disk first, so an "ok" copy is
//    never empty after a power cut; it then takes the name, and the folder
//    is synced too (a folder afclink may not read, or a file system that
//    syncs no folders, is no failure; another failure is "Couldn't replace
//    file", with the new file already in place).
//  - Otherwise the finished bytes are written into the destination in
//    place, so its links, owner, mode and identity stay: hard links,
//    another owner (only root or the owner's own groups may give a file
//    away), a stage that had to be made under TMPDIR (a folder afclink may
//    not write, a file system without a free inode), a refused rename
//    (another user's file in a sticky folder, a bind-mounted file). Room
//    for the copy is reserved first, so a disk too full for it refuses it
//    ("Couldn't replace file") before a byte of the earlier file changes;
//    then the bytes are written, the file is cut to the copy's length and
//    synced. Only a local disk failure after the reservation can damage
//    the earlier file, and the error says so ("Couldn't write file ... in
//    place").
// The existing destination is opened for writing before the copy starts,
// which checks that it may be written, as writing in place would.
//
// Links. A symbolic link is followed, to the end of a chain (ELOOP after
// 40), and stays a link: the file it names is the one replaced, or created
// when the link dangles. A link whose text does not name what it reaches
// (/proc/self/fd/N of an unnamed or deleted file) is written through in
// place, so no stray file is made under its text.
//
// Other files. A destination that is not a regular file (a FIFO,
// /dev/null, /dev/full) is opened and written directly, unstaged.
//
// Syncs. A stage meant to take the name is synced in the background
// (BackgroundSync.h) once 1 MiB of it is written, each time another block
// is in it, so the final sync before the rename covers only the last block
// or two; a smaller copy is synced at its end only. A failed sync of the
// stage, in the background or at the end, fails the copy ("Couldn't close
// file") and leaves the destination as it was; the first background
// failure is kept, because the system reports a writeback error only once.
// A copy written in place is synced once written into the destination; a
// stage that is only read back is not synced.
//
// Signals. While a stage exists it is named to the unfinished-file guard
// (unfinished.h): SIGTERM, SIGINT and SIGHUP remove it and end afclink as
// the signal would. While the bytes are written in place those signals wait
// until the write in place is over (the earlier file has its new bytes,
// cut and synced, or the error is known), then take effect.
//
// The block protocol. The copy's pieces, of at most kPiece bytes, are
// placed straight into the file's block and taken from there:
//   LocalFile local(link, path);        // the stage made, or the file opened
//   if (!local) return -1;              // "Can't open destination file ..."
//   if (!local.make_block()) ...        // false: no memory (the caller says)
//   n = read(device, local.room(), kPiece);  // room for kPiece bytes
//   if (!local.wrote(n)) return -1;     // "Couldn't write N bytes to file ..."
//   ...                                 // (or write_header(bytes, n) once)
//   result = local.finish(result);      // the last block, the syncs
//   device.reset();                     // the device file closed, by its owner
//   return local.close(result);         // put in place, or the stage removed
// The block goes to the file whenever it cannot take another piece: first
// at 64 KiB, so a disk full from the start refuses a piece rather than the
// close, then at 1 MiB, one system call per MiB. A piece whose write fails
// is reported with its own byte count; finish() reports what the last block
// and the syncs say ("Couldn't close file ..."), because a write that fails
// only then (a full disk) shows there. A failed copy's last block is not
// written to its stage: a disk refusing it would only add a second reason.
//
// Errors: each failure appends one message to the link's err_text through
// mdv_add_err and gives false or -1; an earlier failure's own result (a
// zlib code) is kept by finish() and close(). Nothing here prints or
// throws. One LocalFile at a time, on the main thread, as the guard
// requires.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "device/device.h"
#include "localfile/BackgroundSync.h"
#include "localfile/Buffer.h"
#include "localfile/UniqueFd.h"

class LocalFile {
 public:
  // The most one piece may hold: room() always has room for this many.
  static constexpr int32_t kPiece = 8192;

  // Makes the stage (or opens a non-regular destination); on failure the
  // object is false, with "Can't open destination file PATH: reason" said.
  // `path` is borrowed for the object's life.
  LocalFile(DeviceLink* link, const char* path) noexcept;
  // An unfinished copy's stage is removed; the destination stays as it was.
  ~LocalFile();
  LocalFile(const LocalFile&) = delete;
  LocalFile& operator=(const LocalFile&) = delete;

  // Open for the copy's bytes: from a good construction until finish().
  explicit operator bool() const noexcept { return static_cast<bool>(writer_); }

  // Makes the block the copy's pieces go into: false when there is no
  // memory for it (the caller says so).
  [[nodiscard]] bool make_block() noexcept;
  // Where the next piece goes: room for kPiece bytes.
  [[nodiscard]] unsigned char* room() noexcept { return block_.get() + filled_; }
  // Takes the `count` bytes just placed at room(); false, with a message
  // that gives that count, when they cannot be written.
  [[nodiscard]] bool wrote(size_t count) noexcept;
  // The header, up to kPiece bytes, placed and taken like a piece.
  [[nodiscard]] bool write_header(const unsigned char* bytes, size_t count) noexcept;

  // Ends the writing: the last block of a good copy written, the stage
  // synced when it is to be renamed, the file the bytes went to closed.
  // `result` (the copy's: negative when it failed), or -1 with a message.
  // Nothing has touched the destination yet.
  [[nodiscard]] int finish(int result) noexcept;
  // Ends the copy (finishing it first if need be): a good one (`result`
  // not negative) is put in the destination's place, a failed one's stage
  // removed. `result`, or -1 with a message.
  [[nodiscard]] int close(int result) noexcept;

 private:
  // The block is written out at this size, the first one at the smaller.
  static constexpr size_t kBlock = size_t{1} << 20;
  static constexpr size_t kFirstBlock = size_t{64} << 10;
  static_assert(kBlock % kPiece == 0 && kFirstBlock % kPiece == 0);
  // A stage is synced in the background once this much of it is written: a
  // smaller copy costs less to sync at its end than a thread.
  static constexpr off_t kSyncInBackgroundFrom = off_t{1} << 20;

  // local_file.cpp: writing.
  void open_directly() noexcept;
  bool take(size_t count) noexcept;
  bool send_block() noexcept;
  void sync_as_it_goes(size_t count) noexcept;
  void discard_stage() noexcept;

  // placement.cpp: the target, the stage, the last step.
  void open_staged();
  bool find_target();
  bool check_target();
  bool stage_beside();
  [[nodiscard]] bool keeps_owner() const noexcept;
  bool stage_privately();
  int put_in_place() noexcept;
  [[nodiscard]] bool sync_folder() const noexcept;
  int write_in_place() noexcept;
  int not_replaced(int error) noexcept;
  int damaged(int error) noexcept;

  DeviceLink* link_;
  const char* path_;
  UniqueFd writer_;            // where the bytes go: the stage's twin, or the file
  Buffer block_;               // the pieces not yet written
  size_t filled_ = 0;          // bytes in block_
  bool written_any_ = false;   // a first block has gone
  bool write_failed_ = false;  // a block was refused (and reported)
  std::string target_;         // the regular file replaced or created
  struct stat existing_ {};    // the target, when exists_
  bool exists_ = false;
  UniqueFd destination_;        // the existing target, open for writing
  UniqueFd stage_;              // the stage, read back for a copy in place
  std::string stage_path_;      // the stage, while it exists
  std::string stage_folder_;    // the private folder holding it, if any
  bool rename_ = false;         // the stage may take the target's name
  bool only_in_place_ = false;  // reached through a link that names nothing
  off_t written_ = 0;           // bytes written to the stage
  BackgroundSync syncer_;       // syncs the stage (so stops before it closes)
  bool syncer_tried_ = false;
};
