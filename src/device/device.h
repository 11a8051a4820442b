// File: device/device.h
//
// The device link: afclink's one connection to one handheld, the file
// operations on its file service, and the connection sequence run on device
// notifications.
//
// Threads (no lock guards the link):
//   - The device thread subscribes, receives every notification and runs the
//     connection sequence. It writes device_ref and afc_conn only while
//     `connected` is 0, and stores `connected` = 1 last, with release order,
//     which publishes afc_conn.
//   - The main thread reads `connected` with acquire order, uses afc_conn
//     only after reading 1, clears `connected` on disconnect, and alone
//     writes and reads err_text and every DeviceFile. `disconnect` and the
//     sequence's final store of `connected` take the sequence's
//     publish_mutex, so an attempt that ends after `disconnect` can never
//     make the link connected again (it closes what it opened).
//   - `wait` has one writer, the device thread; the main thread asks it to
//     look afresh (mdv_ask_to_look) and counts the link as connecting until
//     it has.
//   - A link that is lost while connected (the device unplugged, or its
//     file-service connection found dead) is only marked so (`lost`) by
//     whichever thread notices; the main thread retires it between
//     commands (mdv_retire_if_lost), closing afc_conn before it clears
//     `connected`, so the device thread never frees a connection in use.
//
// Failures inside the file layer append one message each to err_text
// through mdv_add_err (messages separated by one blank) and return null or
// -1; the connection sequence reports through its result and `connected`
// only. Nothing here prints.
//
// Example:
//   DeviceLink* link = mdv_new(nullptr, on_attempt, nullptr);
//   // device thread: mdv_subscribe_to_notifications(link); CFRunLoopRun();
//   // main thread, once connected:
//   DeviceFilePtr f(mdv_file_open(link, "/iTunes_Control/iTunes/iTunesDB", 'r'));
//   char piece[8192];
//   int32_t n = f ? mdv_file_read(f.get(), piece, sizeof piece) : -1;
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "membuf/MemBuf.h"
#include "platform/MobileDevice.h"

struct DeviceLink;
using DeviceConnectCallback = int32_t (*)(DeviceLink* link, void* arg);

// What the device thread waits for before it tries again by itself.
enum class DeviceWait : uint8_t {
  nothing,      // connected, or nothing asked yet
  attempt,      // an attempt is running or queued
  plug_in,      // no phone shown (yet), or it went
  unlock,       // the phone is locked: tried again every couple of seconds
  trust,        // the trust prompt shows: asked again every couple of
                // seconds, and at once when usbmuxd reports the phone paired
  retry,        // a session that failed as right after Trust: a few more tries
  new_connect,  // refused in a way that trying again cannot mend: only
                // `connect` or a replug tries again
};

// The step of the connection sequence that failed.
enum class DeviceStep : uint8_t { none, connect, pair, validate, session, service, open };

// What the device thread saw and how its last attempt ended: a copy for
// the main thread (mdv_report). No device I/O is needed to read it.
struct DeviceReport {
  static constexpr int32_t kMuxNotAsked = 1;
  int32_t mux_status = kMuxNotAsked;  // 0: usbmuxd answers; else -errno
  uint32_t mux_shown = 0;             // devices usbmuxd shows
  bool phone_seen = false;            // `phone` describes a phone announced once
  bool phone_attached = false;        // and it is still plugged in
  AMDeviceDescription phone{};
  bool attempted = false;                     // an attempt has ended
  DeviceStep failed_step = DeviceStep::none;  // none: the last attempt connected
  int32_t failed_status = 0;                  // the framework status of that step
  int32_t tries_left = 0;                     // for DeviceWait::retry
  // The phone `connect UDID` bound the link to; empty: whichever phone
  // usbmuxd shows first, and once it is gone any other. Written by the
  // main thread (mdv_choose_phone) before it asks for an attempt.
  char chosen_udid[65] = {};
};

// How one run of the connection sequence ended: the step that failed and
// the framework status it gave ({none, 0}: connected), and the same end as
// mdv_connect's one integer, for its callers.
struct DeviceOutcome {
  DeviceStep step = DeviceStep::none;
  int32_t status = 0;
  int32_t code = 0;
};

