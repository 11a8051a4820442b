// The fuzz harness's operation interpreter (afc_script.h).
#include "afc_script.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "afc_standins.h"
#include "fuzz_input.h"
#include "platform/MobileDevice.h"

using namespace afc_standins;

namespace {

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
  const uint64_t at = slot.pos;
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
  if (whence != SEEK_SET && whence != SEEK_END) {
    if (status != AFC_E_INVALID_ARG)
      fail("a seek from neither the start nor the end is not refused");
    return;
  }
  if (status != 0) return;  // the caller reads on from where it was
  const int64_t base = whence == SEEK_SET ? 0 : static_cast<int64_t>(size);
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
  if (mode != AFC_FOPEN_RDONLY && mode != AFC_FOPEN_WRONLY) {
    if (status != AFC_E_INVALID_ARG || ref != 0)
      fail("an open in another mode than 1 or 3 is not refused");
    return;
  }
  if (status != 0 && ref != 0) fail("a failed open hands out a reference");
  if (status == 0 && ref != handle) fail("an open hands out another reference than the device's");
  if (status != 0 || ref == 0) return;
  slot.ref = ref;
  slot.mode = mode;
  slot.pos = 0;
}

constexpr uint32_t kPieces[] = {8192, 1, 7, 4096, 65536, 1u << 20, 3u << 20, 12345};

}  // namespace

void afc_script_run(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t client = in.u8();
  reset(length_of(in.u16()));
  {
    std::lock_guard lock(device->mutex);
    device->client_status = client == 0xFF ? AFC_E_MUX_ERROR : AFC_E_SUCCESS;
    device->null_client = client == 0xFE;
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
    return;
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
}
