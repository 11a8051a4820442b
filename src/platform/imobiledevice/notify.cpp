// Device notifications on libimobiledevice's event subscription.
//
// The library calls back on libusbmuxd's monitor thread, holding a lock of
// its own; so the callback only records the event and posts it onto the
// subscriber's run loop, where the subscriber's callback then runs. The
// library subscription is made once per process and never changed: a new
// AMDeviceNotificationSubscribe only replaces the subscriber and announces
// the attached devices from our own table, which avoids re-subscribing
// (the library then re-announces from the caller's thread, and doing so
// from inside a callback deadlocks).
#include <usbmuxd.h>

#include <cstdio>
#include <map>
#include <vector>

#include "platform/imobiledevice/internal.h"

using namespace imd_internal;

struct AMDeviceNotification {
  am_device_notification_callback callback = nullptr;
  void* cookie = nullptr;  // handed to the callback as its argument
  CFRunLoopRef loop = nullptr;
};

namespace {

std::mutex notify_mutex;
// Guarded by notify_mutex; never freed, since the library thread may call
// in until the process ends.
AMDeviceNotification subscriber;
uint64_t generation = 0;  // bumped by every subscription
bool library_subscribed = false;
std::map<std::string, AMDevice*>* attached = nullptr;  // one reference each

// Delivers one event on the subscriber's loop. A plug-in or another event
// posted before a newer subscription replaced this one is dropped: that
// subscription announces afresh whatever is still attached. A detach is
// always delivered, since no announcement can say that a phone went, and a
// subscriber that missed it would go on holding to a phone that is gone.
// Blocks run in the order posted, so a detach still comes before any later
// plug-in of the same phone. The posted block owns the reference it was
// given.
void post_locked(AMDevice* device, uint32_t kind) noexcept {
  CFRunLoopRef loop = subscriber.loop;
  uint64_t posted_for = generation;
  if (!loop) {
    AMDeviceRelease(device);
    return;
  }
  CFRunLoopPerformBlock(loop, [device, kind, posted_for] {
    DeviceHold hold(device);
    am_device_notification_callback callback = nullptr;
    void* cookie = nullptr;
    {
      std::lock_guard lock(notify_mutex);
      if (posted_for == generation || kind == ADNCI_MSG_DISCONNECTED) {
        callback = subscriber.callback;
        cookie = subscriber.cookie;
      }
    }
    if (!callback) return;
    am_device_notification_callback_info info{device, kind};
    callback(&info, cookie);
  });
  CFRunLoopWakeUp(loop);
}

void on_library_event(const idevice_event_t* event, void*) noexcept {
  if (!event || !event->udid || event->conn_type != CONNECTION_USBMUXD) return;
  std::lock_guard lock(notify_mutex);
  try {
    if (!attached) attached = new std::map<std::string, AMDevice*>;
    std::string udid(event->udid);
    auto known = attached->find(udid);
    switch (event->event) {
      case IDEVICE_DEVICE_ADD: {
        if (known != attached->end()) return;  // already announced
        AMDevice* device = device_new(udid.c_str());
        if (!device) return;
        attached->emplace(udid, device);
        post_locked(AMDeviceRetain(device), ADNCI_MSG_CONNECTED);
        break;
      }
      case IDEVICE_DEVICE_REMOVE: {
        if (known == attached->end()) return;
        AMDevice* device = known->second;
        attached->erase(known);
        // The notifier's reference goes with the event: it is dropped once
        // the detach has been delivered.
        post_locked(device, ADNCI_MSG_DISCONNECTED);
        break;
      }
      default: {
        if (known == attached->end()) return;
        post_locked(AMDeviceRetain(known->second), static_cast<uint32_t>(event->event));
        break;
      }
    }
  } catch (...) {
    // Out of memory: the event is lost, as a dropped message would be.
  }
}

}  // namespace

int32_t AMDeviceNotificationSubscribe(am_device_notification_callback callback, uint32_t, uint32_t,
                                      void* cookie,
                                      AMDeviceNotificationRef* subscription) noexcept {
  if (subscription) *subscription = nullptr;
  bool first = false;
  {
    std::lock_guard lock(notify_mutex);
    subscriber.callback = callback;
    subscriber.cookie = cookie;
    subscriber.loop = CFRunLoopGetCurrent();
    ++generation;
    if (attached)
      for (auto& [udid, device] : *attached)
        post_locked(AMDeviceRetain(device), ADNCI_MSG_CONNECTED);
    first = !library_subscribed;
    library_subscribed = true;
  }
  if (subscription) *subscription = &subscriber;
  if (!first) return 0;

  // afclink writes nothing to standard error, and neither may the library:
  // a parent that never reads that pipe would stall us once it filled.
  libusbmuxd_set_debug_level(-1);
  // Polling finds a usbmuxd that starts later at any address; inotify
  // would only watch for the default socket.
  libusbmuxd_set_use_inotify(0);
  idevice_error_t subscribed = idevice_event_subscribe(on_library_event, nullptr);
  if (subscribed != IDEVICE_E_SUCCESS) {
    std::lock_guard lock(notify_mutex);
    library_subscribed = false;
    return kAMDDeviceCodes + subscribed;
  }
  return 0;
}

void imd_internal::known_name(const char* udid, char* name, size_t size) noexcept {
  if (size == 0) return;
  name[0] = '\0';
  DeviceHold device;
  {
    std::lock_guard lock(notify_mutex);
    if (!attached) return;
    try {
      auto known = attached->find(udid);
      if (known == attached->end()) return;
      device.reset(AMDeviceRetain(known->second));
    } catch (...) {
      return;  // out of memory: no name, as for a phone not asked yet
    }
  }
  device_name(device.get(), name, size);
}

bool imd_internal::copy_announced(AMDAttachedPhone* phones, uint32_t capacity,
                                  uint32_t* count) noexcept {
  std::vector<DeviceHold> held;
  {
    std::lock_guard lock(notify_mutex);
    if (!library_subscribed) return false;
    try {
      if (attached)
        for (auto& [udid, device] : *attached) held.emplace_back(AMDeviceRetain(device));
    } catch (...) {
      // Out of memory: the phones gathered so far are the answer.
    }
  }
  uint32_t found = 0;
  for (const DeviceHold& device : held) {
    if (found < capacity) {
      std::snprintf(phones[found].udid, sizeof phones[found].udid, "%s",
                    device_udid(device.get()).c_str());
      device_name(device.get(), phones[found].name, sizeof phones[found].name);
    }
    ++found;
  }
  *count = found;
  return true;
}
