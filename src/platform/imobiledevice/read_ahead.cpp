// The file service's read-ahead (read_ahead.h): its buffers, its fetcher
// and the caller's reads through it.
#include "platform/imobiledevice/read_ahead.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/imobiledevice/internal.h"

namespace imd_internal {

namespace {

// The last pieces of a file: each small enough that the caller is done
// with it while the next, smaller one is still on the link.
constexpr uint32_t kLastPiece = 128u << 10;
constexpr uint32_t kPieceBeforeLast = 1u << 20;

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

// The fetcher's next buffer: null once it is told to stop or memory runs
// out, and the caller then fetches for itself.
Bytes next_buffer(ReadAhead* state) noexcept {
  bool make = false;
  Bytes bytes;
  {
    std::unique_lock lock(state->mutex);
    state->changed.wait(lock, [state] { return state->stop || state->may_take_buffer(); });
    if (state->stop) return nullptr;
    bytes = state->take_buffer(&make);
  }
  if (make) bytes = state->make_buffer();
  return bytes;
}

void fetch_ahead(afc_client_t client, uint64_t file_ref, ReadAhead* state) noexcept {
  for (;;) {
    Piece piece;
    piece.bytes = next_buffer(state);
    if (!piece.bytes) break;
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

// Starts the file's fetcher; without a thread the caller simply fetches
// each piece when it needs it.
void start_fetcher(afc_client_t client, uint64_t file_ref, ReadAhead* state) noexcept {
  if (state->fetcher.joinable()) state->fetcher.join();  // ended by itself
  try {
    state->fetching = true;
    state->fetcher = std::thread(fetch_ahead, client, file_ref, state);
  } catch (...) {
    state->fetching = false;
  }
}

// Whether a file with nothing buffered is worth fetching from its next
// piece on, the caller waiting for it: one with more than a piece still to
// come, so that all of its requests leave from one thread as soon as a
// buffer is free. Decided once nothing is fetched or being fetched: the
// file's position and size are then the caller's to read.
bool worth_fetching_ahead(ReadAhead* state, uint32_t wanted) noexcept {
  bool idle = false;
  {
    std::lock_guard file_lock(state->mutex);
    idle = !state->fetching && state->count == 0;
  }
  return idle && wanted < kFetchSize && state->position_lost == AFC_E_SUCCESS &&
         state->size != kUnknownSize && state->size > state->device_pos &&
         state->size - state->device_pos > kFetchSize;
}

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

// Serves the caller from the buffer.
uint32_t serve(ReadAhead* state, void* buffer, uint32_t wanted) noexcept {
  const uint32_t served = std::min(wanted, state->held());
  std::memcpy(buffer, state->bytes.get() + state->start, served);
  state->start += served;
  return served;
}

// Fills the file's buffer with one piece read on the caller's thread, lets
// the fetcher go on after a full reply, and serves the caller from it.
afc_error_t fetch_and_serve(afc_client_t client, uint64_t file_ref, ReadAhead* state, void* buffer,
                            uint32_t wanted, uint32_t* length) noexcept {
  uint32_t got = 0;
  uint32_t asked = 0;
  const afc_error_t read =
      read_tracked(client, file_ref, state, state->bytes.get(), kFetchSize, &got, &asked);
  if (read != AFC_E_SUCCESS) return read;
  state->start = 0;
  state->end = got;
  if (got == asked) start_fetcher(client, file_ref, state);
  *length = serve(state, buffer, wanted);
  return AFC_E_SUCCESS;
}

}  // namespace

uint32_t ReadAhead::pause() noexcept {
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

void ReadAhead::forget() noexcept {
  start = end = 0;
  for (; count > 0; --count, first = (first + 1) % kPieces) keep_spare(fetched[first].bytes);
  first = 0;
}

uint32_t ReadAhead::halt() noexcept {
  const uint32_t ahead = pause();
  forget();
  return ahead;
}

void ReadAhead::keep_spare(Bytes& buffer) noexcept {
  if (!buffer) return;
  for (Bytes& slot : spare)
    if (!slot) {
      slot = std::move(buffer);
      return;
    }
}

Bytes ReadAhead::take_buffer(bool* make) noexcept {
  *make = false;
  for (Bytes& slot : spare)
    if (slot) return std::move(slot);
  if (buffers >= kPieces) return nullptr;
  ++buffers;
  *make = true;
  return nullptr;
}

Bytes ReadAhead::make_buffer() noexcept {
  Bytes made = new_piece();
  if (!made) {
    std::lock_guard lock(mutex);
    --buffers;
  }
  return made;
}

bool ReadAhead::may_take_buffer() const noexcept {
  if (buffers < kPieces) return true;
  for (const Bytes& slot : spare)
    if (slot) return true;
  return false;
}

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

afc_error_t read_straight(afc_client_t client, uint64_t file_ref, ReadAhead* state, void* buffer,
                          uint32_t wanted, uint32_t* length) noexcept {
  uint32_t got = 0;
  uint32_t asked = 0;
  const afc_error_t read =
      read_tracked(client, file_ref, state, static_cast<char*>(buffer), wanted, &got, &asked);
  if (read != AFC_E_SUCCESS) return read;
  *length = got;
  return AFC_E_SUCCESS;
}

afc_error_t read_ahead_read(afc_client_t client, uint64_t file_ref, ReadAhead* state, void* buffer,
                            uint32_t wanted, uint32_t* length) noexcept {
  if (state->held() == 0) {
    if (worth_fetching_ahead(state, wanted)) start_fetcher(client, file_ref, state);
    afc_error_t status = AFC_E_SUCCESS;
    if (take_fetched(state, &status)) {
      if (status != AFC_E_SUCCESS) return status;
      if (state->held() == 0) return AFC_E_SUCCESS;  // the device's end of file
    }
  }
  if (state->held() > 0) {
    *length = serve(state, buffer, wanted);
    return AFC_E_SUCCESS;
  }
  // Here nothing is buffered and no fetcher runs: the device's position is
  // the caller's, unless it was lost.
  if (state->position_lost != AFC_E_SUCCESS) return state->position_lost;
  // Large requests gain nothing from the buffer; so does a file whose
  // buffer cannot be had: read straight into the caller's memory.
  if (wanted >= kFetchSize || !has_buffer(state))
    return read_straight(client, file_ref, state, buffer, wanted, length);
  return fetch_and_serve(client, file_ref, state, buffer, wanted, length);
}

}  // namespace imd_internal
