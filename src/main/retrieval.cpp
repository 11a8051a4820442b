// Retrieval: copying a device file into a local file, byte for byte or as a
// header followed by an inflated zlib stream, and the getFile and getDB
// commands built on those copies.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "main/commands.h"
#include "membuf/alloc.h"
#include "platform/owners.h"

namespace {

constexpr int32_t kPiece = 8192;
// Pieces are gathered into blocks of this size before they are written, so
// a copy makes one system call per MiB, not one per piece. The first block
// is smaller, so a disk that is full from the start refuses a piece, not
// the close, in every copy of more than 64 KiB.
constexpr size_t kLocalBlock = size_t{1} << 20;
constexpr size_t kFirstLocalBlock = size_t{64} << 10;
static_assert(kLocalBlock % kPiece == 0 && kFirstLocalBlock % kPiece == 0);
// A stage is synced in the background once this much of it is written: a
// smaller copy costs less to sync at its end than a thread.
constexpr off_t kSyncInBackgroundFrom = off_t{1} << 20;
constexpr const char* kCompressedDB = "/iTunes_Control/iTunes/iTunesCDB";
constexpr const char* kPlainDB = "/iTunes_Control/iTunes/iTunesDB";
constexpr int32_t kDBHeaderLength = 188;

// A working buffer from the buffer module's allocation hook, so that tests
// can make it fail.
struct BufferFree {
  void operator()(unsigned char* bytes) const noexcept { membuf_internal::mb_dealloc(bytes); }
};
using Buffer = std::unique_ptr<unsigned char[], BufferFree>;

Buffer new_buffer(size_t size) noexcept {
  return Buffer(static_cast<unsigned char*>(membuf_internal::mb_malloc(size)));
}

// Syncs a file to disk on a thread of its own while the copy goes on: each
// time new bytes are in the file and the last sync is done, another. A sync
// waits for the disk to flush what reached it since the sync before
// (measured: about 1.2 ms per MiB here), so keeping up leaves the sync
// before the "ok" only the last block or two, and neither the copy nor the
// device's next request waits for the ones before. A slower disk simply
// gets fewer, larger syncs. The first failure is kept: the system reports
// a writeback error only once, so the final sync would not see it.
class BackgroundSync {
 public:
  BackgroundSync() = default;
  BackgroundSync(const BackgroundSync&) = delete;
  BackgroundSync& operator=(const BackgroundSync&) = delete;
  ~BackgroundSync() { (void)finish(); }

  // Starts syncing `fd`; false when no thread can be had.
  bool start(int fd) noexcept {
    fd_ = fd;
    try {
      thread_ = std::thread([this] { run(); });
    } catch (...) {
      return false;
    }
    return true;
  }
  [[nodiscard]] bool running() const noexcept { return thread_.joinable(); }

  // More bytes are in the file.
  void wrote() noexcept {
    {
      std::lock_guard lock(mutex_);
      unsynced_ = true;
    }
    changed_.notify_one();
  }

