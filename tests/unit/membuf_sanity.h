// File: tests/unit/membuf_sanity.h
//
// Checks of the buffer invariants, and the test fixtures the buffer tests
// share: a pool set of their own and a scoped allocation failure.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "membuf/MemBuf.h"
#include "membuf/alloc.h"

inline void ExpectSaneMemBuf(const MemBuf* buffer) {
  ASSERT_NE(buffer, nullptr);
  ASSERT_GT(buffer->block_size, 0);
  EXPECT_GE(buffer->capacity, 0);
  EXPECT_EQ(buffer->capacity % buffer->block_size, 0) << "capacity is not whole blocks";
  EXPECT_EQ(buffer->storage == nullptr, buffer->capacity == 0)
      << "capacity 0 exactly while there is no storage";
  EXPECT_GE(buffer->length, 0);
  const int64_t element = buffer->element_size == 0 ? 1 : buffer->element_size;
  EXPECT_LE(element * buffer->length, buffer->capacity) << "length past capacity";
  EXPECT_EQ(buffer->flags & ~MB_FLAG_BORROWED, 0u);
}

// Lets `successes` allocations succeed, then fails all until it goes out of scope.
class FailAllocationsAfter {
 public:
  explicit FailAllocationsAfter(long successes) {
    membuf_internal::mb_fail_allocations_after(successes);
  }
  ~FailAllocationsAfter() { membuf_internal::mb_fail_allocations_after(-1); }
  FailAllocationsAfter(const FailAllocationsAfter&) = delete;
  FailAllocationsAfter& operator=(const FailAllocationsAfter&) = delete;
};

// Runs a test with both pools empty; what the test leaves pooled is freed and
// the process's pools come back afterwards.
class IsolatedPools : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_pool_ = membuf_internal::_mb_pool;
    saved_tagged_ = membuf_internal::_mb_tagged_pool;
    membuf_internal::_mb_pool = nullptr;
    membuf_internal::_mb_tagged_pool = nullptr;
  }
  void TearDown() override {
    for (MemBuf** pool : {&membuf_internal::_mb_pool, &membuf_internal::_mb_tagged_pool}) {
      while (MemBuf* buffer = *pool) {
        *pool = buffer->pool_next;
        membuf_internal::_mb_destroy(&buffer);
      }
    }
    membuf_internal::_mb_pool = saved_pool_;
    membuf_internal::_mb_tagged_pool = saved_tagged_;
  }

 private:
  MemBuf* saved_pool_ = nullptr;
  MemBuf* saved_tagged_ = nullptr;
};
