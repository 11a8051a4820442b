// File: platform/MobileDevice.h
//
// The device framework surface exactly as the device module calls it:
// notifications, connection, pairing, session, service start and the file
// service (AFC). Two implementations exist and a program links exactly one:
//   - platform/imobiledevice/: production, on libimobiledevice + libusbmuxd;
//   - tests/support/: the in-process fake, scriptable, with fault injection.
//
// Conventions for every call below:
//   - Status results are int32_t: 0 is success, anything else a failure.
//     AMDeviceIsPaired alone returns a truth value.
//   - Out-parameters are zeroed on entry, before anything can fail, so a
//     failed call never leaves a stale handle.
//   - Nothing here prints, and nothing throws.
//
// Statuses. The production layer passes the library's own codes through:
//   - AMDevice* calls: libimobiledevice's lockdownd codes, negative
//     (-8 mux error, -17 passcode set, -18 user denied pairing,
//     -19 pairing dialog pending, -21 invalid host id, -23 session inactive,
//     -27 invalid service, -34 service prohibited, -256 unknown), plus
//     its idevice codes moved out of that range (kAMDDeviceCodes), and
//     kAMDInvalidArgument for a null device and kAMDNotConnected for a call
//     that needs AMDeviceConnect first.
//   - AFC* calls: AFC codes, positive (7 invalid argument, 8 not found,
//     9 is a directory, 10 permission denied, 30 mux error, 31 no memory...).
//
// Example (the connection sequence, simplified):
//   AMDeviceConnect(dev); AMDeviceIsPaired(dev) || AMDevicePair(dev);
//   AMDeviceValidatePairing(dev); AMDeviceStartSession(dev);
//   uint32_t svc; AMDeviceStartService(dev, CFSTR("com.apple.afc"), &svc);
//   AFCConnectionRef afc; AFCConnectionOpen(svc, 0, &afc);
//   AFCFileInfo info; AFCFileInfoRead(afc, "/path", &info);
//   uint64_t f; AFCFileRefOpen(afc, "/path", 1, &f); ...
#pragma once

#include <cstdint>

#include "platform/CoreFoundation.h"

struct AMDevice;
using AMDeviceRef = AMDevice*;  // reference counted: AMDeviceRetain/Release
struct AMDeviceNotification;
using AMDeviceNotificationRef = AMDeviceNotification*;
struct AFCConnection;
using AFCConnectionRef = AFCConnection*;

// Statuses of the stand-ins' own making (outside the library's ranges).
constexpr int32_t kAMDInvalidArgument = -1001;
constexpr int32_t kAMDNotConnected = -1002;
constexpr int32_t kAMDOutOfMemory = -1003;
// A connection made after `disconnect` came, and released again.
constexpr int32_t kAMDWithdrawn = -1004;
// The device library's own codes (IDEVICE_E_*) overlap lockdown's (-3 is
// both "no device" and a plist error), so they enter this layer moved out
// of its range: an IDEVICE_E_ code c arrives as kAMDDeviceCodes + c.
constexpr int32_t kAMDDeviceCodes = -2000;

// The library statuses afclink acts on, by the library's own names
// (IDEVICE_E_*, LOCKDOWN_E_*, AFC_E_*); the production layer checks at
// compile time that they are the library's values.
constexpr int32_t kAMDNoDevice = kAMDDeviceCodes - 3;  // IDEVICE_E_NO_DEVICE (AMDeviceConnect)
constexpr int32_t kAMDPairingFailed = -4;              // LOCKDOWN_E_PAIRING_FAILED
constexpr int32_t kAMDSSLError = -5;                   // LOCKDOWN_E_SSL_ERROR
constexpr int32_t kAMDMuxError = -8;                   // LOCKDOWN_E_MUX_ERROR
constexpr int32_t kAMDPasswordProtected = -17;         // LOCKDOWN_E_PASSWORD_PROTECTED
constexpr int32_t kAMDUserDeniedPairing = -18;         // LOCKDOWN_E_USER_DENIED_PAIRING
constexpr int32_t kAMDPairingDialogPending = -19;      // LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING
constexpr int32_t kAMDInvalidHostID = -21;             // LOCKDOWN_E_INVALID_HOST_ID
constexpr int32_t kAMDSessionInactive = -23;           // LOCKDOWN_E_SESSION_INACTIVE
constexpr int32_t kAMDInvalidService = -27;            // LOCKDOWN_E_INVALID_SERVICE
constexpr int32_t kAMDServiceLimit = -28;              // LOCKDOWN_E_SERVICE_LIMIT
constexpr int32_t kAMDServiceProhibited = -34;         // LOCKDOWN_E_SERVICE_PROHIBITED
constexpr int32_t kAFCUnknownError = 1;                // AFC_E_UNKNOWN_ERROR
constexpr int32_t kAFCReadError = 4;                   // AFC_E_READ_ERROR
constexpr int32_t kAFCInvalidArgument = 7;             // AFC_E_INVALID_ARG
constexpr int32_t kAFCObjectNotFound = 8;              // AFC_E_OBJECT_NOT_FOUND
constexpr int32_t kAFCObjectIsDir = 9;                 // AFC_E_OBJECT_IS_DIR
constexpr int32_t kAFCPermDenied = 10;                 // AFC_E_PERM_DENIED
constexpr int32_t kAFCOpHeaderInvalid = 2;       // AFC_E_OP_HEADER_INVALID: replies out of step
constexpr int32_t kAFCServiceNotConnected = 11;  // AFC_E_SERVICE_NOT_CONNECTED
constexpr int32_t kAFCMuxError = 30;             // AFC_E_MUX_ERROR: the link is gone
constexpr int32_t kAFCNoMemory = 31;             // AFC_E_NO_MEM
constexpr int32_t kAFCNotEnoughData = 32;        // AFC_E_NOT_ENOUGH_DATA: a reply cut short

