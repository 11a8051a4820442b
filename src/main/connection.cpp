// The connection commands and the device thread's start. Only the main
// thread runs these commands; dev_loop is the device thread itself.
#include <pthread.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>

#include "device/waits.h"
#include "main/connection.h"
#include "main/console.h"
#include "platform/CoreFoundation.h"

namespace {

pthread_t dev_thread;
bool dev_thread_started = false;
// The device thread's run loop, published before it subscribes, so that a
// later `connect` can ask that one thread to subscribe afresh instead of
// starting a second thread that would race it on the one link.
std::atomic<CFRunLoopRef> dev_run_loop{nullptr};
// Set while a fresh subscription is queued, so a burst of connect and
// disconnect commands queues one, not one each.
std::atomic<bool> resubscribe_queued{false};

// 0, or the error pthread_create gave.
int start_device_thread(DeviceLink* link) noexcept {
  if (const int error = pthread_create(&dev_thread, nullptr, dev_loop, link); error != 0)
    return error;
  dev_thread_started = true;
  dev_run_loop.wait(nullptr, std::memory_order_acquire);
  return 0;
}

void resubscribe_device_thread(DeviceLink* link) noexcept {
  CFRunLoopRef loop = dev_run_loop.load(std::memory_order_acquire);
  if (resubscribe_queued.exchange(true, std::memory_order_acq_rel)) return;
  CFRunLoopPerformBlock(loop, [link] {
    resubscribe_queued.store(false, std::memory_order_release);
    mdv_look_again(link);
  });
  CFRunLoopWakeUp(loop);
}

}  // namespace

ConnectionState connection_state(DeviceLink* link) noexcept {
  if (mdv_is_connected(link)) return ConnectionState::connected;
  if (!mdv_is_wanted(link)) return ConnectionState::disconnected;
  // The device thread has yet to look: it will, and waits for a phone.
  if (mdv_look_pending(link)) return ConnectionState::connecting;
  const std::string_view word =
      device_wait_row(link->wait.load(std::memory_order_acquire)).status_word;
  return word == connection_state_word(ConnectionState::connecting) ? ConnectionState::connecting
                                                                    : ConnectionState::disconnected;
}

const char* connection_state_word(ConnectionState state) noexcept {
  switch (state) {
    case ConnectionState::connected: return "connected";
    case ConnectionState::connecting: return "connecting";
    case ConnectionState::disconnected: break;
  }
  return "disconnected";
}

namespace {

// The longest UDID taken: phones' own are 40 or 25 characters.
constexpr size_t kUdidMost = 64;

// Whether `udid` can name a phone; if not, the reply says what is wrong.
bool udid_taken(std::string_view udid) noexcept {
  if (udid.empty() || udid.size() > kUdidMost) {
    ui_eprintf("Error: A UDID has 1 to %zu characters; this one has %zu.\n", kUdidMost,
               udid.size());
    return false;
  }
  for (const char c : udid) {
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0 && c != '-') {
      ui_eprintf("Error: A UDID holds hex digits and dashes only, not \"%c\".\n", c);
      return false;
    }
  }
  return true;
}

}  // namespace

int connect(DeviceLink* link, Command* command) noexcept {
  const char* udid = command && cmd_count(command) >= 2 ? cmd_word(command, 1) : nullptr;
  if (udid && !udid_taken(udid)) return -1;
  const ConnectionState state = connection_state(link);
  if (state == ConnectionState::connected) {
    ui_eprintf("Error: Already connected.\n");
    return -1;
  }
  if (state == ConnectionState::connecting) {
    ui_eprintf("Error: Already attempting to connect.\n");
    return -1;
  }
  mdv_choose_phone(link, udid);
  mdv_want_connection(link, true);
  mdv_ask_to_look(link);
  if (dev_thread_started) {
    resubscribe_device_thread(link);
  } else if (const int error = start_device_thread(link); error != 0) {
    // Nothing would ever try: the state goes back to what it was.
    mdv_want_connection(link, false);
    ui_eprintf("Error: Could not start the device thread: %s\n", std::strerror(error));
    return -1;
  }
  ok();
  return 0;
}

int disconnect(DeviceLink* link, Command*) noexcept {
  // The main thread never runs its loop; this keeps the device thread's
  // loop, and its subscription, going: a phone plugged in later still
  // connects. Retries the device thread planned are dropped, and an
  // attempt finishing now cannot publish its connection after this.
  CFRunLoopStop(CFRunLoopGetCurrent());
  mdv_want_connection(link, false);
  ok();
  return -1;
}

int devices(DeviceLink*, Command*) noexcept {
  // Room for more phones than fit on one computer's ports; the count says
  // how many there are whatever fits.
  AMDAttachedPhone phones[64];
  uint32_t count = 0;
  const int32_t asked = AMDMuxCopyPhones(phones, std::size(phones), &count);
  if (asked != 0)
    std::printf("# usbmuxd: no answer at %s (%s)\n", AMDMuxAddress(), std::strerror(-asked));
  for (uint32_t index = 0; index < count && index < std::size(phones); ++index)
    std::printf("# %s %s\n", phones[index].udid, phones[index].name);
  ui_printf("%u\n", count);
  return 0;
}

int status(DeviceLink* link, Command*) noexcept {
  ui_eprintf("%s\n", connection_state_word(connection_state(link)));
  return 0;
}

int status_debug(DeviceLink* link, Command*) noexcept {
  print_status_trace(link);
  return status(link, nullptr);
}

void retire_lost_link(DeviceLink* link) noexcept {
  if (!mdv_retire_if_lost(link)) return;
  // The device thread tries the phone again if it is still plugged in, and
  // else waits for one.
  mdv_ask_to_look(link);
  if (dev_thread_started) resubscribe_device_thread(link);
}

void* dev_loop(void* arg) noexcept {
  auto* link = static_cast<DeviceLink*>(arg);
  dev_run_loop.store(CFRunLoopGetCurrent(), std::memory_order_release);
  dev_run_loop.notify_all();
  // Watches usbmuxd before it subscribes: libusbmuxd sets up its own
  // globals on first use without a lock, and the subscription starts its
  // event thread, which uses them too.
  mdv_look_again(link);
  CFRunLoopRun();
  return nullptr;
}
