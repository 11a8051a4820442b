// File: membuf/alloc.h (internal)
//
// The one allocation hook of the buffer module, shared with the command
// record. Every allocation goes through these functions so a test can make
// any of them fail and check that nothing was changed or leaked.
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
