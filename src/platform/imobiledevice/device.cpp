// Device objects and the connection sequence on libimobiledevice:
// reference counting, the control (lockdown) connection, pairing through
// usbmuxd's pair records, the session and service start.
#include <plist/plist.h>
#include <usbmuxd.h>

#include <cstdlib>
#include <map>
#include <new>

#include "platform/imobiledevice/internal.h"

using namespace imd_internal;

struct AMDevice {
  std::atomic<int32_t> refs{1};
  const std::string udid;

  std::mutex mutex;
  SharedIdevice idevice;
  lockdownd_client_t lockdown = nullptr;
  std::string session_id;    // empty: no session open
  int product_major = 0;     // 0: unknown

  explicit AMDevice(const char* id) : udid(id) {}
};

namespace {

constexpr const char* kLabel = "afclink";

// The service table: handles are never 0 and are not reused while the
// process runs (a 32-bit counter would need four billion starts to wrap).
std::mutex services_mutex;
std::map<uint32_t, StartedService>* services = nullptr;  // never freed
uint32_t next_service_handle = 1;

struct PlistFree {
  void operator()(plist_t p) const noexcept { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct MallocFree {
  void operator()(void* p) const noexcept { std::free(p); }
};

// The host's pair record for `udid`, as usbmuxd keeps it; null when absent.
PlistPtr read_pair_record(const std::string& udid) noexcept {
  char* raw = nullptr;
  uint32_t size = 0;
  if (usbmuxd_read_pair_record(udid.c_str(), &raw, &size) != 0 || !raw) {
    std::free(raw);
    return nullptr;
  }
  std::unique_ptr<char, MallocFree> data(raw);
  plist_t record = nullptr;
  if (size >= 8 && std::string_view(raw, 8) == "bplist00")
    plist_from_bin(raw, size, &record);
  else
    plist_from_xml(raw, size, &record);
  if (record && plist_get_node_type(record) != PLIST_DICT) {
    plist_free(record);
    record = nullptr;
  }
  return PlistPtr(record);
}

// The record's HostID, or an empty string.
std::string record_host_id(plist_t record) noexcept {
  plist_t node = record ? plist_dict_get_item(record, "HostID") : nullptr;
  if (!node || plist_get_node_type(node) != PLIST_STRING) return {};
  char* text = nullptr;
  plist_get_string_val(node, &text);
  std::unique_ptr<char, MallocFree> owned(text);
  try {
    return text ? std::string(text) : std::string();
  } catch (...) {
    return {};
  }
}

int parse_major(const char* version) noexcept {
  return version ? std::atoi(version) : 0;
}

// Removes every service entry of `device` and hands them back, so that
// their references are dropped by the caller with no lock held. Moving map
// nodes allocates nothing.
using ServiceTable = std::map<uint32_t, StartedService>;
ServiceTable take_services_of(AMDevice* device) noexcept {
  ServiceTable taken;
  std::lock_guard lock(services_mutex);
  if (!services) return taken;
  for (auto it = services->begin(); it != services->end();) {
    auto next = std::next(it);
    if (it->second.device.get() == device) taken.insert(services->extract(it));
    it = next;
  }
  return taken;
}

// Closes the control connection; the caller holds `device->mutex`. The
// lockdown client goes first (it stops an open session), the device handle
// after it; file-service connections keep their own share of the handle.
void close_control(AMDevice* device) noexcept {
  if (device->lockdown) lockdownd_client_free(device->lockdown);
  device->lockdown = nullptr;
  device->session_id.clear();
  device->idevice.reset();
  device->product_major = 0;
}

}  // namespace

namespace imd_internal {

AMDevice* device_new(const char* udid) noexcept {
  try {
    return new AMDevice(udid ? udid : "");
  } catch (...) {
    return nullptr;
  }
}

const std::string& device_udid(AMDevice* device) noexcept { return device->udid; }

bool service_take(uint32_t handle, StartedService* out) noexcept {
  std::lock_guard lock(services_mutex);
  if (!services) return false;
  auto it = services->find(handle);
  if (it == services->end()) return false;
  *out = std::move(it->second);
  services->erase(it);
  return true;
}

}  // namespace imd_internal

AMDeviceRef AMDeviceRetain(AMDeviceRef device) noexcept {
  if (device) device->refs.fetch_add(1, std::memory_order_relaxed);
  return device;
}

void AMDeviceRelease(AMDeviceRef device) noexcept {
  if (!device) return;
  if (device->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  // Service entries hold references, so none can be left for this device.
  {
    std::lock_guard lock(device->mutex);
    close_control(device);
  }
  delete device;
}

int32_t AMDeviceConnect(AMDeviceRef device) noexcept {
  if (!device) return kAMDInvalidArgument;
  ServiceTable stale = take_services_of(device);
  std::lock_guard lock(device->mutex);
  close_control(device);

  idevice_t raw_idevice = nullptr;
  idevice_error_t found =
      idevice_new_with_options(&raw_idevice, device->udid.c_str(), IDEVICE_LOOKUP_USBMUX);
  if (found != IDEVICE_E_SUCCESS) return found;
  SharedIdevice idevice;
  try {
    idevice = SharedIdevice(raw_idevice, IdeviceFree());
  } catch (...) {
    return kAMDOutOfMemory;  // the deleter has freed the handle
  }

  lockdownd_client_t lockdown = nullptr;
  lockdownd_error_t opened = lockdownd_client_new(idevice.get(), &lockdown, kLabel);
  if (opened != LOCKDOWN_E_SUCCESS) return opened;

  char* type = nullptr;
  lockdownd_error_t queried = lockdownd_query_type(lockdown, &type);
  std::free(type);
  if (queried != LOCKDOWN_E_SUCCESS) {
    lockdownd_client_free(lockdown);
    return queried;
  }
  // The version decides how pairing is validated; unknown counts as old.
  plist_t version = nullptr;
  if (lockdownd_get_value(lockdown, nullptr, "ProductVersion", &version) ==
          LOCKDOWN_E_SUCCESS &&
      version && plist_get_node_type(version) == PLIST_STRING) {
    char* text = nullptr;
    plist_get_string_val(version, &text);
    device->product_major = parse_major(text);
    std::free(text);
  }
  plist_free(version);

  device->idevice = std::move(idevice);
  device->lockdown = lockdown;
  return 0;
}

int32_t AMDeviceIsPaired(AMDeviceRef device) noexcept {
  if (!device) return 0;
  char* data = nullptr;
  uint32_t size = 0;
  int found = usbmuxd_read_pair_record(device->udid.c_str(), &data, &size);
  std::free(data);
  return found == 0 ? 1 : 0;
}

int32_t AMDevicePair(AMDeviceRef device) noexcept {
  if (!device) return kAMDInvalidArgument;
  std::lock_guard lock(device->mutex);
  if (!device->lockdown) return kAMDNotConnected;
  return lockdownd_pair(device->lockdown, nullptr);
}

int32_t AMDeviceValidatePairing(AMDeviceRef device) noexcept {
  if (!device) return kAMDInvalidArgument;
  std::lock_guard lock(device->mutex);
  if (!device->lockdown) return kAMDNotConnected;
  // Devices from 7.0 on check the record when the session starts; asking
  // them to validate it as well would show the trust prompt a second time.
  if (device->product_major >= 7) {
    PlistPtr record = read_pair_record(device->udid);
    return record_host_id(record.get()).empty() ? LOCKDOWN_E_INVALID_HOST_ID : 0;
  }
  return lockdownd_validate_pair(device->lockdown, nullptr);
}

int32_t AMDeviceStartSession(AMDeviceRef device) noexcept {
  if (!device) return kAMDInvalidArgument;
  std::lock_guard lock(device->mutex);
  if (!device->lockdown) return kAMDNotConnected;
  PlistPtr record = read_pair_record(device->udid);
  std::string host_id = record_host_id(record.get());
  if (host_id.empty()) return LOCKDOWN_E_INVALID_HOST_ID;

  char* session = nullptr;
  int ssl = 0;
  lockdownd_error_t started =
      lockdownd_start_session(device->lockdown, host_id.c_str(), &session, &ssl);
  std::unique_ptr<char, MallocFree> owned(session);
  if (started != LOCKDOWN_E_SUCCESS) return started;
  try {
    device->session_id = session ? session : "";
  } catch (...) {
    return kAMDOutOfMemory;
  }
  return 0;
}

int32_t AMDeviceStartService(AMDeviceRef device, CFStringRef name,
                             uint32_t* service_handle) noexcept {
  if (service_handle) *service_handle = 0;
  const char* service_name = CFStringGetCStringPtr(name);
  if (!device || !service_name || !service_handle) return kAMDInvalidArgument;

  StartedService entry;
  {
    std::lock_guard lock(device->mutex);
    if (!device->lockdown) return kAMDNotConnected;
    lockdownd_service_descriptor_t raw = nullptr;
    lockdownd_error_t started =
        lockdownd_start_service(device->lockdown, service_name, &raw);
    entry.service.reset(raw);
    if (started != LOCKDOWN_E_SUCCESS) return started;
    if (!raw) return LOCKDOWN_E_UNKNOWN_ERROR;
    entry.idevice = device->idevice;
  }
  entry.device.reset(AMDeviceRetain(device));

  std::lock_guard lock(services_mutex);
  try {
    if (!services) services = new std::map<uint32_t, StartedService>;
    uint32_t handle = next_service_handle++;
    if (next_service_handle == 0) next_service_handle = 1;
    services->emplace(handle, std::move(entry));
    *service_handle = handle;
  } catch (...) {
    return kAMDOutOfMemory;
  }
  return 0;
}

int32_t AMDeviceStopSession(AMDeviceRef device) noexcept {
  if (!device) return kAMDInvalidArgument;
  std::lock_guard lock(device->mutex);
  if (!device->lockdown || device->session_id.empty()) return kAMDNotConnected;
  lockdownd_error_t stopped =
      lockdownd_stop_session(device->lockdown, device->session_id.c_str());
  device->session_id.clear();
  return stopped;
}

int32_t AMDeviceDisconnect(AMDeviceRef device) noexcept {
  if (!device) return 0;
  ServiceTable stale = take_services_of(device);
  std::lock_guard lock(device->mutex);
  close_control(device);
  return 0;
}
