// File: main/commands.h
//
// The two copy commands (getFile, getDB) and the guard that lets a signal
// remove a copy left unfinished. Main thread only, like every copy; each
// command answers with one reply line through main/console.h.
#pragma once

#include <cstdint>

#include "command/Command.h"
#include "device/device.h"
#include "main/console.h"

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

// ---- Unfinished copies ------------------------------------------------------

// Makes SIGTERM, SIGINT and SIGHUP remove the unfinished copy set below, if
// any, and then end the process as the signal would have. A signal that
// was ignored when the process started stays ignored. Called once, at start.
void remove_unfinished_on_signals() noexcept;
// Names the staging file (and the private folder holding it, or null) that
// a signal must remove; at most one at a time. Paths of PATH_MAX bytes or
// more are not taken. Main thread only, like every copy.
void set_unfinished(const char* file, const char* folder) noexcept;
// Nothing is left for a signal to remove.
void clear_unfinished() noexcept;
// Between these, those signals wait: a file being rewritten in place is
// finished first, and the signal then takes effect in release_signals.
void hold_signals() noexcept;
void release_signals() noexcept;
