// Device objects and the connection sequence on libimobiledevice:
// reference counting, the control (lockdown) connection, pairing through
// usbmuxd's pair records, the session and service start.
#include <libimobiledevice/afc.h>
#include <usbmuxd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>

#include "platform/imobiledevice/internal.h"
#include "platform/owners.h"

using namespace imd_internal;

// The named statuses afclink acts on are the library's own values.
static_assert(kAMDNoDevice == kAMDDeviceCodes + IDEVICE_E_NO_DEVICE);
static_assert(kAMDPairingFailed == LOCKDOWN_E_PAIRING_FAILED);
static_assert(kAMDSSLError == LOCKDOWN_E_SSL_ERROR);
static_assert(kAMDMuxError == LOCKDOWN_E_MUX_ERROR);
static_assert(kAMDPasswordProtected == LOCKDOWN_E_PASSWORD_PROTECTED);
static_assert(kAMDUserDeniedPairing == LOCKDOWN_E_USER_DENIED_PAIRING);
static_assert(kAMDPairingDialogPending == LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING);
static_assert(kAMDInvalidHostID == LOCKDOWN_E_INVALID_HOST_ID);
static_assert(kAMDSessionInactive == LOCKDOWN_E_SESSION_INACTIVE);
static_assert(kAMDInvalidService == LOCKDOWN_E_INVALID_SERVICE);
static_assert(kAMDServiceLimit == LOCKDOWN_E_SERVICE_LIMIT);
static_assert(kAMDServiceProhibited == LOCKDOWN_E_SERVICE_PROHIBITED);
static_assert(kAFCOpHeaderInvalid == AFC_E_OP_HEADER_INVALID && kAFCReadError == AFC_E_READ_ERROR &&
              kAFCInvalidArgument == AFC_E_INVALID_ARG &&
              kAFCObjectNotFound == AFC_E_OBJECT_NOT_FOUND &&
              kAFCObjectIsDir == AFC_E_OBJECT_IS_DIR && kAFCPermDenied == AFC_E_PERM_DENIED &&
              kAFCServiceNotConnected == AFC_E_SERVICE_NOT_CONNECTED &&
              kAFCMuxError == AFC_E_MUX_ERROR && kAFCNotEnoughData == AFC_E_NOT_ENOUGH_DATA &&
              kAFCUnknownError == AFC_E_UNKNOWN_ERROR && kAFCNoMemory == AFC_E_NO_MEM);

struct AMDevice {
  std::atomic<int32_t> refs{1};
  const std::string udid;

  std::mutex mutex;
  SharedIdevice idevice;
  lockdownd_client_t lockdown = nullptr;
  bool in_session = false;            // `lockdown` holds a session; freeing it stops it
  AMDeviceDescription description{};  // what the last connect and session learned

  // The name the device gave, for listings on any thread: `mutex` is held
  // through whole handshakes, which a listing must never wait for.
  std::mutex name_mutex;
  char name[sizeof AMDeviceDescription::name] = {};

  explicit AMDevice(const char* id) : udid(id) {}
};

namespace {

constexpr const char* kLabel = "afclink";

// The service table: handles are never 0 and are not reused while the
// process runs (a 32-bit counter would need four billion starts to wrap).
std::mutex services_mutex;
std::map<uint32_t, StartedService>* services = nullptr;  // never freed
uint32_t next_service_handle = 1;

bool has_pair_record(const std::string& udid) noexcept {
  char* data = nullptr;
  uint32_t size = 0;
  const int found = usbmuxd_read_pair_record(udid.c_str(), &data, &size);
  const MallocPtr<char> owner(data);
  return found == 0;
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
  device->in_session = false;
  device->idevice.reset();
}

template <size_t N>
void copy_field(char (&field)[N], const char* text) noexcept {
  std::strncpy(field, text, N - 1);
  field[N - 1] = '\0';
}

// A string value of the device's, read on the plain control connection;
// left as it was when the device does not give one.
template <size_t N>
void read_string_value(lockdownd_client_t lockdown, const char* key, char (&field)[N]) noexcept {
  plist_t node = nullptr;
  if (lockdownd_get_value(lockdown, nullptr, key, &node) != LOCKDOWN_E_SUCCESS) return;
  const PlistPtr owner(node);
  if (plist_get_node_type(node) != PLIST_STRING) return;
  char* text = nullptr;
  plist_get_string_val(node, &text);
  const MallocPtr<char> text_owner(text);
  if (text) copy_field(field, text);
}

// Opens a session as the library's own tools do, on a new control
// connection. There the library first learns the device's version, without
// which it caps TLS at 1.0 (a phone that refuses 1.0 would never connect),
// and devices before 7.0 are asked to validate the record. The session
// asks the device itself whether it still trusts the record, so a device
// that has forgotten this computer fails here (-21) and is paired again.
// The session client replaces the plain one. The caller holds
// device->mutex and has checked that a record exists: with none, the
// library would pair on its own, behind the sequence's back.
int32_t open_session(AMDevice* device) noexcept {
  lockdownd_client_t session = nullptr;
  (void)take_handshake_version();
  const lockdownd_error_t opened =
      lockdownd_client_new_with_handshake(device->idevice.get(), &session, kLabel);
  if (opened != LOCKDOWN_E_SUCCESS) return opened;
  const char* tls = take_handshake_version();
  copy_field(device->description.session_tls, tls ? tls : "");
  lockdownd_client_free(device->lockdown);
  device->lockdown = session;
  device->in_session = true;
  return 0;
}

// Validation and the session start are one step here: a session opened
// with the host's record, which validation leaves open for the start.
int32_t session_with_record(AMDevice* device) noexcept {
  forget_tls_errors();
  if (!device) return kAMDInvalidArgument;
  std::lock_guard lock(device->mutex);
  if (!device->lockdown) return kAMDNotConnected;
  if (device->in_session) return 0;  // the device accepted the record already
  if (!has_pair_record(device->udid)) return LOCKDOWN_E_INVALID_HOST_ID;
  return open_session(device);
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
    forget_tls_errors();
    std::lock_guard lock(device->mutex);
    close_control(device);
  }
  delete device;
}

