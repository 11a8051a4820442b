// Retrieval: copying a device file into a local file, byte for byte or as a
// header followed by an inflated zlib stream, and the getFile and getDB
// commands built on those copies.
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "main/commands.h"
#include "membuf/alloc.h"
#include "platform/owners.h"

namespace {

constexpr int32_t kPiece = 8192;
constexpr size_t kLocalBlock = size_t{64} * 1024;
constexpr const char* kCompressedDB = "/iTunes_Control/iTunes/iTunesCDB";
constexpr const char* kPlainDB = "/iTunes_Control/iTunes/iTunesDB";
constexpr int32_t kDBHeaderLength = 188;

// A working buffer from the buffer module's allocation hook, so that tests
// can make it fail.
struct PieceFree {
  void operator()(unsigned char* piece) const noexcept { membuf_internal::mb_dealloc(piece); }
};
using Piece = std::unique_ptr<unsigned char[], PieceFree>;

Piece new_piece() noexcept {
  return Piece(static_cast<unsigned char*>(membuf_internal::mb_malloc(kPiece)));
}

// The local destination. The copy is written to a new file beside it,
// which takes the destination's name only once it is complete and closed,
// so a copy that fails half-way leaves an earlier file there as it was. A
// destination that is not a regular file (a FIFO, /dev/null) is written
// directly, and so is one beside which no file can be made. close()
// reports what fclose says, because a write that fails only when the
// buffers are flushed (a full disk) shows there.
class LocalFile {
 public:
  LocalFile(DeviceLink* link, const char* path) noexcept : link_(link), path_(path) {
    open_beside();
    if (!file_) file_ = std::fopen(path, "w");
    if (!file_) {
      mdv_add_err(link_, "Can't open destination file %s: %s", path_, std::strerror(errno));
      return;
    }
    // Pieces still go to stdio one by one, but leave in 64 KiB blocks: with
    // stdio's default block (half a piece) the system calls, not the
    // copying or the inflating, set the pace.
    (void)std::setvbuf(file_, buffer_, _IOFBF, sizeof buffer_);
  }
  ~LocalFile() {
    if (!file_) return;
    std::fclose(file_);
    discard_beside();
  }
  LocalFile(const LocalFile&) = delete;
  LocalFile& operator=(const LocalFile&) = delete;

  explicit operator bool() const noexcept { return file_ != nullptr; }

  // Writes the bytes with one fwrite; false, with a message, when fewer go.
  [[nodiscard]] bool write(const unsigned char* bytes, size_t count) noexcept {
    if (std::fwrite(bytes, 1, count, file_) == count) return true;
    mdv_add_err(link_, "Couldn't write %d bytes to file %s: %s", static_cast<int>(count), path_,
                std::strerror(errno));
    return false;
  }
  [[nodiscard]] bool write_header(const unsigned char* bytes, size_t count) noexcept {
    if (std::fwrite(bytes, 1, count, file_) == count) return true;
    mdv_add_err(link_, "Couldn't write header to file %s", path_);
    return false;
  }

  // Closes the file and, when the copy is good (`result` not negative),
  // puts it in the destination's place: `result` unchanged, or, when the
  // close or the replacement fails, a message and a failure (an earlier
  // failure's own code is kept). A failed copy's file is removed.
  [[nodiscard]] int close(int result) noexcept {
    if (!file_) return result;
    FILE* file = file_;
    file_ = nullptr;
    if (std::fclose(file) != 0) {
      mdv_add_err(link_, "Couldn't close file %s: %s", path_, std::strerror(errno));
      result = result < 0 ? result : -1;
    }
    if (beside_.empty()) return result;
    if (result >= 0 && std::rename(beside_.c_str(), target_.c_str()) != 0) {
      mdv_add_err(link_, "Couldn't replace file %s: %s", path_, std::strerror(errno));
      result = -1;
    }
    if (result < 0) discard_beside();
    return result;
  }

