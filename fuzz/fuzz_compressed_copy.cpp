// Fuzzes the compressed database copy (get_compressed_file) through a
// connected link on the in-process fake device. The input sets how the
// device reads (the largest reply, a cut after which every read fails with
// a status) and the header length asked for, then gives the device file.
// Short and odd-sized replies are the normal case of a device link, so a
// copy's result must not depend on them:
//   - without a cut, the copy succeeds exactly when the file holds the
//     whole header and then a complete zlib stream, whatever the reply
//     sizes;
//   - a copy that succeeds wrote the header unchanged followed by the
//     stream inflated, nothing else; with a cut, it also needed no byte
//     past the cut;
//   - a copy that fails says why.
// The inflated result is worked out here with zlib in one piece.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "FakeMobileDevice.h"
#include "fuzz_input.h"
#include "main/retrieval.h"

namespace {

constexpr const char* kDevicePath = "/iTunes_Control/iTunes/iTunesCDB";
constexpr int32_t kHeaderLengths[] = {188, 244, 0, 8192, 8, 189};
constexpr int32_t kStatuses[] = {30, 4, 7, 1, 31, 20, -1, 11};
// Bigger than anything an input of max_len can inflate to is not needed:
// a stream that inflates past this is left unchecked.
constexpr size_t kMaxInflated = 64u << 20;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_compressed_copy: %s\n", what);
  std::abort();
}

uint32_t little_endian32(const std::string& bytes, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
}

// What a correct copy of `file` writes, or nullopt when it must fail.
// The header is `asked` bytes, or the music database's own longer length
// ("mhbd", then the length at offset 4, up to 8192).
std::optional<std::string> expected_copy(const std::string& file, int32_t asked, bool* too_big) {
  size_t length = static_cast<size_t>(asked);
  if (file.size() < length) return std::nullopt;
  if (length >= 8 && file.compare(0, 4, "mhbd") == 0) {
    const uint32_t own = little_endian32(file, 4);
    if (own > length && own <= 8192) length = own;
  }
  if (file.size() < length) return std::nullopt;
  std::string out = file.substr(0, length);

  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) fail("zlib cannot start");
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(file.data() + length));
  stream.avail_in = static_cast<uInt>(file.size() - length);
  unsigned char piece[65536];
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = piece;
    stream.avail_out = sizeof piece;
    status = inflate(&stream, Z_NO_FLUSH);
    out.append(reinterpret_cast<char*>(piece), sizeof piece - stream.avail_out);
    if (out.size() > kMaxInflated) {
      *too_big = true;
      break;
    }
  }
  inflateEnd(&stream);
  if (status != Z_STREAM_END) return std::nullopt;
  return out;
}

// The copy's destination: a file in memory, named by its /proc path.
class MemoryFile {
 public:
  MemoryFile() : fd_(memfd_create("fuzz_compressed_copy", 0)) {
    if (fd_ < 0) fail("no memfd");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  const char* path() const { return path_.c_str(); }
  std::string contents() const {
    std::string out;
    char chunk[65536];
    ssize_t got = 0;
    for (off_t at = 0; (got = pread(fd_, chunk, sizeof chunk, at)) > 0; at += got)
      out.append(chunk, static_cast<size_t>(got));
    return out;
  }

 private:
  int fd_;
  std::string path_;
};

// How the device reads and what it holds, in the order the input gives them.
struct CopyCase {
  uint32_t max_read = 0;
  bool is_cut = false;
  uint16_t cut_at = 0;
  int32_t cut_status = 0;
  int32_t header_length = 0;
  std::string file;
};

CopyCase read_case(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t reads = in.u8();
  const uint8_t cut = in.u8();
  CopyCase c;
  c.cut_at = in.u16();
  c.header_length = kHeaderLengths[in.u8() % 6];
  c.file = std::string(in.rest());
  // 1 to 31 bytes a reply, then multiples of 67 up to 15 KiB; 0: any.
  c.max_read = reads == 0 ? 0 : reads < 32 ? reads : (reads - 31u) * 67u;
  c.is_cut = cut != 0;
  c.cut_status = kStatuses[cut % 8];
  return c;
}

// A link connected to a fresh fake phone that holds the case's file.
DeviceLink* connect_to_phone(const CopyCase& c) {
  fakemd::reset();
  DeviceLink* link = mdv_new(nullptr, nullptr, nullptr);
  AMDeviceRef phone = fakemd::add_device();
  fakemd::attach(phone);
  fakemd::set_max_read(phone, c.max_read);
  if (c.is_cut) fakemd::fail_read_after(phone, c.cut_at, c.cut_status);
  fakemd::put_file(phone, kDevicePath, c.file);
  mdv_set_dev(link, phone);
  if (mdv_connect(link) != 0) fail("the fake device does not connect");
  return link;
}

void disconnect(DeviceLink* link) {
  (void)AFCConnectionClose(link->afc_conn);
  mdv_set_dev(link, nullptr);
  mdv_free(link);
  fakemd::reset();
}

// The promises of the comment at the top, for a copy that gave `result`.
void check_copy(const CopyCase& c, int result, const MemoryFile& destination) {
  bool too_big = false;
  const std::optional<std::string> expected = expected_copy(c.file, c.header_length, &too_big);
  if (too_big) return;
  if (!c.is_cut && (result == 0) != expected.has_value())
    fail(result == 0 ? "a copy succeeds that must fail" : "a copy fails that must succeed");
  if (result != 0) return;
  if (!expected) fail("a copy succeeds that must fail");
  if (destination.contents() != *expected) fail("the copy is not header plus inflated stream");
  bool cut_too_big = false;
  if (c.is_cut && !expected_copy(c.file.substr(0, c.cut_at), c.header_length, &cut_too_big))
    fail("a copy succeeds that needed bytes past the device's failure");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MemoryFile* const destination = new MemoryFile;
  const CopyCase c = read_case(data, size);
  DeviceLink* link = connect_to_phone(c);
  const int result = get_compressed_file(link, kDevicePath, destination->path(), c.header_length);
  if (result != 0 && link->err_text->length == 0) fail("a failed copy says nothing");
  check_copy(c, result, *destination);
  disconnect(link);
  return 0;
}
