// File: main/console.h
//
// Console output: the one way a reply line leaves afclink. Every command is
// answered by exactly one line on standard output, written whole under one
// print mutex and flushed at once, because the parent waits on it ("ok", a
// value, "Error: ..." or "Usage: ..."); XMLDebug and statusDebug write
// their "# " trace lines through stdio before their one line, which then
// flushes them. Nothing is ever written to standard error. Any thread.
//
// Example:
//   ui_eprintf("Error: Not connected\n");
//   ok();
#pragma once

// Each writes one formatted reply line to standard output under the print
// mutex and flushes it. ui_printf carries success lines, ui_eprintf the rest.
void ui_printf(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));
void ui_eprintf(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));
// Writes "ok\n".
void ok() noexcept;

// Ends the process with `status` at once: flushes stdout, runs no atexit
// handlers (a device thread may be inside the library).
[[noreturn]] void end_process(int status) noexcept;
