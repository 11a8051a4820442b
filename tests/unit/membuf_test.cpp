// Buffer record: growth, add, insert, string append, pools, exhausted memory.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "membuf/MemBuf.h"
#include "membuf_sanity.h"

using membuf_internal::make_room;
using membuf_internal::streq;

namespace {

MemBufPtr NewBuffer(int32_t initial = 0, int32_t block = 0) {
  return MemBufPtr(mb_new(initial, block));
}

// A buffer of `capacity` bytes in 128-byte blocks whose bytes count 0, 1, 2...
MemBufPtr CountingBuffer(int32_t capacity, int32_t length) {
  MemBufPtr buffer = NewBuffer(capacity);
  for (int32_t i = 0; i < capacity; ++i) buffer->storage[i] = static_cast<char>(i);
  buffer->length = length;
  return buffer;
}

std::string Bytes(const MemBuf* buffer) {
  return std::string(buffer->storage, static_cast<size_t>(buffer->length));
}

}  // namespace

TEST(MemBufNew, DefaultsAndInitialSizesRoundUpToBlocks) {
  MemBufPtr empty = NewBuffer();
  ExpectSaneMemBuf(empty.get());
  EXPECT_EQ(empty->storage, nullptr);
  EXPECT_EQ(empty->capacity, 0);
  EXPECT_EQ(empty->block_size, 128);
  EXPECT_EQ(empty->element_size, 1);
  EXPECT_EQ(empty->length, 0);
  EXPECT_EQ(NewBuffer(300, 100)->capacity, 300);
  EXPECT_EQ(NewBuffer(1, 0)->capacity, 128);
}

TEST(MemBufGrowth, FiguresForBothSettingsOfTheExactFlag) {
  struct Case {
    int32_t capacity, needed, loose, exact;
  };
  for (const Case c : {Case{0, 1, 128, 128}, Case{384, 385, 512, 512}, Case{1024, 1025, 1280, 1152},
                       Case{5120, 5121, 6400, 5248}}) {
    for (const bool exact : {false, true}) {
      SCOPED_TRACE(testing::Message() << c.capacity << "+" << c.needed << " exact " << exact);
      MemBufPtr buffer = CountingBuffer(c.capacity, c.capacity);
      ASSERT_EQ(make_room(buffer.get(), c.needed, exact), 0);
      EXPECT_EQ(buffer->capacity, exact ? c.exact : c.loose);
      for (int32_t i = 0; i < c.capacity; ++i) {
        ASSERT_EQ(buffer->storage[i], static_cast<char>(i)) << "content lost at " << i;
      }
      ExpectSaneMemBuf(buffer.get());
    }
  }
}

TEST(MemBufGrowth, AddGrowsLooselyAndMakeRoomExactly) {
  MemBufPtr loose = CountingBuffer(1024, 1024);
  ASSERT_NE(mb_add(loose.get(), "x", 1), nullptr);
  EXPECT_EQ(loose->capacity, 1280);
  MemBufPtr exact = CountingBuffer(1024, 0);
  ASSERT_EQ(mb_make_room(exact.get(), 1025), 0);
  EXPECT_EQ(exact->capacity, 1152);
  char* before = exact->storage;
  EXPECT_EQ(mb_make_room(exact.get(), 1152), 0);
  EXPECT_EQ(exact->storage, before);
  EXPECT_EQ(exact->capacity, 1152);
}

TEST(MemBufGrowth, MakeRoom0ZeroesTheWholeGainedSpace) {
  MemBufPtr buffer = NewBuffer(128);
  std::memset(buffer->storage, 'x', 128);
  ASSERT_EQ(mb_make_room0(buffer.get(), 200), 0);
  ASSERT_EQ(buffer->capacity, 256);
  EXPECT_EQ(std::string(buffer->storage, 128), std::string(128, 'x'));
  EXPECT_EQ(std::string(buffer->storage + 128, 128), std::string(128, '\0'));
}

TEST(MemBufGrowth, SizesBeyondInt32AreOutOfMemory) {
  MemBufPtr buffer = NewBuffer();
  EXPECT_EQ(mb_make_room(buffer.get(), INT32_MAX), MB_ENOMEM);
  buffer->element_size = 8;
  EXPECT_EQ(mb_add(buffer.get(), nullptr, INT32_MAX / 4), nullptr);
  EXPECT_EQ(buffer->capacity, 0);
  ExpectSaneMemBuf(buffer.get());
}

TEST(MemBufAdd, CountBelowOneAddsNothingAndNullSourceAddsZeroes) {
  MemBufPtr buffer = NewBuffer();
  EXPECT_EQ(mb_add(buffer.get(), "abc", 0), nullptr);
  EXPECT_EQ(mb_add(buffer.get(), "abc", -1), nullptr);
  EXPECT_EQ(buffer->storage, nullptr);
  ASSERT_NE(mb_add(buffer.get(), "ab", 2), nullptr);
  auto* zeroes = static_cast<char*>(mb_add(buffer.get(), nullptr, 3));
  EXPECT_EQ(zeroes, buffer->storage + 2);
  EXPECT_EQ(Bytes(buffer.get()), std::string("ab\0\0\0", 5));
  ExpectSaneMemBuf(buffer.get());
}

