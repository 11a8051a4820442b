// Fuzzes the production file-service layer (platform/imobiledevice/afc.cpp)
// with its read-ahead, over stand-ins for the libimobiledevice calls it
// makes. The stand-ins model one device file whose byte at position p is
// fixed (kPattern), so every byte the layer hands out, and every byte it
// writes, can be checked against the position it belongs to. The input
// sets the file's size and rules for how the device answers: short or
// empty replies, replies claiming more than was asked, failed reads,
// seeks, tells, writes, opens and closes. Rules depend only on the call
// and the device's position, never on timing, so what the fetcher thread
// gets is the same whenever it runs. Then the input drives the caller:
// reads of any length, seeks, writes, closes and opens on two files.
//
// What must hold, whatever the device says:
//   - a read never reports more bytes than asked, and never writes past
//     the caller's buffer (the buffer is exactly as long as asked);
//   - bytes handed out are the file's bytes at the caller's position, so
//     read-ahead never loses, repeats or reorders bytes;
//   - an empty read at position p means the device gave an empty reply at
//     p, and a failed read at p carries the status the device gave for a
//     request at p: a failure reaches the caller, unchanged;
//   - a write lands at the caller's position, not the device's read-ahead
//     position;
//   - while the layer knows the file's size, no request asks past the
//     bytes the file holds (one byte at the end asks whether it grew);
//   - no call reaches a handle the device has closed (a fetcher left
//     running), the client is freed once, nothing leaks.
#include <libimobiledevice/afc.h>
#include <libimobiledevice/lockdown.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "fuzz_input.h"
#include "platform/MobileDevice.h"
#include "platform/imobiledevice/internal.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_afc: %s\n", what);
  std::abort();
}

// Large enough for several read-ahead pieces and the seeds' boundaries.
constexpr uint64_t kMaxFile = (16u << 20) + (64u << 10);

// The file's bytes: 4-byte words, each a different multiple of an odd
// number, so a byte out of place almost never matches.
const uint8_t* pattern() {
  static const std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> b(kMaxFile);
    for (uint64_t i = 0; i < kMaxFile; ++i) {
      const uint32_t word = static_cast<uint32_t>(i >> 2) * 2654435761u;
      b[i] = static_cast<uint8_t>(word >> ((i & 3) * 8));
    }
    return b;
  }();
  return bytes.data();
}

// Lengths and positions: two bytes that reach small values exactly, and
// large ones near multiples of 64 KiB (piece boundaries) to within 32.
uint64_t length_of(uint16_t raw) {
  const uint64_t v = raw & 0x3fff;
  switch (raw >> 14) {
    case 0: return v;
    case 1: return v << 8;
    case 2: {
      const int64_t near = static_cast<int64_t>(v >> 6) << 16;
      return static_cast<uint64_t>(std::max<int64_t>(0, near + static_cast<int64_t>(v & 63) - 32));
    }
    default: return v << 10;
  }
}

constexpr afc_error_t kStatuses[] = {
    AFC_E_MUX_ERROR,   AFC_E_READ_ERROR,  AFC_E_UNKNOWN_ERROR,    AFC_E_IO_ERROR,
    AFC_E_PERM_DENIED, AFC_E_OP_TIMEOUT,  AFC_E_NOT_ENOUGH_DATA,  AFC_E_INVALID_ARG,
    AFC_E_NO_MEM,      AFC_E_END_OF_DATA, AFC_E_FORCE_SIGNED_TYPE};
afc_error_t status_of(uint8_t param) {
  return kStatuses[param % (sizeof kStatuses / sizeof kStatuses[0])];
}

enum class On : uint8_t {
  ReadShort,      // at most param * 37 bytes (0: an empty reply)
  ReadFail,       // status_of(param)
  ReadOverclaim,  // a full reply reported as param + 1 bytes longer
  SeekFail,
  TellFail,
  WriteFail,
  OpenFail,  // pos % 7 is the mode it applies to (0: all)
  CloseFail,
};

struct Rule {
  On on;
  bool from;  // every position from `pos` on, else `pos` only
  uint8_t param;
  uint64_t pos;
};

