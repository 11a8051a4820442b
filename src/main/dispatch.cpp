#include <pthread.h>
#include <unistd.h>

#include <array>
#include <string_view>

#include "main/commands.h"
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

bool is_connected(const DeviceLink* link) noexcept {
  return link->connected.load(std::memory_order_acquire) != 0;
}

void start_device_thread(DeviceLink* link) noexcept {
  if (pthread_create(&dev_thread, nullptr, dev_loop, link) != 0) return;
  dev_thread_started = true;
  dev_run_loop.wait(nullptr, std::memory_order_acquire);
}

void resubscribe_device_thread(DeviceLink* link) noexcept {
  CFRunLoopRef loop = dev_run_loop.load(std::memory_order_acquire);
  if (resubscribe_queued.exchange(true, std::memory_order_acq_rel)) return;
  CFRunLoopPerformBlock(loop, [link] {
    resubscribe_queued.store(false, std::memory_order_release);
    (void)mdv_subscribe_to_notifications(link);
    mdv_watch_mux(link);
  });
  CFRunLoopWakeUp(loop);
}

// A link found lost (unplugged, or its connection dead) is retired between
// commands and tried again at once, as a device attached after `connect`
// would be: `status` then answers "connecting" until that attempt ends.
void retire_lost_link(DeviceLink* link) noexcept {
  if (!mdv_retire_if_lost(link)) return;
  link->wait.store(DeviceWait::attempt, std::memory_order_release);
  if (dev_thread_started) resubscribe_device_thread(link);
}

int connect(DeviceLink* link, Command*) noexcept {
  const ConnectionState state = connection_state(link);
  if (state == ConnectionState::connected) {
    ui_eprintf("Error: Already connected.\n");
    return -1;
  }
  if (state == ConnectionState::connecting) {
    ui_eprintf("Error: Already attempting to connect.\n");
    return -1;
  }
  mdv_want_connection(link, true);
  // Until the device thread has looked, it waits for a phone.
  link->wait.store(DeviceWait::plug_in, std::memory_order_release);
  if (dev_thread_started)
    resubscribe_device_thread(link);
  else
    start_device_thread(link);
  ok();
  return 0;
}

int pid(DeviceLink*, Command*) noexcept {
  ui_eprintf("%i\n", static_cast<int>(getpid()));
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

int quit(DeviceLink* link, Command* command) noexcept {
  (void)disconnect(link, command);
  end_process(0);
}

int xml_path(DeviceLink*, Command*) noexcept {
  getXMLPath(0);
  return 0;
}

int xml_debug(DeviceLink*, Command*) noexcept {
  getXMLPath(1);
  return 0;
}

using Handler = int (*)(DeviceLink*, Command*) noexcept;

struct CommandEntry {
  std::string_view word;
  bool needs_connection;
  Handler handler;
};

// Searched in this order; the first equal word runs.
constexpr std::array<CommandEntry, 10> kCommands{{
    {"getDB", true, getDB},
    {"getFile", true, getFile},
    {"disconnect", false, disconnect},
    {"connect", false, connect},
    {"pid", false, pid},
    {"status", false, status},
    {"quit", false, quit},
    {"XMLPath", false, xml_path},
    {"XMLDebug", false, xml_debug},
    {"statusDebug", false, status_debug},
}};

}  // namespace

int do_command(DeviceLink* link, Command* command) noexcept {
  retire_lost_link(link);
  link->err_text->length = 0;
  if (command->holds_nul) {
    ui_eprintf("Error: Command line holds a NUL byte\n");
    return -1;
  }
  const char* word = cmd_word(command, 0);
  const std::string_view typed(word);
  for (const CommandEntry& entry : kCommands) {
    if (entry.word != typed) continue;
    if (entry.needs_connection && !is_connected(link)) {
      ui_eprintf("Error: Not connected\n");
      return -1;
    }
    const int result = entry.handler(link, command);
    retire_lost_link(link);
    return result;
  }
  ui_eprintf("Error: Unknown command \"%s\"\n", word);
  return -1;
}

int disconnect(DeviceLink* link, Command*) noexcept {
  // The main thread never runs its loop; this keeps the device thread's
  // loop, and its subscription, going: a phone plugged in later still
  // connects. Retries the device thread planned are dropped.
  CFRunLoopStop(CFRunLoopGetCurrent());
  mdv_want_connection(link, false);
  link->connected.store(0, std::memory_order_release);
  ok();
  return -1;
}

ConnectionState connection_state(DeviceLink* link) noexcept {
  if (is_connected(link)) return ConnectionState::connected;
  if (link->wanted.load(std::memory_order_acquire) == 0) return ConnectionState::disconnected;
  switch (link->wait.load(std::memory_order_acquire)) {
    case DeviceWait::nothing:
    case DeviceWait::new_connect: return ConnectionState::disconnected;
    case DeviceWait::attempt:
    case DeviceWait::plug_in:
    case DeviceWait::unlock:
    case DeviceWait::trust:
    case DeviceWait::retry: break;
  }
  return ConnectionState::connecting;
}

const char* connection_state_word(ConnectionState state) noexcept {
  switch (state) {
    case ConnectionState::connected: return "connected";
    case ConnectionState::connecting: return "connecting";
    case ConnectionState::disconnected: break;
  }
  return "disconnected";
}

void* dev_loop(void* arg) noexcept {
  auto* link = static_cast<DeviceLink*>(arg);
  dev_run_loop.store(CFRunLoopGetCurrent(), std::memory_order_release);
  dev_run_loop.notify_all();
  // usbmuxd is asked first: libusbmuxd sets up its own globals on first use
  // without a lock, and the subscription starts its event thread, which
  // uses them too.
  mdv_watch_mux(link);
  (void)mdv_subscribe_to_notifications(link);
  CFRunLoopRun();
  return nullptr;
}
