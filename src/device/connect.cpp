// The connection sequence: subscription, the notification callback and the
// steps from device connect to the open file-service connection. All of it
// runs on the device thread; nothing here touches the error text.
#include "device/device.h"

namespace {

// Set when the last attempt failed while the device still showed its trust
// prompt; the device's "paired" notification then means the user answered
// it, and the attempt runs again without waiting for a new command. Only
// the device thread reads or writes it.
bool awaiting_trust = false;

// A connection from an earlier sequence that `disconnect` left open holds
// its device and buffers; nobody can use it any more (`connected` is 0 while
// a sequence runs), so it goes before anything may overwrite afc_conn.
void release_connection(DeviceLink* link) noexcept {
  AFCConnectionRef old = link->afc_conn;
  link->afc_conn = nullptr;
  if (old) (void)AFCConnectionClose(old);
}

void attempt(DeviceLink* link) noexcept {
  (void)mdv_connect(link);
  if (link->connect_cb) (void)link->connect_cb(link, link->connect_arg);
}

}  // namespace

namespace device_internal {

void notification(am_device_notification_callback_info* info, void* /*arg*/) noexcept {
  DeviceLink* link = _mdv0;
  if (!link || !info) return;
  if (link->connected.load(std::memory_order_acquire) != 0) {
    // The main thread may be using the connection this very moment: only
    // mark it, and the main thread retires it between commands.
    if (info->msg == ADNCI_MSG_DISCONNECTED && info->dev == link->device_ref) mdv_mark_lost(link);
    return;
  }
  link->device_ref = info->dev;
  if (info->msg == ADNCI_MSG_CONNECTED || (info->msg == ADNCI_MSG_PAIRED && awaiting_trust)) {
    attempt(link);
  } else if (info->msg == ADNCI_MSG_DISCONNECTED) {
    (void)mdv_disconnect(link);
  }
}

}  // namespace device_internal

int32_t mdv_subscribe_to_notifications(DeviceLink* /*link*/) noexcept {
  AMDeviceNotificationRef subscription = nullptr;
  return AMDeviceNotificationSubscribe(device_internal::notification, 0, 0, nullptr,
                                       &subscription) == 0
             ? 0
             : -1;
}

int32_t mdv_connect(DeviceLink* link) noexcept {
  release_connection(link);
  awaiting_trust = false;
  AMDeviceRef device = link->device_ref;
  if (AMDeviceConnect(device) != 0) return -1;
  if (!AMDeviceIsPaired(device)) {
    awaiting_trust = AMDevicePair(device) == kAMDPairingDialogPending;
    if (!AMDeviceIsPaired(device)) return -2;
  }
  if (AMDeviceValidatePairing(device) != 0) {
    awaiting_trust = AMDevicePair(device) == kAMDPairingDialogPending;
    if (AMDeviceValidatePairing(device) != 0) return -3;
  }
  awaiting_trust = false;
  if (AMDeviceStartSession(device) != 0) return -4;
  return mdv_connect_to_afc(link);
}

int32_t mdv_connect_to_afc(DeviceLink* link) noexcept {
  uint32_t service_handle = 0;
  if (AMDeviceStartService(link->device_ref, CFSTR("com.apple.afc"), &service_handle) != 0)
    return -1;
  release_connection(link);
  if (AFCConnectionOpen(service_handle, 0, &link->afc_conn) != 0) return -2;
  // A mark left from the connection this one replaces is no longer true.
  link->lost.store(0, std::memory_order_relaxed);
  // Last: this store publishes afc_conn to the main thread.
  link->connected.store(1, std::memory_order_release);
  return 0;
}

int32_t mdv_disconnect(DeviceLink* /*link*/) noexcept { return 0; }

void mdv_mark_lost(DeviceLink* link) noexcept { link->lost.store(1, std::memory_order_release); }

int32_t mdv_retire_if_lost(DeviceLink* link) noexcept {
  if (link->lost.load(std::memory_order_acquire) == 0) return 0;
  link->lost.store(0, std::memory_order_relaxed);
  if (link->connected.load(std::memory_order_acquire) == 0) return 0;
  // Closed before `connected` is cleared: from that store on, the device
  // thread may start a sequence, which releases whatever afc_conn holds.
  AFCConnectionRef gone = link->afc_conn;
  link->afc_conn = nullptr;
  if (gone) (void)AFCConnectionClose(gone);
  link->connected.store(0, std::memory_order_release);
  return 1;
}

bool mdv_status_means_lost(int32_t status) noexcept {
  // 2 reply out of step, 11 service not connected, 30 link lost,
  // 32 reply cut short: every later request on the connection fails too.
  return status == 2 || status == 11 || status == 30 || status == 32;
}