// The connection sequence's own state, one per link. Device thread only,
// except where a field says otherwise.
struct ConnectionSequence {
  static constexpr int32_t kSessionTries = 5;
  static constexpr uint32_t kNoWatch = UINT32_MAX;
  DeviceOutcome last;  // how the running or last attempt ended
  // Tries left for a failing session; a plug-in or `connect` gives a full
  // count again.
  int32_t session_tries_left = kSessionTries;
  // The last attempt paired the phone itself: usbmuxd then reports the
  // phone paired, and that echo of our own pairing must not start the
  // failed attempt again (it would pair again, and so on for ever).
  bool paired_by_last_attempt = false;
  // Bumped by every event after which a planned retry no longer applies: a
  // plug-in, an unplug, usbmuxd's "paired", `connect`, `disconnect`. A
  // retry carries the value it was planned under and does nothing once the
  // value has moved on. Any thread.
  std::atomic<uint32_t> retry_epoch{0};
  // Bumped by `connect` and `disconnect`: a usbmuxd watch started before
  // then ends. Any thread.
  std::atomic<uint32_t> want_epoch{0};
  uint32_t mux_watch_epoch = kNoWatch;  // the epoch whose watch runs
  // `disconnect`s so far (written under publish_mutex), and their count when
  // the running attempt started: an attempt that ends after a `disconnect`
  // releases what it opened instead of publishing it, so `status` after
  // `disconnect`'s "ok" is never "connected".
  std::atomic<uint32_t> disconnects{0};
  uint32_t disconnects_at_start = 0;
  std::mutex publish_mutex;  // `connected` changes for a want under it
  // The main thread's requests that the device thread look at the phones
  // afresh (`connect`, a retired link), and how many it has taken: while
  // they differ the link counts as connecting. `asked` is the main thread's,
  // `looked` the device thread's.
  std::atomic<uint32_t> asked{0};
  std::atomic<uint32_t> looked{0};
};

struct DeviceLink {
  // Owned; "com.apple.afc" by default. Kept as the link interface has it,
  // but the sequence always starts "com.apple.afc", the one service that
  // serves files: a link named otherwise still reaches the phone's files.
  char* service_name;
  // Unique in the process: planned work finds out whether its link lives.
  uint64_t serial;
  std::atomic<int32_t> connected;    // 1 once afc_conn is usable
  AMDeviceRef device_ref;            // the device of the last notification
  AFCConnectionRef afc_conn;         // the open file-service connection
  DeviceConnectCallback connect_cb;  // run after every connection attempt
  void* connect_arg;
  MemBuf* err_text;           // owned character buffer
  std::atomic<int32_t> lost;  // 1: the connection is gone; retire it
  // 1 from `connect` until `disconnect`: only then does the device thread
  // try again by itself (a locked phone, a pending prompt, a failed session).
  std::atomic<int32_t> wanted;
  std::atomic<DeviceWait> wait;  // written by the device thread alone
  std::mutex report_mutex;       // guards report
  DeviceReport report;
  ConnectionSequence sequence;
};

// The acquire reads the thread rules above call for, written once: after
// true, the storing thread's earlier writes (afc_conn) are visible.
[[nodiscard]] inline bool mdv_is_connected(const DeviceLink* link) noexcept {
  return link->connected.load(std::memory_order_acquire) != 0;
}
[[nodiscard]] inline bool mdv_is_wanted(const DeviceLink* link) noexcept {
  return link->wanted.load(std::memory_order_acquire) != 0;
}

// ---- The link record ------------------------------------------------------

// A new link with a copy of `service_name` ("com.apple.afc" when null or
// empty) and an empty error text; it becomes the link that notifications
// reach. Null when the link cannot be allocated. Free with mdv_free.
[[nodiscard]] DeviceLink* mdv_new(const char* service_name, DeviceConnectCallback connect_cb,
                                  void* connect_arg) noexcept;