// Message kinds of a device notification.
constexpr uint32_t ADNCI_MSG_CONNECTED = 1;
constexpr uint32_t ADNCI_MSG_DISCONNECTED = 2;
// The device now trusts a host record: usbmuxd saved one, or the user
// answered the device's trust prompt. Any other kind is "any other kind".
constexpr uint32_t ADNCI_MSG_PAIRED = 3;

// The notification record: the device first, the message kind second.
struct am_device_notification_callback_info {
  AMDeviceRef dev;
  uint32_t msg;
};
using am_device_notification_callback = void (*)(am_device_notification_callback_info* info,
                                                 void* arg);

// ---- Notifications --------------------------------------------------------

// Subscribes `callback` to device notifications. The callback is called on
// the run loop of the thread that subscribed (CFRunLoopGetCurrent at the
// time of the call), never on a library thread, and only while that loop
// runs; devices already attached are announced at once (kind 1). The record
// and its device are valid during the call; the device stays valid after it
// for as long as a reference is held (AMDeviceRetain), and the notifier holds
// one while the device is attached. Subscribing again replaces the earlier
// subscription (only the newest callback is called) and announces attached
// devices afresh; what the earlier one had yet to deliver is dropped, but
// for detaches, which no announcement could tell. `cookie` is passed to
// the callback as its argument; `unused0` and `unused1` are passed as 0.
// *subscription receives an opaque reference (nobody frees it).
// 0, or kAMDOutOfMemory.
[[nodiscard]] int32_t AMDeviceNotificationSubscribe(am_device_notification_callback callback,
                                                    uint32_t unused0, uint32_t unused1,
                                                    void* cookie,
                                                    AMDeviceNotificationRef* subscription) noexcept;

// ---- Device references ----------------------------------------------------

// Adds a reference; returns `device`. Null is passed through.
AMDeviceRef AMDeviceRetain(AMDeviceRef device) noexcept;
// Drops a reference; the last one frees the device and every connection it
// still holds. Null is ignored.
void AMDeviceRelease(AMDeviceRef device) noexcept;

// ---- Connection sequence --------------------------------------------------

// Opens a control connection to the device (lockdown). A device already
// connected is connected afresh (the earlier connection is closed first).
// 0; kAMDNoDevice when the device is gone (other device-library codes moved
// likewise); lockdown's codes, -8 when the mux refuses; kAMDInvalidArgument.
[[nodiscard]] int32_t AMDeviceConnect(AMDeviceRef device) noexcept;
// Non-zero when the host holds a pairing record for the device. 0 for null.
[[nodiscard]] int32_t AMDeviceIsPaired(AMDeviceRef device) noexcept;
// Pairs the host with the device and stores the record (through usbmuxd).
// 0; -4 pairing failed, -17 passcode set, -18 user denied, -19 dialog
// pending; kAMDNotConnected; kAMDInvalidArgument.
[[nodiscard]] int32_t AMDevicePair(AMDeviceRef device) noexcept;
// Checks, by asking the device (a session), that it still trusts the host's
// record; the session it opens is kept for AMDeviceStartSession.
// 0; -21 not trusted or no record; -5 TLS failed; kAMDNotConnected;
// kAMDInvalidArgument.
[[nodiscard]] int32_t AMDeviceValidatePairing(AMDeviceRef device) noexcept;
// Starts a session with the host's record (0 at once when validation left
// one open). 0; -21 not trusted; kAMDNotConnected; kAMDInvalidArgument.
[[nodiscard]] int32_t AMDeviceStartSession(AMDeviceRef device) noexcept;
// Starts the named service; *service_handle receives a handle for
// AFCConnectionOpen (0 on failure). Once it is started the session and the
// control connection end (the service does not need them); a further start
// needs AMDeviceConnect again. 0; -17 device locked, -23 no session,
// -27 invalid service, -28 limit, -34 prohibited; kAMDNotConnected;
// kAMDInvalidArgument.
[[nodiscard]] int32_t AMDeviceStartService(AMDeviceRef device, CFStringRef name,
                                           uint32_t* service_handle) noexcept;

// ---- What the host knows (afclink's own; no framework counterpart) ----------

