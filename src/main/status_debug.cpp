// statusDebug's trace: what the device thread last recorded, in plain
// words, and what the user can do about it. Reads the record only; no
// device or usbmuxd I/O happens here, so it answers at once even while an
// attempt runs.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "device/waits.h"
#include "main/connection.h"

namespace {

// The library's names of the statuses a user may meet while connecting.
const char* status_name(DeviceStep step, int32_t status) noexcept {
  if (step == DeviceStep::open) {
    switch (status) {
      case kAFCMuxError: return "the connection failed";
      case kAFCInvalidArgument: return "no such service";
      default: return "error";
    }
  }
  if (step == DeviceStep::connect && status == kAMDNoDevice) return "no such device";
  if (status == kAMDWithdrawn) return "withdrawn";
  switch (status) {
    case kAMDPairingFailed: return "PairingFailed";
    case kAMDSSLError: return "TLS handshake failed";
    case kAMDMuxError: return "usbmuxd refused the connection";
    case kAMDPasswordProtected: return "PasswordProtected";
    case kAMDUserDeniedPairing: return "UserDeniedPairing";
    case kAMDPairingDialogPending: return "PairingDialogResponsePending";
    case kAMDInvalidHostID: return "InvalidHostID";
    case kAMDSessionInactive: return "SessionInactive";
    case kAMDInvalidService: return "InvalidService";
    case kAMDServiceLimit: return "ServiceLimit";
    case kAMDServiceProhibited: return "ServiceProhibited";
    default: return "error";
  }
}

const char* step_name(DeviceStep step) noexcept {
  switch (step) {
    case DeviceStep::connect: return "connecting to the phone";
    case DeviceStep::pair: return "Pair";
    case DeviceStep::validate: return "checking the pairing";
    case DeviceStep::session: return "StartSession";
    case DeviceStep::service: return "StartService com.apple.afc";
    case DeviceStep::open: return "opening the file service";
    case DeviceStep::none: break;
  }
  return "none";
}

// What the failure means, in the user's words.
const char* failure_meaning(const DeviceReport& report) noexcept {
  const int32_t status = report.failed_status;
  if (status == kAMDPasswordProtected) return "the phone is locked";
  if (status == kAMDPairingDialogPending) return "the phone asks \"Trust This Computer?\"";
  if (status == kAMDUserDeniedPairing) return "Don't Trust was tapped on the phone";
  if (status == kAMDWithdrawn) return "disconnect came while it ran, so its connection was closed";
  switch (report.failed_step) {
    case DeviceStep::connect:
      return status == kAMDNoDevice ? "the phone went away" : "the phone could not be reached";
    case DeviceStep::pair: return "pairing with the phone failed";
    case DeviceStep::validate:
    case DeviceStep::session:
      return status == kAMDSSLError ? "the secure session with the phone failed"
                                    : "the phone does not trust this computer";
    case DeviceStep::service: return "the phone refused the file service";
    case DeviceStep::open: return "the file-service connection failed";
    case DeviceStep::none: break;
  }
  return "connected";
}

// How often the device thread tries again by itself, as the trace words
// it ("every 2 seconds"): taken from the pause itself, so the two agree.
void print_every_retry_pause() noexcept {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(mdv_retry_pause());
  std::printf("every %lld seconds", static_cast<long long>(seconds.count()));
}

// What the user can do; for a locked phone, how often it is tried follows.
const char* advice(DeviceWait wait, bool phone_attached) noexcept {
  const DeviceWaitRow& row = device_wait_row(wait);
  return !phone_attached && row.advice_unplugged ? row.advice_unplugged : row.advice;
}

// The phone `connect UDID` chose, and the other phones usbmuxd shows,
// which afclink leaves alone. usbmuxd is asked again only once the device
// thread has found it answering.
void print_chosen_and_others(const DeviceReport& report) noexcept {
  const char* chosen = report.chosen_udid;
  if (chosen[0]) {
    const bool seen = report.phone_seen && std::strcmp(report.phone.udid, chosen) == 0;
    std::printf("# chosen phone: %s%s\n", chosen,
                seen && report.phone_attached ? "" : " (waiting for it to be plugged in)");
  }
  if (report.mux_status != 0) return;
  AMDAttachedPhone phones[64];
  uint32_t count = 0;
  if (AMDMuxCopyPhones(phones, std::size(phones), &count) != 0) return;
  const char* current = chosen[0] ? chosen : report.phone_seen ? report.phone.udid : "";
  for (uint32_t index = 0; index < count && index < std::size(phones); ++index) {
    if (std::strcmp(phones[index].udid, current) == 0) continue;
    std::printf("# other phone: %s%s%s%s, left alone\n", phones[index].udid,
                phones[index].name[0] ? " \"" : "", phones[index].name,
                phones[index].name[0] ? "\"" : "");
  }
}

}  // namespace

void print_status_trace(DeviceLink* link) noexcept {
  const DeviceReport report = mdv_report(link);
  const ConnectionState state = connection_state(link);
  const bool wanted = mdv_is_wanted(link);
  // Plain stdio on the main thread, as XMLDebug's trace: the status line
  // that follows flushes it.
  const char* address = AMDMuxAddress();
  if (report.mux_status == DeviceReport::kMuxNotAsked) {
    std::printf("# usbmuxd: not asked yet (at %s); send connect\n", address);
  } else if (report.mux_status == 0) {
    std::printf("# usbmuxd: answers at %s, showing %u phone(s)\n", address, report.mux_shown);
  } else {
    std::printf(
        "# usbmuxd: no answer at %s (%s); it runs while a phone is plugged in: plug one in, "
        "or install usbmuxd (apt-get install usbmuxd)\n",
        address, std::strerror(-report.mux_status));
  }

  if (report.phone_seen) {
    const AMDeviceDescription& phone = report.phone;
    std::printf("# phone: %s, \"%s\", iOS %s%s\n", phone.udid,
                phone.name[0] ? phone.name : "unknown name",
                phone.product_version[0] ? phone.product_version : "unknown",
                report.phone_attached ? "" : " (unplugged)");
  }
  print_chosen_and_others(report);
  if (!report.phone_attached && report.mux_status == 0 && report.mux_shown == 0) {
    std::printf(
        "# phone: none shown; a plugged-in phone that does not trust this computer yet is "
        "shown only once it is unlocked and Trust is tapped\n");
  }

  if (state == ConnectionState::connected) {
    std::printf("# last attempt: connected\n");
    const AMDeviceDescription& phone = report.phone;
    std::printf("# session: %s; the file service runs %s\n",
                phone.session_tls[0] ? phone.session_tls : "TLS",
                phone.service_tls ? "inside TLS" : "in plain text");
    return;
  }
  if (!report.attempted) {
    std::printf("# last attempt: none yet\n");
  } else if (report.failed_step == DeviceStep::none) {
    std::printf("# last attempt: connected; that connection has ended\n");
  } else {
    std::printf("# last attempt: %s (%s: %s, %d)\n", failure_meaning(report),
                step_name(report.failed_step),
                status_name(report.failed_step, report.failed_status), report.failed_status);
  }
  if (!wanted) {
    std::printf("# to do: send connect\n");
    return;
  }
  const DeviceWait wait = link->wait.load(std::memory_order_acquire);
  if (wait == DeviceWait::retry) {
    std::printf("# tries left: %d, ", report.tries_left);
    print_every_retry_pause();
    std::printf("\n");
  }
  std::printf("# to do: %s", advice(wait, report.phone_attached));
  if (wait == DeviceWait::unlock) {
    std::printf(" ");
    print_every_retry_pause();
  }
  std::printf("\n");
}
