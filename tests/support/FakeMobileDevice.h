// File: tests/support/FakeMobileDevice.h
//
// The in-process fake of every call in platform/MobileDevice.h, for unit
// tests and benchmarks. A test scripts devices (their files, their pairing
// state, how their reads behave), injects a status into any call, posts
// attach and detach notifications onto the subscriber's run loop, and then
// reads back counters, the argument log and reference counts.
//
// Model (what the fake promises, stated once):
//   - One process-wide fake, guarded by one mutex: every function here and
//     every MobileDevice call may be used from any thread. Notification
//     callbacks run outside that mutex, on the subscriber's run loop only.
//   - A device is made by add_device and lives until reset(); it is never
//     freed earlier, so a reference kept too long shows up as a misuse
//     (misuse_count) instead of a crash. Its reference count is what the
//     real layer's would be: one held by the notifier while it is attached,
//     one by each notification still queued, one by each open file-service
//     connection, plus every AMDeviceRetain minus every AMDeviceRelease.
//   - Defaults: a new device is paired and trusted, holds no files, reads
//     as much as asked. AMDeviceConnect needs the device attached; Pair,
//     ValidatePairing, StartSession and StartService need it connected;
//     StartService needs a session; service handles are good for one
//     AFCConnectionOpen. Any service name is accepted (and logged).
//   - Files: held in memory (put_file) or served from a folder
//     (serve_folder: the device path is appended to the folder). Mode 1
//     opens for reading; mode 3 creates or truncates an in-memory file.
//     An open file keeps reading the bytes it was opened on, as a phone's
//     file replaced under the reader does. Each put_file gives the file a
//     newer modification time (AFCFileInfoRead), as a write on a phone
//     does.
//   - Every call is counted (call_count) and logged with its arguments
//     (log), injected failures included. AMDeviceRetain/Release are counted
//     but not logged.
//
// Example:
//   fakemd::reset();
//   AMDeviceRef phone = fakemd::add_device();
//   fakemd::put_file(phone, "/iTunes_Control/iTunes/iTunesDB", "mhbd...");
//   fakemd::fail(fakemd::Call::FileRefRead, 4, 2);   // the 2nd read fails
//   fakemd::DeviceThread thread(link);                // subscribes, runs
//   fakemd::attach(phone);                            // kind 1 is posted
//   ASSERT_TRUE(fakemd::wait_until_handled());        // the sequence ran
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/device.h"
#include "platform/CoreFoundation.h"
#include "platform/MobileDevice.h"