// Frees the name, the error text and the record; notifications then reach
// no link. Neither closes afc_conn nor releases device_ref.
// afclink's own link lives until the process ends; kept for the tests,
// fuzzers and benchmarks, which make a link each.
void mdv_free(DeviceLink* link) noexcept;
// Stores `device` retained, releasing the one stored before; nothing when it
// is the one already stored.
// afclink itself never calls this: part of the fixed link interface, kept
// for the unit tests and the fuzzers.
void mdv_set_dev(DeviceLink* link, AMDeviceRef device) noexcept;
// Appends one printf-formatted message to err_text, after one blank when
// the text is not empty.
void mdv_add_err(DeviceLink* link, const char* format, ...) noexcept
    __attribute__((format(printf, 2, 3)));

// ---- Device files ---------------------------------------------------------

struct DeviceFile {
  char* file_path;    // owned copy of the device path, for messages
  uint64_t file_ref;  // the framework's reference; 0: not open
  DeviceLink* link;   // borrowed
  uint64_t position;  // bytes read or sought to since the start
};

// Opens a device file: mode 'r' (framework mode 1) or 'w' (mode 3). Null on
// failure, with a message, except for another mode character: null, no
// message, no framework call. Free with mdv_file_free0.
[[nodiscard]] DeviceFile* mdv_file_open(DeviceLink* link, const char* path, char mode) noexcept;
// One framework read of at most `count` bytes: the count read, or -1 with a
// message naming the requested count. 0 only at the end of the file as the
// device gives it when asked where that is: an empty reply before it is a
// failed read, since device libraries have reported a link lost mid-copy as
// an empty reply.
[[nodiscard]] int32_t mdv_file_read(DeviceFile* file, void* buffer, int32_t count) noexcept;
// One framework write: `count`, or -1 with a message.
// afclink itself never calls this: part of the fixed file interface, kept
// for the unit tests.
[[nodiscard]] int32_t mdv_file_write(DeviceFile* file, const void* buffer, int32_t count) noexcept;
// Moves to `position` from the start: 0, or -1 with a message.
// afclink itself never calls this: part of the fixed file interface, kept
// for the unit tests.
[[nodiscard]] int32_t mdv_file_seek(DeviceFile* file, int64_t position) noexcept;
// Closes the file: 0 (file_ref becomes 0), or -1 with a message (file_ref
// kept, so a later mdv_file_free0 tries once more).
[[nodiscard]] int32_t mdv_file_close(DeviceFile* file) noexcept;
// Sets *holder to null; closes the file when still open (a failure leaves
// its message), then frees it. Null is ignored.
void mdv_file_free0(DeviceFile** holder) noexcept;

// Asks the device about `path` without opening it, into *info (zeroed
// first): 0; 1 when nothing is at that path (no message, since a missing
// file is often the answer the caller wants); -1 with a message.
[[nodiscard]] int32_t mdv_file_info(DeviceLink* link, const char* path, AFCFileInfo* info) noexcept;

struct DeviceFileFree {
  void operator()(DeviceFile* file) const noexcept { mdv_file_free0(&file); }
};
using DeviceFilePtr = std::unique_ptr<DeviceFile, DeviceFileFree>;

// ---- Connection -----------------------------------------------------------

// Subscribes the calling thread to device notifications for `link`: 0, or
// -1 when the framework refuses. Call it on the thread that then runs its
// run loop.
int32_t mdv_subscribe_to_notifications(DeviceLink* link) noexcept;
// The connection sequence on device_ref, told as the step that failed and
// its status ({none, 0}: `connected` is set). A connection left from an
// earlier sequence is released before it is replaced; one made after a
// `disconnect` that came while the sequence ran is released again, with
// kAMDWithdrawn at the open step.
[[nodiscard]] DeviceOutcome mdv_run_sequence(DeviceLink* link) noexcept;
// The same as one integer: 0, or -1 (connect), -2 (pairing), -3
// (validation, pairing again included), -4 (session), or
// mdv_connect_to_afc's -1/-2.
int32_t mdv_connect(DeviceLink* link) noexcept;
// Starts "com.apple.afc" and opens its connection: 0, -1 (service), -2 (open).
int32_t mdv_connect_to_afc(DeviceLink* link) noexcept;
// Handles a detach while not connected. Always 0.
int32_t mdv_disconnect(DeviceLink* link) noexcept;

