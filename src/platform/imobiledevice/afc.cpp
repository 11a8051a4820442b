// The file service (AFC) on libimobiledevice, with read-ahead.
//
// Callers read in 8192-byte pieces, and over USB every request costs a
// round trip with the link idle; so a read fetches up to 4 MiB from the
// device (replies that large are known to work on phones) into a buffer
// kept per open file and serves the small reads from it. A fetcher thread
// of the file asks for the following pieces while it has a buffer to fetch
// into (kPieces per file), from the first piece when the file is known to
// hold more than one, else after a full reply; so the device's round trips
// overlap the caller's own work instead of adding to it. Near the known end
// the pieces shrink, so that what the caller still has to do once the last
// byte has arrived (writing it, inflating it) is small.
//
// What the device says stays visible: a short reply is served as it came
// (never topped up with a second request), the end of the file is the
// device's empty reply, and a failure status is returned by the read that
// asks past the bytes delivered before it. The fetcher stops at the first
// reply shorter than its request. Seek, write and close stop the fetcher
// first, and drop the buffered bytes once the device has done what they
// asked (a failed one leaves them to be read).
//
// No request asks past the bytes the file still holds. When the link dies
// inside a reply, libimobiledevice 1.3.0 reports the count it was promised
// and copies that many bytes out of a buffer sized for the reply: a reply
// shorter than the request then reads past that buffer's end. So each file
// carries its size (asked at open by seeking to its end) and the device's position, requests
// are cut to what remains, and at the known end a one-byte request asks
// whether the file has grown (an empty reply is the end of the file).
#include <libimobiledevice/afc.h>
#include <sys/mman.h>

#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "platform/imobiledevice/internal.h"

using namespace imd_internal;

