// What the device mux (usbmuxd) shows, asked without touching any phone:
// how many devices it lists, which phones are attached over USB, and where
// it is reached.
#include <usbmuxd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/imobiledevice/internal.h"

using namespace imd_internal;

namespace {

// libusbmuxd sets up its globals on first use without a lock: the main
// thread's listing and the device thread's probe take turns.
std::mutex mux_calls;

// The device list, or a negative errno (the reason libusbmuxd left).
int device_list(usbmuxd_device_info_t** list) noexcept {
  std::lock_guard lock(mux_calls);
  errno = 0;
  const int count = usbmuxd_get_device_list(list);
  // A socket that cannot be reached comes back as -1, with the reason left
  // in errno; other failures as a negative errno of their own.
  if (count < 0) return count == -1 && errno != 0 ? -errno : count;
  return count;
}

template <size_t N>
void copy_text(char (&field)[N], const char* text) noexcept {
  std::strncpy(field, text, N - 1);
  field[N - 1] = '\0';
}

}  // namespace

int32_t AMDMuxProbe(uint32_t* shown) noexcept {
  if (shown) *shown = 0;
  usbmuxd_device_info_t* list = nullptr;
  const int count = device_list(&list);
  if (list) usbmuxd_device_list_free(&list);
  if (count < 0) return count;
  if (shown) *shown = static_cast<uint32_t>(count);
  return 0;
}

int32_t AMDMuxCopyPhones(AMDAttachedPhone* phones, uint32_t capacity, uint32_t* count) noexcept {
  if (count) *count = 0;
  if (phones) std::fill_n(phones, capacity, AMDAttachedPhone{});
  if (!count || (!phones && capacity > 0)) return -EINVAL;
  if (copy_announced(phones, capacity, count)) return 0;
  usbmuxd_device_info_t* list = nullptr;
  const int listed = device_list(&list);
  if (listed < 0) return listed;
  uint32_t found = 0;
  for (int index = 0; index < listed; ++index) {
    const usbmuxd_device_info_t& entry = list[index];
    if (entry.conn_type != CONNECTION_TYPE_USB || !entry.udid[0]) continue;
    // usbmuxd may list one phone twice; each is shown once.
    bool again = false;
    for (int before = 0; before < index && !again; ++before)
      again = list[before].conn_type == CONNECTION_TYPE_USB &&
              std::strcmp(list[before].udid, entry.udid) == 0;
    if (again) continue;
    if (found < capacity) {
      copy_text(phones[found].udid, entry.udid);
      known_name(entry.udid, phones[found].name, sizeof phones[found].name);
    }
    ++found;
  }
  if (list) usbmuxd_device_list_free(&list);
  *count = found;
  return 0;
}

const char* AMDMuxAddress() noexcept {
  // libusbmuxd reads the same variable, at every connection.
  const char* named = std::getenv("USBMUXD_SOCKET_ADDRESS");
  return named && *named ? named : "/var/run/usbmuxd";
}
