#include "FakeMobileDevice.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

// The opaque framework records, as the fake models them.
struct AMDevice {
  int refs = 0;
  bool freed = false;
  bool attached = false;
  bool paired = true;
  bool trusted = true;
  bool connected = false;
  bool session = false;
  uint32_t max_read = 0;
  bool fail_reads = false;
  uint64_t fail_after = 0;
  int32_t fail_status = 0;
  bool open_without_reference = false;
  std::string folder;
  std::map<std::string, std::shared_ptr<const std::string>> files;
  std::map<std::string, std::shared_ptr<std::string>> written;
  std::map<std::string, uint64_t> modified_ns;  // of in-memory files
};

struct AMDeviceNotification {
  int generation = 0;
};

namespace {

struct OpenFile {
  AMDevice* device = nullptr;
  std::string path;
  uint64_t mode = 0;
  uint64_t position = 0;
  std::shared_ptr<const std::string> bytes;  // mode 1 from memory
  int fd = -1;                               // mode 1 from a folder
  std::shared_ptr<std::string> written;      // mode 3
};

}  // namespace

struct AFCConnection {
  AMDevice* device = nullptr;
  bool closed = false;
  std::map<uint64_t, OpenFile> files;
};

namespace fakemd {
namespace {

struct Rule {
  Call call;
  int32_t status;
  long nth;
};

struct State {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::unique_ptr<AMDevice>> devices;
  std::vector<std::unique_ptr<AFCConnection>> connections;
  std::vector<std::unique_ptr<AMDeviceNotification>> subscriptions;
  std::map<uint32_t, AMDevice*> service_handles;
  uint32_t next_service_handle = 0x5000;
  uint64_t next_file_ref = 0x100;
  std::vector<Rule> rules;
  std::array<long, static_cast<size_t>(Call::kCount)> counts{};
  std::vector<LoggedCall> log;
  long misuse = 0;
  // The newest subscription.
  am_device_notification_callback callback = nullptr;
  void* cookie = nullptr;
  CFRunLoopRef loop = nullptr;
  int generation = 0;
  std::set<CFRunLoopRef> loops;
  long posted = 0;
  long handled = 0;
  int32_t mux_status = 0;             // what AMDMuxProbe answers
  uint64_t clock_ns = 1'000'000'000;  // the modification time of the next write
  ReadHook read_hook;
  std::function<void()> open_hook;
};

State& state() {
  static State* s = new State;  // outlives every thread that may still call in
  return *s;
}

using Lock = std::unique_lock<std::mutex>;

// Counts the call and returns the injected status, if a rule matches.
bool injected(State& s, Call call, int32_t* status) {
  const long n = ++s.counts[static_cast<size_t>(call)];
  for (const Rule& rule : s.rules) {
    if (rule.call == call && (rule.nth == 0 || rule.nth == n)) {
      *status = rule.status;
      return true;
    }
  }
  return false;
}

int32_t logged(State& s, LoggedCall entry, int32_t status) {
  entry.status = status;
  s.log.push_back(std::move(entry));
  return status;
}

bool known_device(State& s, AMDevice* device) {
  for (auto& d : s.devices)
    if (d.get() == device) return true;
  return false;
}

// A device usable by a call: known and not freed. Counts a misuse otherwise.
bool live(State& s, AMDevice* device) {
  if (!device) return false;
  if (!known_device(s, device) || device->freed) {
    ++s.misuse;
    return false;
  }
  return true;
}

void retain_locked(AMDevice* device) { ++device->refs; }

void release_locked(State& s, AMDevice* device) {
  if (!device || !known_device(s, device)) return;
  if (device->refs <= 0) {
    ++s.misuse;
    return;
  }
  if (--device->refs == 0) {
    device->freed = true;
    device->connected = false;
    device->session = false;
  }
}

// The bytes the file holds now.
uint64_t file_size(const OpenFile& file) {
  if (file.bytes) return file.bytes->size();
  if (file.written) return file.written->size();
  struct stat st {};
  return file.fd >= 0 && ::fstat(file.fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

void close_file(OpenFile& file) {
  if (file.fd >= 0) ::close(file.fd);
  file.fd = -1;
}

void close_connection_locked(State& s, AFCConnection* connection) {
  for (auto& [ref, file] : connection->files) close_file(file);
  connection->files.clear();
  connection->closed = true;
  release_locked(s, connection->device);
}

AFCConnection* live_connection(State& s, AFCConnectionRef connection) {
  if (!connection) return nullptr;
  for (auto& c : s.connections) {
    if (c.get() == connection) {
      if (c->closed) break;
      return c.get();
    }
  }
  ++s.misuse;
  return nullptr;
}

// Posts one notification onto the newest subscriber's loop. The queued
// notification holds a reference to its device until it has been handled.
void post_locked(State& s, AMDevice* device, uint32_t kind) {
  if (!s.loop || !s.callback) return;
  retain_locked(device);
  ++s.posted;
  const int generation = s.generation;
  am_device_notification_callback callback = s.callback;
  void* cookie = s.cookie;
  CFRunLoopRef loop = s.loop;
  CFRunLoopPerformBlock(loop, [device, kind, generation, callback, cookie] {
    State& st = state();
    bool current = false;
    {
      Lock lock(st.mutex);
      current = generation == st.generation;
    }
    // A replaced subscription's undelivered notifications are dropped, but
    // a detach: the new subscription announces only what is attached.
    if (current || kind == ADNCI_MSG_DISCONNECTED) {
      am_device_notification_callback_info info{device, kind};
      callback(&info, cookie);
    }
    Lock lock(st.mutex);
    release_locked(st, device);
    ++st.handled;
    st.changed.notify_all();
  });
  CFRunLoopWakeUp(loop);
}

AMDevice* device_locked(State& s, AMDeviceRef device) {
  return known_device(s, device) ? device : nullptr;
}

}  // namespace

const char* call_name(Call call) noexcept {
  static constexpr std::array<const char*, static_cast<size_t>(Call::kCount)> names{
      "AMDeviceNotificationSubscribe",
      "AMDeviceRetain",
      "AMDeviceRelease",
      "AMDeviceConnect",
      "AMDeviceIsPaired",
      "AMDevicePair",
      "AMDeviceValidatePairing",
      "AMDeviceStartSession",
      "AMDeviceStartService",
      "AFCConnectionOpen",
      "AFCConnectionClose",
      "AFCFileRefOpen",
      "AFCFileRefRead",
      "AFCFileRefWrite",
      "AFCFileRefSeek",
      "AFCFileRefTell",
      "AFCFileRefClose",
      "AFCFileInfoRead"};
  const auto index = static_cast<size_t>(call);
  return index < names.size() ? names[index] : "?";
}

void reset() noexcept {
  State& s = state();
  Lock lock(s.mutex);
  for (auto& c : s.connections)
    for (auto& [ref, file] : c->files) close_file(file);
  s.connections.clear();
  s.devices.clear();
  s.subscriptions.clear();
  s.service_handles.clear();
  s.rules.clear();
  s.counts.fill(0);
  s.log.clear();
  s.misuse = 0;
  s.callback = nullptr;
  s.loop = nullptr;
  ++s.generation;  // anything still queued somewhere is dropped
  s.loops.clear();
  s.posted = s.handled = 0;
  s.mux_status = 0;
  s.read_hook = nullptr;
  s.open_hook = nullptr;
  s.changed.notify_all();
}

// ---- Devices ----------------------------------------------------------------

AMDeviceRef add_device() {
  State& s = state();
  Lock lock(s.mutex);
  s.devices.push_back(std::make_unique<AMDevice>());
  return s.devices.back().get();
}

void attach(AMDeviceRef device) {
  State& s = state();
  Lock lock(s.mutex);
  AMDevice* d = device_locked(s, device);
  if (!d || d->attached) return;
  d->attached = true;
  d->freed = false;
  retain_locked(d);
  post_locked(s, d, ADNCI_MSG_CONNECTED);
}

void detach(AMDeviceRef device) {
  State& s = state();
  Lock lock(s.mutex);
  AMDevice* d = device_locked(s, device);
  if (!d || !d->attached) return;
  d->attached = false;
  d->connected = false;
  d->session = false;
  post_locked(s, d, ADNCI_MSG_DISCONNECTED);
  release_locked(s, d);
}

void post_notification(AMDeviceRef device, uint32_t kind) {
  State& s = state();
  Lock lock(s.mutex);
  if (AMDevice* d = device_locked(s, device)) post_locked(s, d, kind);
}

void set_paired(AMDeviceRef device, bool paired) {
  State& s = state();
  Lock lock(s.mutex);
  if (AMDevice* d = device_locked(s, device)) d->paired = paired;
}

void set_trusted(AMDeviceRef device, bool trusted) {
  State& s = state();
  Lock lock(s.mutex);
  if (AMDevice* d = device_locked(s, device)) d->trusted = trusted;
}

int ref_count(AMDeviceRef device) {
  State& s = state();
  Lock lock(s.mutex);
  AMDevice* d = device_locked(s, device);
  return d ? d->refs : 0;
}

bool is_freed(AMDeviceRef device) {
  State& s = state();
  Lock lock(s.mutex);
  AMDevice* d = device_locked(s, device);
  return d && d->freed;
}

bool is_connected(AMDeviceRef device) {
  State& s = state();
  Lock lock(s.mutex);
  AMDevice* d = device_locked(s, device);
  return d && d->connected;
}

bool has_session(AMDeviceRef device) {
  State& s = state();
  Lock lock(s.mutex);
  AMDevice* d = device_locked(s, device);
  return d && d->session;
}

// ---- Files ------------------------------------------------------------------

void put_file(AMDeviceRef device, const std::string& path, std::string bytes) {
  put_file(device, path, std::make_shared<const std::string>(std::move(bytes)));
}

void put_file(AMDeviceRef device, const std::string& path,
              std::shared_ptr<const std::string> bytes) {
  State& s = state();
  Lock lock(s.mutex);
  if (AMDevice* d = device_locked(s, device)) {
    d->written.erase(path);
    d->files[path] = std::move(bytes);
    d->modified_ns[path] = s.clock_ns += 1'000'000;
  }
}

std::string udid_of(size_t index) {
  char udid[32];
  std::snprintf(udid, sizeof udid, "00008030-%016zX", index);
  return udid;
}

std::string udid_of(AMDeviceRef device) {
  State& s = state();
  Lock lock(s.mutex);
  for (size_t index = 0; index < s.devices.size(); ++index)
    if (s.devices[index].get() == device) return udid_of(index);
  return {};
}

void remove_file(AMDeviceRef device, const std::string& path) {
  State& s = state();
  Lock lock(s.mutex);
  if (AMDevice* d = device_locked(s, device)) {
    d->written.erase(path);
    d->files.erase(path);
    d->modified_ns.erase(path);
  }
}

void set_open_hook(std::function<void()> hook) {
  auto& s = state();
  Lock lock(s.mutex);
  s.open_hook = std::move(hook);
}

void set_read_hook(ReadHook hook) {
  State& s = state();
  Lock lock(s.mutex);
  s.read_hook = std::move(hook);
}

void serve_folder(AMDeviceRef device, const std::string& folder) {
  State& s = state();
  Lock lock(s.mutex);
  if (AMDevice* d = device_locked(s, device)) d->folder = folder;
}

std::string file_contents(AMDeviceRef device, const std::string& path) {
  State& s = state();
  Lock lock(s.mutex);
  AMDevice* d = device_locked(s, device);
  if (!d) return {};
  if (auto it = d->written.find(path); it != d->written.end()) return *it->second;
  if (auto it = d->files.find(path); it != d->files.end()) return *it->second;
  return {};
}

void set_max_read(AMDeviceRef device, uint32_t bytes) {
  State& s = state();
  Lock lock(s.mutex);
  if (AMDevice* d = device_locked(s, device)) d->max_read = bytes;
}

void fail_read_after(AMDeviceRef device, uint64_t bytes, int32_t status) {
  State& s = state();
  Lock lock(s.mutex);
  if (AMDevice* d = device_locked(s, device)) {
    d->fail_reads = true;
    d->fail_after = bytes;
    d->fail_status = status;
  }
}

void set_open_without_reference(AMDeviceRef device, bool on) {
  State& s = state();
  Lock lock(s.mutex);
  if (AMDevice* d = device_locked(s, device)) d->open_without_reference = on;
}

// ---- Rules, counters, log ----------------------------------------------------

void fail(Call call, int32_t status, long nth) {
  State& s = state();
  Lock lock(s.mutex);
  s.rules.push_back({call, status, nth});
}

long call_count(Call call) {
  State& s = state();
  Lock lock(s.mutex);
  return s.counts[static_cast<size_t>(call)];
}

std::vector<LoggedCall> log() {
  State& s = state();
  Lock lock(s.mutex);
  return s.log;
}

std::vector<LoggedCall> log_of(Call call) {
  State& s = state();
  Lock lock(s.mutex);
  std::vector<LoggedCall> out;
  for (const LoggedCall& entry : s.log)
    if (entry.call == call) out.push_back(entry);
  return out;
}

int open_connections() {
  State& s = state();
  Lock lock(s.mutex);
  return static_cast<int>(std::count_if(s.connections.begin(), s.connections.end(),
                                        [](auto& c) { return !c->closed; }));
}

int open_files() {
  State& s = state();
  Lock lock(s.mutex);
  size_t n = 0;
  for (auto& c : s.connections) n += c->files.size();
  return static_cast<int>(n);
}

long misuse_count() {
  State& s = state();
  Lock lock(s.mutex);
  return s.misuse;
}

// ---- Notifications -------------------------------------------------------------

int subscription_count() {
  State& s = state();
  Lock lock(s.mutex);
  return static_cast<int>(s.subscriptions.size());
}

int subscriber_loops() {
  State& s = state();
  Lock lock(s.mutex);
  return static_cast<int>(s.loops.size());
}

CFRunLoopRef subscriber_loop() {
  State& s = state();
  Lock lock(s.mutex);
  return s.loop;
}

bool wait_for_subscriptions(int count, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (subscription_count() < count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool wait_until_handled(std::chrono::milliseconds timeout) {
  State& s = state();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  Lock lock(s.mutex);
  for (;;) {
    if (!s.changed.wait_until(lock, deadline, [&s] { return s.posted == s.handled; })) return false;
    CFRunLoopRef loop = s.loop;
    if (!loop) return true;
    // A marker behind whatever is queued on the loop: once it has run, so
    // has everything queued before it.
    const long before = s.posted;
    auto done = std::make_shared<bool>(false);
    lock.unlock();
    CFRunLoopPerformBlock(loop, [done] {
      State& st = state();
      Lock l(st.mutex);
      *done = true;
      st.changed.notify_all();
    });
    CFRunLoopWakeUp(loop);
    lock.lock();
    if (!s.changed.wait_until(lock, deadline, [&done] { return *done; })) return false;
    if (s.posted == before && s.posted == s.handled) return true;
  }
}

// ---- DeviceThread -----------------------------------------------------------------

DeviceThread::DeviceThread(DeviceLink* link) {
  std::mutex m;
  std::condition_variable ready;
  CFRunLoopRef loop = nullptr;
  thread_ = std::thread([&, link] {
    CFRunLoopRef mine = CFRunLoopGetCurrent();
    (void)mdv_subscribe_to_notifications(link);
    {
      // Notified under the lock: the constructor's locals die once it sees
      // the loop.
      std::lock_guard l(m);
      loop = mine;
      ready.notify_all();
    }
    CFRunLoopRun();
  });
  std::unique_lock l(m);
  ready.wait(l, [&] { return loop != nullptr; });
  loop_ = loop;
}

DeviceThread::~DeviceThread() {
  CFRunLoopPerformBlock(loop_, [] { CFRunLoopStop(CFRunLoopGetCurrent()); });
  CFRunLoopWakeUp(loop_);
  thread_.join();
}

}  // namespace fakemd

// ---- The framework surface ---------------------------------------------------------

using fakemd::Call;
using fakemd::Lock;
using fakemd::LoggedCall;
using fakemd::state;

int32_t AMDeviceNotificationSubscribe(am_device_notification_callback callback, uint32_t, uint32_t,
                                      void* cookie,
                                      AMDeviceNotificationRef* subscription) noexcept {
  if (subscription) *subscription = nullptr;
  auto& s = state();
  Lock lock(s.mutex);
  int32_t status = 0;
  LoggedCall entry{Call::NotificationSubscribe};
  if (fakemd::injected(s, Call::NotificationSubscribe, &status))
    return fakemd::logged(s, entry, status);
  if (!callback || !subscription) return fakemd::logged(s, entry, kAMDInvalidArgument);
  s.subscriptions.push_back(std::make_unique<AMDeviceNotification>());
  ++s.generation;
  s.subscriptions.back()->generation = s.generation;
  *subscription = s.subscriptions.back().get();
  s.callback = callback;
  s.cookie = cookie;
  s.loop = CFRunLoopGetCurrent();
  s.loops.insert(s.loop);
  fakemd::logged(s, entry, 0);
  // Devices already attached are announced to the new subscriber.
  for (auto& device : s.devices)
    if (device->attached) fakemd::post_locked(s, device.get(), ADNCI_MSG_CONNECTED);
  return 0;
}

AMDeviceRef AMDeviceRetain(AMDeviceRef device) noexcept {
  auto& s = state();
  Lock lock(s.mutex);
  ++s.counts[static_cast<size_t>(Call::DeviceRetain)];
  if (device && fakemd::live(s, device)) fakemd::retain_locked(device);
  return device;
}

void AMDeviceRelease(AMDeviceRef device) noexcept {
  auto& s = state();
  Lock lock(s.mutex);
  ++s.counts[static_cast<size_t>(Call::DeviceRelease)];
  if (device) fakemd::release_locked(s, device);
}

namespace {

// The common head of the AMDevice* calls: count, log, injected status, a
// usable device. Returns true with *status set when the call is decided.
bool device_call_head(fakemd::State& s, Call call, AMDeviceRef device, int32_t* status,
                      bool needs_connection, LoggedCall entry = {}) {
  entry.call = call;
  entry.device = device;
  if (fakemd::injected(s, call, status)) {
    fakemd::logged(s, std::move(entry), *status);
    return true;
  }
  if (!fakemd::live(s, device)) {
    *status = kAMDInvalidArgument;
  } else if (needs_connection && !device->connected) {
    *status = kAMDNotConnected;
  } else {
    return false;
  }
  fakemd::logged(s, std::move(entry), *status);
  return true;
}

}  // namespace

int32_t AMDeviceConnect(AMDeviceRef device) noexcept {
  auto& s = state();
  Lock lock(s.mutex);
  int32_t status = 0;
  if (device_call_head(s, Call::DeviceConnect, device, &status, false)) return status;
  if (!device->attached) return fakemd::logged(s, {Call::DeviceConnect, device}, kAMDNoDevice);
  // A new control connection replaces the old one, and its session.
  device->connected = true;
  device->session = false;
  return fakemd::logged(s, {Call::DeviceConnect, device}, 0);
}

int32_t AMDeviceIsPaired(AMDeviceRef device) noexcept {
  auto& s = state();
  Lock lock(s.mutex);
  int32_t value = 0;
  LoggedCall entry{Call::DeviceIsPaired, device};
  if (fakemd::injected(s, Call::DeviceIsPaired, &value)) return fakemd::logged(s, entry, value);
  value = fakemd::live(s, device) && device->paired ? 1 : 0;
  return fakemd::logged(s, entry, value);
}

int32_t AMDevicePair(AMDeviceRef device) noexcept {
  auto& s = state();
  Lock lock(s.mutex);
  int32_t status = 0;
  if (device_call_head(s, Call::DevicePair, device, &status, true)) return status;
  device->paired = true;
  device->trusted = true;
  return fakemd::logged(s, {Call::DevicePair, device}, 0);
}

int32_t AMDeviceValidatePairing(AMDeviceRef device) noexcept {
  auto& s = state();
  Lock lock(s.mutex);
  int32_t status = 0;
  if (device_call_head(s, Call::DeviceValidatePairing, device, &status, true)) return status;
  return fakemd::logged(s, {Call::DeviceValidatePairing, device},
                        device->paired && device->trusted ? 0 : -21);
}

int32_t AMDeviceStartSession(AMDeviceRef device) noexcept {
  auto& s = state();
  Lock lock(s.mutex);
  int32_t status = 0;
  if (device_call_head(s, Call::DeviceStartSession, device, &status, true)) return status;
  if (!(device->paired && device->trusted))
    return fakemd::logged(s, {Call::DeviceStartSession, device}, kAMDInvalidHostID);
  device->session = true;
  return fakemd::logged(s, {Call::DeviceStartSession, device}, 0);
}

int32_t AMDeviceStartService(AMDeviceRef device, CFStringRef name,
                             uint32_t* service_handle) noexcept {
  if (service_handle) *service_handle = 0;
  auto& s = state();
  Lock lock(s.mutex);
  LoggedCall entry{Call::DeviceStartService, device};
  if (const char* text = CFStringGetCStringPtr(name)) entry.text = text;
  int32_t status = 0;
  if (device_call_head(s, Call::DeviceStartService, device, &status, true, entry)) return status;
  if (!name || !service_handle) return fakemd::logged(s, entry, kAMDInvalidArgument);
  if (!device->session) return fakemd::logged(s, entry, kAMDSessionInactive);
  const uint32_t handle = s.next_service_handle++;
  s.service_handles[handle] = device;
  *service_handle = handle;
  // As the real layer: the control connection and its session end here.
  device->connected = false;
  device->session = false;
  entry.value = handle;
  return fakemd::logged(s, entry, 0);
}

int32_t AFCConnectionOpen(uint32_t service_handle, uint32_t,
                          AFCConnectionRef* connection) noexcept {
  if (connection) *connection = nullptr;
  auto& s = state();
  std::function<void()> hook;
  {
    Lock lock(s.mutex);
    hook = s.open_hook;
  }
  if (hook) hook();
  Lock lock(s.mutex);
  LoggedCall entry{Call::ConnectionOpen};
  entry.value = service_handle;
  int32_t status = 0;
  if (fakemd::injected(s, Call::ConnectionOpen, &status)) return fakemd::logged(s, entry, status);
  auto it = s.service_handles.find(service_handle);
  if (it == s.service_handles.end() || !connection)
    return fakemd::logged(s, entry, kAFCInvalidArgument);
  AMDevice* device = it->second;
  s.service_handles.erase(it);
  if (!fakemd::live(s, device) || !device->attached) return fakemd::logged(s, entry, kAFCMuxError);
  s.connections.push_back(std::make_unique<AFCConnection>());
  AFCConnection* c = s.connections.back().get();
  c->device = device;
  fakemd::retain_locked(device);
  *connection = c;
  entry.connection = c;
  return fakemd::logged(s, entry, 0);
}

int32_t AFCConnectionClose(AFCConnectionRef connection) noexcept {
  auto& s = state();
  Lock lock(s.mutex);
  LoggedCall entry{Call::ConnectionClose};
  entry.connection = connection;
  int32_t status = 0;
  if (fakemd::injected(s, Call::ConnectionClose, &status)) return fakemd::logged(s, entry, status);
  if (!connection) return fakemd::logged(s, entry, 0);
  AFCConnection* c = fakemd::live_connection(s, connection);
  if (!c) return fakemd::logged(s, entry, kAFCInvalidArgument);
  fakemd::close_connection_locked(s, c);
  return fakemd::logged(s, entry, 0);
}

namespace {

// The common head of the AFC file calls. Returns true with *status set when
// the call is decided; else *file_out is the open file (for ref calls).
bool file_call_head(fakemd::State& s, LoggedCall& entry, AFCConnectionRef connection,
                    int32_t* status, AFCConnection** connection_out) {
  entry.connection = connection;
  if (fakemd::injected(s, entry.call, status)) return true;
  AFCConnection* c = fakemd::live_connection(s, connection);
  if (!c) {
    *status = 7;
    return true;
  }
  if (!c->device->attached) {
    *status = 30;
    return true;
  }
  *connection_out = c;
  return false;
}

OpenFile* find_file(fakemd::State& s, AFCConnection* c, uint64_t file_ref) {
  auto it = c->files.find(file_ref);
  if (it != c->files.end()) return &it->second;
  ++s.misuse;
  return nullptr;
}

}  // namespace

int32_t AFCFileRefOpen(AFCConnectionRef connection, const char* path, uint64_t mode,
                       uint64_t* file_ref) noexcept {
  if (file_ref) *file_ref = 0;
  auto& s = state();
  Lock lock(s.mutex);
  LoggedCall entry{Call::FileRefOpen};
  entry.text = path ? path : "";
  entry.value = mode;
  int32_t status = 0;
  AFCConnection* c = nullptr;
  if (file_call_head(s, entry, connection, &status, &c)) return fakemd::logged(s, entry, status);
  if (!path || !file_ref || (mode != 1 && mode != 3))
    return fakemd::logged(s, entry, kAFCInvalidArgument);
  AMDevice* device = c->device;
  if (device->open_without_reference) return fakemd::logged(s, entry, 0);
  OpenFile file;
  file.device = device;
  file.path = path;
  file.mode = mode;
  if (mode == 3) {
    device->files.erase(path);
    file.written = std::make_shared<std::string>();
    device->written[path] = file.written;
  } else if (auto w = device->written.find(path); w != device->written.end()) {
    file.bytes = std::make_shared<const std::string>(*w->second);
  } else if (auto m = device->files.find(path); m != device->files.end()) {
    file.bytes = m->second;
  } else if (!device->folder.empty()) {
    const std::string local = device->folder + path;
    struct stat st {};
    if (::stat(local.c_str(), &st) != 0) return fakemd::logged(s, entry, kAFCObjectNotFound);
    if (S_ISDIR(st.st_mode)) return fakemd::logged(s, entry, kAFCObjectIsDir);
    file.fd = ::open(local.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0) return fakemd::logged(s, entry, kAFCPermDenied);
  } else {
    return fakemd::logged(s, entry, kAFCObjectNotFound);
  }
  const uint64_t ref = s.next_file_ref++;
  c->files.emplace(ref, std::move(file));
  *file_ref = ref;
  entry.amount = ref;
  return fakemd::logged(s, entry, 0);
}

int32_t AFCFileRefRead(AFCConnectionRef connection, uint64_t file_ref, void* buffer,
                       uint32_t* length) noexcept {
  const uint32_t wanted = length ? *length : 0;
  if (length) *length = 0;
  auto& s = state();
  Lock lock(s.mutex);
  LoggedCall entry{Call::FileRefRead};
  entry.value = file_ref;
  entry.amount = wanted;
  int32_t status = 0;
  AFCConnection* c = nullptr;
  if (file_call_head(s, entry, connection, &status, &c)) return fakemd::logged(s, entry, status);
  OpenFile* file = find_file(s, c, file_ref);
  if (!file || !length || (!buffer && wanted) || file->mode != 1)
    return fakemd::logged(s, entry, kAFCInvalidArgument);
  AMDevice* device = c->device;
  uint64_t n = wanted;
  if (device->max_read) n = std::min<uint64_t>(n, device->max_read);
  if (device->fail_reads) {
    if (file->position >= device->fail_after) return fakemd::logged(s, entry, device->fail_status);
    n = std::min<uint64_t>(n, device->fail_after - file->position);
  }
  if (file->bytes) {
    const uint64_t size = file->bytes->size();
    n = file->position < size ? std::min<uint64_t>(n, size - file->position) : 0;
    if (n) std::memcpy(buffer, file->bytes->data() + file->position, n);
  } else {
    const ssize_t got = ::pread(file->fd, buffer, n, static_cast<off_t>(file->position));
    if (got < 0) return fakemd::logged(s, entry, kAFCReadError);
    n = static_cast<uint64_t>(got);
  }
  file->position += n;
  *length = static_cast<uint32_t>(n);
  (void)fakemd::logged(s, entry, 0);
  if (fakemd::ReadHook hook = s.read_hook) {
    const std::string path = file->path;
    const uint64_t position = file->position;
    lock.unlock();
    hook(path, position);
  }
  return 0;
}

int32_t AFCFileInfoRead(AFCConnectionRef connection, const char* path, AFCFileInfo* info) noexcept {
  if (info) *info = AFCFileInfo{};
  auto& s = state();
  Lock lock(s.mutex);
  LoggedCall entry{Call::FileInfoRead};
  entry.text = path ? path : "";
  int32_t status = 0;
  AFCConnection* c = nullptr;
  if (file_call_head(s, entry, connection, &status, &c)) return fakemd::logged(s, entry, status);
  if (!path || !info) return fakemd::logged(s, entry, kAFCInvalidArgument);
  AMDevice* device = c->device;
  if (auto w = device->written.find(path); w != device->written.end()) {
    info->size = w->second->size();
    info->is_regular = 1;
  } else if (auto m = device->files.find(path); m != device->files.end()) {
    info->size = m->second->size();
    info->modified_ns = device->modified_ns[path];
    info->is_regular = 1;
  } else if (struct stat st{};
             !device->folder.empty() && ::stat((device->folder + path).c_str(), &st) == 0) {
    info->size = static_cast<uint64_t>(st.st_size);
    info->modified_ns = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1'000'000'000U +
                        static_cast<uint64_t>(st.st_mtim.tv_nsec);
    info->is_regular = S_ISREG(st.st_mode) ? 1 : 0;
  } else {
    return fakemd::logged(s, entry, kAFCObjectNotFound);
  }
  entry.amount = info->size;
  return fakemd::logged(s, entry, 0);
}

int32_t AFCFileRefWrite(AFCConnectionRef connection, uint64_t file_ref, const void* buffer,
                        uint32_t length) noexcept {
  auto& s = state();
  Lock lock(s.mutex);
  LoggedCall entry{Call::FileRefWrite};
  entry.value = file_ref;
  entry.amount = length;
  int32_t status = 0;
  AFCConnection* c = nullptr;
  if (file_call_head(s, entry, connection, &status, &c)) return fakemd::logged(s, entry, status);
  OpenFile* file = find_file(s, c, file_ref);
  if (!file || (!buffer && length) || file->mode != 3)
    return fakemd::logged(s, entry, kAFCInvalidArgument);
  std::string& bytes = *file->written;
  if (bytes.size() < file->position + length) bytes.resize(file->position + length);
  if (length) std::memcpy(bytes.data() + file->position, buffer, length);
  file->position += length;
  return fakemd::logged(s, entry, 0);
}

int32_t AFCFileRefSeek(AFCConnectionRef connection, uint64_t file_ref, int64_t offset,
                       uint64_t whence) noexcept {
  auto& s = state();
  Lock lock(s.mutex);
  LoggedCall entry{Call::FileRefSeek};
  entry.value = file_ref;
  entry.amount = static_cast<uint64_t>(offset);
  int32_t status = 0;
  AFCConnection* c = nullptr;
  if (file_call_head(s, entry, connection, &status, &c)) return fakemd::logged(s, entry, status);
  OpenFile* file = find_file(s, c, file_ref);
  // From the start or from the end; nothing moves before the start.
  if (!file || (whence != 0 && whence != 2)) return fakemd::logged(s, entry, kAFCInvalidArgument);
  const int64_t base = whence == 2 ? static_cast<int64_t>(fakemd::file_size(*file)) : 0;
  if (base + offset < 0) return fakemd::logged(s, entry, kAFCInvalidArgument);
  file->position = static_cast<uint64_t>(base + offset);
  return fakemd::logged(s, entry, 0);
}

int32_t AFCFileRefTell(AFCConnectionRef connection, uint64_t file_ref,
                       uint64_t* position) noexcept {
  if (position) *position = 0;
  auto& s = state();
  Lock lock(s.mutex);
  LoggedCall entry{Call::FileRefTell};
  entry.value = file_ref;
  int32_t status = 0;
  AFCConnection* c = nullptr;
  if (file_call_head(s, entry, connection, &status, &c)) return fakemd::logged(s, entry, status);
  OpenFile* file = find_file(s, c, file_ref);
  if (!file || !position) return fakemd::logged(s, entry, kAFCInvalidArgument);
  *position = file->position;
  entry.amount = file->position;
  return fakemd::logged(s, entry, 0);
}

int32_t AFCFileRefClose(AFCConnectionRef connection, uint64_t file_ref) noexcept {
  auto& s = state();
  Lock lock(s.mutex);
  LoggedCall entry{Call::FileRefClose};
  entry.value = file_ref;
  int32_t status = 0;
  AFCConnection* c = nullptr;
  if (file_call_head(s, entry, connection, &status, &c)) return fakemd::logged(s, entry, status);
  if (file_ref == 0) return fakemd::logged(s, entry, kAFCInvalidArgument);
  auto it = c->files.find(file_ref);
  if (it == c->files.end()) {
    ++s.misuse;
    return fakemd::logged(s, entry, kAFCInvalidArgument);
  }
  fakemd::close_file(it->second);
  c->files.erase(it);
  return fakemd::logged(s, entry, 0);
}

void fakemd::set_mux_status(int32_t status) {
  State& s = state();
  Lock lock(s.mutex);
  s.mux_status = status;
}

int32_t AMDeviceCopyDescription(AMDeviceRef device, AMDeviceDescription* description) noexcept {
  if (!description) return kAMDInvalidArgument;
  *description = AMDeviceDescription{};
  auto& s = fakemd::state();
  Lock lock(s.mutex);
  if (!device || !fakemd::live(s, device)) return kAMDInvalidArgument;
  size_t index = 0;
  while (index < s.devices.size() && s.devices[index].get() != device) ++index;
  std::snprintf(description->udid, sizeof description->udid, "%s", fakemd::udid_of(index).c_str());
  std::snprintf(description->name, sizeof description->name, "Fake Phone");
  std::snprintf(description->product_version, sizeof description->product_version, "15.0");
  if (device->session || device->connected)
    std::snprintf(description->session_tls, sizeof description->session_tls, "TLSv1.2");
  description->service_tls = 1;
  return 0;
}

int32_t AMDMuxProbe(uint32_t* shown) noexcept {
  if (shown) *shown = 0;
  auto& s = fakemd::state();
  Lock lock(s.mutex);
  if (s.mux_status != 0) return s.mux_status;
  uint32_t attached = 0;
  for (const auto& device : s.devices) attached += device->attached ? 1 : 0;
  if (shown) *shown = attached;
  return 0;
}

int32_t AMDMuxCopyPhones(AMDAttachedPhone* phones, uint32_t capacity, uint32_t* count) noexcept {
  if (count) *count = 0;
  if (phones) std::fill_n(phones, capacity, AMDAttachedPhone{});
  auto& s = fakemd::state();
  Lock lock(s.mutex);
  if (s.mux_status != 0) return s.mux_status;
  uint32_t found = 0;
  for (size_t index = 0; index < s.devices.size(); ++index) {
    const AMDevice& device = *s.devices[index];
    if (!device.attached) continue;
    if (found < capacity) {
      std::snprintf(phones[found].udid, sizeof phones[found].udid, "%s",
                    fakemd::udid_of(index).c_str());
      // Named once the phone has been asked, as the real layer does.
      if (device.connected || device.session)
        std::snprintf(phones[found].name, sizeof phones[found].name, "Fake Phone");
    }
    ++found;
  }
  if (count) *count = found;
  return 0;
}

const char* AMDMuxAddress() noexcept { return "UNIX:/fake/usbmuxd"; }
