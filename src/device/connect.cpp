// The connection sequence: subscription, the notification callback and the
// steps from device connect to the open file-service connection. All of it
// runs on the device thread; nothing here touches the error text.
#include "device/device.h"

namespace {

// A connection from an earlier sequence that `disconnect` left open holds
// its device and buffers; nobody can use it any more (`connected` is 0 while
// a sequence runs), so it goes before anything may overwrite afc_conn.
void release_connection(DeviceLink* link) noexcept {
  AFCConnectionRef old = link->afc_conn;
  link->afc_conn = nullptr;
  if (old) (void)AFCConnectionClose(old);
}

}  // namespace

namespace device_internal {

void notification(am_device_notification_callback_info* info, void* /*arg*/) noexcept {
  DeviceLink* link = _mdv0;
  if (!link || !info || link->connected.load(std::memory_order_acquire) != 0) return;
  link->device_ref = info->dev;
  if (info->msg == ADNCI_MSG_CONNECTED) {
    (void)mdv_connect(link);
    if (link->connect_cb) (void)link->connect_cb(link, link->connect_arg);
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
  AMDeviceRef device = link->device_ref;
  if (AMDeviceConnect(device) != 0) return -1;
  if (!AMDeviceIsPaired(device)) {
    (void)AMDevicePair(device);
    if (!AMDeviceIsPaired(device)) return -2;
  }
  if (AMDeviceValidatePairing(device) != 0) {
    (void)AMDevicePair(device);
    if (AMDeviceValidatePairing(device) != 0) return -3;
  }
  if (AMDeviceStartSession(device) != 0) return -4;
  return mdv_connect_to_afc(link);
}

int32_t mdv_connect_to_afc(DeviceLink* link) noexcept {
  uint32_t service_handle = 0;
  if (AMDeviceStartService(link->device_ref, CFSTR("com.apple.afc"), &service_handle) != 0)
    return -1;
  release_connection(link);
  if (AFCConnectionOpen(service_handle, 0, &link->afc_conn) != 0) return -2;
  // Last: this store publishes afc_conn to the main thread.
  link->connected.store(1, std::memory_order_release);
  return 0;
}

int32_t mdv_disconnect(DeviceLink* /*link*/) noexcept { return 0; }
