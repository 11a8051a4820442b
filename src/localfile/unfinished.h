// File: localfile/unfinished.h
//
// The unfinished-file guard: the one staging file (and the private folder
// holding it, if any), and the one scratch folder with everything in it,
// that SIGTERM, SIGINT or SIGHUP removes before the process ends as the
// signal would have. LocalFile names its stage here
// while it exists; the program installs the handlers once, at start.
//
// Example:
//   remove_unfinished_on_signals();          // once, at start
//   set_unfinished("/music/.afclink-Ab12Cd", nullptr);
//   ...                                      // a signal now removes it
//   clear_unfinished();                      // renamed or removed: nothing left
//   hold_signals();                          // rewriting a file in place:
//   ...                                      //   a signal waits
//   release_signals();                       //   and takes effect here
//
// Invariants: the handler may run on any thread at any moment, so it
// touches only what was prepared beforehand (fixed buffers and
// lock-free flags). Everything else is called on the main thread only, like
// every copy. Only SIGKILL can leave a stage behind.
#pragma once

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
// Names, besides the staging file, one private scratch folder of afclink's
// (a library copy's) that a signal removes with everything in it; null
// names none. Main thread only.
void set_scratch_folder(const char* folder) noexcept;
// Between these, those signals wait: a file being rewritten in place is
// finished first, and the signal then takes effect in release_signals.
void hold_signals() noexcept;
void release_signals() noexcept;