TEST(MemBufAdd, LimitCutsTheCountThenRefuses) {
  MemBufPtr buffer = CountingBuffer(128, 8);
  buffer->limit = 10;
  EXPECT_EQ(mb_add(buffer.get(), "vwxyz", 5), buffer->storage + 8);
  EXPECT_EQ(buffer->length, 10);
  EXPECT_EQ(std::string(buffer->storage + 8, 2), "vw");
  EXPECT_EQ(mb_add(buffer.get(), "z", 1), nullptr);
  EXPECT_EQ(buffer->length, 10);
}

TEST(MemBufAdd, PointersOnlyIntoPointerSizedBuffers) {
  MemBufPtr buffer = NewBuffer();
  int target = 0;
  EXPECT_EQ(mb_addp(buffer.get(), &target), nullptr);
  buffer->element_size = sizeof(void*);
  auto* slot = static_cast<void**>(mb_addp(buffer.get(), &target));
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(*slot, &target);
  EXPECT_EQ(buffer->length, 1);
  ExpectSaneMemBuf(buffer.get());
}

TEST(MemBufInsert, ElementsPastTheLimitDropOffTheEnd) {
  MemBufPtr buffer = CountingBuffer(128, 9);
  buffer->limit = 10;
  EXPECT_EQ(mb_insert(buffer.get(), "XY", 3, 2), buffer->storage + 3);
  EXPECT_EQ(Bytes(buffer.get()), std::string("\0\1\2XY\3\4\5\6\7", 10));
  EXPECT_EQ(mb_insert(buffer.get(), "XY", 9, 2), nullptr);
  ExpectSaneMemBuf(buffer.get());
}

TEST(MemBufInsert, PositionRules) {
  MemBufPtr buffer = NewBuffer();
  ASSERT_NE(mb_add(buffer.get(), "ac", 2), nullptr);
  EXPECT_EQ(mb_insert(buffer.get(), "x", 3, 1), nullptr);
  EXPECT_EQ(mb_insert(buffer.get(), "b", 1, 1), buffer->storage + 1);
  EXPECT_EQ(mb_insert(buffer.get(), "d", 3, 1), buffer->storage + 3);
  EXPECT_EQ(mb_insert(buffer.get(), "zz", 2, 0), buffer->storage + 2);
  EXPECT_EQ(Bytes(buffer.get()), "abcd");
  buffer->element_size = 4;
  buffer->length = 1;
  EXPECT_EQ(mb_insert(buffer.get(), nullptr, 0, 1), buffer->storage);
  EXPECT_EQ(buffer->length, 2);
  EXPECT_EQ(std::string(buffer->storage, 8), std::string("\0\0\0\0abcd", 8));
  ExpectSaneMemBuf(buffer.get());
}

TEST(MemBufString, AppendsBuildOneStringWithOrWithoutCountedNul) {
  MemBufPtr counted = NewBuffer();
  ASSERT_NE(mb_append_string(counted.get(), "ab"), nullptr);
  EXPECT_EQ(mb_append_string(counted.get(), "cd"), counted->storage + 2);
  EXPECT_EQ(Bytes(counted.get()), std::string("abcd\0", 5));
  MemBufPtr uncounted = NewBuffer();
  ASSERT_NE(mb_append_string_nt(uncounted.get(), "ab"), nullptr);
  ASSERT_NE(mb_append_string_nt(uncounted.get(), "cd"), nullptr);
  EXPECT_EQ(uncounted->length, 4);
  EXPECT_STREQ(uncounted->storage, "abcd");
  EXPECT_EQ(mb_append_string(uncounted.get(), nullptr), nullptr);
  uncounted->element_size = 4;
  EXPECT_EQ(mb_append_string(uncounted.get(), "x"), nullptr);
  EXPECT_EQ(uncounted->length, 4);
}

TEST(MemBufStreq, ComparesOnlyThePrefix) {
  EXPECT_EQ(streq("getDB x", "get"), 1);
  EXPECT_EQ(streq("ge", "get"), 0);
  EXPECT_EQ(streq("anything", ""), 1);
  EXPECT_EQ(streq("", ""), 1);
  EXPECT_EQ(streq("gxt", "get"), 0);
}

using MemBufPool = IsolatedPools;

TEST_F(MemBufPool, ReturnedBufferIsBorrowedAgainEmptiedWithItsStorage) {
  MemBuf* first = mb_borrow();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->flags & MB_FLAG_BORROWED, MB_FLAG_BORROWED);
  ASSERT_NE(mb_append_string(first, "some text"), nullptr);
  first->limit = 50;
  first->element_size = 0;
  first->spare1 = first->spare2 = first->spare3 = 7;
  char* storage = first->storage;
  mb_free0(&first);
  EXPECT_EQ(first, nullptr);
  MemBuf* pooled = membuf_internal::_mb_pool;
  ASSERT_NE(pooled, nullptr);
  EXPECT_EQ(pooled->spare2, 0u);
  MemBuf* again = mb_borrow();
  EXPECT_EQ(again, pooled);
  EXPECT_EQ(membuf_internal::_mb_pool, nullptr);
  EXPECT_EQ(again->storage, storage);
  EXPECT_EQ(again->capacity, 128);
  EXPECT_EQ(again->length, 0);
  EXPECT_EQ(again->limit, 0);
  EXPECT_EQ(again->element_size, 1);
  EXPECT_EQ(again->spare1 | again->spare3, 0u);
  EXPECT_EQ(again->pool_next, nullptr);
  ExpectSaneMemBuf(again);
  mb_return(again);
}

