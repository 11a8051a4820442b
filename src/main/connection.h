// File: main/connection.h
//
// The connection state as the parent sees it: the connect, disconnect,
// status and statusDebug commands, and the device thread they start.
//
// Threads: the commands run on the main thread. The first accepted
// `connect` starts the one device thread (dev_loop), which lives until the
// process ends; a later accepted `connect` asks that same thread to
// subscribe afresh rather than start a second one that would race it on
// the one link. The state itself lives in the link (device/device.h);
// nothing here holds a copy of it.
//
// Example (the command table's view):
//   (void)connect(link, command);   // "ok"; the device thread connects
//   (void)status(link, command);    // "connecting", later "connected"
//   (void)disconnect(link, command);
#pragma once

#include "command/Command.h"
#include "device/device.h"

// ---- What `status` answers --------------------------------------------------

// "connected"; "connecting" while a connection is wanted and the device
// thread will make it by itself once something happens (a phone plugged
// in, usbmuxd started, the phone unlocked, Trust tapped, a failed session
// tried again); "disconnected" when nothing will be tried without a new
// `connect` or a replug.
enum class ConnectionState { disconnected, connecting, connected };
[[nodiscard]] ConnectionState connection_state(DeviceLink* link) noexcept;
[[nodiscard]] const char* connection_state_word(ConnectionState state) noexcept;

// ---- The commands -------------------------------------------------------------

// Wants a connection and answers "ok" (0), starting the device thread or
// asking it to subscribe afresh; with a UDID as its argument, only to that
// phone, which it then waits for whatever other phones come and go (an
// argument that cannot be a UDID is answered "Error: ..." and changes
// nothing); "Error: Already connected." or "Error:
// Already attempting to connect." (-1) when the state is not disconnected;
// "Error: Could not start the device thread: <reason>" (-1), the state
// left disconnected, when the system refuses a thread.
int connect(DeviceLink* link, Command* command) noexcept;
// Drops the wish to connect (and any retry the device thread planned),
// clears `connected` and answers "ok". Always -1.
int disconnect(DeviceLink* link, Command* command) noexcept;
// Answers the connection state's word. 0.
int status(DeviceLink* link, Command* command) noexcept;
// One trace line "# UDID NAME" for each phone usbmuxd shows attached over
// USB (the name empty until the phone has told afclink), then their count.
// Asks usbmuxd, never a phone. 0.
int devices(DeviceLink* link, Command* command) noexcept;
// The trace (print_status_trace), then the `status` line. 0.
int status_debug(DeviceLink* link, Command* command) noexcept;

// statusDebug's trace (status_debug.cpp): lines beginning "# " on what the
// device thread saw (usbmuxd, the phone, the last attempt, what the user
// can do), written before the `status` line. Reads the device thread's
// record only.
void print_status_trace(DeviceLink* link) noexcept;

// ---- Between commands ---------------------------------------------------------

// A link found lost (unplugged, or its connection dead) is retired and tried
// again at once, as a device attached after `connect` would be: `status`
// then answers "connecting" until that attempt ends. Nothing otherwise.
void retire_lost_link(DeviceLink* link) noexcept;

// ---- The device thread --------------------------------------------------------

// Publishes its run loop, watches usbmuxd, subscribes, then runs its run
// loop for the rest of the process. Null.
void* dev_loop(void* link) noexcept;
