// What follows each attempt of the connection sequence: the notification
// callback, the attempts it runs, the device thread's own retries and the
// usbmuxd watch, and the requests the main thread makes of the device
// thread. The sequence's state is the link's own (ConnectionSequence); all
// of it runs on the device thread but where a function says otherwise.
// Nothing here touches the error text.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "device/device.h"
#include "device/waits.h"

namespace {

using std::chrono::milliseconds;

// How often usbmuxd is asked whether it answers while nothing is connected.
constexpr milliseconds kMuxWatchPause{2000};

void set_wait(DeviceLink* link, DeviceWait wait) noexcept {
  link->wait.store(wait, std::memory_order_release);
}

void new_event(DeviceLink* link) noexcept {
  link->sequence.retry_epoch.fetch_add(1, std::memory_order_acq_rel);
}

// What to wait for after an attempt that failed at `step` with `status`.
DeviceWait wait_after(DeviceStep step, int32_t status) noexcept {
  if (status == kAMDPasswordProtected) return DeviceWait::unlock;
  // `disconnect` came while the attempt ran: nothing is awaited.
  if (status == kAMDWithdrawn) return DeviceWait::nothing;
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
bool mended_by_trust(DeviceLink* link, DeviceWait wait) noexcept {
  switch (device_wait_row(wait).trust_mends) {
    case TrustMends::yes: return true;
    case TrustMends::after_failed_pairing: return link->sequence.last.step == DeviceStep::pair;
    case TrustMends::no: break;
  }
  return false;
}

// Plans the next attempt after the retry pause, valid until the next event.
void plan_retry(DeviceLink* link) noexcept {
  const uint64_t serial = link->serial;
  const uint32_t planned_under = link->sequence.retry_epoch.load(std::memory_order_acquire);
  const auto retry = [link, serial, planned_under] {
    if (!device_internal::link_lives(link, serial)) return;
    if (link->sequence.retry_epoch.load(std::memory_order_acquire) != planned_under) return;
    if (mdv_is_connected(link) || !mdv_is_wanted(link)) return;
    attempt(link);
  };
  CFRunLoopPerformBlockAfter(CFRunLoopGetCurrent(), device_internal::retry_pause.load(), retry);
}

// One run of the sequence on device_ref, then what it ended on: recorded,
// a retry planned when one applies, and the callback run.
void attempt(DeviceLink* link) noexcept {
  set_wait(link, DeviceWait::attempt);
  ConnectionSequence& sequence = link->sequence;
  const DeviceOutcome outcome = sequence.last = mdv_run_sequence(link);

  AMDeviceDescription seen{};
  const bool described = AMDeviceCopyDescription(link->device_ref, &seen) == 0;
  DeviceWait wait = DeviceWait::nothing;
  if (outcome.step != DeviceStep::none) {
    wait = wait_after(outcome.step, outcome.status);
    if (wait == DeviceWait::retry && --sequence.session_tries_left <= 0)
      wait = DeviceWait::new_connect;
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
    report.failed_step = outcome.step;
    report.failed_status = outcome.status;
    report.tries_left = wait == DeviceWait::retry ? sequence.session_tries_left : 0;
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
void watch_mux(DeviceLink* link, uint64_t serial, uint32_t started_under) noexcept {
  if (!device_internal::link_lives(link, serial)) return;
  ConnectionSequence& sequence = link->sequence;
  if (sequence.want_epoch.load(std::memory_order_acquire) != started_under) return;
  if (!mdv_is_wanted(link) || mdv_is_connected(link)) {
    sequence.mux_watch_epoch = ConnectionSequence::kNoWatch;  // a later watch starts afresh
    return;
  }
  uint32_t shown = 0;
  const int32_t status = AMDMuxProbe(&shown);
  {
    std::lock_guard lock(link->report_mutex);
    link->report.mux_status = status;
    link->report.mux_shown = shown;
  }
  CFRunLoopPerformBlockAfter(CFRunLoopGetCurrent(), kMuxWatchPause, [link, serial, started_under] {
    watch_mux(link, serial, started_under);
  });
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

void notification(am_device_notification_callback_info* info, void* arg) noexcept {
  // The link it was subscribed for, while that one lives; a caller that
  // names none reaches the link of the moment.
  DeviceLink* const live = _mdv0.load(std::memory_order_acquire);
  DeviceLink* const link = arg ? static_cast<DeviceLink*>(arg) : live;
  if (!link || link != live || !info || !concerns_link(link, info)) return;
  ConnectionSequence& sequence = link->sequence;
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
      if (sequence.paired_by_last_attempt) {
        sequence.paired_by_last_attempt = false;
        break;
      }
      if (!mended_by_trust(link, link->wait.load(std::memory_order_acquire))) break;
      new_event(link);
      note_plugged(link, true);
      attempt(link);
      break;
    case ADNCI_MSG_CONNECTED:
      new_event(link);
      sequence.session_tries_left = ConnectionSequence::kSessionTries;
      note_plugged(link, true);
      attempt(link);
      break;
    case ADNCI_MSG_DISCONNECTED:
      new_event(link);
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

int32_t mdv_subscribe_to_notifications(DeviceLink* link) noexcept {
  AMDeviceNotificationRef subscription = nullptr;
  return AMDeviceNotificationSubscribe(device_internal::notification, 0, 0, link, &subscription) ==
                 0
             ? 0
             : -1;
}

void mdv_want_connection(DeviceLink* link, bool wanted) noexcept {
  ConnectionSequence& sequence = link->sequence;
  {
    std::lock_guard publishing(sequence.publish_mutex);
    link->wanted.store(wanted ? 1 : 0, std::memory_order_release);
    if (!wanted) {
      sequence.disconnects.fetch_add(1, std::memory_order_acq_rel);
      link->connected.store(0, std::memory_order_release);
    }
  }
  new_event(link);
  sequence.want_epoch.fetch_add(1, std::memory_order_acq_rel);
}

void mdv_ask_to_look(DeviceLink* link) noexcept {
  link->sequence.asked.fetch_add(1, std::memory_order_acq_rel);
}

bool mdv_look_pending(const DeviceLink* link) noexcept {
  return link->sequence.looked.load(std::memory_order_acquire) !=
         link->sequence.asked.load(std::memory_order_acquire);
}

void mdv_look_again(DeviceLink* link) noexcept {
  const uint32_t asked = link->sequence.asked.load(std::memory_order_acquire);
  // Until the announcements come: the link's phone, still plugged in, is
  // tried again; else a phone is awaited.
  const DeviceReport report = mdv_report(link);
  const bool own_phone_here =
      report.phone_attached &&
      (report.chosen_udid[0] == '\0' || std::strcmp(report.chosen_udid, report.phone.udid) == 0);
  set_wait(link, own_phone_here ? DeviceWait::attempt : DeviceWait::plug_in);
  // After the wait: whoever sees the request taken sees the wait it left.
  link->sequence.looked.store(asked, std::memory_order_release);
  mdv_watch_mux(link);
  (void)mdv_subscribe_to_notifications(link);
}

void mdv_choose_phone(DeviceLink* link, const char* udid) noexcept {
  std::lock_guard lock(link->report_mutex);
  std::snprintf(link->report.chosen_udid, sizeof link->report.chosen_udid, "%s", udid ? udid : "");
}

void mdv_watch_mux(DeviceLink* link) noexcept {
  ConnectionSequence& sequence = link->sequence;
  const uint32_t now = sequence.want_epoch.load(std::memory_order_acquire);
  if (sequence.mux_watch_epoch == now) return;  // that watch goes on by itself
  sequence.mux_watch_epoch = now;
  watch_mux(link, link->serial, now);
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
