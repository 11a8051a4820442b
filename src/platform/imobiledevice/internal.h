// File: platform/imobiledevice/internal.h
//
// What the units of the production device layer share: the device object
// behind AMDeviceRef, the table of started services behind the 32-bit
// service handle, the library handle owners and the TLS watch's silence
// limit.
//
// Invariants:
//   - An AMDevice is created by the notifier, one per attach; a re-attached
//     device gets a fresh object, so its library handles never outlive the
//     usbmuxd DeviceID they were made for.
//   - `idevice` is shared: the device holds it while its control connection
//     is open, and every service entry and file-service connection made from
//     it holds it too, because the library's AFC client keeps a pointer to
//     it. The last holder frees it, which is always after the lockdown
//     client that used it.
//   - `mutex` guards every field below it; library calls on the lockdown
//     client are made with it held (the client is not thread-safe).
#pragma once

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <openssl/err.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/MobileDevice.h"

namespace imd_internal {

// OpenSSL keeps a queue of errors per thread, and libimobiledevice 1.3.0
// leaves it full when a TLS connection dies. The library consults it after
// every TLS read that has to wait, and a stale entry there reads as a fatal
// error: the next connection made or used on that thread would stop in the
// middle of a reply, out of step for good. So every call into the library
// that may reach TLS starts with the queue empty.
inline void forget_tls_errors() noexcept { ERR_clear_error(); }

struct IdeviceFree {
  void operator()(idevice_private* device) const noexcept { idevice_free(device); }
};
using SharedIdevice = std::shared_ptr<idevice_private>;

struct ServiceFree {
  void operator()(lockdownd_service_descriptor* service) const noexcept {
    lockdownd_service_descriptor_free(service);
  }
};
using ServicePtr = std::unique_ptr<lockdownd_service_descriptor, ServiceFree>;

// A reference held by an owner; releases on destruction.
struct DeviceReleaser {
  void operator()(AMDevice* device) const noexcept { AMDeviceRelease(device); }
};
using DeviceHold = std::unique_ptr<AMDevice, DeviceReleaser>;

// A new device object for `udid` with one reference (the caller's). Null
// when memory runs out.
[[nodiscard]] AMDevice* device_new(const char* udid) noexcept;
// The udid the object was made for (valid as long as a reference is held).
[[nodiscard]] const std::string& device_udid(AMDevice* device) noexcept;
// The name the device gave at its last connect, into `name` (size bytes,
// NUL-terminated; empty when none). Never waits for the device's own lock,
// which a connection sequence holds through its handshakes.
void device_name(AMDevice* device, char* name, size_t size) noexcept;

// The name a phone attached under `udid` gave afclink, into `name` (size
// bytes, NUL-terminated); empty when none is known (notify.cpp).
void known_name(const char* udid, char* name, size_t size) noexcept;
// Once the library's event subscription runs, the phones it announced
// attached over USB, as AMDMuxCopyPhones hands them out, and true; false
// before (notify.cpp). No I/O: asking usbmuxd from another thread while a
// connection of the device thread waits on a phone can wait with it.
[[nodiscard]] bool copy_announced(AMDAttachedPhone* phones, uint32_t capacity,
                                  uint32_t* count) noexcept;

// A started service: what AFCConnectionOpen needs to reach its port.
struct StartedService {
  DeviceHold device;
  SharedIdevice idevice;
  ServicePtr service;
};

// Takes the entry of `handle` out of the table: false when there is none.
[[nodiscard]] bool service_take(uint32_t handle, StartedService* out) noexcept;

// The usbmuxd socket the calling thread last received on through the
// device library, or -1 since forget_received_socket (mux_calls.cpp).
void forget_received_socket() noexcept;
[[nodiscard]] int received_socket() noexcept;

// How long a TLS handshake waits for a silent phone before it is ended as
// failed (tls_watch.cpp); tests shorten it. Set before any handshake runs.
extern std::chrono::milliseconds tls_silence_limit;

// The TLS version ("TLSv1.2") of the last handshake the calling thread
// completed since the last call, or null; forgets it.
[[nodiscard]] const char* take_handshake_version() noexcept;

}  // namespace imd_internal
