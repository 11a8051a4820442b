// Stand-ins for the libimobiledevice calls of the production file-service
// layer (afc_standins.h).
#include "afc_standins.h"

#include <libimobiledevice/lockdown.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/MobileDevice.h"
#include "platform/imobiledevice/internal.h"

namespace afc_standins {

void fail(const char* what) {
  std::fprintf(stderr, "fuzz_afc: %s\n", what);
  std::abort();
}

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

namespace {
constexpr afc_error_t kStatuses[] = {
    AFC_E_MUX_ERROR,   AFC_E_READ_ERROR,  AFC_E_UNKNOWN_ERROR,    AFC_E_IO_ERROR,
    AFC_E_PERM_DENIED, AFC_E_OP_TIMEOUT,  AFC_E_NOT_ENOUGH_DATA,  AFC_E_INVALID_ARG,
    AFC_E_NO_MEM,      AFC_E_END_OF_DATA, AFC_E_FORCE_SIGNED_TYPE};

bool readable(int mode) {
  return mode == AFC_FOPEN_RDONLY || mode == AFC_FOPEN_RW || mode == AFC_FOPEN_WR ||
         mode == AFC_FOPEN_RDAPPEND;
}
bool appending(int mode) { return mode == AFC_FOPEN_APPEND || mode == AFC_FOPEN_RDAPPEND; }

afc_client_t client_of(Device* d) { return reinterpret_cast<afc_client_t>(&d->client); }
}  // namespace

afc_error_t status_of(uint8_t param) {
  return kStatuses[param % (sizeof kStatuses / sizeof kStatuses[0])];
}

const Rule* Device::rule(On on, uint64_t pos) const {
  for (const Rule& r : rules)
    if (r.on == on && (r.from ? pos >= r.pos : pos == r.pos)) return &r;
  return nullptr;
}

OpenFile& Device::file(afc_client_t c, uint64_t handle, const char* call) {
  if (c != client_of(this)) fail("a call on a client never handed out");
  auto it = files.find(handle);
  if (it == files.end()) {
    std::fprintf(stderr, "fuzz_afc: %s on handle %llu\n", call,
                 static_cast<unsigned long long>(handle));
    fail("a call on a handle the device does not hold open");
  }
  return it->second;
}

Device* const device = new Device;

void reset(uint64_t size) {
  std::lock_guard lock(device->mutex);
  device->size = std::min(size, kMaxFile);
  device->rules.clear();
  device->files.clear();
  device->next_handle = 1;
  device->client_status = AFC_E_SUCCESS;
  device->null_client = false;
  device->grow_at = UINT64_MAX;
  device->grow_to = 0;
  device->requests.clear();
}

void add_rule(const Rule& rule) {
  std::lock_guard lock(device->mutex);
  device->rules.push_back(rule);
}

std::vector<Request> requests() {
  std::lock_guard lock(device->mutex);
  return device->requests;
}

}  // namespace afc_standins

using namespace afc_standins;

// ---- Stand-ins for what the file-service layer calls ----------------------

extern "C" {

afc_error_t afc_client_new(idevice_t, lockdownd_service_descriptor_t, afc_client_t* client) {
  std::lock_guard lock(device->mutex);
  *client = device->null_client ? nullptr : client_of(device);
  if (*client) ++device->clients;
  return device->client_status;
}

afc_error_t afc_client_free(afc_client_t client) {
  std::lock_guard lock(device->mutex);
  if (client != client_of(device) || device->clients == 0)
    fail("a client freed twice, or never handed out");
  --device->clients;
  return AFC_E_SUCCESS;
}

afc_error_t afc_file_open(afc_client_t client, const char*, afc_file_mode_t mode,
                          uint64_t* handle) {
  std::lock_guard lock(device->mutex);
  if (client != client_of(device)) fail("open on a foreign client");
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
  device->requests.push_back(Request{file.pos, length});
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
  if (file.pos >= device->grow_at) {
    device->size = std::max(device->size, std::min(device->grow_to, kMaxFile));
    device->grow_at = UINT64_MAX;
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

// The read-ahead never asks for file information; the layer's own call
// links against these and is tested end to end.
afc_error_t afc_get_file_info(afc_client_t, const char*, char*** file_information) {
  *file_information = nullptr;
  return AFC_E_OBJECT_NOT_FOUND;
}

afc_error_t afc_dictionary_free(char** dictionary) {
  if (dictionary) fail("a file-information list the stand-ins never handed out");
  return AFC_E_SUCCESS;
}

}  // extern "C"

// The device part of the layer, which the stand-ins replace: one started
// service whose descriptor and device are empty.
namespace imd_internal {
bool service_take(uint32_t handle, StartedService*) noexcept { return handle == kServiceHandle; }
}  // namespace imd_internal

void AMDeviceRelease(AMDeviceRef) noexcept {}