int32_t AMDeviceConnect(AMDeviceRef device) noexcept {
  forget_tls_errors();
  if (!device) return kAMDInvalidArgument;
  ServiceTable stale = take_services_of(device);
  std::lock_guard lock(device->mutex);
  close_control(device);

  idevice_t raw_idevice = nullptr;
  idevice_error_t found =
      idevice_new_with_options(&raw_idevice, device->udid.c_str(), IDEVICE_LOOKUP_USBMUX);
  if (found != IDEVICE_E_SUCCESS) return kAMDDeviceCodes + found;
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
  const MallocPtr<char> type_owner(type);
  if (queried != LOCKDOWN_E_SUCCESS) {
    lockdownd_client_free(lockdown);
    return queried;
  }
  device->description = AMDeviceDescription{};
  copy_field(device->description.udid, device->udid.c_str());
  read_string_value(lockdown, "DeviceName", device->description.name);
  read_string_value(lockdown, "ProductVersion", device->description.product_version);
  {
    std::lock_guard named(device->name_mutex);
    copy_field(device->name, device->description.name);
  }
  device->idevice = std::move(idevice);
  device->lockdown = lockdown;
  return 0;
}

int32_t AMDeviceIsPaired(AMDeviceRef device) noexcept {
  return device && has_pair_record(device->udid) ? 1 : 0;
}

int32_t AMDevicePair(AMDeviceRef device) noexcept {
  forget_tls_errors();
  if (!device) return kAMDInvalidArgument;
  std::lock_guard lock(device->mutex);
  if (!device->lockdown) return kAMDNotConnected;
  return lockdownd_pair(device->lockdown, nullptr);
}

int32_t AMDeviceValidatePairing(AMDeviceRef device) noexcept { return session_with_record(device); }

int32_t AMDeviceStartSession(AMDeviceRef device) noexcept { return session_with_record(device); }

int32_t AMDeviceStartService(AMDeviceRef device, CFStringRef name,
                             uint32_t* service_handle) noexcept {
  forget_tls_errors();
  if (service_handle) *service_handle = 0;
  const char* service_name = CFStringGetCStringPtr(name);
  if (!device || !service_name || !service_handle) return kAMDInvalidArgument;

  StartedService entry;
  {
    std::lock_guard lock(device->mutex);
    if (!device->lockdown) return kAMDNotConnected;
    lockdownd_service_descriptor_t raw = nullptr;
    lockdownd_error_t started = lockdownd_start_service(device->lockdown, service_name, &raw);
    entry.service.reset(raw);
    if (started != LOCKDOWN_E_SUCCESS) return started;
    if (!raw) return LOCKDOWN_E_UNKNOWN_ERROR;
    device->description.service_tls = raw->ssl_enabled ? 1 : 0;
    entry.idevice = device->idevice;
    // The session has done its work: stop it and close, as the library's
    // own service start does, rather than leave it idle on the phone until
    // the device goes (when its TLS goodbye may meet a dead socket).
    close_control(device);
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

int32_t AMDeviceCopyDescription(AMDeviceRef device, AMDeviceDescription* description) noexcept {
  if (!description) return kAMDInvalidArgument;
  *description = AMDeviceDescription{};
  if (!device) return kAMDInvalidArgument;
  std::lock_guard lock(device->mutex);
  *description = device->description;
  if (!description->udid[0]) copy_field(description->udid, device->udid.c_str());
  return 0;
}

void imd_internal::device_name(AMDevice* device, char* name, size_t size) noexcept {
  if (size == 0) return;
  std::lock_guard named(device->name_mutex);
  std::snprintf(name, size, "%s", device->name);
}