struct OpenFile {
  int mode = 0;
  uint64_t pos = 0;
  // While the layer can know the size, it must not ask past the end.
  bool size_known = true;
  std::set<uint64_t> empty_at;                   // empty replies given
  std::set<std::pair<uint64_t, int>> failed_at;  // failed reads given
  // Failed seeks and tells: a read that had to ask the size again and lost
  // the file's position on the way fails with one of these.
  std::set<int> failed_moves;
};

struct AfcClientStandIn {};

// The device. Guarded by `mutex`: the caller and fetcher threads call in.
struct Device {
  std::mutex mutex;
  uint64_t size = 0;
  std::vector<Rule> rules;
  std::map<uint64_t, OpenFile> files;
  uint64_t next_handle = 0;
  afc_error_t client_status = AFC_E_SUCCESS;
  bool null_client = false;
  int clients = 0;  // handed out and not freed
  AfcClientStandIn client;

  const Rule* rule(On on, uint64_t pos) const {
    for (const Rule& r : rules)
      if (r.on == on && (r.from ? pos >= r.pos : pos == r.pos)) return &r;
    return nullptr;
  }
  OpenFile& file(afc_client_t c, uint64_t handle, const char* call) {
    if (c != reinterpret_cast<afc_client_t>(&client)) fail("a call on a client never handed out");
    auto it = files.find(handle);
    if (it == files.end()) {
      std::fprintf(stderr, "fuzz_afc: %s on handle %llu\n", call,
                   static_cast<unsigned long long>(handle));
      fail("a call on a handle the device does not hold open");
    }
    return it->second;
  }
};

Device* device = new Device;  // never freed: the fuzzer's exit does not join

bool readable(int mode) {
  return mode == AFC_FOPEN_RDONLY || mode == AFC_FOPEN_RW || mode == AFC_FOPEN_WR ||
         mode == AFC_FOPEN_RDAPPEND;
}
bool appending(int mode) { return mode == AFC_FOPEN_APPEND || mode == AFC_FOPEN_RDAPPEND; }

}  // namespace

// ---- Stand-ins for what afc.cpp calls --------------------------------------