 private:
  // Makes the new file beside the destination (beside the file a symbolic
  // link names, so the link stays), with the destination's permissions, or
  // those a new file would get. Leaves file_ null when it cannot.
  void open_beside() noexcept {
    struct stat existing {};
    const bool exists = ::stat(path_, &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) return;
    try {
      target_ = path_;
      if (exists) {
        const MallocPtr<char> real(realpath(path_, nullptr));
        if (!real) return;
        target_ = real.get();
      }
      std::string name = target_ + ".afclink-XXXXXX";
      const int fd = mkstemp(name.data());
      if (fd < 0) return;
      beside_ = std::move(name);
      mode_t mode = existing.st_mode & 07777;
      if (!exists) {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
      } else if (fchown(fd, existing.st_uid, existing.st_gid) != 0) {
        // Only the owner may give a file away; as anyone else, ours it is.
      }
      (void)fchmod(fd, mode);
      file_ = fdopen(fd, "w");
      if (!file_) {
        ::close(fd);
        discard_beside();
      }
    } catch (...) {
      discard_beside();  // out of memory: write directly
    }
  }
  void discard_beside() noexcept {
    if (beside_.empty()) return;
    (void)std::remove(beside_.c_str());
    beside_.clear();
  }

  DeviceLink* link_;
  const char* path_;
  FILE* file_ = nullptr;
  std::string target_;        // the file the copy replaces
  std::string beside_;        // the new file, while it exists
  char buffer_[kLocalBlock];  // stdio's, so it must outlive fclose
};

// A z_stream set up for inflation; ended exactly once, whatever the exit.
class InflateStream {
 public:
  InflateStream() noexcept {
    // inflateInit's own expansion, with the version the format was made for.
    ok_ = inflateInit_(&stream_, "1.2.5", static_cast<int>(sizeof(z_stream))) == Z_OK;
  }
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

int copy_plain(DeviceLink* link, DeviceFile* device, LocalFile& local) noexcept {
  Piece piece = new_piece();
  if (!piece) {
    mdv_add_err(link, "Out of memory.");
    return -1;
  }
  for (;;) {
    const int32_t got = mdv_file_read(device, piece.get(), kPiece);
    if (got < 0) return -1;  // a truncated copy is no copy; the read said why
    if (got == 0) return 0;
    if (!local.write(piece.get(), static_cast<size_t>(got))) return -1;
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

int inflate_body(DeviceLink* link, DeviceFile* device, LocalFile& local, unsigned char* in,
                 unsigned char* out) noexcept {
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
      stream->next_out = out;
      stream->avail_out = kPiece;
      status = inflate(stream.get(), Z_NO_FLUSH);
      if (status == Z_NEED_DICT) status = Z_DATA_ERROR;
      if (status == Z_STREAM_ERROR || status == Z_DATA_ERROR || status == Z_MEM_ERROR) {
        mdv_add_err(link, "Decompression failed for file %s. Code %d", device->file_path, status);
        return status;
      }
      if (!local.write(out, kPiece - stream->avail_out)) return -1;
    } while (stream->avail_out == 0);
    // Anything after the end of the stream is not copied. But a link that
    // died inside the last reply is reported by the device library as a
    // whole reply, so only one more answered read shows the bytes were real.
    if (status == Z_STREAM_END) return mdv_file_read(device, in, kPiece) < 0 ? -1 : 0;
  }
}

int copy_compressed(DeviceLink* link, DeviceFile* device, LocalFile& local,
                    int32_t header_length) noexcept {
  Piece in = new_piece();
  Piece out = in ? new_piece() : Piece();
  if (!out) {
    mdv_add_err(link, "Out of memory.");
    return -1;
  }
  const int32_t length = read_header(link, device, in.get(), header_length);
  if (length < 0) return -1;
  if (!local.write_header(in.get(), static_cast<size_t>(length))) return -1;
  return inflate_body(link, device, local, in.get(), out.get());
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
  return local.close(copy_plain(link, device.get(), local));
}

int get_compressed_file(DeviceLink* link, const char* device_path, const char* local_path,
                        int32_t header_length) noexcept {
  // The header is read into one input piece; a negative one means nothing.
  if (header_length > kPiece || header_length < 0) return -1;
  DeviceFilePtr device(mdv_file_open(link, device_path, 'r'));
  if (!device) return -1;
  LocalFile local(link, local_path);
  if (!local) return -1;
  return local.close(copy_compressed(link, device.get(), local, header_length));
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
