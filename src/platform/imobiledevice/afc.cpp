// The file service (AFC) on libimobiledevice, with read-ahead.
//
// Callers read in 8192-byte pieces, and over USB every request costs a
// round trip; so a read fetches 1 MiB from the device into a buffer kept
// per open file and serves the small reads from it. What the device says
// stays visible: a short reply is served as it came (never topped up with a
// second request), the end of the file is the device's empty reply, and a
// failure status is returned by the read that asks past the bytes already
// delivered. Seek, write and close drop the buffer first.
#include <libimobiledevice/afc.h>

#include <cstdio>
#include <cstring>
#include <map>

#include "platform/imobiledevice/internal.h"

using namespace imd_internal;

namespace {

constexpr uint32_t kFetchSize = 1u << 20;

struct ReadAhead {
  std::unique_ptr<char[]> bytes;  // kFetchSize bytes once allocated
  uint32_t start = 0;             // next byte to serve
  uint32_t end = 0;               // bytes held

  [[nodiscard]] uint32_t held() const noexcept { return end - start; }
  void drop() noexcept { start = end = 0; }
};

}  // namespace

struct AFCConnection {
  afc_client_t client = nullptr;
  StartedService origin;  // keeps the device, its handle and the descriptor
  std::mutex mutex;       // guards files
  std::map<uint64_t, ReadAhead> files;

  ~AFCConnection() {
    // The client goes first: it uses the device handle that origin holds.
    if (client) afc_client_free(client);
  }
};

namespace {

// The file's buffer, made on first use; null when memory runs out.
ReadAhead* buffer_for(AFCConnection* connection, uint64_t file_ref) noexcept {
  try {
    ReadAhead& state = connection->files[file_ref];
    if (!state.bytes) state.bytes.reset(new char[kFetchSize]);
    return &state;
  } catch (...) {
    return nullptr;
  }
}

// The unread bytes of the file's buffer, which are then forgotten: the
// device's position is that many bytes ahead of the caller's.
uint32_t drop_buffer(AFCConnection* connection, uint64_t file_ref) noexcept {
  auto it = connection->files.find(file_ref);
  if (it == connection->files.end()) return 0;
  uint32_t unread = it->second.held();
  it->second.drop();
  return unread;
}

// Puts the device's position back where the caller believes it is.
afc_error_t rewind_unread(AFCConnection* connection, uint64_t file_ref) noexcept {
  uint32_t unread = drop_buffer(connection, file_ref);
  if (unread == 0) return AFC_E_SUCCESS;
  return afc_file_seek(connection->client, file_ref, -static_cast<int64_t>(unread),
                       SEEK_CUR);
}

}  // namespace

int32_t AFCConnectionOpen(uint32_t service_handle, uint32_t,
                          AFCConnectionRef* connection) noexcept {
  if (connection) *connection = nullptr;
  if (!connection) return AFC_E_INVALID_ARG;
  StartedService started;
  if (!service_take(service_handle, &started)) return AFC_E_INVALID_ARG;

  std::unique_ptr<AFCConnection> made;
  try {
    made.reset(new AFCConnection);
  } catch (...) {
    return AFC_E_NO_MEM;
  }
  afc_error_t opened =
      afc_client_new(started.idevice.get(), started.service.get(), &made->client);
  made->origin = std::move(started);
  if (opened != AFC_E_SUCCESS) return opened;
  if (!made->client) return AFC_E_MUX_ERROR;
  *connection = made.release();
  return 0;
}

int32_t AFCConnectionClose(AFCConnectionRef connection) noexcept {
  delete connection;
  return 0;
}

