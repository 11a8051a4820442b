// File: main/dispatch.h
//
// The command table: which word runs which handler, and whether it needs a
// connection. Main thread only. Between commands (before the handler and
// after it) a link found lost is retired and tried again, so every command
// sees a link that is either usable or not connected.
//
// Example:
//   for (;;) (void)do_next_line(link);  // the command loop, less its end
#pragma once

#include <cstddef>

#include "command/Command.h"
#include "device/device.h"

// Runs one command and writes its one reply line (main/console.h); the
// handler's status. A line holding a NUL, an unknown word, or a command
// needing a connection while there is none is answered "Error: ..." with -1,
// no handler run.
int do_command(DeviceLink* link, Command* command) noexcept;

// The one reply to a line of standard input that could not be read whole or
// split into words for want of memory.
inline constexpr char kUnreadableLineReply[] =
    "Error: Out of memory: the command line could not be read; nothing was done.";

// Reads the next line of standard input (cmd_read) and answers it: its
// command through do_command, an unreadable line with kUnreadableLineReply
// (-1, nothing run), a line without words or the end of input with nothing
// (0). The handler's status otherwise.
int do_next_line(DeviceLink* link) noexcept;

// The table's command words in its order, for texts that list them: the
// word at `index`, or null past the last.
[[nodiscard]] const char* command_word(size_t index) noexcept;
