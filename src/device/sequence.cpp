// The connection sequence itself: from device connect to the open
// file-service connection, on device_ref, with the outcome told as the step
// that failed and its status. Runs on the device thread (tests call it
// directly); what follows an outcome is connect.cpp's.
#include <mutex>

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

DeviceOutcome failed(DeviceStep step, int32_t status, int32_t code) noexcept {
  return DeviceOutcome{step, status, code};
}

int32_t pair(DeviceLink* link, AMDeviceRef device) noexcept {
  const int32_t status = AMDevicePair(device);
  if (status == 0) link->sequence.paired_by_last_attempt = true;
  return status;
}

// Connect, pair when there is no record, and check that the phone still
// trusts it, pairing once more when it does not.
DeviceOutcome reach_and_pair(DeviceLink* link) noexcept {
  AMDeviceRef device = link->device_ref;
  int32_t status = AMDeviceConnect(device);
  if (status != 0) return failed(DeviceStep::connect, status, -1);
  if (!AMDeviceIsPaired(device)) {
    const int32_t paired = pair(link, device);
    if (!AMDeviceIsPaired(device)) return failed(DeviceStep::pair, paired, -2);
  }
  status = AMDeviceValidatePairing(device);
  // A phone that no longer trusts the record says so (InvalidHostID), or
  // may only cut the handshake; but so do the first sessions right after
  // Trust, when pairing again would start that over and prompt again. So a
  // cut handshake pairs again only once its retries are spent.
  const bool pair_again = status != kAMDSSLError || link->sequence.session_tries_left <= 1;
  if (status != 0 && !pair_again) return failed(DeviceStep::validate, status, -3);
  if (status != 0) {
    // The device no longer trusts the record: pairing again asks the user.
    const int32_t paired = pair(link, device);
    status = AMDeviceValidatePairing(device);
    // The integer result stays -3 for this whole step; the outcome says
    // whether it was the pairing or the check that failed.
    if (status != 0) {
      return paired != 0 ? failed(DeviceStep::pair, paired, -3)
                         : failed(DeviceStep::validate, status, -3);
    }
  }
  return {};
}

DeviceOutcome start_and_open(DeviceLink* link) noexcept {
  uint32_t service_handle = 0;
  int32_t status = AMDeviceStartService(link->device_ref, CFSTR("com.apple.afc"), &service_handle);
  if (status != 0) return failed(DeviceStep::service, status, -1);
  release_connection(link);
  status = AFCConnectionOpen(service_handle, 0, &link->afc_conn);
  if (status != 0) return failed(DeviceStep::open, status, -2);
  ConnectionSequence& sequence = link->sequence;
  // Published only for the want it was started under: `disconnect` clears
  // `connected` under the same lock, so it can never be set after that.
  std::lock_guard publishing(sequence.publish_mutex);
  if (sequence.disconnects.load(std::memory_order_relaxed) != sequence.disconnects_at_start) {
    release_connection(link);
    return failed(DeviceStep::open, kAMDWithdrawn, -2);
  }
  // A mark left from the connection this one replaces is no longer true.
  link->lost.store(0, std::memory_order_relaxed);
  // Last: this store publishes afc_conn to the main thread.
  link->connected.store(1, std::memory_order_release);
  return {};
}

}  // namespace

DeviceOutcome mdv_run_sequence(DeviceLink* link) noexcept {
  ConnectionSequence& sequence = link->sequence;
  sequence.disconnects_at_start = sequence.disconnects.load(std::memory_order_acquire);
  sequence.paired_by_last_attempt = false;
  release_connection(link);
  DeviceOutcome outcome = reach_and_pair(link);
  if (outcome.step != DeviceStep::none) return outcome;
  if (const int32_t status = AMDeviceStartSession(link->device_ref); status != 0)
    return failed(DeviceStep::session, status, -4);
  return start_and_open(link);
}

int32_t mdv_connect(DeviceLink* link) noexcept {
  link->sequence.last = mdv_run_sequence(link);
  return link->sequence.last.code;
}

int32_t mdv_connect_to_afc(DeviceLink* link) noexcept {
  link->sequence.disconnects_at_start = link->sequence.disconnects.load(std::memory_order_acquire);
  link->sequence.last = start_and_open(link);
  return link->sequence.last.code;
}

int32_t mdv_disconnect(DeviceLink* /*link*/) noexcept { return 0; }
