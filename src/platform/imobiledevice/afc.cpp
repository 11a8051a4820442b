// The file service (AFC) on libimobiledevice, with read-ahead.
//
// Callers read in 8192-byte pieces, and over USB every request costs a
// round trip; so a read fetches 1 MiB from the device into a buffer kept
// per open file and serves the small reads from it. While the caller works
// through one buffer, the next 1 MiB is already being fetched (after a full
// reply only), so the device's round trips overlap the caller's own work.
// What the device says stays visible: a short reply is served as it came
// (never topped up with a second request), the end of the file is the
// device's empty reply, and a failure status is returned by the read that
// asks past the bytes delivered before it. Seek, write and close wait for a
// fetch under way and drop the buffered bytes first.
#include <libimobiledevice/afc.h>

#include <cstdio>
#include <cstring>
#include <future>
#include <map>

#include "platform/imobiledevice/internal.h"

using namespace imd_internal;

namespace {

constexpr uint32_t kFetchSize = 1u << 20;

struct Fetch {
  afc_error_t status = AFC_E_SUCCESS;
  uint32_t got = 0;
};

struct ReadAhead {
  std::unique_ptr<char[]> bytes;  // kFetchSize bytes once allocated
  std::unique_ptr<char[]> spare;  // the next fetch lands here
  uint32_t start = 0;             // next byte of `bytes` to serve
  uint32_t end = 0;               // bytes held in `bytes`
  std::future<Fetch> pending;     // valid: a fetch into `spare` is under way

  [[nodiscard]] uint32_t held() const noexcept { return end - start; }
};

}  // namespace

struct AFCConnection {
  afc_client_t client = nullptr;
  StartedService origin;  // keeps the device, its handle and the descriptor
  std::mutex mutex;       // guards files
  std::map<uint64_t, ReadAhead> files;

  ~AFCConnection() {
    for (auto& [ref, state] : files)
      if (state.pending.valid()) state.pending.wait();
    // The client goes before origin: it uses the device handle origin holds.
    if (client) afc_client_free(client);
  }
};

namespace {

// Forgets the file's buffered bytes, waiting for a fetch under way; returns
// how far the device's position is ahead of the caller's.
uint32_t drop_buffer(AFCConnection* connection, uint64_t file_ref) noexcept {
  auto it = connection->files.find(file_ref);
  if (it == connection->files.end()) return 0;
  ReadAhead& state = it->second;
  uint32_t ahead = state.held();
  if (state.pending.valid()) {
    Fetch fetched = state.pending.get();
    if (fetched.status == AFC_E_SUCCESS) ahead += fetched.got;
  }
  state.start = state.end = 0;
  return ahead;
}

// Puts the device's position back where the caller believes it is.
afc_error_t rewind_unread(AFCConnection* connection, uint64_t file_ref) noexcept {
  uint32_t ahead = drop_buffer(connection, file_ref);
  if (ahead == 0) return AFC_E_SUCCESS;
  return afc_file_seek(connection->client, file_ref, -static_cast<int64_t>(ahead),
                       SEEK_CUR);
}

// The file's state with its first buffer, made on first use; null when
// memory runs out.
ReadAhead* buffer_for(AFCConnection* connection, uint64_t file_ref) noexcept {
  try {
    ReadAhead& state = connection->files[file_ref];
    if (!state.bytes) state.bytes.reset(new char[kFetchSize]);
    return &state;
  } catch (...) {
    return nullptr;
  }
}

// Starts fetching the next piece into the spare buffer; without memory or a
// thread the next read simply fetches when it needs to.
void start_prefetch(AFCConnection* connection, uint64_t file_ref,
                    ReadAhead* state) noexcept {
  try {
    if (!state->spare) state->spare.reset(new char[kFetchSize]);
    afc_client_t client = connection->client;
    char* into = state->spare.get();
    state->pending = std::async(std::launch::async, [client, file_ref, into] {
      Fetch fetched;
      fetched.status = afc_file_read(client, file_ref, into, kFetchSize, &fetched.got);
      fetched.got = std::min(fetched.got, kFetchSize);
      return fetched;
    });
  } catch (...) {
  }
}

// Serves the caller from the buffer.
uint32_t serve(ReadAhead* state, void* buffer, uint32_t wanted) noexcept {
  uint32_t served = std::min(wanted, state->held());
  std::memcpy(buffer, state->bytes.get() + state->start, served);
  state->start += served;
  return served;
}

// Makes the fetched piece the buffer; after a full reply the next piece is
// asked for at once.
afc_error_t take_fetch(AFCConnection* connection, uint64_t file_ref, ReadAhead* state,
                       Fetch fetched) noexcept {
  state->start = state->end = 0;
  if (fetched.status != AFC_E_SUCCESS) return fetched.status;
  state->end = fetched.got;
  if (fetched.got == kFetchSize) start_prefetch(connection, file_ref, state);
  return AFC_E_SUCCESS;
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
  if (state && state->held() == 0 && state->pending.valid()) {
    Fetch fetched = state->pending.get();
    std::swap(state->bytes, state->spare);
    afc_error_t taken = take_fetch(connection, file_ref, state, fetched);
    if (taken != AFC_E_SUCCESS) return taken;
  }
  if (state && state->held() > 0) {
    *length = serve(state, buffer, wanted);
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

  Fetch fetched;
  fetched.status =
      afc_file_read(connection->client, file_ref, state->bytes.get(), kFetchSize, &fetched.got);
  fetched.got = std::min(fetched.got, kFetchSize);
  afc_error_t taken = take_fetch(connection, file_ref, state, fetched);
  if (taken != AFC_E_SUCCESS) return taken;
  *length = serve(state, buffer, wanted);
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
    (void)drop_buffer(connection, file_ref);
    connection->files.erase(file_ref);
  }
  return afc_file_close(connection->client, file_ref);
}
