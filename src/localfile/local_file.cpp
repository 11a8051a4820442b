// LocalFile: opening, the block protocol, finishing and closing
// (LocalFile.h). Where the target is and how the stage takes its place is
// placement.cpp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "localfile/LocalFile.h"
#include "localfile/unfinished.h"

LocalFile::LocalFile(DeviceLink* link, const char* path) noexcept : link_(link), path_(path) {
  struct stat existing {};
  if (::stat(path, &existing) == 0 && !S_ISREG(existing.st_mode)) {
    open_directly();
  } else {
    try {
      open_staged();
    } catch (...) {
      errno = ENOMEM;
    }
    if (!writer_) {
      const int why = errno;
      discard_stage();
      errno = why;
    }
  }
  if (!writer_)
    mdv_add_err(link_, "Can't open destination file %s: %s", path_, std::strerror(errno));
}

// The descriptors close themselves; the syncer stops before the stage's.
LocalFile::~LocalFile() { discard_stage(); }

void LocalFile::open_directly() noexcept {
  writer_.reset(::open(path_, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666));
}

bool LocalFile::make_block() noexcept {
  block_ = new_buffer(kBlock);
  return block_ != nullptr;
}

bool LocalFile::wrote(size_t count) noexcept {
  if (take(count)) return true;
  mdv_add_err(link_, "Couldn't write %d bytes to file %s: %s", static_cast<int>(count), path_,
              std::strerror(errno));
  return false;
}

bool LocalFile::write_header(const unsigned char* bytes, size_t count) noexcept {
  std::memcpy(room(), bytes, count);
  if (take(count)) return true;
  mdv_add_err(link_, "Couldn't write header to file %s", path_);
  return false;
}

// Counts `count` more bytes in the block, and writes the block out when it
// cannot take another piece; false, with errno, when that fails.
bool LocalFile::take(size_t count) noexcept {
  filled_ += count;
  const size_t block = written_any_ ? kBlock : kFirstBlock;
  return block - filled_ >= kPiece || send_block();
}

// Writes the block out whole, however many calls that takes; false, with
// errno, when the file refuses it. Either way the block is empty after.
bool LocalFile::send_block() noexcept {
  const size_t count = std::exchange(filled_, 0);
  for (size_t sent = 0; sent < count;) {
    const ssize_t wrote = ::write(writer_.get(), block_.get() + sent, count - sent);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      if (wrote == 0) errno = EIO;
      write_failed_ = true;
      return false;
    }
    sent += static_cast<size_t>(wrote);
  }
  written_any_ = true;
  sync_as_it_goes(count);
  return true;
}

// A stage that is synced before it takes the name is synced in the
// background as the copy goes: left to the end, the sync would wait for the
// whole file, mostly the disk flushing its own cache (BENCHMARKS.md has the
// figures). Without a thread it is simply synced at the end.
void LocalFile::sync_as_it_goes(size_t count) noexcept {
  if (!stage_ || !rename_) return;
  written_ += static_cast<off_t>(count);
  if (syncer_.running()) {
    syncer_.wrote();
  } else if (written_ >= kSyncInBackgroundFrom && !syncer_tried_) {
    syncer_tried_ = true;
    if (syncer_.start(stage_.get())) syncer_.wrote();
  }
}

int LocalFile::finish(int result) noexcept {
  if (!writer_) return result;
  const bool staged = static_cast<bool>(stage_);
  // A failed write has been reported already, and its block dropped. A
  // failed copy's stage is removed unread, so its last block is not
  // written: a disk refusing it would only add a second reason.
  bool written = write_failed_ || (staged && result < 0) || send_block();
  int why = errno;
  // The stage is synced before it takes the name, or an "ok" copy could be
  // empty after a power cut; written in place, it is read back instead.
  if (written && staged && result >= 0 && rename_) {
    const int sync_error = syncer_.finish();
    if (sync_error != 0) {
      written = false;
      why = sync_error;
    } else if (::fsync(stage_.get()) != 0) {
      written = false;
      why = errno;
    }
  }
  if (writer_.close() != 0 && written) {
    written = false;
    why = errno;
  }
  if (!written) {
    mdv_add_err(link_, "Couldn't close file %s: %s", path_, std::strerror(why));
    result = result < 0 ? result : -1;
  }
  return result;
}

int LocalFile::close(int result) noexcept {
  result = finish(result);
  if (stage_ && result >= 0) result = put_in_place();
  discard_stage();
  return result;
}

void LocalFile::discard_stage() noexcept {
  (void)syncer_.finish();  // before the file it syncs is closed
  stage_.reset();
  if (stage_path_.empty() && stage_folder_.empty()) return;
  if (!stage_path_.empty()) (void)::unlink(stage_path_.c_str());
  if (!stage_folder_.empty()) (void)::rmdir(stage_folder_.c_str());
  clear_unfinished();
  stage_path_.clear();
  stage_folder_.clear();
}
