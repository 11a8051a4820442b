// The device link record: creation, release, the retaining device setter,
// and the global through which notifications find the link.
#include <cstring>
#include <new>

#include "device/device.h"
#include "membuf/alloc.h"

namespace device_internal {
std::atomic<DeviceLink*> _mdv0{nullptr};

bool link_lives(const DeviceLink* link, uint64_t serial) noexcept {
  return _mdv0.load(std::memory_order_acquire) == link && link->serial == serial;
}
}  // namespace device_internal

namespace {

std::atomic<uint64_t> links_made{0};

constexpr const char* kDefaultServiceName = "com.apple.afc";

// A copy through the buffer module's allocation hook, so tests can make it
// fail like every other allocation of the link.
char* copy_text(const char* text) noexcept {
  const size_t bytes = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(membuf_internal::mb_malloc(bytes));
  if (copy) std::memcpy(copy, text, bytes);
  return copy;
}

void destroy(DeviceLink* link) noexcept {
  membuf_internal::mb_dealloc(link->service_name);
  mb_free0(&link->err_text);
  link->~DeviceLink();
  membuf_internal::mb_dealloc(link);
}

}  // namespace

DeviceLink* mdv_new(const char* service_name, DeviceConnectCallback connect_cb,
                    void* connect_arg) noexcept {
  void* block = membuf_internal::mb_calloc(1, sizeof(DeviceLink));
  if (!block) return nullptr;
  auto* link = new (block) DeviceLink{};
  link->service_name =
      copy_text(service_name && *service_name ? service_name : kDefaultServiceName);
  link->err_text = mb_new(0, 0);
  // A link without its name or its error text could not report anything,
  // so it is no link at all.
  if (!link->service_name || !link->err_text) {
    destroy(link);
    return nullptr;
  }
  link->connect_cb = connect_cb;
  link->connect_arg = connect_arg;
  link->serial = links_made.fetch_add(1, std::memory_order_relaxed) + 1;
  device_internal::_mdv0 = link;
  return link;
}

void mdv_free(DeviceLink* link) noexcept {
  // Work still planned for the link finds that it no longer lives.
  device_internal::_mdv0 = nullptr;
  if (link) destroy(link);
}

void mdv_set_dev(DeviceLink* link, AMDeviceRef device) noexcept {
  if (device == link->device_ref) return;
  if (link->device_ref) AMDeviceRelease(link->device_ref);
  link->device_ref = AMDeviceRetain(device);
}