namespace {

constexpr uint32_t kFetchSize = 4u << 20;
// Piece buffers a file may hold at once: the one served, one fetched ahead
// and one being fetched. With those the fetcher never waits for the caller,
// who writes or inflates a piece far sooner than the next crosses the
// link. The connection keeps as many, so that no copy after the first
// waits for fresh pages.
constexpr size_t kPieces = 3;
// The last pieces of a file: each small enough that the caller is done
// with it while the next, smaller one is still on the link.
constexpr uint32_t kLastPiece = 128u << 10;
constexpr uint32_t kPieceBeforeLast = 1u << 20;

// Piece buffers are mapped on 2 MiB boundaries and asked for huge pages,
// with their pages put in place at once: touching 4 KiB pages one fault at
// a time costs more than copying the bytes through them.
constexpr size_t kHugePage = size_t{2} << 20;
struct Unmap {
  void operator()(char* bytes) const noexcept { (void)munmap(bytes, kFetchSize); }
};
using Bytes = std::unique_ptr<char[], Unmap>;

Bytes new_piece() noexcept {
  void* mapped = mmap(nullptr, kFetchSize + kHugePage, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  char* const whole = static_cast<char*>(mapped);
  const uintptr_t misaligned = reinterpret_cast<uintptr_t>(whole) % kHugePage;
  char* const start = whole + (misaligned ? kHugePage - misaligned : 0);
  if (start > whole) (void)munmap(whole, static_cast<size_t>(start - whole));
  const size_t after = kHugePage - static_cast<size_t>(start - whole);
  if (after > 0) (void)munmap(start + kFetchSize, after);
  // Advice only: without it the pages come one fault at a time.
  (void)madvise(start, kFetchSize, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
  (void)madvise(start, kFetchSize, MADV_POPULATE_WRITE);
#endif
  return Bytes(start);
}

struct Piece {
  Bytes bytes;
  afc_error_t status = AFC_E_SUCCESS;
  uint32_t got = 0;
};

constexpr uint64_t kUnknownSize = UINT64_MAX;

struct ReadAhead {
  ReadAhead() = default;
  ReadAhead(const ReadAhead&) = delete;  // a fetcher points at its state
  ReadAhead& operator=(const ReadAhead&) = delete;
  ~ReadAhead() { (void)halt(); }

  // The file as the device holds it; touched by whichever thread fetches
  // (the fetcher while it runs, the caller otherwise).
  uint64_t size = kUnknownSize;  // bytes in the file, when known
  uint64_t device_pos = 0;       // the device's position in the file
  // Not success once a size query could not put the device's position
  // back: reads and writes fail with it until a seek sets a known position.
  afc_error_t position_lost = AFC_E_SUCCESS;

  // The piece being served; only the caller's thread touches these.
  Bytes bytes;
  uint32_t start = 0;  // next byte of `bytes` to serve
  uint32_t end = 0;    // bytes held in `bytes`

  // The fetcher and what it hands over, guarded by `mutex`.
  std::thread fetcher;
  std::mutex mutex;
  std::condition_variable changed;
  // Fetched pieces in file order: a ring, so handing over allocates
  // nothing, with room for every buffer.
  std::array<Piece, kPieces> fetched;
  size_t first = 0;  // of `fetched`
  size_t count = 0;
  std::array<Bytes, kPieces> spare;  // buffers to fetch into, or null
  size_t buffers = 0;                // piece buffers held, wherever they are
  bool stop = false;
  bool fetching = false;  // the fetcher may still add a piece

  [[nodiscard]] uint32_t held() const noexcept { return end - start; }

  // Stops the fetcher, keeping what it fetched; returns how far the
  // device's position is ahead of the caller's.
  uint32_t pause() noexcept {
    {
      std::lock_guard lock(mutex);
      stop = true;
    }
    changed.notify_all();
    if (fetcher.joinable()) fetcher.join();
    stop = false;
    fetching = false;
    uint32_t ahead = held();
    for (size_t i = 0; i < count; ++i) {
      const Piece& piece = fetched[(first + i) % kPieces];
      if (piece.status == AFC_E_SUCCESS) ahead += piece.got;
    }
    return ahead;
  }

  // Forgets every buffered byte, keeping the buffers; the fetcher is
  // stopped.
  void forget() noexcept {
    start = end = 0;
    for (; count > 0; --count, first = (first + 1) % kPieces) keep_spare(fetched[first].bytes);
    first = 0;
  }

  // Puts a buffer with the spare ones; there is always room.
  void keep_spare(Bytes& buffer) noexcept {
    if (!buffer) return;
    for (Bytes& slot : spare)
      if (!slot) {
        slot = std::move(buffer);
        return;
      }
  }
  // A buffer to fetch into, with `mutex` held: a spare one, else null and
  // *make set while the file holds fewer than kPieces: one more is then
  // counted, for the caller to make without the lock (make_buffer).
  Bytes take_buffer(bool* make) noexcept {
    *make = false;
    for (Bytes& slot : spare)
      if (slot) return std::move(slot);
    if (buffers >= kPieces) return nullptr;
    ++buffers;
    *make = true;
    return nullptr;
  }
  // Makes the buffer take_buffer counted; null, uncounted again, when
  // memory runs out.
  Bytes make_buffer() noexcept {
    Bytes made = new_piece();
    if (!made) {
      std::lock_guard lock(mutex);
      --buffers;
    }
    return made;
  }
  [[nodiscard]] bool may_take_buffer() const noexcept {
    if (buffers < kPieces) return true;
    for (const Bytes& slot : spare)
      if (slot) return true;
    return false;
  }

  uint32_t halt() noexcept {
    const uint32_t ahead = pause();
    forget();
    return ahead;
  }
};

// Asks the file's size by seeking to its end and telling: replies of fixed
// size, which the library reads safely even when the link dies inside one
// (it reads a cut file-information list past its buffer). *size is
// kUnknownSize when the device will not say. The device's position is put
// back at `position`; a failure status means it could not be, and the
// position is then lost.
afc_error_t size_on_device(afc_client_t client, uint64_t file_ref, uint64_t position,
                           uint64_t* size) noexcept {
  *size = kUnknownSize;
  if (afc_file_seek(client, file_ref, 0, SEEK_END) != AFC_E_SUCCESS)
    return AFC_E_SUCCESS;  // not moved: the size stays unknown
  uint64_t end = 0;
  const afc_error_t told = afc_file_tell(client, file_ref, &end);
  const afc_error_t back =
      afc_file_seek(client, file_ref, static_cast<int64_t>(position), SEEK_SET);
  if (back != AFC_E_SUCCESS) return back;
  if (told == AFC_E_SUCCESS) *size = end;
  return AFC_E_SUCCESS;
}

// How much to ask for when `wanted` bytes would do: never more than the
// file still holds, one byte at its known end, and past the first piece,
// the last bytes in two shrinking pieces.
uint32_t request_size(const ReadAhead* state, uint32_t wanted) noexcept {
  if (!state || state->size == kUnknownSize) return wanted;
  if (state->device_pos >= state->size) return 1;
  const uint64_t left = state->size - state->device_pos;
  uint64_t asked = left;
  if (state->device_pos > 0 && wanted == kFetchSize) {
    if (left > kLastPiece + kPieceBeforeLast + kPieceBeforeLast / 2)
      asked = left - kLastPiece - kPieceBeforeLast;
    else if (left > kLastPiece)
      asked = left - kLastPiece;  // rather than a tiny piece before those two
  }
  return static_cast<uint32_t>(std::min<uint64_t>(wanted, asked));
}

// One device read on behalf of `state` (which may be null: nothing known),
// keeping its position and, when the file turns out longer than known, its
// size. *asked is the request's length.
afc_error_t read_tracked(afc_client_t client, uint64_t file_ref, ReadAhead* state, char* into,
                         uint32_t wanted, uint32_t* got, uint32_t* asked_out) noexcept {
  forget_tls_errors();
  const uint32_t asked = request_size(state, wanted);
  *asked_out = asked;
  *got = 0;
  const afc_error_t status = afc_file_read(client, file_ref, into, asked, got);
  *got = std::min(*got, asked);
  if (status != AFC_E_SUCCESS || !state) return status;
  state->device_pos += *got;
  if (state->size != kUnknownSize && state->device_pos > state->size) {
    const afc_error_t asked_size =
        size_on_device(client, file_ref, state->device_pos, &state->size);
    if (asked_size != AFC_E_SUCCESS) {
      *got = 0;  // the caller's position is lost with the device's
      state->position_lost = asked_size;
      return asked_size;
    }
  }
  return status;
}

void fetch_ahead(afc_client_t client, uint64_t file_ref, ReadAhead* state) noexcept {
  for (;;) {
    Piece piece;
    bool make = false;
    {
      std::unique_lock lock(state->mutex);
      state->changed.wait(lock, [state] { return state->stop || state->may_take_buffer(); });
      if (state->stop) break;
      piece.bytes = state->take_buffer(&make);
    }
    if (make) piece.bytes = state->make_buffer();
    if (!piece.bytes) break;  // no memory: the caller fetches for itself
    uint32_t asked = 0;
    piece.status =
        read_tracked(client, file_ref, state, piece.bytes.get(), kFetchSize, &piece.got, &asked);
    const bool full = piece.status == AFC_E_SUCCESS && piece.got == asked;
    {
      std::lock_guard lock(state->mutex);
      state->fetched[(state->first + state->count) % kPieces] = std::move(piece);
      ++state->count;
    }
    state->changed.notify_all();
    if (!full) break;
  }
  std::lock_guard lock(state->mutex);
  state->fetching = false;
  state->changed.notify_all();
}

// Starts the file's fetcher; without a thread the caller simply
// fetches each piece when it needs it.
void start_fetcher(AFCConnection* connection, uint64_t file_ref, ReadAhead* state) noexcept;

// Waits for the next fetched piece and makes it the one served. False when
// the fetcher has stopped with nothing more to hand over.
bool take_fetched(ReadAhead* state, afc_error_t* status) noexcept {
  Piece piece;
  {
    std::unique_lock lock(state->mutex);
    state->changed.wait(lock, [state] { return state->count > 0 || !state->fetching; });
    if (state->count == 0) return false;
    piece = std::move(state->fetched[state->first]);
    state->first = (state->first + 1) % kPieces;
    --state->count;
    state->keep_spare(state->bytes);
  }
  state->changed.notify_all();
  state->bytes = std::move(piece.bytes);
  state->start = 0;
  state->end = piece.status == AFC_E_SUCCESS ? piece.got : 0;
  *status = piece.status;
  return true;
}

}  // namespace

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

void start_fetcher(AFCConnection* connection, uint64_t file_ref, ReadAhead* state) noexcept {
  if (state->fetcher.joinable()) state->fetcher.join();  // ended by itself
  try {
    state->fetching = true;
    state->fetcher = std::thread(fetch_ahead, connection->client, file_ref, state);
  } catch (...) {
    state->fetching = false;
  }
}

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

// The file's buffer, made on first use; false when memory runs out.
bool has_buffer(ReadAhead* state) noexcept {
  if (!state->bytes) {
    bool make = false;
    {
      std::lock_guard lock(state->mutex);
      state->bytes = state->take_buffer(&make);
    }
    if (make) state->bytes = state->make_buffer();
  }
  return state->bytes != nullptr;
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

// Serves the caller from the buffer.
uint32_t serve(ReadAhead* state, void* buffer, uint32_t wanted) noexcept {
  uint32_t served = std::min(wanted, state->held());
  std::memcpy(buffer, state->bytes.get() + state->start, served);
  state->start += served;
  return served;
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
  if (!connection || !path || !file_ref || mode < AFC_FOPEN_RDONLY || mode > AFC_FOPEN_RDAPPEND)
    return AFC_E_INVALID_ARG;
  uint64_t handle = 0;
  afc_error_t opened =
      afc_file_open(connection->client, path, static_cast<afc_file_mode_t>(mode), &handle);
  if (opened != AFC_E_SUCCESS) return opened;
  std::lock_guard lock(connection->mutex);
  // A handle the device hands out again starts with no stale bytes.
  forget_file(connection, handle);
  // Appending files move their position on every write in ways not worth
  // following; they are read without read-ahead or a known size.
  if (mode != AFC_FOPEN_APPEND && mode != AFC_FOPEN_RDAPPEND) {
    try {
      ReadAhead& state = connection->files[handle];
      // Truncating modes start empty; the others hold what the device says.
      const bool truncates = mode == AFC_FOPEN_WRONLY || mode == AFC_FOPEN_WR;
      state.size = 0;
      const afc_error_t asked_size =
          truncates ? AFC_E_SUCCESS : size_on_device(connection->client, handle, 0, &state.size);
      if (asked_size != AFC_E_SUCCESS) {
        // A file whose start cannot be found again is no open file.
        connection->files.erase(handle);
        (void)afc_file_close(connection->client, handle);
        return asked_size;
      }
      lend_pieces(connection, &state);
    } catch (...) {
      connection->files.erase(handle);  // out of memory: read as above
    }
  }
  *file_ref = handle;
  return 0;
}

int32_t AFCFileRefRead(AFCConnectionRef connection, uint64_t file_ref, void* buffer,
                       uint32_t* length) noexcept {
  // Most reads are served from the buffer without the library; the device
  // reads below clear stale TLS errors themselves.
  if (!length) return AFC_E_INVALID_ARG;
  uint32_t wanted = *length;
  *length = 0;
  if (!connection || (!buffer && wanted > 0)) return AFC_E_INVALID_ARG;
  if (file_ref == 0) return AFC_E_INVALID_ARG;
  if (wanted == 0) return 0;

  std::lock_guard lock(connection->mutex);
  ReadAhead* state = state_of(connection, file_ref);
  if (state && state->held() == 0) {
    // A file with more than a piece still to come is read by the fetcher
    // from its first piece on, the caller waiting for it: all of its
    // requests then leave from one thread, as soon as a buffer is free.
    // Only once nothing is fetched or being fetched: the file's position
    // and size are then the caller's to read.
    bool idle = false;
    {
      std::lock_guard file_lock(state->mutex);
      idle = !state->fetching && state->count == 0;
    }
    if (idle && wanted < kFetchSize && state->position_lost == AFC_E_SUCCESS &&
        state->size != kUnknownSize && state->size > state->device_pos &&
        state->size - state->device_pos > kFetchSize)
      start_fetcher(connection, file_ref, state);
    afc_error_t status = AFC_E_SUCCESS;
    if (take_fetched(state, &status)) {
      if (status != AFC_E_SUCCESS) return status;
      if (state->held() == 0) return 0;  // the device's end of file
    }
  }
  if (state && state->held() > 0) {
    *length = serve(state, buffer, wanted);
    return 0;
  }
  // Here nothing is buffered and no fetcher runs: the device's position is
  // the caller's, unless it was lost.
  if (state && state->position_lost != AFC_E_SUCCESS) return state->position_lost;

  // Large requests gain nothing from the buffer; so does a file whose
  // buffer cannot be had: read straight into the caller's memory.
  if (wanted >= kFetchSize || !state || !has_buffer(state)) {
    uint32_t got = 0;
    uint32_t asked = 0;
    afc_error_t read = read_tracked(connection->client, file_ref, state, static_cast<char*>(buffer),
                                    wanted, &got, &asked);
    if (read != AFC_E_SUCCESS) return read;
    *length = got;
    return 0;
  }

  uint32_t got = 0;
  uint32_t asked = 0;
  afc_error_t read = read_tracked(connection->client, file_ref, state, state->bytes.get(),
                                  kFetchSize, &got, &asked);
  if (read != AFC_E_SUCCESS) return read;
  state->start = 0;
  state->end = got;
  if (got == asked) start_fetcher(connection, file_ref, state);
  *length = serve(state, buffer, wanted);
  return 0;
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
  if (!connection || file_ref == 0 || whence > SEEK_END) return AFC_E_INVALID_ARG;
  std::lock_guard lock(connection->mutex);
  ReadAhead* state = state_of(connection, file_ref);
  // The buffered bytes stay until the device has moved: if it does not,
  // the caller reads on from where it was.
  const uint32_t unread = state ? state->pause() : 0;
  // Relative moves count from the caller's position, behind the device's.
  if (whence == SEEK_CUR) offset -= unread;
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
      const uint64_t base = whence == SEEK_SET ? 0 : state->device_pos;
      state->device_pos = base + static_cast<uint64_t>(offset);
      if (whence == SEEK_SET) state->position_lost = AFC_E_SUCCESS;
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