namespace fakemd {

// Every call of the framework surface, for rules, counters and the log.
enum class Call : int {
  NotificationSubscribe,
  DeviceRetain,
  DeviceRelease,
  DeviceConnect,
  DeviceIsPaired,
  DevicePair,
  DeviceValidatePairing,
  DeviceStartSession,
  DeviceStartService,
  ConnectionOpen,
  ConnectionClose,
  FileRefOpen,
  FileRefRead,
  FileRefWrite,
  FileRefSeek,
  FileRefTell,
  FileRefClose,
  FileInfoRead,
  kCount
};

// The framework's name of a call ("AMDeviceStartService", ...).
const char* call_name(Call call) noexcept;

// One logged call with the arguments tests look at.
struct LoggedCall {
  LoggedCall() = default;
  LoggedCall(Call c, AMDeviceRef d = nullptr) : call(c), device(d) {}
  Call call = Call::kCount;
  AMDeviceRef device = nullptr;           // AMDevice* calls
  AFCConnectionRef connection = nullptr;  // AFC* calls; ConnectionOpen: the new one
  std::string text;                       // StartService: the service name; FileRefOpen: the path
  uint64_t value = 0;                     // FileRefOpen: mode; Read/Write/Seek/Close: file ref;
                                          // ConnectionOpen: service handle
  uint64_t amount = 0;                    // Read: requested length; Write: length; Seek: offset;
                                          // Tell: the position answered;
                                          // FileRefOpen: the reference handed out
  int32_t status = 0;                     // what the call returned (IsPaired: its truth value)
};

// ---- The whole fake -------------------------------------------------------

// Forgets everything: devices (freed now), connections, files, rules,
// counters, the log and the subscription. Call it first in every test.
// Notifications still queued somewhere are dropped; one being handled
// right now would use freed devices, so stop device threads (or
// wait_until_handled) before a reset.
void reset() noexcept;

// ---- Devices --------------------------------------------------------------

// A new device: not attached, paired and trusted, no files.
AMDeviceRef add_device();
// The UDID of the device (of the index-th one made since reset), in the
// newer phones' form: "00008030-" and 16 hex digits. Empty for an unknown
// device.
std::string udid_of(AMDeviceRef device);
std::string udid_of(size_t index);
// Attaches the device (the notifier takes a reference) and posts kind 1 to
// the subscriber, if any.
void attach(AMDeviceRef device);
// Detaches it: its control connection and session end, reads on its
// connections fail with 30, kind 2 is posted, the notifier's reference goes.
void detach(AMDeviceRef device);
// Posts a notification of any kind for the device, changing nothing else.
void post_notification(AMDeviceRef device, uint32_t kind);

// The host holds a pairing record (AMDeviceIsPaired). Pair sets it.
void set_paired(AMDeviceRef device, bool paired);
// The device trusts the host's record (ValidatePairing, StartSession).
// Pair sets it.
void set_trusted(AMDeviceRef device, bool trusted);

// The device's reference count (see Model), and whether it reached 0.
int ref_count(AMDeviceRef device);
bool is_freed(AMDeviceRef device);
// The device holds an open control connection / a session.
bool is_connected(AMDeviceRef device);
bool has_session(AMDeviceRef device);

// What AMDMuxProbe answers from now on: 0 (it shows the attached devices)
// or a negative errno. reset() makes it 0.
void set_mux_status(int32_t status);

// ---- Files ----------------------------------------------------------------

// Puts a file in the device's memory (replacing one of that path).
void put_file(AMDeviceRef device, const std::string& path, std::string bytes);
// The same without a copy, for large files.
void put_file(AMDeviceRef device, const std::string& path,
              std::shared_ptr<const std::string> bytes);
// Serves paths not held in memory from `folder` + path.
void serve_folder(AMDeviceRef device, const std::string& folder);
// The bytes of an in-memory file (written ones included); empty if none.
std::string file_contents(AMDeviceRef device, const std::string& path);

// At most `bytes` per read (0: no limit).
void set_max_read(AMDeviceRef device, uint32_t bytes);
// Reads deliver the first `bytes` bytes of any file (cut there), then every
// later read of that file returns `status`.
void fail_read_after(AMDeviceRef device, uint64_t bytes, int32_t status);
// AFCFileRefOpen answers 0 but leaves the reference 0.
void set_open_without_reference(AMDeviceRef device, bool on);
// Removes an in-memory file.
void remove_file(AMDeviceRef device, const std::string& path);
// Called after every successful AFCFileRefRead, outside the fake's lock,
// with the device path and the file position after the read: a test
// changes files there (put_file) as a phone writing them would. An empty
// hook removes it; reset() does too.
using ReadHook = std::function<void(const std::string& path, uint64_t position)>;
void set_read_hook(ReadHook hook);
// Called as AFCConnectionOpen starts, outside the fake's lock: a test does
// there what another thread would while a connection sequence ends (such
// as `disconnect`). An empty hook removes it; reset() does too.
void set_open_hook(std::function<void()> hook);

// ---- Injected statuses ----------------------------------------------------

// Makes `call` return `status` without doing anything: every call when
// `nth` is 0, else only the nth call of that name since reset (1 is the
// first). For AMDeviceIsPaired the status is the truth value returned.
// Rules add up; the first matching one wins. Retain/Release take none.
void fail(Call call, int32_t status, long nth = 0);

// ---- Counters and the log -------------------------------------------------

// Calls of that name since reset, injected failures included.
long call_count(Call call);
// Every call since reset (Retain/Release excepted), in order.
std::vector<LoggedCall> log();
// The log entries of one call.
std::vector<LoggedCall> log_of(Call call);
// File-service connections opened and not yet closed; device files open.
int open_connections();
int open_files();
// Uses of a closed connection, a freed device or an unknown reference.
long misuse_count();

// ---- Notifications and the run loop ---------------------------------------

// Successful subscriptions since reset, and how many distinct run loops
// (threads) they came from.
int subscription_count();
int subscriber_loops();
// The run loop of the newest subscription, or null.
CFRunLoopRef subscriber_loop();
// Waits until at least `count` subscriptions have been made. False on
// timeout.
bool wait_for_subscriptions(int count,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10));
// Waits until every notification posted so far, and every block queued on
// the subscriber's loop before this call, has run (notifications those
// blocks post included). False on timeout (a loop that does not run).
bool wait_until_handled(std::chrono::milliseconds timeout = std::chrono::seconds(10));

// ---- A device thread for tests --------------------------------------------

// A thread that subscribes the link (mdv_subscribe_to_notifications) and
// runs its run loop, as the product's device thread does. The constructor
// returns once the subscription has been made; the destructor stops the
// loop and joins the thread.
class DeviceThread {
 public:
  explicit DeviceThread(DeviceLink* link);
  ~DeviceThread();
  DeviceThread(const DeviceThread&) = delete;
  DeviceThread& operator=(const DeviceThread&) = delete;
  // The thread's run loop (valid once the constructor has returned).
  CFRunLoopRef loop() const noexcept { return loop_; }

 private:
  CFRunLoopRef loop_ = nullptr;
  std::thread thread_;
};

}  // namespace fakemd
