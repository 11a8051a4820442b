// The connection sequence: subscription, the notification callback, the
// steps from device connect to the open file-service connection, and the
// device thread's own retries. All of it runs on the device thread; nothing
// here touches the error text.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "device/device.h"
#include "device/waits.h"

namespace {

using std::chrono::milliseconds;

// How many tries a failing session gets: with device_internal::retry_pause
// between them, about ten seconds' worth, which covers the first sessions
// that fail right after the user taps Trust.
constexpr int32_t kSessionTries = 5;
// How often usbmuxd is asked whether it answers while nothing is connected.
constexpr milliseconds kMuxWatchPause{2000};

// Bumped by every event after which a planned retry no longer applies: a
// plug-in, an unplug, usbmuxd's "paired", `connect`, `disconnect`, a new
// link. A retry carries the value it was planned under and does nothing
// when the value has moved on. Process-wide, so that a retry planned for
// a link that has since been freed can never mistake a new link for it.
std::atomic<uint32_t> retry_epoch{0};

// Bumped by `connect`, `disconnect` and a new or freed link: the usbmuxd
// watch of an earlier one then ends. Device thread: the epoch whose watch
// runs, if any.
std::atomic<uint32_t> want_epoch{0};
constexpr uint32_t kNoWatch = UINT32_MAX;
uint32_t mux_watch_epoch = kNoWatch;

void set_wait(DeviceLink* link, DeviceWait wait) noexcept {
  link->wait.store(wait, std::memory_order_release);
}

// A connection from an earlier sequence that `disconnect` left open holds
// its device and buffers; nobody can use it any more (`connected` is 0 while
// a sequence runs), so it goes before anything may overwrite afc_conn.
void release_connection(DeviceLink* link) noexcept {
  AFCConnectionRef old = link->afc_conn;
  link->afc_conn = nullptr;
  if (old) (void)AFCConnectionClose(old);
}

// The sequence's outcome, kept for the report: the step that failed and
// its status. Set by mdv_connect, read by attempt(); device thread only.
DeviceStep failed_step = DeviceStep::none;
int32_t failed_status = 0;
// Tries left for a failing session; a plug-in or `connect` gives a full
// count again.
int32_t session_tries_left = kSessionTries;

// Set when the last sequence paired the phone itself: usbmuxd then reports
// the phone paired, and that echo of our own pairing must not start the
// failed attempt again (it would pair again, and so on for ever).
bool paired_by_last_attempt = false;

int32_t pair(AMDeviceRef device) noexcept {
  const int32_t status = AMDevicePair(device);
  if (status == 0) paired_by_last_attempt = true;
  return status;
}

int32_t fail(DeviceStep step, int32_t status, int32_t result) noexcept {
  failed_step = step;
  failed_status = status;
  return result;
}

// What to wait for after an attempt that failed at `step` with `status`.
DeviceWait wait_after(DeviceStep step, int32_t status) noexcept {
  if (status == kAMDPasswordProtected) return DeviceWait::unlock;
  switch (step) {
    case DeviceStep::connect:
      // The phone went between its announcement and the attempt.
      return status == kAMDNoDevice ? DeviceWait::plug_in : DeviceWait::new_connect;
    case DeviceStep::pair:
      return status == kAMDPairingDialogPending ? DeviceWait::trust : DeviceWait::new_connect;
    case DeviceStep::validate:
    case DeviceStep::session:
    case DeviceStep::service:
      // A TLS handshake cut short, as the first ones right after Trust may be.
      return status == kAMDSSLError ? DeviceWait::retry : DeviceWait::new_connect;
    case DeviceStep::open:
      // The service's own TLS handshake, or its connection, failed.
      return DeviceWait::retry;
    case DeviceStep::none: break;
  }
  return DeviceWait::nothing;
}

void attempt(DeviceLink* link) noexcept;

// Whether the phone reporting itself paired can mend what the last
// attempt waits for.
bool mended_by_trust(DeviceWait wait) noexcept {
  switch (device_wait_row(wait).trust_mends) {
    case TrustMends::yes: return true;
    case TrustMends::after_failed_pairing: return failed_step == DeviceStep::pair;
    case TrustMends::no: break;
  }
  return false;
}

// Plans the next attempt after the retry pause, valid until the next event.
void plan_retry(DeviceLink* link) noexcept {
  const uint32_t planned_under = retry_epoch.load(std::memory_order_acquire);
  const auto retry = [link, planned_under] {
    if (retry_epoch.load(std::memory_order_acquire) != planned_under) return;
    if (mdv_is_connected(link) || !mdv_is_wanted(link)) return;
    attempt(link);
  };
  CFRunLoopPerformBlockAfter(CFRunLoopGetCurrent(), device_internal::retry_pause.load(), retry);
}

// One run of the sequence on device_ref, then what it ended on: recorded,
// a retry planned when one applies, and the callback run.
void attempt(DeviceLink* link) noexcept {
  set_wait(link, DeviceWait::attempt);
  failed_step = DeviceStep::none;
  failed_status = 0;
  paired_by_last_attempt = false;
  const int32_t result = mdv_connect(link);

  AMDeviceDescription seen{};
  const bool described = AMDeviceCopyDescription(link->device_ref, &seen) == 0;
  DeviceWait wait = DeviceWait::nothing;
  if (result != 0) {
    wait = wait_after(failed_step, failed_status);
    if (wait == DeviceWait::retry && --session_tries_left <= 0) wait = DeviceWait::new_connect;
    if (device_wait_row(wait).timer_retries && mdv_is_wanted(link)) plan_retry(link);
  }
  {
    std::lock_guard lock(link->report_mutex);
    DeviceReport& report = link->report;
    // A phone gone before it could be asked keeps what was learned of it.
    const bool learned_more = seen.name[0] || std::strcmp(seen.udid, report.phone.udid) != 0;
    if (described && learned_more) {
      report.phone = seen;
      report.phone_seen = true;
    }
    report.attempted = true;
    report.failed_step = result == 0 ? DeviceStep::none : failed_step;
    report.failed_status = result == 0 ? 0 : failed_status;
    report.tries_left = wait == DeviceWait::retry ? session_tries_left : 0;
  }
  set_wait(link, wait);
  if (link->connect_cb) (void)link->connect_cb(link, link->connect_arg);
}

void note_plugged(DeviceLink* link, bool attached) noexcept {
  std::lock_guard lock(link->report_mutex);
  link->report.phone_attached = attached;
  // An event came through usbmuxd, so it answers.
  link->report.mux_status = 0;
  uint32_t& shown = link->report.mux_shown;
  if (attached && shown == 0) shown = 1;
  if (!attached && shown > 0) --shown;
}

// Asks usbmuxd now and again every kMuxWatchPause, for as long as the
// connection is wanted and not made. One chain of probes at a time: the one
// started under the current want_epoch; `connect` and `disconnect` end it.
void watch_mux(DeviceLink* link, uint32_t started_under) noexcept {
  if (want_epoch.load(std::memory_order_acquire) != started_under) return;
  if (!mdv_is_wanted(link) || mdv_is_connected(link)) {
    mux_watch_epoch = kNoWatch;  // a later mdv_watch_mux starts afresh
    return;
  }
  uint32_t shown = 0;
  const int32_t status = AMDMuxProbe(&shown);
  {
    std::lock_guard lock(link->report_mutex);
    link->report.mux_status = status;
    link->report.mux_shown = shown;
  }
  CFRunLoopPerformBlockAfter(CFRunLoopGetCurrent(), kMuxWatchPause,
                             [link, started_under] { watch_mux(link, started_under); });
}

bool same_phone(AMDeviceRef device, const char* udid) noexcept {
  AMDeviceDescription seen{};
  return device && AMDeviceCopyDescription(device, &seen) == 0 && std::strcmp(seen.udid, udid) == 0;
}

bool bound(DeviceLink* link) noexcept {
  std::lock_guard lock(link->report_mutex);
  return link->report.chosen_udid[0] != '\0';
}

// Whether an event is about the link's phone. A link bound by UDID hears
// of that phone alone. An unbound one keeps to the phone it has while that
// one is plugged in, and takes any phone once it is gone; another phone's
// unplugging never concerns it.
bool concerns_link(DeviceLink* link, const am_device_notification_callback_info* info) noexcept {
  char chosen[sizeof DeviceReport::chosen_udid];
  bool current_attached = false;
  {
    std::lock_guard lock(link->report_mutex);
    std::memcpy(chosen, link->report.chosen_udid, sizeof chosen);
    current_attached = link->report.phone_attached;
  }
  if (chosen[0]) return same_phone(info->dev, chosen);
  AMDeviceDescription current{};
  if (!link->device_ref || AMDeviceCopyDescription(link->device_ref, &current) != 0) return true;
  if (same_phone(info->dev, current.udid)) return true;
  return info->msg == ADNCI_MSG_CONNECTED && !current_attached;
}

}  // namespace

