// File: membuf/alloc.h
//
// The program's one allocation hook. It lives with the buffer module, and
// the modules that allocate C-style records use it too: the command
// record, the device link and its files, the copy's working buffer. Every
// such allocation goes through these functions so a test can make any of
// them fail and check that nothing was changed or leaked. (The namespace
// says internal because nothing outside those modules and their tests may
// call it.)
//
//   membuf_internal::mb_fail_allocations_after(2);  // two succeed, then all fail
//   ...
//   membuf_internal::mb_fail_allocations_after(-1); // back to normal
#pragma once

#include <cstddef>

namespace membuf_internal {

void* mb_malloc(size_t bytes) noexcept;
void* mb_calloc(size_t count, size_t bytes) noexcept;
void* mb_realloc(void* block, size_t bytes) noexcept;
void mb_dealloc(void* block) noexcept;

// Lets `successes` more allocations succeed, then fails every later one;
// -1 turns failing off.
void mb_fail_allocations_after(long successes) noexcept;
// Allocations made (successful ones) since the process started.
long mb_allocation_count() noexcept;

}  // namespace membuf_internal
