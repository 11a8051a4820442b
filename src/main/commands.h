// File: main/commands.h
//
// The main module: the command loop's dispatch, console output, the
// connection-state commands, the device thread, the retrieval commands and
// the locator's handler. Everything here runs on the main thread except
// dev_loop, which runs on the device thread.
//
// Reply protocol: every command is answered by exactly one line on standard
// output, flushed at once ("ok", a value, "Error: ..." or "Usage: ...");
// XMLDebug and statusDebug write their "# " trace lines before their one
// line. Nothing is ever written to standard error.
#pragma once

#include <atomic>
#include <cstdint>

#include "command/Command.h"
#include "device/device.h"

// ---- The program --------------------------------------------------------

// The whole program: with the single argument "XMLPath", the library path
// and exit 0; otherwise the device link and the command loop, until `quit`
// or the end of input (exit 0). Exits 1, writing nothing, when the device
// link cannot be made. Never returns.
[[noreturn]] void run_afclink(int argc, char** argv) noexcept;

// ---- Console --------------------------------------------------------------

// Each writes one formatted reply line to standard output under the print
// mutex and flushes it. ui_printf carries success lines, ui_eprintf the rest.
void ui_printf(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));
void ui_eprintf(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));
// Writes "ok\n".
void ok() noexcept;

// ---- Connection state -----------------------------------------------------

// What `status` answers: "connected"; "connecting" while a connection is
// wanted and the device thread will make it by itself once something
// happens (a phone plugged in, usbmuxd started, the phone unlocked, Trust
// tapped, a failed session tried again); "disconnected" when nothing will
// be tried without a new `connect` or a replug.
enum class ConnectionState { disconnected, connecting, connected };
[[nodiscard]] ConnectionState connection_state(DeviceLink* link) noexcept;
[[nodiscard]] const char* connection_state_word(ConnectionState state) noexcept;

// Runs one command and writes its reply; the handler's status.
int do_command(DeviceLink* link, Command* command) noexcept;
// Drops the wish to connect (and any retry the device thread planned),
// clears `connected` and answers "ok". Always -1.
int disconnect(DeviceLink* link, Command* command) noexcept;
// The device thread: subscribes, watches usbmuxd, then runs its run loop.
// Null.
void* dev_loop(void* link) noexcept;
// statusDebug's trace: lines beginning "# " on what the device thread saw
// (usbmuxd, the phone, the last attempt, what the user can do), written
// before the `status` line. Reads the device thread's record only.
void print_status_trace(DeviceLink* link) noexcept;

// The text of `afclink --help`.
extern const char* const kUsageText;

// Ends the process with `status` at once: flushes stdout, runs no atexit
// handlers (a device thread may be inside the library).
[[noreturn]] void end_process(int status) noexcept;

// ---- Retrieval ------------------------------------------------------------

// Copies a device file byte for byte: 0, or -1 with the reason in err_text.
int get_file(DeviceLink* link, const char* device_path, const char* local_path) noexcept;
// Copies a header unchanged, then inflates the zlib stream behind it: 0;
// -1, or the zlib code (-2, -3, -4), with the reason in err_text (none for
// a header length over 8192).
int get_compressed_file(DeviceLink* link, const char* device_path, const char* local_path,
                        int32_t header_length) noexcept;
// The getFile and getDB commands: write their one reply line.
int getFile(DeviceLink* link, Command* command) noexcept;
int getDB(DeviceLink* link, Command* command) noexcept;

// ---- Library locator ------------------------------------------------------

// Prints the library XML path, or "Error: Could not get iTunes Library
// path"; with `debug`, the "# " trace lines first.
void getXMLPath(uint8_t debug) noexcept;