TEST_F(MemBufPool, UntaggedBuffersAreBorrowedFirstAndLastReturnedFirst) {
  MemBuf* tagged = mb_borrow();
  MemBuf* a = mb_borrow();
  MemBuf* b = mb_borrow();
  tagged->tag = 1;
  mb_free(tagged);
  mb_free(a);
  mb_free(b);
  EXPECT_EQ(membuf_internal::_mb_tagged_pool, tagged);
  EXPECT_EQ(mb_borrow(), b);
  EXPECT_EQ(mb_borrow(), a);
  EXPECT_EQ(mb_borrow(), tagged);
  mb_free(a);
  mb_free(b);
  mb_free(tagged);
}

namespace {
int release_calls = 0;
void CountRelease(MemBuf*) { ++release_calls; }
}  // namespace

TEST_F(MemBufPool, ReleaseCallbackRunsOnceAndOwnedBlockIsFreed) {
  release_calls = 0;
  MemBuf* buffer = mb_borrow();
  buffer->on_release = CountRelease;
  buffer->owned_block = membuf_internal::mb_malloc(16);
  mb_free(buffer);
  EXPECT_EQ(release_calls, 1);
  EXPECT_EQ(buffer->on_release, nullptr);
  EXPECT_EQ(buffer->owned_block, nullptr);
  EXPECT_EQ(mb_borrow(), buffer);
  mb_free(buffer);
  EXPECT_EQ(release_calls, 1);

  MemBufPtr owned = NewBuffer(10);
  owned->on_release = CountRelease;
  owned->owned_block = membuf_internal::mb_malloc(16);
  mb_free_data(owned.get());
  EXPECT_EQ(release_calls, 2);
  EXPECT_EQ(owned->owned_block, nullptr);
  EXPECT_EQ(owned->storage, nullptr);
  EXPECT_EQ(owned->capacity, 0);
  ASSERT_NE(mb_add(owned.get(), "x", 1), nullptr);
  ExpectSaneMemBuf(owned.get());
}

TEST_F(MemBufPool, FreeingNullDoesNothing) {
  mb_free(nullptr);
  MemBuf* none = nullptr;
  mb_free0(&none);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(membuf_internal::_mb_pool, nullptr);
}

// Exhausted memory: every room-making path gives -10 or null and leaves the
// buffer exactly as it was.
TEST_F(MemBufPool, NoBufferWhenPoolsAreEmptyAndMemoryIsOut) {
  FailAllocationsAfter fail(0);
  EXPECT_EQ(mb_borrow(), nullptr);
}

TEST(MemBufOutOfMemory, NewLeavesNothingAllocated) {
  {
    FailAllocationsAfter fail(0);
    EXPECT_EQ(mb_new(0, 0), nullptr);
  }
  FailAllocationsAfter fail(1);  // the record, not its storage
  EXPECT_EQ(mb_new(10, 0), nullptr);
}

TEST(MemBufOutOfMemory, EveryGrowingOperationLeavesTheBufferUnchanged) {
  using Operation = bool (*)(MemBuf*);
  const std::vector<std::pair<const char*, Operation>> operations = {
      {"make_room", [](MemBuf* b) { return mb_make_room(b, 129) == MB_ENOMEM; }},
      {"make_room0", [](MemBuf* b) { return mb_make_room0(b, 129) == MB_ENOMEM; }},
      {"add", [](MemBuf* b) { return mb_add(b, nullptr, 2) == nullptr; }},
      {"insert", [](MemBuf* b) { return mb_insert(b, "xy", 0, 2) == nullptr; }},
      {"append", [](MemBuf* b) { return mb_append_string(b, "xy") == nullptr; }},
      {"append_nt", [](MemBuf* b) { return mb_append_string_nt(b, "xy") == nullptr; }},
  };
  for (const auto& [name, operation] : operations) {
    SCOPED_TRACE(name);
    MemBufPtr buffer = CountingBuffer(128, 128);
    buffer->storage[127] = '\0';  // a counted NUL that appending would uncount
    const std::string before = Bytes(buffer.get());
    char* storage = buffer->storage;
    {
      FailAllocationsAfter fail(0);
      EXPECT_TRUE(operation(buffer.get()));
    }
    EXPECT_EQ(buffer->storage, storage);
    EXPECT_EQ(buffer->capacity, 128);
    EXPECT_EQ(Bytes(buffer.get()), before);
    ExpectSaneMemBuf(buffer.get());
  }
}
