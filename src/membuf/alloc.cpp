// File: membuf/alloc.cpp
//
// The allocation hook: plain malloc, calloc, realloc and free, with a
// countdown that tests arm to make the n-th next allocation fail.
#include "membuf/alloc.h"

#include <atomic>
#include <cstdlib>

namespace membuf_internal {
namespace {

// -1: never fail; otherwise the allocations still allowed to succeed.
std::atomic<long> successes_left{-1};
std::atomic<long> allocations_made{0};

// Takes one success from the countdown; false once it has run out.
bool may_allocate() noexcept {
  long left = successes_left.load(std::memory_order_relaxed);
  while (left >= 0) {
    if (left == 0) return false;
    if (successes_left.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
      return true;
    }
  }
  return true;
}

void* counted(void* block) noexcept {
  if (block != nullptr) allocations_made.fetch_add(1, std::memory_order_relaxed);
  return block;
}

}  // namespace

void* mb_malloc(size_t bytes) noexcept {
  return may_allocate() ? counted(std::malloc(bytes)) : nullptr;
}

void* mb_calloc(size_t count, size_t bytes) noexcept {
  return may_allocate() ? counted(std::calloc(count, bytes)) : nullptr;
}

// A failed resize leaves `block` allocated and intact, as realloc does.
void* mb_realloc(void* block, size_t bytes) noexcept {
  return may_allocate() ? counted(std::realloc(block, bytes)) : nullptr;
}

void mb_dealloc(void* block) noexcept { std::free(block); }

void mb_fail_allocations_after(long successes) noexcept {
  successes_left.store(successes < 0 ? -1 : successes, std::memory_order_relaxed);
}

long mb_allocation_count() noexcept { return allocations_made.load(std::memory_order_relaxed); }

}  // namespace membuf_internal
