// File: platform/imobiledevice/read_ahead.h
//
// The file service's read-ahead: the state kept per open device file and
// the reads made through it. Callers read in 8192-byte pieces, and over USB
// every request costs a round trip with the link idle; so a read fetches up
// to kFetchSize bytes from the device into a piece buffer and serves the
// small reads from it. A fetcher thread of the file asks for the following
// pieces while it has a buffer to fetch into (kPieces per file), from the
// first piece when the file is known to hold more than one, else after a
// full reply; so the device's round trips overlap the caller's own work
// instead of adding to it. Near the known end the pieces shrink, so that
// what the caller still has to do once the last byte has arrived (writing
// it, inflating it) is small.
//
// What the device says stays visible:
//   - a short reply is served as it came, never topped up with a second
//     request; the fetcher stops at the first reply shorter than its
//     request;
//   - the end of the file is the device's empty reply;
//   - a failure status is returned by the read that asks past the bytes
//     delivered before it;
//   - seek, write and close stop the fetcher first (pause), and drop the
//     buffered bytes (forget) only once the device has done what they
//     asked: a failed one leaves them to be read.
//
// No request asks past the bytes the file still holds. When the link dies
// inside a reply, libimobiledevice 1.3.0 reports the count it was promised
// and copies that many bytes out of a buffer sized for the reply: a reply
// shorter than the request then reads past that buffer's end. So each file
// carries its size (asked at open by seeking to its end) and the device's
// position, requests are cut to what remains (request_size), and at the
// known end a one-byte request asks whether the file has grown.
//
// Threads: the caller's thread is the one holding the connection's lock
// (afc.cpp); the fetcher is the file's own thread.
//   - `size`, `device_pos` and `position_lost` belong to whichever thread
//     fetches: the fetcher from its start until it has cleared `fetching`
//     (under `mutex`) or been joined, the caller otherwise. So the caller
//     decides whether a fetcher may start from a file's first piece under
//     `mutex`, and reads them only once nothing is fetched or being
//     fetched.
//   - `bytes`, `start` and `end` (the piece being served) are the caller's
//     alone.
//   - `mutex` guards the hand-over: `fetched`, `first`, `count`, `spare`,
//     `buffers`, `stop` and `fetching`; `changed` is signalled on each
//     change of them.
//   - A file holds at most kPieces piece buffers, wherever they are
//     (served, fetched, spare or being fetched).
#pragma once

#include <libimobiledevice/afc.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/imobiledevice/pieces.h"

namespace imd_internal {

// Piece buffers a file may hold at once: the one served, one fetched ahead
// and one being fetched. With those the fetcher never waits for the caller,
// who writes or inflates a piece far sooner than the next crosses the
// link. The connection keeps as many, so that no copy after the first
// waits for fresh pages.
constexpr size_t kPieces = 3;

constexpr uint64_t kUnknownSize = UINT64_MAX;

// One device reply: its bytes, its status and how many bytes it carried.
struct Piece {
  Bytes bytes;
  afc_error_t status = AFC_E_SUCCESS;
  uint32_t got = 0;
};

struct ReadAhead {
  ReadAhead() = default;
  ReadAhead(const ReadAhead&) = delete;  // a fetcher points at its state
  ReadAhead& operator=(const ReadAhead&) = delete;
  ~ReadAhead() { (void)halt(); }

  // The file as the device holds it.
  uint64_t size = kUnknownSize;  // bytes in the file, when known
  uint64_t device_pos = 0;       // the device's position in the file
  // Not success once a size query could not put the device's position
  // back: reads and writes fail with it until a seek sets a known position.
  afc_error_t position_lost = AFC_E_SUCCESS;

  // The piece being served.
  Bytes bytes;
  uint32_t start = 0;  // next byte of `bytes` to serve
  uint32_t end = 0;    // bytes held in `bytes`

  // The fetcher and what it hands over.
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
  uint32_t pause() noexcept;
  // Forgets every buffered byte, keeping the buffers; the fetcher is
  // stopped.
  void forget() noexcept;
  // pause, then forget.
  uint32_t halt() noexcept;

  // Puts a buffer with the spare ones, with `mutex` held or the fetcher
  // stopped; there is always room.
  void keep_spare(Bytes& buffer) noexcept;
  // A buffer to fetch into, with `mutex` held: a spare one, else null and
  // *make set while the file holds fewer than kPieces: one more is then
  // counted, for the caller to make without the lock (make_buffer).
  Bytes take_buffer(bool* make) noexcept;
  // Makes the buffer take_buffer counted; null, uncounted again, when
  // memory runs out.
  Bytes make_buffer() noexcept;
  [[nodiscard]] bool may_take_buffer() const noexcept;
};

// ---- Device calls that keep the file's state ------------------------------

// Asks the file's size by seeking to its end and telling: replies of fixed
// size, which the library reads safely even when the link dies inside one
// (it reads a cut file-information list past its buffer). *size is
// kUnknownSize when the device will not say. The device's position is put
// back at `position`; a failure status means it could not be, and the
// position is then lost.
[[nodiscard]] afc_error_t size_on_device(afc_client_t client, uint64_t file_ref, uint64_t position,
                                         uint64_t* size) noexcept;

// One device read on behalf of `state` (which may be null: nothing known),
// keeping its position and, when the file turns out longer than known, its
// size. *got is the count read, *asked the request's length (never past the
// known end: request_size).
[[nodiscard]] afc_error_t read_tracked(afc_client_t client, uint64_t file_ref, ReadAhead* state,
                                       char* into, uint32_t wanted, uint32_t* got,
                                       uint32_t* asked) noexcept;

// ---- The caller's read ----------------------------------------------------

// Reads at most `wanted` (> 0) bytes of the file into `buffer` through its
// read-ahead, with the connection's lock held; *length becomes the count
// served, 0 at the device's end of file. Returns the device's status for
// the first request past the bytes already served, or the status that lost
// the file's position.
[[nodiscard]] afc_error_t read_ahead_read(afc_client_t client, uint64_t file_ref, ReadAhead* state,
                                          void* buffer, uint32_t wanted, uint32_t* length) noexcept;

// Reads straight into the caller's memory, as for a file without
// read-ahead (`state` null) or a request as large as a piece.
[[nodiscard]] afc_error_t read_straight(afc_client_t client, uint64_t file_ref, ReadAhead* state,
                                        void* buffer, uint32_t wanted, uint32_t* length) noexcept;

}  // namespace imd_internal
