// Retrieval: copying a device file into a local file, byte for byte or as a
// header followed by an inflated zlib stream, and the getFile and getDB
// commands built on those copies. The local file's side, the stage and how
// it takes the destination's place, is localfile/LocalFile.h.
#include <zlib.h>

#include <cstdint>
#include <cstring>

#include "library/Library.h"
#include "localfile/Buffer.h"
#include "localfile/LocalFile.h"
#include "main/retrieval.h"

namespace {

constexpr int32_t kPiece = LocalFile::kPiece;
constexpr const char* kCompressedDB = "/iTunes_Control/iTunes/iTunesCDB";
constexpr const char* kPlainDB = "/iTunes_Control/iTunes/iTunesDB";
constexpr int32_t kDBHeaderLength = 188;

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

// Ends a copy in the order the destination's promise needs: the local
// file's last bytes written and synced, then the device file closed by its
// own owner, and only then the destination touched. A refused device close
// is reported and changes no result: a copy read to the device file's end
// is complete.
int end_copy(DeviceFilePtr& device, LocalFile& local, int copied) noexcept {
  const int written = local.finish(copied);
  device.reset();
  return local.close(written);
}

// A phone of iOS 5 or later has neither database, but its library: the
// reply then says which command fetches it.
void name_the_library_if_modern(DeviceLink* link) noexcept {
  AFCFileInfo info{};
  if (!mdv_is_connected(link) || mdv_file_info(link, kCompressedDB, &info) != 1 ||
      mdv_file_info(link, kPlainDB, &info) != 1 || mdv_file_info(link, kLibraryPath, &info) != 0)
    return;
  mdv_add_err(link, "This phone keeps its music library in %s: fetch it with getLibrary.",
              kLibraryPath);
}

}  // namespace

void reply_error(DeviceLink* link) noexcept {
  const MemBuf* text = link->err_text;
  if (text && text->length > 0)
    ui_eprintf("Error: %.*s\n", static_cast<int>(text->length), text->storage);
  else
    ui_eprintf("Error: %s\n", "unknown");
}

int get_file(DeviceLink* link, const char* device_path, const char* local_path) noexcept {
  DeviceFilePtr device(mdv_file_open(link, device_path, 'r'));
  if (!device) return -1;
  LocalFile local(link, local_path);
  if (!local) return -1;
  return end_copy(device, local, copy_plain(link, device.get(), local));
}

int get_compressed_file(DeviceLink* link, const char* device_path, const char* local_path,
                        int32_t header_length) noexcept {
  // The header is read into one input piece; a negative one means nothing.
  if (header_length > kPiece || header_length < 0) return -1;
  DeviceFilePtr device(mdv_file_open(link, device_path, 'r'));
  if (!device) return -1;
  LocalFile local(link, local_path);
  if (!local) return -1;
  return end_copy(device, local, copy_compressed(link, device.get(), local, header_length));
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
  name_the_library_if_modern(link);
  reply_error(link);
  return result;
}

int getLibrary(DeviceLink* link, Command* command) noexcept {
  if (cmd_count(command) != 2) {
    ui_eprintf("Usage: getLibrary \"fully qualified destination file path\"\n");
    return -1;
  }
  if (get_library(link, cmd_word(command, 1)) != 0) {
    reply_error(link);
    return -1;
  }
  ok();
  return 0;
}