extern "C" {

void ERR_clear_error(void) {}

lockdownd_error_t lockdownd_service_descriptor_free(lockdownd_service_descriptor_t) {
  return LOCKDOWN_E_SUCCESS;
}

afc_error_t afc_client_new(idevice_t, lockdownd_service_descriptor_t, afc_client_t* client) {
  std::lock_guard lock(device->mutex);
  *client = device->null_client ? nullptr : reinterpret_cast<afc_client_t>(&device->client);
  if (*client) ++device->clients;
  return device->client_status;
}

afc_error_t afc_client_free(afc_client_t client) {
  std::lock_guard lock(device->mutex);
  if (client != reinterpret_cast<afc_client_t>(&device->client) || device->clients == 0)
    fail("a client freed twice, or never handed out");
  --device->clients;
  return AFC_E_SUCCESS;
}

afc_error_t afc_file_open(afc_client_t client, const char*, afc_file_mode_t mode,
                          uint64_t* handle) {
  std::lock_guard lock(device->mutex);
  if (client != reinterpret_cast<afc_client_t>(&device->client)) fail("open on a foreign client");
  *handle = 0;
  for (const Rule& r : device->rules)
    if (r.on == On::OpenFail && (r.pos % 7 == 0 || r.pos % 7 == static_cast<uint64_t>(mode)))
      return status_of(r.param);
  const uint64_t h = device->next_handle;
  OpenFile& file = device->files[h] = OpenFile{};
  file.mode = mode;
  file.size_known = !appending(mode);
  if (mode == AFC_FOPEN_WRONLY || mode == AFC_FOPEN_WR) {
    device->size = 0;
    // Other handles' idea of the size is now too large through no fault.
    for (auto& [other, open] : device->files) open.size_known &= other == h;
  }
  *handle = h;
  return AFC_E_SUCCESS;
}

afc_error_t afc_file_close(afc_client_t client, uint64_t handle) {
  std::lock_guard lock(device->mutex);
  OpenFile& file = device->file(client, handle, "close");
  if (const Rule* r = device->rule(On::CloseFail, file.pos)) return status_of(r->param);
  device->files.erase(handle);
  return AFC_E_SUCCESS;
}

afc_error_t afc_file_read(afc_client_t client, uint64_t handle, char* data, uint32_t length,
                          uint32_t* bytes_read) {
  std::lock_guard lock(device->mutex);
  OpenFile& file = device->file(client, handle, "read");
  const uint64_t size = device->size;
  if (file.size_known && length > std::max<uint64_t>(1, size > file.pos ? size - file.pos : 0))
    fail("a request asks past the bytes the file holds");
  // The library fills up to `length` bytes: a buffer shorter than that is
  // an overflow for ASan to see.
  if (length > 0) std::memset(data, 0xEE, length);
  *bytes_read = 0;
  afc_error_t status = AFC_E_SUCCESS;
  if (!readable(file.mode)) status = AFC_E_PERM_DENIED;
  if (const Rule* r = device->rule(On::ReadFail, file.pos)) status = status_of(r->param);
  if (status != AFC_E_SUCCESS) {
    file.failed_at.emplace(file.pos, status);
    // A failed read may still say it read something; the layer must not
    // believe it.
    *bytes_read = length / 2;
    return status;
  }
  uint64_t got = file.pos < size ? std::min<uint64_t>(length, size - file.pos) : 0;
  if (const Rule* r = device->rule(On::ReadShort, file.pos))
    got = std::min<uint64_t>(got, uint64_t{r->param} * 37);
  std::memcpy(data, pattern() + file.pos, got);
  *bytes_read = static_cast<uint32_t>(got);
  if (got == 0) file.empty_at.insert(file.pos);
  file.pos += got;
  if (got == length) {
    if (const Rule* r = device->rule(On::ReadOverclaim, file.pos - got))
      *bytes_read = length + r->param + 1u;
  }
  return AFC_E_SUCCESS;
}

afc_error_t afc_file_write(afc_client_t client, uint64_t handle, const char* data, uint32_t length,
                           uint32_t* bytes_written) {
  std::lock_guard lock(device->mutex);
  OpenFile& file = device->file(client, handle, "write");
  *bytes_written = 0;
  if (file.mode == AFC_FOPEN_RDONLY) return AFC_E_PERM_DENIED;
  if (const Rule* r = device->rule(On::WriteFail, file.pos)) return status_of(r->param);
  if (appending(file.mode)) file.pos = device->size;
  if (file.pos + length > kMaxFile) return AFC_E_NO_SPACE_LEFT;
  if (length > 0 && std::memcmp(data, pattern() + file.pos, length) != 0)
    fail("a write lands away from the caller's position");
  file.pos += length;
  device->size = std::max(device->size, file.pos);
  *bytes_written = length;
  return AFC_E_SUCCESS;
}

afc_error_t afc_file_seek(afc_client_t client, uint64_t handle, int64_t offset, int whence) {
  std::lock_guard lock(device->mutex);
  OpenFile& file = device->file(client, handle, "seek");
  if (const Rule* r = device->rule(On::SeekFail, file.pos)) {
    file.size_known = false;  // a failed size query: the layer asks blind
    file.failed_moves.insert(status_of(r->param));
    return status_of(r->param);
  }
  const int64_t base = whence == SEEK_SET   ? 0
                       : whence == SEEK_CUR ? static_cast<int64_t>(file.pos)
                       : whence == SEEK_END ? static_cast<int64_t>(device->size)
                                            : -1;
  if (base < 0) fail("a seek with an unknown whence reached the device");
  if (offset < -base) {
    file.size_known = false;
    return AFC_E_INVALID_ARG;
  }
  file.pos = static_cast<uint64_t>(base + offset);
  return AFC_E_SUCCESS;
}

afc_error_t afc_file_tell(afc_client_t client, uint64_t handle, uint64_t* position) {
  std::lock_guard lock(device->mutex);
  OpenFile& file = device->file(client, handle, "tell");
  *position = 0;
  if (const Rule* r = device->rule(On::TellFail, file.pos)) {
    file.size_known = false;
    file.failed_moves.insert(status_of(r->param));
    return status_of(r->param);
  }
  *position = file.pos;
  return AFC_E_SUCCESS;
}

}  // extern "C"

