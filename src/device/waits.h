// File: device/waits.h
//
// What each wait a phone can put afclink in means, one row a wait: the
// word `status` answers, whether the device thread tries again by itself
// on a timer, whether the phone reporting itself trusted (the user tapped
// Trust) mends it, and what statusDebug tells the user to do. Adding a
// wait to DeviceWait is adding its row here; the static_assert below fails
// the build until it is there, in the enum's order.
//
// Example:
//   const DeviceWaitRow& row = device_wait_row(DeviceWait::unlock);
//   if (row.timer_retries) ...;          // tried again every retry pause
//   std::printf("# to do: %s\n", row.advice);
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "device/device.h"

// Whether the phone reporting itself trusted mends a wait.
enum class TrustMends : uint8_t {
  no,
  yes,
  // Only when the attempt failed at pairing: any other refusal would only
  // pair again, be reported paired again, and so on for ever.
  after_failed_pairing,
};

struct DeviceWaitRow {
  const char* status_word;       // while a connection is wanted and not made
  const char* advice;            // statusDebug's "# to do: "
  const char* advice_unplugged;  // the same while the phone is unplugged; null: as above
  DeviceWait wait;
  bool timer_retries;  // the device thread tries again every retry pause
  TrustMends trust_mends;
};

inline constexpr DeviceWaitRow kDeviceWaitRows[] = {
    {"disconnected", "nothing", nullptr, DeviceWait::nothing, false, TrustMends::no},
    {"connecting", "wait; an attempt is running", nullptr, DeviceWait::attempt, false,
     TrustMends::no},
    {"connecting", "plug in the phone (unlock it and tap Trust if it asks)", nullptr,
     DeviceWait::plug_in, false, TrustMends::no},
    {"connecting", "unlock the phone; afclink tries again", nullptr, DeviceWait::unlock, true,
     TrustMends::yes},
    {"connecting",
     "tap Trust on the phone (unlock it first if it is locked); afclink then connects by itself",
     nullptr, DeviceWait::trust, true, TrustMends::yes},
    {"connecting", "nothing yet; afclink tries again by itself in a moment", nullptr,
     DeviceWait::retry, true, TrustMends::yes},
    {"disconnected", "unplug the phone and plug it in, or send connect, to try again",
     "plug in the phone, or send connect, to try again", DeviceWait::new_connect, false,
     TrustMends::after_failed_pairing},
};

namespace device_waits_internal {
constexpr bool rows_follow_the_enum() {
  for (size_t index = 0; index < std::size(kDeviceWaitRows); ++index)
    if (static_cast<size_t>(kDeviceWaitRows[index].wait) != index) return false;
  return static_cast<size_t>(DeviceWait::new_connect) + 1 == std::size(kDeviceWaitRows);
}
}  // namespace device_waits_internal
static_assert(device_waits_internal::rows_follow_the_enum(),
              "every DeviceWait has its row in kDeviceWaitRows, in the enum's order, and "
              "new_connect stays the last wait");

[[nodiscard]] constexpr const DeviceWaitRow& device_wait_row(DeviceWait wait) noexcept {
  return kDeviceWaitRows[static_cast<size_t>(wait)];
}
