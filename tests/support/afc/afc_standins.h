// File: tests/support/afc/afc_standins.h
//
// Stand-ins for the libimobiledevice calls the production file-service
// layer (src/platform/imobiledevice/afc.cpp and its read-ahead) makes, and
// for the two calls of the device part it needs (service_take,
// AMDeviceRelease): a scriptable device holding one file, shared by the
// fuzz harness and the production layer's own tests. Linked into a program
// in place of the library's AFC calls; never with the in-process fake.
//
// The file's byte at position p is fixed (pattern()), so every byte the
// layer hands out, and every byte it writes, can be checked against the
// position it belongs to. Rules say how the device answers: short or empty
// replies, replies claiming more than was asked, failed reads, seeks,
// tells, writes, opens and closes, each at one position or from it on; and
// the file may grow once a reply reaches a position. Rules depend only on
// the call and the device's position, never on timing, so what the fetcher
// thread gets is the same whenever it runs.
//
// What the device itself checks, aborting with a message on stderr:
//   - while the layer can know the file's size, no request asks past the
//     bytes the file holds (one byte at the end asks whether it grew);
//   - a write lands at the caller's position (its bytes are the pattern's
//     there);
//   - no call reaches a client never handed out or a handle the device
//     does not hold open, and no client is freed twice.
//
//   afc_standins::reset(10u << 20);             // one file of 10 MiB
//   afc_standins::add_rule({On::ReadShort, false, 0, 4u << 20});
//   AFCConnectionOpen(afc_standins::kServiceHandle, 0, &connection); ...
#pragma once

#include <libimobiledevice/afc.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace afc_standins {

[[noreturn]] void fail(const char* what);

// Large enough for several read-ahead pieces and the seeds' boundaries.
constexpr uint64_t kMaxFile = (16u << 20) + (64u << 10);

// The file's bytes, kMaxFile of them: 4-byte words, each a different
// multiple of an odd number, so a byte out of place almost never matches.
const uint8_t* pattern();

// The one service AFCConnectionOpen accepts: its descriptor and device are
// empty.
constexpr uint32_t kServiceHandle = 1;

// A failure status chosen by a rule's parameter.
afc_error_t status_of(uint8_t param);

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

// A read request as the device received it.
struct Request {
  uint64_t pos;
  uint32_t length;
};

struct AfcClientStandIn {};

// The device. Guarded by `mutex`: the caller and fetcher threads call in.
struct Device {
  std::mutex mutex;
  uint64_t size = 0;
  std::vector<Rule> rules;
  std::map<uint64_t, OpenFile> files;
  uint64_t next_handle = 0;  // what the next open hands out
  afc_error_t client_status = AFC_E_SUCCESS;
  bool null_client = false;
  int clients = 0;  // handed out and not freed
  AfcClientStandIn client;
  // Once a reply ends at or past grow_at, the file holds grow_to bytes.
  uint64_t grow_at = UINT64_MAX;
  uint64_t grow_to = 0;
  std::vector<Request> requests;  // every read request, in order

  [[nodiscard]] const Rule* rule(On on, uint64_t pos) const;
  OpenFile& file(afc_client_t c, uint64_t handle, const char* call);
};

// Never freed: a fuzzer's exit does not join the layer's threads.
extern Device* const device;

// A device with one file of `size` bytes, no rules and nothing open; the
// next open hands out handle 1.
void reset(uint64_t size);
void add_rule(const Rule& rule);
// The requests the device has received so far.
std::vector<Request> requests();

}  // namespace afc_standins
