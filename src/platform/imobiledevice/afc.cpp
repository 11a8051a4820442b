// The file service (AFC) on libimobiledevice: the connection, its pool of
// piece buffers and the AFC* calls of MobileDevice.h. Reads go through the
// read-ahead (read_ahead.h), which states what the device's replies become.
#include <libimobiledevice/afc.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/imobiledevice/internal.h"
#include "platform/imobiledevice/read_ahead.h"

using namespace imd_internal;

struct AFCConnection {
  afc_client_t client = nullptr;
  StartedService origin;  // keeps the device, its handle and the descriptor
  std::mutex mutex;       // guards files and pieces
  // Node-based: a fetcher keeps a pointer to its file's state.
  std::map<uint64_t, ReadAhead> files;
  // Piece buffers no open file holds, kept while connected: a copy after
  // the first finds its pages in place.
  std::vector<Bytes> pieces;

  AFCConnection() = default;
  AFCConnection(const AFCConnection&) = delete;
  AFCConnection& operator=(const AFCConnection&) = delete;
  ~AFCConnection() {
    for (auto& [ref, state] : files) (void)state.halt();
    // The client goes before origin: it uses the device handle origin holds.
    if (client) afc_client_free(client);
  }
};

namespace {

// The file's state, made at open; null for a file opened when memory ran
// out (it is then read without read-ahead or a known size).
ReadAhead* state_of(AFCConnection* connection, uint64_t file_ref) noexcept {
  auto it = connection->files.find(file_ref);
  return it == connection->files.end() ? nullptr : &it->second;
}

// Puts the device's position back where the caller believes it is. Until
// the device has moved, the buffered bytes stay: they are what the caller's
// next read is owed if the move fails.
afc_error_t rewind_unread(AFCConnection* connection, uint64_t file_ref) noexcept {
  ReadAhead* state = state_of(connection, file_ref);
  const uint32_t ahead = state ? state->pause() : 0;
  if (ahead == 0) {
    if (state) state->forget();
    return AFC_E_SUCCESS;
  }
  const afc_error_t moved =
      afc_file_seek(connection->client, file_ref, -static_cast<int64_t>(ahead), SEEK_CUR);
  if (moved == AFC_E_SUCCESS) {
    state->forget();
    state->device_pos -= ahead;
  }
  return moved;
}

// Lends the connection's unused piece buffers to a file just opened.
void lend_pieces(AFCConnection* connection, ReadAhead* state) noexcept {
  for (Bytes& spare : state->spare) {
    if (connection->pieces.empty()) return;
    spare = std::move(connection->pieces.back());
    connection->pieces.pop_back();
    ++state->buffers;
  }
}

// Takes back a file's piece buffers before its state goes; the file's
// fetcher is stopped.
void take_back_pieces(AFCConnection* connection, ReadAhead* state) noexcept {
  const auto keep = [connection](Bytes& bytes) noexcept {
    if (!bytes || connection->pieces.size() >= kPieces) return;
    try {
      connection->pieces.push_back(std::move(bytes));
    } catch (...) {
      // out of memory: the buffer is simply freed with the file
    }
  };
  keep(state->bytes);
  for (Bytes& spare : state->spare) keep(spare);
  for (Piece& piece : state->fetched) keep(piece.bytes);
  state->buffers = 0;
}

// Forgets the file: its fetcher stopped, its buffers back with the
// connection.
void forget_file(AFCConnection* connection, uint64_t file_ref) noexcept {
  ReadAhead* state = state_of(connection, file_ref);
  if (!state) return;
  (void)state->halt();
  take_back_pieces(connection, state);
  connection->files.erase(file_ref);
}

}  // namespace

int32_t AFCConnectionOpen(uint32_t service_handle, uint32_t,
                          AFCConnectionRef* connection) noexcept {
  forget_tls_errors();
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
  afc_error_t opened = afc_client_new(started.idevice.get(), started.service.get(), &made->client);
  made->origin = std::move(started);
  if (opened != AFC_E_SUCCESS) return opened;
  if (!made->client) return AFC_E_MUX_ERROR;
  *connection = made.release();
  return 0;
}

int32_t AFCConnectionClose(AFCConnectionRef connection) noexcept {
  forget_tls_errors();
  delete connection;
  return 0;
}