// What the last AMDeviceConnect and session learned of a device. Every
// field is NUL-terminated text, empty where nothing is known.
struct AMDeviceDescription {
  char udid[64];
  char name[128];            // DeviceName
  char product_version[32];  // ProductVersion ("15.0")
  char session_tls[16];      // the session's TLS version ("TLSv1.2"); empty: none yet
  uint8_t service_tls;       // 1 when the last started service asked for TLS
};
// Fills *description (zeroed first). 0, or kAMDInvalidArgument.
int32_t AMDeviceCopyDescription(AMDeviceRef device, AMDeviceDescription* description) noexcept;

// Asks the device mux (usbmuxd) for its device list: 0 when it answers,
// with *shown the number of devices it shows; else a negative errno
// (-ENOENT: no socket, -ECONNREFUSED: nobody listening). One short
// connection to the mux, nothing to any device.
int32_t AMDMuxProbe(uint32_t* shown) noexcept;
// A phone the device mux shows: its UDID, and its name where afclink has
// learned it from the phone itself (empty until then: listing asks no
// phone anything).
struct AMDAttachedPhone {
  char udid[64];
  char name[128];
};
// The phones attached over USB, each once, network entries left out: at
// most `capacity` of them into `phones` (zeroed first), and into *count how
// many there are (which may pass `capacity`). Once notifications are
// subscribed, the phones the mux has announced, with no I/O at all; before,
// one short connection to the mux. Nothing is ever asked of a device.
// 0, or a negative errno as AMDMuxProbe.
[[nodiscard]] int32_t AMDMuxCopyPhones(AMDAttachedPhone* phones, uint32_t capacity,
                                       uint32_t* count) noexcept;
// Where the mux is reached, as text: the address the environment names
// (USBMUXD_SOCKET_ADDRESS), else the system's socket path.
const char* AMDMuxAddress() noexcept;

// ---- File service ---------------------------------------------------------

// Opens the file-service connection for a started service. `timeout` is
// passed as 0 and not used. *connection receives the connection (null on
// failure); it holds its device until AFCConnectionClose.
// 0; 7 unknown handle; 30 mux error; 31 no memory.
[[nodiscard]] int32_t AFCConnectionOpen(uint32_t service_handle, uint32_t timeout,
                                        AFCConnectionRef* connection) noexcept;
// Closes and frees the connection and every buffer it holds. Null ignored.
int32_t AFCConnectionClose(AFCConnectionRef connection) noexcept;

// Opens a device file. Modes: 1 read only, 3 write only (create, truncate);
// any other mode is refused with 7, nothing sent.
// *file_ref receives the reference (0 on failure; a device may answer
// success without one, which leaves it 0). 0; 7 bad argument; 8 not found;
// 9 is a directory; 10 permission denied; 30 link lost.
[[nodiscard]] int32_t AFCFileRefOpen(AFCConnectionRef connection, const char* path, uint64_t mode,
                                     uint64_t* file_ref) noexcept;
// Reads at most *length bytes into `buffer`; *length becomes the count read,
// 0 at the end of the file. 0; 4 read error; 7 bad reference; 30 link lost.
[[nodiscard]] int32_t AFCFileRefRead(AFCConnectionRef connection, uint64_t file_ref, void* buffer,
                                     uint32_t* length) noexcept;
// Writes `length` bytes. 0; 5 write error; 7 bad reference; 18 no space;
// 30 link lost.
// afclink itself never calls this (only mdv_file_write does): part of the
// fixed file interface, kept for the unit tests and the fuzzer.
[[nodiscard]] int32_t AFCFileRefWrite(AFCConnectionRef connection, uint64_t file_ref,
                                      const void* buffer, uint32_t length) noexcept;
// Moves the file position to `offset` from `whence`: 0 the start, 2 the
// end; 1 (the current position) is refused, nothing sent.
// 0; 7 bad reference or whence; 30 link lost.
[[nodiscard]] int32_t AFCFileRefSeek(AFCConnectionRef connection, uint64_t file_ref, int64_t offset,
                                     uint64_t whence) noexcept;
// The file position, from the start, into *position (0 on failure).
// 0; 7 bad reference; 30 link lost.
[[nodiscard]] int32_t AFCFileRefTell(AFCConnectionRef connection, uint64_t file_ref,
                                     uint64_t* position) noexcept;
// Closes a device file. 0; 7 for reference 0 (nothing is sent); 30 link lost.
[[nodiscard]] int32_t AFCFileRefClose(AFCConnectionRef connection, uint64_t file_ref) noexcept;

// What the file service tells of one path without opening it.
struct AFCFileInfo {
  uint64_t size;         // st_size, in bytes
  uint64_t modified_ns;  // st_mtime: nanoseconds since 1970
  uint8_t is_regular;    // st_ifmt is S_IFREG
};
// Asks the device about `path`; *info is zeroed first.
// 0; 7 bad argument; 8 not found; 10 permission denied; 30 link lost;
// 31 no memory; 1 a reply that lacks the size or the time.
[[nodiscard]] int32_t AFCFileInfoRead(AFCConnectionRef connection, const char* path,
                                      AFCFileInfo* info) noexcept;