int32_t AFCFileRefOpen(AFCConnectionRef connection, const char* path, uint64_t mode,
                       uint64_t* file_ref) noexcept {
  if (file_ref) *file_ref = 0;
  if (!connection || !path || !file_ref || mode < AFC_FOPEN_RDONLY ||
      mode > AFC_FOPEN_RDAPPEND)
    return AFC_E_INVALID_ARG;
  uint64_t handle = 0;
  afc_error_t opened = afc_file_open(connection->client, path,
                                     static_cast<afc_file_mode_t>(mode), &handle);
  if (opened != AFC_E_SUCCESS) return opened;
  std::lock_guard lock(connection->mutex);
  // A handle the device hands out again starts with no stale bytes.
  (void)drop_buffer(connection, handle);
  *file_ref = handle;
  return 0;
}

int32_t AFCFileRefRead(AFCConnectionRef connection, uint64_t file_ref, void* buffer,
                       uint32_t* length) noexcept {
  if (!length) return AFC_E_INVALID_ARG;
  uint32_t wanted = *length;
  *length = 0;
  if (!connection || (!buffer && wanted > 0)) return AFC_E_INVALID_ARG;
  if (file_ref == 0) return AFC_E_INVALID_ARG;
  if (wanted == 0) return 0;

  std::lock_guard lock(connection->mutex);
  auto it = connection->files.find(file_ref);
  ReadAhead* state = it != connection->files.end() ? &it->second : nullptr;
  if (state && state->held() > 0) {
    uint32_t served = std::min(wanted, state->held());
    std::memcpy(buffer, state->bytes.get() + state->start, served);
    state->start += served;
    *length = served;
    return 0;
  }

  // Large requests gain nothing from the buffer; so does a file whose
  // buffer cannot be had: read straight into the caller's memory.
  if (wanted < kFetchSize) state = buffer_for(connection, file_ref);
  if (wanted >= kFetchSize || !state) {
    uint32_t got = 0;
    afc_error_t read =
        afc_file_read(connection->client, file_ref, static_cast<char*>(buffer), wanted, &got);
    if (read != AFC_E_SUCCESS) return read;
    *length = std::min(got, wanted);
    return 0;
  }

  uint32_t got = 0;
  afc_error_t read =
      afc_file_read(connection->client, file_ref, state->bytes.get(), kFetchSize, &got);
  if (read != AFC_E_SUCCESS) return read;
  state->start = 0;
  state->end = std::min(got, kFetchSize);
  uint32_t served = std::min(wanted, state->end);
  std::memcpy(buffer, state->bytes.get(), served);
  state->start = served;
  *length = served;
  return 0;
}

int32_t AFCFileRefWrite(AFCConnectionRef connection, uint64_t file_ref,
                        const void* buffer, uint32_t length) noexcept {
  if (!connection || (!buffer && length > 0)) return AFC_E_INVALID_ARG;
  if (file_ref == 0) return AFC_E_INVALID_ARG;
  std::lock_guard lock(connection->mutex);
  afc_error_t placed = rewind_unread(connection, file_ref);
  if (placed != AFC_E_SUCCESS) return placed;
  uint32_t written = 0;
  return afc_file_write(connection->client, file_ref, static_cast<const char*>(buffer),
                        length, &written);
}

int32_t AFCFileRefSeek(AFCConnectionRef connection, uint64_t file_ref, int64_t offset,
                       uint64_t whence) noexcept {
  if (!connection || file_ref == 0 || whence > SEEK_END) return AFC_E_INVALID_ARG;
  std::lock_guard lock(connection->mutex);
  uint32_t unread = drop_buffer(connection, file_ref);
  // Relative moves count from the caller's position, behind the device's.
  if (whence == SEEK_CUR) offset -= unread;
  return afc_file_seek(connection->client, file_ref, offset, static_cast<int>(whence));
}

int32_t AFCFileRefClose(AFCConnectionRef connection, uint64_t file_ref) noexcept {
  if (!connection || file_ref == 0) return AFC_E_INVALID_ARG;
  {
    std::lock_guard lock(connection->mutex);
    connection->files.erase(file_ref);
  }
  return afc_file_close(connection->client, file_ref);
}
