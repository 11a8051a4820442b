// File: main/dispatch.h
//
// The command table: which word runs which handler, and whether it needs a
// connection. Main thread only. Between commands (before the handler and
// after it) a link found lost is retired and tried again, so every command
// sees a link that is either usable or not connected.
//
// Example:
//   CommandPtr command(cmd_new(nullptr));  // one line from standard input
//   if (command) (void)do_command(link, command.get());
#pragma once

#include <cstddef>

#include "command/Command.h"
#include "device/device.h"

// Runs one command and writes its one reply line (main/console.h); the
// handler's status. A line holding a NUL, an unknown word, or a command
// needing a connection while there is none is answered "Error: ..." with -1,
// no handler run.
int do_command(DeviceLink* link, Command* command) noexcept;

// The table's command words in its order, for texts that list them: the
// word at `index`, or null past the last.
[[nodiscard]] const char* command_word(size_t index) noexcept;