namespace device_internal {

std::atomic<std::chrono::milliseconds> retry_pause{std::chrono::milliseconds(2000)};

void forget_plans() noexcept {
  retry_epoch.fetch_add(1, std::memory_order_acq_rel);
  want_epoch.fetch_add(1, std::memory_order_acq_rel);
}

void notification(am_device_notification_callback_info* info, void* /*arg*/) noexcept {
  DeviceLink* link = _mdv0;
  if (!link || !info || !concerns_link(link, info)) return;
  if (mdv_is_connected(link)) {
    // The main thread may be using the connection this very moment: only
    // mark it, and the main thread retires it between commands.
    if (info->msg == ADNCI_MSG_DISCONNECTED && info->dev == link->device_ref) {
      note_plugged(link, false);
      mdv_mark_lost(link);
    }
    return;
  }
  mdv_set_dev(link, info->dev);
  switch (info->msg) {
    case ADNCI_MSG_PAIRED:
      // The phone now trusts a record: the user tapped Trust, or usbmuxd
      // paired it. That mends an attempt that waited for the user, not one
      // refused for another reason (which would only pair again, and be
      // reported paired again, for ever); and the echo of the last attempt's
      // own pairing mends nothing.
      if (paired_by_last_attempt) {
        paired_by_last_attempt = false;
        break;
      }
      if (!mended_by_trust(link->wait.load(std::memory_order_acquire))) break;
      retry_epoch.fetch_add(1, std::memory_order_acq_rel);
      note_plugged(link, true);
      attempt(link);
      break;
    case ADNCI_MSG_CONNECTED:
      retry_epoch.fetch_add(1, std::memory_order_acq_rel);
      session_tries_left = kSessionTries;
      note_plugged(link, true);
      attempt(link);
      break;
    case ADNCI_MSG_DISCONNECTED:
      retry_epoch.fetch_add(1, std::memory_order_acq_rel);
      note_plugged(link, false);
      set_wait(link, DeviceWait::plug_in);
      (void)mdv_disconnect(link);
      // An unbound link takes any phone once its own is gone, those
      // already plugged in too: they are announced again.
      if (!bound(link) && mdv_is_wanted(link)) (void)mdv_subscribe_to_notifications(link);
      break;
    default: break;
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
  int32_t status = AMDeviceConnect(device);
  if (status != 0) return fail(DeviceStep::connect, status, -1);
  if (!AMDeviceIsPaired(device)) {
    const int32_t paired = pair(device);
    if (!AMDeviceIsPaired(device)) return fail(DeviceStep::pair, paired, -2);
  }
  status = AMDeviceValidatePairing(device);
  // A phone that no longer trusts the record says so (InvalidHostID), or
  // may only cut the handshake; but so do the first sessions right after
  // Trust, when pairing again would start that over and prompt again. So a
  // cut handshake pairs again only once its retries are spent.
  const bool pair_again = status != kAMDSSLError || session_tries_left <= 1;
  if (status != 0 && !pair_again) return fail(DeviceStep::validate, status, -3);
  if (status != 0) {
    // The device no longer trusts the record: pairing again asks the user.
    const int32_t paired = pair(device);
    status = AMDeviceValidatePairing(device);
    if (status != 0) {
      return paired != 0 ? fail(DeviceStep::pair, paired, -3)
                         : fail(DeviceStep::validate, status, -3);
    }
  }
  status = AMDeviceStartSession(device);
  if (status != 0) return fail(DeviceStep::session, status, -4);
  return mdv_connect_to_afc(link);
}

int32_t mdv_connect_to_afc(DeviceLink* link) noexcept {
  uint32_t service_handle = 0;
  int32_t status = AMDeviceStartService(link->device_ref, CFSTR("com.apple.afc"), &service_handle);
  if (status != 0) return fail(DeviceStep::service, status, -1);
  release_connection(link);
  status = AFCConnectionOpen(service_handle, 0, &link->afc_conn);
  if (status != 0) return fail(DeviceStep::open, status, -2);
  // A mark left from the connection this one replaces is no longer true.
  link->lost.store(0, std::memory_order_relaxed);
  // Last: this store publishes afc_conn to the main thread.
  link->connected.store(1, std::memory_order_release);
  return 0;
}

int32_t mdv_disconnect(DeviceLink* /*link*/) noexcept { return 0; }

void mdv_want_connection(DeviceLink* link, bool wanted) noexcept {
  link->wanted.store(wanted ? 1 : 0, std::memory_order_release);
  device_internal::forget_plans();
}

void mdv_choose_phone(DeviceLink* link, const char* udid) noexcept {
  std::lock_guard lock(link->report_mutex);
  std::snprintf(link->report.chosen_udid, sizeof link->report.chosen_udid, "%s", udid ? udid : "");
}

void mdv_watch_mux(DeviceLink* link) noexcept {
  const uint32_t now = want_epoch.load(std::memory_order_acquire);
  if (mux_watch_epoch == now) return;  // that watch goes on by itself
  mux_watch_epoch = now;
  watch_mux(link, now);
}

DeviceReport mdv_report(DeviceLink* link) noexcept {
  std::lock_guard lock(link->report_mutex);
  return link->report;
}

std::chrono::milliseconds mdv_retry_pause() noexcept { return device_internal::retry_pause.load(); }

void mdv_mark_lost(DeviceLink* link) noexcept { link->lost.store(1, std::memory_order_release); }

int32_t mdv_retire_if_lost(DeviceLink* link) noexcept {
  if (link->lost.load(std::memory_order_acquire) == 0) return 0;
  link->lost.store(0, std::memory_order_relaxed);
  if (!mdv_is_connected(link)) return 0;
  // Closed before `connected` is cleared: from that store on, the device
  // thread may start a sequence, which releases whatever afc_conn holds.
  AFCConnectionRef gone = link->afc_conn;
  link->afc_conn = nullptr;
  if (gone) (void)AFCConnectionClose(gone);
  link->connected.store(0, std::memory_order_release);
  return 1;
}

bool mdv_status_means_lost(int32_t status) noexcept {
  // Every later request on the connection would fail too.
  return status == kAFCOpHeaderInvalid || status == kAFCServiceNotConnected ||
         status == kAFCMuxError || status == kAFCNotEnoughData;
}