// The device part of the layer, which the harness leaves out: one started
// service whose descriptor and device are empty.
constexpr uint32_t kServiceHandle = 1;

namespace imd_internal {
bool service_take(uint32_t handle, StartedService*) noexcept { return handle == kServiceHandle; }
}  // namespace imd_internal

void AMDeviceRelease(AMDeviceRef) noexcept {}

// ---- The caller ------------------------------------------------------------

namespace {

struct Slot {
  uint64_t ref = 0;  // 0: not open
  int mode = 0;
  uint64_t pos = 0;  // where the caller is
};

// What a failed check in the caller prints before aborting.
[[noreturn]] void fail_read(const Slot& slot, int32_t status, uint32_t wanted, uint32_t got,
                            const char* what) {
  uint64_t device_pos = 0;
  uint64_t size = 0;
  {
    std::lock_guard lock(device->mutex);
    device_pos = device->files.at(slot.ref).pos;
    size = device->size;
  }
  std::fprintf(stderr,
               "fuzz_afc: read of %u at caller position %llu: status %d, %u bytes; "
               "device position %llu, file size %llu\n",
               wanted, static_cast<unsigned long long>(slot.pos), status, got,
               static_cast<unsigned long long>(device_pos), static_cast<unsigned long long>(size));
  fail(what);
}

// Checks one read's outcome at the caller's position and moves it on.
void check_read(Slot& slot, int32_t status, uint32_t wanted, uint32_t got, const char* buffer) {
  const auto check = [&](bool ok, const char* what) {
    if (!ok) fail_read(slot, status, wanted, got, what);
  };
  check(got <= wanted, "a read reports more bytes than asked");
  if (status != 0) {
    check(got == 0, "a failed read reports bytes");
    bool given = false;
    {
      std::lock_guard lock(device->mutex);
      const OpenFile& file = device->files.at(slot.ref);
      given = file.failed_at.count({slot.pos, status}) != 0 || file.failed_moves.count(status) != 0;
    }
    check(given, "a read fails with a status the device gave for no request here");
    return;
  }
  if (wanted == 0) return;
  if (got == 0) {
    bool given = false;
    {
      std::lock_guard lock(device->mutex);
      given = device->files.at(slot.ref).empty_at.count(slot.pos) != 0;
    }
    check(given, "an end of file where the device gave no empty reply");
    return;
  }
  check(slot.pos + got <= kMaxFile, "bytes past the end of any file");
  check(std::memcmp(buffer, pattern() + slot.pos, got) == 0,
        "bytes that are not the file's bytes at the caller's position");
  slot.pos += got;
}

void read_once(AFCConnectionRef connection, Slot& slot, uint32_t wanted) {
  std::unique_ptr<char[]> buffer(wanted ? new char[wanted] : nullptr);
  uint32_t length = wanted;
  const int32_t status = AFCFileRefRead(connection, slot.ref, buffer.get(), &length);
  check_read(slot, status, wanted, length, buffer.get());
}

// Reads on in pieces of one size, as the copies do, to the end or a failure.
void read_through(AFCConnectionRef connection, Slot& slot, uint32_t piece) {
  std::unique_ptr<char[]> buffer(new char[piece]);
  for (int i = 0; i < 4096; ++i) {
    uint32_t length = piece;
    const int32_t status = AFCFileRefRead(connection, slot.ref, buffer.get(), &length);
    check_read(slot, status, piece, length, buffer.get());
    if (status != 0 || length == 0) return;
  }
}

void write_once(AFCConnectionRef connection, Slot& slot, uint64_t length) {
  uint64_t at = slot.pos;
  if (appending(slot.mode)) {
    std::lock_guard lock(device->mutex);
    at = device->size;
  }
  if (at >= kMaxFile) return;
  length = std::min(length, kMaxFile - at);
  const int32_t status =
      AFCFileRefWrite(connection, slot.ref, pattern() + at, static_cast<uint32_t>(length));
  if (status == 0) slot.pos = at + length;
}

void seek_once(AFCConnectionRef connection, Slot& slot, int whence, int64_t offset) {
  uint64_t size = 0;
  {
    std::lock_guard lock(device->mutex);
    size = device->size;
  }
  const int32_t status =
      AFCFileRefSeek(connection, slot.ref, offset, static_cast<uint64_t>(whence));
  if (status != 0) return;  // the caller reads on from where it was
  const int64_t base = whence == SEEK_SET   ? 0
                       : whence == SEEK_CUR ? static_cast<int64_t>(slot.pos)
                                            : static_cast<int64_t>(size);
  if (whence > SEEK_END) fail("a seek with an unknown whence succeeded");
  if (base + offset < 0) fail("a seek to a negative position succeeded");
  slot.pos = static_cast<uint64_t>(base + offset);
}

bool close_slot(AFCConnectionRef connection, Slot& slot) {
  if (!slot.ref) return true;
  if (AFCFileRefClose(connection, slot.ref) != 0) return false;  // still open
  slot = Slot{};
  return true;
}

void open_slot(AFCConnectionRef connection, Slot& slot, size_t index, int mode, uint8_t which) {
  if (!close_slot(connection, slot)) return;
  // Handles never collide between the slots; 0 is a device that answers
  // success without one.
  const uint64_t handle = which == 0xFF ? 0 : index + 1 + 2 * static_cast<uint64_t>(which % 3);
  {
    std::lock_guard lock(device->mutex);
    device->next_handle = handle;
  }
  uint64_t ref = 0;
  const int32_t status = AFCFileRefOpen(connection, "/iTunes_Control/iTunes/iTunesDB",
                                        static_cast<uint64_t>(mode), &ref);
  if (status != 0 && ref != 0) fail("a failed open hands out a reference");
  if (status == 0 && ref != handle) fail("an open hands out another reference than the device's");
  if (status != 0 || ref == 0) return;
  slot.ref = ref;
  slot.mode = mode;
  slot.pos = 0;
}

constexpr uint32_t kPieces[] = {8192, 1, 7, 4096, 65536, 1u << 20, 3u << 20, 12345};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  {
    std::lock_guard lock(device->mutex);
    device->files.clear();
    device->rules.clear();
    const uint8_t client = in.u8();
    device->client_status = client == 0xFF ? AFC_E_MUX_ERROR : AFC_E_SUCCESS;
    device->null_client = client == 0xFE;
    device->size = std::min(length_of(in.u16()), kMaxFile);
    const int rules = in.u8() % 9;
    for (int i = 0; i < rules; ++i) {
      const uint8_t kind = in.u8();
      const uint8_t param = in.u8();
      device->rules.push_back(
          Rule{static_cast<On>(kind & 7), (kind & 8) != 0, param, length_of(in.u16())});
    }
  }