// ---- Trying again, and what was seen --------------------------------------
//
// After a failed attempt the device thread decides by itself when to try
// again (DeviceWait): a locked phone and a pending trust prompt every
// couple of seconds for as long as the phone stays plugged in, a session
// or service connection that fails (as the first ones right after Trust
// may) a few times over about ten seconds; usbmuxd's "paired" runs any
// failed attempt again at once. Each retry is a timer on the device
// thread's run loop, so nothing ever sleeps there; a retry that finds the
// connection no longer wanted, or a newer event than the one it was
// planned after, does nothing.

// Main thread: `connect` (true) or `disconnect` (false). Retries planned
// before the call are dropped either way. `disconnect` also clears
// `connected`, in step with an attempt that is finishing (see
// ConnectionSequence::disconnects).
void mdv_want_connection(DeviceLink* link, bool wanted) noexcept;
// Main thread: asks the device thread to look at the phones afresh (after
// `connect`, or once a lost link is retired). Until it has, the link counts
// as connecting (mdv_look_pending).
void mdv_ask_to_look(DeviceLink* link) noexcept;
[[nodiscard]] bool mdv_look_pending(const DeviceLink* link) noexcept;
// Device thread: takes every request asked so far: the wait becomes what
// it knows of the phone, the subscription is made afresh (so attached
// phones are announced again), and usbmuxd is watched.
void mdv_look_again(DeviceLink* link) noexcept;
// Main thread, with `connect`, before it asks for an attempt: binds the
// link to the phone of `udid` (at most 64 characters), or, when null or
// empty, to whichever phone usbmuxd shows first. A bound link hears of no
// other phone: it waits for that one, plugged in or not.
void mdv_choose_phone(DeviceLink* link, const char* udid) noexcept;
// Device thread: asks usbmuxd whether it answers now and every couple of
// seconds while a connection is wanted and not made, for the report.
void mdv_watch_mux(DeviceLink* link) noexcept;
// Any thread: a copy of what the device thread recorded.
[[nodiscard]] DeviceReport mdv_report(DeviceLink* link) noexcept;
// The pause before the device thread tries again by itself (a locked phone,
// a pending prompt, a failed session), for texts that name it.
[[nodiscard]] std::chrono::milliseconds mdv_retry_pause() noexcept;

// ---- A lost link ----------------------------------------------------------

// Marks the connection as gone; any thread. Nothing else changes here.
void mdv_mark_lost(DeviceLink* link) noexcept;
// Main thread, between commands: when the link is connected but marked
// lost, closes afc_conn, clears `connected` and returns 1 (the caller then
// asks for a new attempt); otherwise 0.
int32_t mdv_retire_if_lost(DeviceLink* link) noexcept;
// True for the file-service statuses that mean the connection itself is
// gone or out of step, not merely that one request failed.
[[nodiscard]] bool mdv_status_means_lost(int32_t status) noexcept;

namespace device_internal {
// The link that notifications reach; set by mdv_new, cleared by mdv_free.
// Atomic: the device thread's planned retries look at it too.
extern std::atomic<DeviceLink*> _mdv0;
// Whether work planned for `link` under `serial` may still run: the link
// is the one notifications reach and is not a later one at its address.
[[nodiscard]] bool link_lives(const DeviceLink* link, uint64_t serial) noexcept;
// The pause before a locked phone, a pending prompt or a failed session is
// tried again: 2 s. Read by the device thread and by statusDebug's text;
// written only through ScopedRetryPause, before a device thread starts.
extern std::atomic<std::chrono::milliseconds> retry_pause;
// Shortens the pause for the object's life (tests), and puts it back
// however the test ends, so no other test sees it.
class ScopedRetryPause {
 public:
  explicit ScopedRetryPause(std::chrono::milliseconds pause) noexcept
      : saved_(retry_pause.exchange(pause)) {}
  ~ScopedRetryPause() { retry_pause.store(saved_); }
  ScopedRetryPause(const ScopedRetryPause&) = delete;
  ScopedRetryPause& operator=(const ScopedRetryPause&) = delete;

 private:
  std::chrono::milliseconds saved_;
};
// The notification callback given to the framework.
void notification(am_device_notification_callback_info* info, void* arg) noexcept;
}  // namespace device_internal