int32_t AFCFileRefOpen(AFCConnectionRef connection, const char* path, uint64_t mode,
                       uint64_t* file_ref) noexcept {
  forget_tls_errors();
  if (file_ref) *file_ref = 0;
  if (!connection || !path || !file_ref) return AFC_E_INVALID_ARG;
  if (mode != AFC_FOPEN_RDONLY && mode != AFC_FOPEN_WRONLY) return AFC_E_INVALID_ARG;
  uint64_t handle = 0;
  const afc_error_t opened =
      afc_file_open(connection->client, path, static_cast<afc_file_mode_t>(mode), &handle);
  if (opened != AFC_E_SUCCESS) return opened;
  std::lock_guard lock(connection->mutex);
  // A handle the device hands out again starts with no stale bytes.
  forget_file(connection, handle);
  try {
    ReadAhead& state = connection->files[handle];
    // A file opened for writing starts empty; one opened for reading holds
    // what the device says.
    state.size = 0;
    const afc_error_t asked_size = mode == AFC_FOPEN_WRONLY
                                       ? AFC_E_SUCCESS
                                       : size_on_device(connection->client, handle, 0, &state.size);
    if (asked_size != AFC_E_SUCCESS) {
      // A file whose start cannot be found again is no open file.
      connection->files.erase(handle);
      (void)afc_file_close(connection->client, handle);
      return asked_size;
    }
    lend_pieces(connection, &state);
  } catch (...) {
    // Out of memory: the file is read without read-ahead or a known size.
    connection->files.erase(handle);
  }
  *file_ref = handle;
  return 0;
}

int32_t AFCFileRefRead(AFCConnectionRef connection, uint64_t file_ref, void* buffer,
                       uint32_t* length) noexcept {
  // Most reads are served from the buffer without the library; the device
  // reads clear stale TLS errors themselves.
  if (!length) return AFC_E_INVALID_ARG;
  const uint32_t wanted = *length;
  *length = 0;
  if (!connection || (!buffer && wanted > 0)) return AFC_E_INVALID_ARG;
  if (file_ref == 0) return AFC_E_INVALID_ARG;
  if (wanted == 0) return 0;
  std::lock_guard lock(connection->mutex);
  ReadAhead* state = state_of(connection, file_ref);
  if (!state) return read_straight(connection->client, file_ref, nullptr, buffer, wanted, length);
  return read_ahead_read(connection->client, file_ref, state, buffer, wanted, length);
}

int32_t AFCFileRefWrite(AFCConnectionRef connection, uint64_t file_ref, const void* buffer,
                        uint32_t length) noexcept {
  forget_tls_errors();
  if (!connection || (!buffer && length > 0)) return AFC_E_INVALID_ARG;
  if (file_ref == 0) return AFC_E_INVALID_ARG;
  std::lock_guard lock(connection->mutex);
  if (ReadAhead* state = state_of(connection, file_ref);
      state && state->position_lost != AFC_E_SUCCESS)
    return state->position_lost;
  afc_error_t placed = rewind_unread(connection, file_ref);
  if (placed != AFC_E_SUCCESS) return placed;
  uint32_t written = 0;
  const afc_error_t wrote = afc_file_write(connection->client, file_ref,
                                           static_cast<const char*>(buffer), length, &written);
  if (ReadAhead* state = state_of(connection, file_ref); state && wrote == AFC_E_SUCCESS) {
    state->device_pos += length;
    if (state->size != kUnknownSize) state->size = std::max(state->size, state->device_pos);
  }
  return wrote;
}

int32_t AFCFileRefSeek(AFCConnectionRef connection, uint64_t file_ref, int64_t offset,
                       uint64_t whence) noexcept {
  forget_tls_errors();
  if (!connection || file_ref == 0 || (whence != SEEK_SET && whence != SEEK_END))
    return AFC_E_INVALID_ARG;
  std::lock_guard lock(connection->mutex);
  ReadAhead* state = state_of(connection, file_ref);
  // The buffered bytes stay until the device has moved: if it does not,
  // the caller reads on from where it was.
  if (state) (void)state->pause();
  const afc_error_t moved =
      afc_file_seek(connection->client, file_ref, offset, static_cast<int>(whence));
  if (state && moved == AFC_E_SUCCESS) {
    state->forget();
    if (whence == SEEK_END) {
      // The end is where the device says, not where it was last known to
      // be: the file may have grown through another handle.
      uint64_t position = 0;
      const bool told = afc_file_tell(connection->client, file_ref, &position) == AFC_E_SUCCESS;
      const int64_t end = static_cast<int64_t>(position) - offset;
      if (told && end >= 0) {
        state->device_pos = position;
        state->size = static_cast<uint64_t>(end);
        state->position_lost = AFC_E_SUCCESS;
      } else {
        state->size = kUnknownSize;  // nothing to cut requests to any more
      }
    } else {
      state->device_pos = static_cast<uint64_t>(offset);
      state->position_lost = AFC_E_SUCCESS;
    }
  }
  return moved;
}

