// LocalFile: finding the target, making the stage, and putting a finished
// copy in the destination's place, by rename or in place (LocalFile.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "localfile/LocalFile.h"
#include "localfile/unfinished.h"

namespace {

// The folder holding `path`: "." for a bare name, empty for one in "/".
std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string() : path.substr(0, slash);
}

}  // namespace

// Makes the stage and opens an existing destination for writing, which
// both checks that it may be written, as writing in place would, and holds
// it for the last step. Leaves the writer closed, with errno, when it
// cannot.
void LocalFile::open_staged() {
  if (!find_target()) return;
  if (exists_) {
    destination_.reset(::open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
    if (!destination_) return;
  }
  if (!stage_beside()) {
    // With no earlier file, what cannot be made beside it cannot be made
    // under its own name either.
    if (!exists_ || !stage_privately()) return;
  }
  set_unfinished(stage_path_.c_str(), stage_folder_.empty() ? nullptr : stage_folder_.c_str());
  writer_.reset(::dup(stage_.get()));
}

// target_: the file the copy replaces or creates, at the end of any chain
// of symbolic links; exists_ and existing_ describe it.
bool LocalFile::find_target() {
  std::string path = path_;
  for (int hops = 0; hops < 40; ++hops) {
    if (::lstat(path.c_str(), &existing_) != 0) {
      if (errno != ENOENT) return false;
      target_ = std::move(path);
      return check_target();
    }
    if (!S_ISLNK(existing_.st_mode)) {
      exists_ = true;
      target_ = std::move(path);
      return check_target();
    }
    std::string names(static_cast<size_t>(existing_.st_size) + 1, '\0');
    const ssize_t length = ::readlink(path.c_str(), names.data(), names.size());
    if (length < 0) return false;
    names.resize(static_cast<size_t>(length));
    if (names.starts_with('/')) {
      path = std::move(names);
    } else {
      path = folder_of(path);
      path += '/';
      path += names;
    }
  }
  errno = ELOOP;
  return false;
}

// Some links do not name what they lead to: /proc/self/fd/N of an unnamed
// or deleted file reads as "/memfd:... (deleted)", say. Following their
// text would create a stray file, so when the text's file is not the one
// the path reaches, the path itself is the target, and the finished bytes
// are written through it in place.
bool LocalFile::check_target() {
  struct stat reached {};
  const bool reaches = ::stat(path_, &reached) == 0;
  const bool same =
      exists_ ? reaches && reached.st_dev == existing_.st_dev && reached.st_ino == existing_.st_ino
              : !reaches;
  if (same) return true;
  if (!reaches) return false;  // errno from stat
  target_ = path_;
  existing_ = reached;
  exists_ = true;
  only_in_place_ = true;
  return true;
}

// A stage beside the target, given the mode and owner the destination
// would have; rename_ says whether the rename may replace it.
bool LocalFile::stage_beside() {
  std::string name = folder_of(target_) + "/.afclink-XXXXXX";
  stage_.reset(mkostemp(name.data(), O_CLOEXEC));
  if (!stage_) return false;
  stage_path_ = std::move(name);
  if (!exists_) {
    const mode_t mask = umask(0);
    umask(mask);
    rename_ = ::fchmod(stage_.get(), 0666 & ~mask) == 0;
  } else {
    rename_ = !only_in_place_ && existing_.st_nlink == 1 && keeps_owner() &&
              ::fchmod(stage_.get(), existing_.st_mode & 07777) == 0;
  }
  return true;
}

// Only the owner's own groups, or root, may give a file away.
bool LocalFile::keeps_owner() const noexcept {
  struct stat staged {};
  if (::fstat(stage_.get(), &staged) != 0) return false;
  if (staged.st_uid == existing_.st_uid && staged.st_gid == existing_.st_gid) return true;
  return ::fchown(stage_.get(), existing_.st_uid, existing_.st_gid) == 0;
}

// A stage in a private folder under TMPDIR (or /tmp); false, with the errno
// of the attempt beside the target, when none can be made there either.
bool LocalFile::stage_privately() {
  const int beside = errno;
  const char* temporary = std::getenv("TMPDIR");
  std::string folder = std::string(temporary && *temporary ? temporary : "/tmp");
  folder += "/afclink-XXXXXX";
  if (!mkdtemp(folder.data())) {
    errno = beside;
    return false;
  }
  stage_folder_ = std::move(folder);
  stage_path_ = stage_folder_ + "/copy";
  stage_.reset(::open(stage_path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (stage_) return true;
  stage_path_.clear();
  errno = beside;
  return false;
}

int LocalFile::put_in_place() noexcept {
  if (rename_ && std::rename(stage_path_.c_str(), target_.c_str()) == 0) {
    clear_unfinished();
    stage_path_.clear();
    return sync_folder() ? 0 : not_replaced(errno);
  }
  // A rename refused (a sticky folder, a bind mount) is no failure: the
  // bytes can still be written in place.
  if (!destination_) return not_replaced(errno);
  hold_signals();
  const int result = write_in_place();
  release_signals();
  return result;
}

bool LocalFile::sync_folder() const noexcept {
  const std::string folder = folder_of(target_);
  const UniqueFd fd(
      ::open(folder.empty() ? "/" : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return true;  // a folder we may not read: nothing to sync through
  return ::fsync(fd.get()) == 0 || errno == EINVAL || errno == EROFS;
}

// Copies the stage over the destination's bytes. Room for them is reserved
// first, so a disk that cannot hold the copy refuses it before a byte of
// the earlier file has changed.
int LocalFile::write_in_place() noexcept {
  struct stat staged {};
  if (::fstat(stage_.get(), &staged) != 0) return not_replaced(errno);
  const off_t size = staged.st_size;
  if (!block_ && !make_block()) return not_replaced(ENOMEM);
  if (size > 0 && ::fallocate(destination_.get(), FALLOC_FL_KEEP_SIZE, 0, size) != 0 &&
      errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL)
    return not_replaced(errno);
  for (off_t done = 0; done < size;) {
    const ssize_t got = ::pread(stage_.get(), block_.get(), kBlock, done);
    if (got <= 0) return damaged(got < 0 ? errno : EIO);
    for (ssize_t put = 0; put < got;) {
      const ssize_t wrote = ::pwrite(destination_.get(), block_.get() + put,
                                     static_cast<size_t>(got - put), done + put);
      if (wrote < 0) return damaged(errno);
      put += wrote;
    }
    done += got;
  }
  if (::ftruncate(destination_.get(), size) != 0 || ::fsync(destination_.get()) != 0)
    return damaged(errno);
  return 0;
}

// The earlier file is as it was (or, after a rename, the new one is there
// but its folder unsynced): -1, with the one message for that.
int LocalFile::not_replaced(int error) noexcept {
  mdv_add_err(link_, "Couldn't replace file %s: %s", path_, std::strerror(error));
  return -1;
}

int LocalFile::damaged(int error) noexcept {
  mdv_add_err(link_, "Couldn't write file %s in place: %s. The earlier file there may be damaged.",
              path_, std::strerror(error));
  return -1;
}