  // Stops syncing once the sync under way, if any, is done; the errno of
  // the first failed sync, or 0. The bytes written since are not synced.
  int finish() noexcept {
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

 private:
  void run() noexcept {
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

  int fd_ = -1;
  std::thread thread_;
  std::mutex mutex_;  // guards the three below
  std::condition_variable changed_;
  bool unsynced_ = false;
  bool stop_ = false;
  int error_ = 0;
};

// The local destination. A copy to a regular file (or to a name not yet
// taken) is staged: its bytes go to a file of its own, and the destination
// is touched only once the device file is complete and closed, so a copy
// that fails leaves an earlier file there as it was. The stage sits beside
// the destination under a short name (.afclink-XXXXXX), so a long
// destination name still fits; where nothing can be made beside it, in a
// private folder of its own under TMPDIR (or /tmp). Then:
//  - when renaming gives exactly what writing in place would (a regular
//    file with one link, whose mode and owner the stage now has), the stage
//    is synced to disk and takes the name, and the folder is synced;
//  - otherwise (hard links, another owner, a refused rename: sticky
//    folders, bind mounts; a folder that cannot be written) the finished
//    bytes are written into the destination in place and synced. Only a
//    local disk failure in that last step can damage the earlier file, and
//    the error says so.
// A symbolic link is followed, to the end of a chain, and stays; the file
// it names is the one replaced, or created when the link dangles. A
// destination that is not a regular file (a FIFO, /dev/null) is written
// directly.
//
// The copy's pieces are placed straight into the file's block (room(), then
// wrote()), which goes to the file whenever it cannot take another piece.
// A piece whose write fails is reported with its own byte count; close()
// reports what the last block and the last steps say, because a write that
// fails only then (a full disk) shows there.
class LocalFile {
 public:
  LocalFile(DeviceLink* link, const char* path) noexcept : link_(link), path_(path) {
    struct stat existing {};
    if (::stat(path, &existing) == 0 && !S_ISREG(existing.st_mode)) {
      open_directly();
    } else {
      try {
        open_staged();
      } catch (...) {
        errno = ENOMEM;
      }
      if (writer_ < 0) {
        const int why = errno;
        discard_stage();
        errno = why;
      }
    }
    if (writer_ < 0)
      mdv_add_err(link_, "Can't open destination file %s: %s", path_, std::strerror(errno));
  }
  ~LocalFile() {
    if (writer_ >= 0) ::close(writer_);
    discard_stage();
    if (destination_ >= 0) ::close(destination_);
  }
  LocalFile(const LocalFile&) = delete;
  LocalFile& operator=(const LocalFile&) = delete;

  explicit operator bool() const noexcept { return writer_ >= 0; }

  // Makes the block the copy's pieces go into: false when there is no
  // memory for it (the caller says so).
  [[nodiscard]] bool make_block() noexcept {
    block_ = new_buffer(kLocalBlock);
    return block_ != nullptr;
  }
  // Where the next piece goes: room for kPiece bytes.
  [[nodiscard]] unsigned char* room() noexcept { return block_.get() + filled_; }
  // Takes the `count` bytes just placed at room(); false, with a message
  // that gives that count, when they cannot be written.
  [[nodiscard]] bool wrote(size_t count) noexcept {
    if (take(count)) return true;
    mdv_add_err(link_, "Couldn't write %d bytes to file %s: %s", static_cast<int>(count), path_,
                std::strerror(errno));
    return false;
  }
  // The header, up to kPiece bytes, placed and taken like a piece.
  [[nodiscard]] bool write_header(const unsigned char* bytes, size_t count) noexcept {
    std::memcpy(room(), bytes, count);
    if (take(count)) return true;
    mdv_add_err(link_, "Couldn't write header to file %s", path_);
    return false;
  }

  // Ends the copy: closes the local file, then the device file, and, when
  // the copy is good (`result` not negative), puts it in the destination's
  // place. `result` unchanged, or a message and a failure (an earlier
  // failure's own code is kept). A failed copy's stage is removed.
  [[nodiscard]] int close(int result, DeviceFilePtr& device) noexcept {
    if (writer_ < 0) {
      device.reset();
      return result;
    }
    const bool staged = stage_ >= 0;
    // A failed write has been reported already, and its block dropped. A
    // failed copy's stage is removed unread, so its last block is not
    // written: a disk refusing it would only add a second reason.
    bool written = write_failed_ || (staged && result < 0) || send_block();
    int why = errno;
    const int writer = std::exchange(writer_, -1);
    // The stage is synced before it takes the name, or an "ok" copy could
    // be empty after a power cut; written in place, it is read back instead.
    if (written && staged && result >= 0 && rename_) {
      const int sync_error = syncer_.finish();
      if (sync_error != 0) {
        written = false;
        why = sync_error;
      } else if (::fsync(stage_) != 0) {
        written = false;
        why = errno;
      }
    }
    if (::close(writer) != 0 && written) {
      written = false;
      why = errno;
    }
    if (!written) {
      mdv_add_err(link_, "Couldn't close file %s: %s", path_, std::strerror(why));
      result = result < 0 ? result : -1;
    }
    device.reset();
    if (staged && result >= 0) result = put_in_place();
    discard_stage();
    return result;
  }

 private:
  void open_directly() noexcept {
    writer_ = ::open(path_, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
  }

  // Counts `count` more bytes in the block, and writes the block out when
  // it cannot take another piece; false, with errno, when that fails.
  bool take(size_t count) noexcept {
    filled_ += count;
    const size_t block = written_any_ ? kLocalBlock : kFirstLocalBlock;
    return block - filled_ >= kPiece || send_block();
  }

  // Writes the block out whole, however many calls that takes; false, with
  // errno, when the file refuses it. Either way the block is empty after.
  bool send_block() noexcept {
    const size_t count = std::exchange(filled_, 0);
    for (size_t sent = 0; sent < count;) {
      const ssize_t wrote = ::write(writer_, block_.get() + sent, count - sent);
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
  // background as the copy goes (left to the end, the sync waited for the
  // whole file: 40 to 60 ms after a 2 s copy of 64 MiB, mostly the disk
  // flushing its own cache). Without a thread it is simply synced at the
  // end.
  void sync_as_it_goes(size_t count) noexcept {
    if (stage_ < 0 || !rename_) return;
    written_ += static_cast<off_t>(count);
    if (syncer_.running()) {
      syncer_.wrote();
    } else if (written_ >= kSyncInBackgroundFrom && !syncer_tried_) {
      syncer_tried_ = true;
      if (syncer_.start(stage_)) syncer_.wrote();
    }
  }

  // Makes the stage and opens an existing destination for writing, which
  // both checks that it may be written, as writing in place would, and
  // holds it for the last step. Leaves file_ null, with errno, when it
  // cannot.
  void open_staged() {
    if (!find_target()) return;
    if (exists_) {
      destination_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
      if (destination_ < 0) return;
    }
    if (!stage_beside()) {
      // With no earlier file, what cannot be made beside it cannot be made
      // under its own name either.
      if (!exists_ || !stage_privately()) return;
    }
    set_unfinished(stage_path_.c_str(), stage_folder_.empty() ? nullptr : stage_folder_.c_str());
    writer_ = ::dup(stage_);
  }

  // target_: the file the copy replaces or creates, at the end of any chain
  // of symbolic links; exists_ and existing_ describe it.
  bool find_target() {
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

  static std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string() : path.substr(0, slash);
  }

  // Some links do not name what they lead to: /proc/self/fd/N of an
  // unnamed or deleted file reads as "/memfd:... (deleted)", say. Following
  // their text would create a stray file, so when the text's file is not the
  // one the path reaches, the path itself is the target, and the finished
  // bytes are written through it in place.
  bool check_target() {
    struct stat reached {};
    const bool reaches = ::stat(path_, &reached) == 0;
    const bool same = exists_ ? reaches && reached.st_dev == existing_.st_dev &&
                                    reached.st_ino == existing_.st_ino
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
  bool stage_beside() {
    std::string name = folder_of(target_) + "/.afclink-XXXXXX";
    stage_ = mkostemp(name.data(), O_CLOEXEC);
    if (stage_ < 0) return false;
    stage_path_ = std::move(name);
    if (!exists_) {
      const mode_t mask = umask(0);
      umask(mask);
      rename_ = ::fchmod(stage_, 0666 & ~mask) == 0;
    } else {
      rename_ = !only_in_place_ && existing_.st_nlink == 1 && keeps_owner() &&
                ::fchmod(stage_, existing_.st_mode & 07777) == 0;
    }
    return true;
  }
  // Only the owner's own groups, or root, may give a file away.
  bool keeps_owner() const noexcept {
    struct stat staged {};
    if (::fstat(stage_, &staged) != 0) return false;
    if (staged.st_uid == existing_.st_uid && staged.st_gid == existing_.st_gid) return true;
    return ::fchown(stage_, existing_.st_uid, existing_.st_gid) == 0;
  }

  bool stage_privately() {
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
    stage_ = ::open(stage_path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (stage_ >= 0) return true;
    stage_path_.clear();
    errno = beside;
    return false;
  }

  int put_in_place() noexcept {
    if (rename_ && std::rename(stage_path_.c_str(), target_.c_str()) == 0) {
      clear_unfinished();
      stage_path_.clear();
      if (sync_folder()) return 0;
      mdv_add_err(link_, "Couldn't replace file %s: %s", path_, std::strerror(errno));
      return -1;
    }
    // A rename refused (a sticky folder, a bind mount) is no failure: the
    // bytes can still be written in place.
    if (destination_ < 0) {
      mdv_add_err(link_, "Couldn't replace file %s: %s", path_, std::strerror(errno));
      return -1;
    }
    hold_signals();
    const int result = write_in_place();
    release_signals();
    return result;
  }

  bool sync_folder() const noexcept {
    const std::string folder = folder_of(target_);
    const int fd =
        ::open(folder.empty() ? "/" : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return true;  // a folder we may not read: nothing to sync through
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
    const int why = errno;
    ::close(fd);
    errno = why;
    return synced;
  }

  // Copies the stage over the destination's bytes. Room for them is
  // reserved first, so a disk that cannot hold the copy refuses it before
  // a byte of the earlier file has changed.
  int write_in_place() noexcept {
    struct stat staged {};
    if (::fstat(stage_, &staged) != 0) {
      mdv_add_err(link_, "Couldn't replace file %s: %s", path_, std::strerror(errno));
      return -1;
    }
    const off_t size = staged.st_size;
    if (!block_ && !make_block()) {
      mdv_add_err(link_, "Couldn't replace file %s: %s", path_, std::strerror(ENOMEM));
      return -1;
    }
    if (size > 0 && ::fallocate(destination_, FALLOC_FL_KEEP_SIZE, 0, size) != 0 &&
        errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL) {
      mdv_add_err(link_, "Couldn't replace file %s: %s", path_, std::strerror(errno));
      return -1;
    }
    for (off_t done = 0; done < size;) {
      const ssize_t got = ::pread(stage_, block_.get(), kLocalBlock, done);
      if (got <= 0) return damaged(got < 0 ? errno : EIO);
      for (ssize_t put = 0; put < got;) {
        const ssize_t wrote =
            ::pwrite(destination_, block_.get() + put, static_cast<size_t>(got - put), done + put);
        if (wrote < 0) return damaged(errno);
        put += wrote;
      }
      done += got;
    }
    if (::ftruncate(destination_, size) != 0 || ::fsync(destination_) != 0) return damaged(errno);
    return 0;
  }
  int damaged(int error) noexcept {
    mdv_add_err(link_,
                "Couldn't write file %s in place: %s. The earlier file there may be damaged.",
                path_, std::strerror(error));
    return -1;
  }

  void discard_stage() noexcept {
    (void)syncer_.finish();  // before the file it syncs is closed
    if (stage_ >= 0) {
      ::close(stage_);
      stage_ = -1;
    }
    if (stage_path_.empty() && stage_folder_.empty()) return;
    if (!stage_path_.empty()) (void)::unlink(stage_path_.c_str());
    if (!stage_folder_.empty()) (void)::rmdir(stage_folder_.c_str());
    clear_unfinished();
    stage_path_.clear();
    stage_folder_.clear();
  }

  DeviceLink* link_;
  const char* path_;
  int writer_ = -1;            // where the copy's bytes go
  Buffer block_;               // the pieces not yet written
  size_t filled_ = 0;          // bytes in block_
  bool written_any_ = false;   // a first block has gone
  bool write_failed_ = false;  // a block was refused (and reported)
  std::string target_;         // the regular file replaced or created
  struct stat existing_ {};    // the target, when exists_
  bool exists_ = false;
  int destination_ = -1;        // the existing target, open for writing
  int stage_ = -1;              // the stage, read back for a copy in place
  std::string stage_path_;      // the stage, while it exists
  std::string stage_folder_;    // the private folder holding it, if any
  bool rename_ = false;         // the stage may take the target's name
  bool only_in_place_ = false;  // reached through a link that names nothing
  off_t written_ = 0;           // bytes written to the stage
  BackgroundSync syncer_;       // syncs the stage while it is written
  bool syncer_tried_ = false;
};

// A z_stream set up for inflation; ended exactly once, whatever the exit.
class InflateStream {
 public:
  InflateStream() noexcept { ok_ = inflateInit(&stream_) == Z_OK; }
  ~InflateStream() {
    if (ok_) inflateEnd(&stream_);
  }
  InflateStream(const InflateStream&) = delete;
  InflateStream& operator=(const InflateStream&) = delete;

  explicit operator bool() const noexcept { return ok_; }
  z_stream* operator->() noexcept { return &stream_; }
  z_stream* get() noexcept { return &stream_; }

 private:
  z_stream stream_{};  // zalloc, zfree, opaque null: the default allocator
  bool ok_ = false;
};

// The device's bytes are read straight into the local file's block.
int copy_plain(DeviceLink* link, DeviceFile* device, LocalFile& local) noexcept {
  if (!local.make_block()) {
    mdv_add_err(link, "Out of memory.");
    return -1;
  }
  for (;;) {
    const int32_t got = mdv_file_read(device, local.room(), kPiece);
    if (got < 0) return -1;  // a truncated copy is no copy; the read said why
    if (got == 0) return 0;
    if (!local.wrote(static_cast<size_t>(got))) return -1;
  }
}

uint32_t little_endian32(const unsigned char* bytes) noexcept {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Reads `count` bytes, over as many device reads as the device's replies
// take: the count read, less only at the end of the file, or -1.
int32_t read_whole(DeviceFile* device, unsigned char* into, int32_t count) noexcept {
  int32_t done = 0;
  while (done < count) {
    const int32_t got = mdv_file_read(device, into + done, count - done);
    if (got < 0) return -1;
    if (got == 0) break;
    done += got;
  }
  return done;
}

// Reads the header into `in`: `asked` bytes, and when those announce a
// longer music-database header ("mhbd" and its own length at offset 4, up to
// the buffer's size), the rest of it too. The header's length, or -1 with a
// message.
int32_t read_header(DeviceLink* link, DeviceFile* device, unsigned char* in,
                    int32_t asked) noexcept {
  int32_t length = asked;
  bool whole = read_whole(device, in, asked) == asked;
  if (whole && asked >= 8 && std::memcmp(in, "mhbd", 4) == 0) {
    const uint32_t own = little_endian32(in + 4);
    if (own > static_cast<uint32_t>(asked) && own <= static_cast<uint32_t>(kPiece)) {
      length = static_cast<int32_t>(own);
      whole = read_whole(device, in + asked, length - asked) == length - asked;
    }
  }
  if (whole) return length;
  mdv_add_err(link, "Couldn't read header from file %s", device->file_path);
  return -1;
}

// Inflates into the local file's block, a piece at a time.
int inflate_body(DeviceLink* link, DeviceFile* device, LocalFile& local,
                 unsigned char* in) noexcept {
  InflateStream stream;
  if (!stream) {
    mdv_add_err(link, "Couldn't initialize zlib inflate.");
    return -1;
  }
  for (;;) {
    const int32_t got = mdv_file_read(device, in, kPiece);
    if (got < 0) return -1;
    // Input ended with the stream unfinished: zlib could make no progress
    // and every further read would yield nothing again.
    if (got == 0) {
      mdv_add_err(link, "Unexpected end of file %s.", device->file_path);
      return -1;
    }
    stream->next_in = in;
    stream->avail_in = static_cast<uInt>(got);
    int status = Z_OK;
    do {
      stream->next_out = local.room();
      stream->avail_out = kPiece;
      status = inflate(stream.get(), Z_NO_FLUSH);
      if (status == Z_NEED_DICT) status = Z_DATA_ERROR;
      if (status == Z_STREAM_ERROR || status == Z_DATA_ERROR || status == Z_MEM_ERROR) {
        mdv_add_err(link, "Decompression failed for file %s. Code %d", device->file_path, status);
        return status;
      }
      if (!local.wrote(kPiece - stream->avail_out)) return -1;
    } while (stream->avail_out == 0);
    // Anything after the end of the stream is not copied. But a link that
    // died inside the last reply is reported by the device library as a
    // whole reply, so only one more answered read shows the bytes were real.
    if (status == Z_STREAM_END) return mdv_file_read(device, in, kPiece) < 0 ? -1 : 0;
  }
}

int copy_compressed(DeviceLink* link, DeviceFile* device, LocalFile& local,
                    int32_t header_length) noexcept {
  Buffer in = new_buffer(kPiece);
  if (!in || !local.make_block()) {
    mdv_add_err(link, "Out of memory.");
    return -1;
  }
  const int32_t length = read_header(link, device, in.get(), header_length);
  if (length < 0) return -1;
  if (!local.write_header(in.get(), static_cast<size_t>(length))) return -1;
  return inflate_body(link, device, local, in.get());
}

// The error text for a reply, "unknown" when nothing was said.
void reply_error(DeviceLink* link) noexcept {
  const MemBuf* text = link->err_text;
  if (text && text->length > 0)
    ui_eprintf("Error: %.*s\n", static_cast<int>(text->length), text->storage);
  else
    ui_eprintf("Error: %s\n", "unknown");
}

}  // namespace

int get_file(DeviceLink* link, const char* device_path, const char* local_path) noexcept {
  DeviceFilePtr device(mdv_file_open(link, device_path, 'r'));
  if (!device) return -1;
  LocalFile local(link, local_path);
  if (!local) return -1;
  return local.close(copy_plain(link, device.get(), local), device);
}

int get_compressed_file(DeviceLink* link, const char* device_path, const char* local_path,
                        int32_t header_length) noexcept {
  // The header is read into one input piece; a negative one means nothing.
  if (header_length > kPiece || header_length < 0) return -1;
  DeviceFilePtr device(mdv_file_open(link, device_path, 'r'));
  if (!device) return -1;
  LocalFile local(link, local_path);
  if (!local) return -1;
  return local.close(copy_compressed(link, device.get(), local, header_length), device);
}

int getFile(DeviceLink* link, Command* command) noexcept {
  if (cmd_count(command) != 3) {
    ui_eprintf(
        "Usage: getFile \"fully qualified source file path\" "
        "\"fully qualified destination file path\"\n");
    return -1;
  }
  if (get_file(link, cmd_word(command, 1), cmd_word(command, 2)) >= 0)
    ok();
  else
    reply_error(link);
  return 0;
}

int getDB(DeviceLink* link, Command* command) noexcept {
  if (cmd_count(command) != 2) {
    ui_eprintf("Usage: getDB \"fully qualified destination file path\"\n");
    return -1;
  }
  const char* destination = cmd_word(command, 1);
  if (get_compressed_file(link, kCompressedDB, destination, kDBHeaderLength) >= 0) {
    ok();
    return 0;
  }
  // The plain database stands in; why the compressed one failed is dropped.
  link->err_text->length = 0;
  const int result = get_file(link, kPlainDB, destination);
  if (result >= 0) {
    ok();
    return 0;
  }
  reply_error(link);
  return result;
}