int32_t AFCFileRefTell(AFCConnectionRef connection, uint64_t file_ref,
                       uint64_t* position) noexcept {
  forget_tls_errors();
  if (position) *position = 0;
  if (!connection || file_ref == 0 || !position) return AFC_E_INVALID_ARG;
  std::lock_guard lock(connection->mutex);
  ReadAhead* state = state_of(connection, file_ref);
  // The caller's position is behind the device's by what is buffered.
  const uint32_t unread = state ? state->pause() : 0;
  uint64_t on_device = 0;
  // The device's position is followed while the size is known (a seek to
  // the end that could not tell forgets both); else the device is asked.
  if (state && state->size != kUnknownSize && state->position_lost == AFC_E_SUCCESS) {
    on_device = state->device_pos;
  } else if (const afc_error_t told = afc_file_tell(connection->client, file_ref, &on_device);
             told != AFC_E_SUCCESS) {
    return told;
  }
  if (on_device < unread) return AFC_E_OP_HEADER_INVALID;  // replies out of step
  *position = on_device - unread;
  return 0;
}

int32_t AFCFileRefClose(AFCConnectionRef connection, uint64_t file_ref) noexcept {
  forget_tls_errors();
  if (!connection || file_ref == 0) return AFC_E_INVALID_ARG;
  std::lock_guard lock(connection->mutex);
  ReadAhead* state = state_of(connection, file_ref);
  if (state) (void)state->pause();
  const afc_error_t closed = afc_file_close(connection->client, file_ref);
  // A file that stays open keeps its buffered bytes for the caller.
  if (closed == AFC_E_SUCCESS) forget_file(connection, file_ref);
  return closed;
}

namespace {

// The key-value list afc_get_file_info hands out; freed once.
struct AfcDictionaryFree {
  void operator()(char** dictionary) const noexcept { afc_dictionary_free(dictionary); }
};
using AfcDictionary = std::unique_ptr<char*, AfcDictionaryFree>;

// A decimal count as the device writes it; false for anything else.
bool parse_count(const char* text, uint64_t* value) noexcept {
  if (!text || !*text) return false;
  uint64_t parsed = 0;
  for (const char* digit = text; *digit; ++digit) {
    if (*digit < '0' || *digit > '9') return false;
    const auto next = static_cast<uint64_t>(*digit - '0');
    if (parsed > (UINT64_MAX - next) / 10) return false;
    parsed = parsed * 10 + next;
  }
  *value = parsed;
  return true;
}

}  // namespace

int32_t AFCFileInfoRead(AFCConnectionRef connection, const char* path, AFCFileInfo* info) noexcept {
  forget_tls_errors();
  if (info) *info = AFCFileInfo{};
  if (!connection || !path || !info) return AFC_E_INVALID_ARG;
  char** raw = nullptr;
  const afc_error_t asked = afc_get_file_info(connection->client, path, &raw);
  const AfcDictionary pairs(raw);
  if (asked != AFC_E_SUCCESS) return asked;
  if (!pairs) return AFC_E_UNKNOWN_ERROR;
  bool has_size = false;
  bool has_time = false;
  for (char** entry = pairs.get(); entry[0] && entry[1]; entry += 2) {
    const std::string_view key(entry[0]);
    if (key == "st_size")
      has_size = parse_count(entry[1], &info->size);
    else if (key == "st_mtime")
      has_time = parse_count(entry[1], &info->modified_ns);
    else if (key == "st_ifmt")
      info->is_regular = std::string_view(entry[1]) == "S_IFREG" ? 1 : 0;
  }
  // A change can only be seen in what the reply holds; without both it
  // would pass for "unchanged".
  if (!has_size || !has_time) {
    *info = AFCFileInfo{};
    return AFC_E_UNKNOWN_ERROR;
  }
  return 0;
}
