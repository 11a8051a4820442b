// File: platform/CoreFoundation.h
//
// The few CoreFoundation facilities afclink uses, on plain C++:
//   - a per-thread run loop, a task queue that its thread drains until
//     stopped; other threads post work onto it with CFRunLoopPerformBlock and
//     CFRunLoopWakeUp. The device thread runs one; device notifications are
//     posted onto it so the whole connection sequence runs on that thread.
//     A block may also be queued to run after a delay (what a one-shot
//     CFRunLoopTimer does on a Mac): the device thread's retries use it.
//   - constant strings (CFSTR), compared by their text.
//
// Example:
//   CFRunLoopRef loop = CFRunLoopGetCurrent();   // on the device thread
//   ...
//   CFRunLoopPerformBlock(loop, [] { work(); }); // from any thread
//   CFRunLoopWakeUp(loop);
//
// Invariants: a run loop lives as long as the process (threads that hold one
// are never joined in afclink); blocks run in the order they were posted, on
// the loop's own thread, only while CFRunLoopRun runs there.
#pragma once

#include <chrono>
#include <functional>

struct CFRunLoop;
using CFRunLoopRef = CFRunLoop*;

// The calling thread's run loop, made on first use. Never null.
CFRunLoopRef CFRunLoopGetCurrent() noexcept;
// Runs the calling thread's loop: executes posted blocks as they arrive and
// returns once CFRunLoopStop has been called for it. A stop requested while
// the loop is not running is forgotten when it next starts.
void CFRunLoopRun() noexcept;
// Asks the loop to return from CFRunLoopRun after the block it is running.
void CFRunLoopStop(CFRunLoopRef loop) noexcept;
// Queues a block on the loop. Safe from any thread.
void CFRunLoopPerformBlock(CFRunLoopRef loop, std::function<void()> block) noexcept;
// Wakes the loop so that queued blocks run. Safe from any thread.
void CFRunLoopWakeUp(CFRunLoopRef loop) noexcept;
// Queues a block to run on the loop once `delay` has passed (measured on
// the steady clock), after the blocks already due. No wake-up is needed.
// Safe from any thread. Delayed blocks still queued when the loop stops
// stay queued for its next run.
void CFRunLoopPerformBlockAfter(CFRunLoopRef loop, std::chrono::milliseconds delay,
                                std::function<void()> block) noexcept;

// A constant string; CFSTR("text") yields one that lives for ever.
struct CFString {
  const char* text;
};
using CFStringRef = const CFString*;

#define CFSTR(literal)                      \
  ([]() -> CFStringRef {                    \
    static const CFString s{"" literal ""}; \
    return &s;                              \
  }())

// The text of a string; null for a null string.
inline const char* CFStringGetCStringPtr(CFStringRef s) noexcept { return s ? s->text : nullptr; }