  AFCConnectionRef connection = nullptr;
  const int32_t opened = AFCConnectionOpen(kServiceHandle, 0, &connection);
  if (opened != 0) {
    if (connection) fail("a failed connection is handed out");
    if (device->clients != 0) fail("a failed connection keeps its client");
    return 0;
  }

  Slot slots[2];
  for (int op = 0; op < 64 && !in.empty(); ++op) {
    const uint8_t code = in.u8();
    const size_t index = (code >> 3) & 1;
    Slot& slot = slots[index];
    const int action = code & 7;
    if (action == 4) {
      open_slot(connection, slot, index, 1 + (code >> 4) % 6, in.u8());
      continue;
    }
    if (!slot.ref) continue;
    switch (action) {
      case 0:
      case 1:
        read_once(connection, slot, static_cast<uint32_t>(std::min(length_of(in.u16()), kMaxFile)));
        break;
      case 2: {
        const int64_t offset = static_cast<int64_t>(length_of(in.u16()));
        seek_once(connection, slot, (code >> 4) & 3, code & 0x40 ? -offset : offset);
        break;
      }
      case 3:
        write_once(connection, slot, std::min<uint64_t>(length_of(in.u16()), 4u << 20));
        break;
      case 5: (void)close_slot(connection, slot); break;
      default: read_through(connection, slot, kPieces[in.u8() % 8]); break;
    }
  }

  for (Slot& slot : slots) (void)close_slot(connection, slot);
  (void)AFCConnectionClose(connection);
  if (device->clients != 0) fail("a closed connection keeps its client");
  return 0;
}
