// File: membuf/membuf.cpp
//
// The buffer record: growth, life cycle, pools, add, insert, string append.
#include <cstdint>
#include <cstring>
#include <limits>

#include "membuf/MemBuf.h"
#include "membuf/alloc.h"

namespace membuf_internal {

MemBuf* _mb_pool = nullptr;
MemBuf* _mb_tagged_pool = nullptr;

namespace {

constexpr int32_t kDefaultBlockSize = 128;
constexpr int64_t kMaxBytes = std::numeric_limits<int32_t>::max();

int32_t element_bytes(const MemBuf* buffer) noexcept {
  return buffer->element_size == 0 ? 1 : buffer->element_size;
}

// Room-making for a size computed in 64 bits: a size that does not fit the
// 32-bit capacity can never be had, so it is reported like exhausted memory.
int room_for(MemBuf* buffer, int64_t bytes, bool exact) noexcept {
  if (bytes > kMaxBytes) return MB_ENOMEM;
  return make_room(buffer, static_cast<int32_t>(bytes), exact);
}

}  // namespace

int _extend(MemBuf* buffer, int32_t bytes, bool exact) noexcept {
  const int64_t block = buffer->block_size;
  if (block <= 0) return MB_ENOMEM;  // a broken record: never divide by it
  int64_t blocks = (static_cast<int64_t>(bytes) - 1) / block + 1;
  if (!exact) {
    // Growing by a quarter at least keeps a run of appends to a few
    // reallocations once a buffer has four blocks.
    const int64_t current = buffer->capacity / block;
    if (blocks - current < current / 4) blocks = current + current / 4;
  }
  const int64_t size = blocks * block;
  if (size > kMaxBytes) return MB_ENOMEM;

  void* block_now = (buffer->capacity != 0 && buffer->storage != nullptr)
                        ? mb_realloc(buffer->storage, static_cast<size_t>(size))
                        : mb_malloc(static_cast<size_t>(size));
  if (block_now == nullptr) return MB_ENOMEM;  // old block and capacity stay
  buffer->storage = static_cast<char*>(block_now);
  buffer->capacity = static_cast<int32_t>(size);
  return 0;
}

int make_room(MemBuf* buffer, int32_t bytes, bool exact) noexcept {
  if (buffer->capacity >= bytes) return 0;
  return _extend(buffer, bytes, exact);
}

void _mb_return(MemBuf* buffer) noexcept {
  if (buffer == nullptr) return;
  if (MemBufReleaseFn release = buffer->on_release) {
    // Cleared before the call so a callback that releases the buffer's data
    // cannot run itself a second time.
    buffer->on_release = nullptr;
    release(buffer);
  }
  buffer->spare2 = 0;
  if (buffer->owned_block != nullptr) {
    mb_dealloc(buffer->owned_block);
    buffer->owned_block = nullptr;
  }
  MemBuf** pool = buffer->tag != 0 ? &_mb_tagged_pool : &_mb_pool;
  buffer->pool_next = *pool;
  *pool = buffer;
}

void _mb_destroy(MemBuf** holder) noexcept {
  if (holder == nullptr) return;
  if (MemBuf* buffer = *holder) {
    mb_free_data(buffer);
    mb_dealloc(buffer);
  }
  *holder = nullptr;
}

int streq(const char* text, const char* prefix) noexcept {
  for (; *prefix != '\0'; ++text, ++prefix) {
    if (*text != *prefix) return 0;
  }
  return 1;
}

}  // namespace membuf_internal

using namespace membuf_internal;

// ---- Life cycle -----------------------------------------------------------

MemBuf* mb_new(int32_t initial_size, int32_t block_size) noexcept {
  auto* buffer = static_cast<MemBuf*>(mb_calloc(1, sizeof(MemBuf)));
  if (buffer == nullptr) return nullptr;
  buffer->element_size = 1;
  buffer->block_size = block_size == 0 ? kDefaultBlockSize : block_size;
  if (initial_size != 0 && make_room(buffer, initial_size, true) != 0) {
    mb_dealloc(buffer);
    return nullptr;
  }
  return buffer;
}

MemBuf* mb_borrow() noexcept {
  MemBuf** pool = _mb_pool != nullptr          ? &_mb_pool
                  : _mb_tagged_pool != nullptr ? &_mb_tagged_pool
                                               : nullptr;
  MemBuf* buffer = nullptr;
  if (pool != nullptr) {
    buffer = *pool;
    *pool = buffer->pool_next;
    buffer->pool_next = nullptr;
    buffer->spare3 = 0;
    buffer->spare1 = 0;
    buffer->limit = 0;
    buffer->length = 0;
    buffer->element_size = 1;
  } else {
    buffer = mb_new(0, 0);
    if (buffer == nullptr) return nullptr;
  }
  buffer->flags |= MB_FLAG_BORROWED;
  return buffer;
}

void mb_free(MemBuf* buffer) noexcept {
  if (buffer == nullptr) return;
  if ((buffer->flags & MB_FLAG_BORROWED) != 0) {
    _mb_return(buffer);
  } else {
    _mb_destroy(&buffer);
  }
}

void mb_free0(MemBuf** holder) noexcept {
  if (holder == nullptr) return;
  MemBuf* buffer = *holder;
  *holder = nullptr;
  mb_free(buffer);
}

void mb_return(MemBuf* buffer) noexcept { mb_free(buffer); }

void mb_free_data(MemBuf* buffer) noexcept {
  if (buffer == nullptr) return;
  if (MemBufReleaseFn release = buffer->on_release) {
    buffer->on_release = nullptr;
    release(buffer);
  }
  if (buffer->owned_block != nullptr) {
    mb_dealloc(buffer->owned_block);
    buffer->owned_block = nullptr;
  }
  if (buffer->storage != nullptr) {
    mb_dealloc(buffer->storage);
    buffer->storage = nullptr;
    buffer->length = 0;
    buffer->capacity = 0;
  }
}

void mb_check(MemBuf*) noexcept {}

// ---- Room -----------------------------------------------------------------

int mb_make_room(MemBuf* buffer, int32_t bytes) noexcept { return make_room(buffer, bytes, true); }

int mb_make_room0(MemBuf* buffer, int32_t bytes) noexcept {
  const int32_t old_capacity = buffer->capacity;
  const int result = make_room(buffer, bytes, true);
  if (result == 0 && buffer->capacity > old_capacity) {
    std::memset(buffer->storage + old_capacity, 0,
                static_cast<size_t>(buffer->capacity - old_capacity));
  }
  return result;
}

// ---- Adding ---------------------------------------------------------------

void* mb_add(MemBuf* buffer, const void* source, int32_t count) noexcept {
  if (count <= 0) return nullptr;
  const int64_t element = element_bytes(buffer);
  int64_t adding = count;
  if (buffer->limit != 0 && buffer->length + adding > buffer->limit) {
    adding = static_cast<int64_t>(buffer->limit) - buffer->length;
    if (adding <= 0) return nullptr;
  }
  if (room_for(buffer, element * (buffer->length + adding), false) != 0) {
    return nullptr;
  }
  char* destination = buffer->storage + element * buffer->length;
  const auto bytes = static_cast<size_t>(element * adding);
  if (source != nullptr) {
    std::memcpy(destination, source, bytes);
  } else {
    std::memset(destination, 0, bytes);
  }
  buffer->length += static_cast<int32_t>(adding);
  return destination;
}

void* mb_addp(MemBuf* buffer, const void* value) noexcept {
  if (buffer->element_size != static_cast<int32_t>(sizeof(void*))) return nullptr;
  return mb_add(buffer, &value, 1);
}

void* mb_insert(MemBuf* buffer, const void* source, int32_t position, int32_t count) noexcept {
  if (position < 0 || count < 0 || position > buffer->length) return nullptr;
  const int64_t element = element_bytes(buffer);
  const int64_t limit = buffer->limit;
  const int64_t length = buffer->length;
  const int64_t end_of_insert = static_cast<int64_t>(position) + count;
  if (limit != 0 && end_of_insert > limit) return nullptr;

  const bool overflows_limit = limit != 0 && length + count > limit;
  const int64_t new_length = overflows_limit ? limit : length + count;
  if (room_for(buffer, element * new_length, false) != 0) return nullptr;

  char* at = buffer->storage + element * position;
  // Elements that would pass the limit drop off the end.
  const int64_t moving = overflows_limit ? limit - end_of_insert : length - position;
  if (moving > 0 && count > 0) {
    std::memmove(at + element * count, at, static_cast<size_t>(element * moving));
  }
  if (count > 0) {
    const auto bytes = static_cast<size_t>(element * count);
    if (source != nullptr) {
      std::memcpy(at, source, bytes);
    } else {
      std::memset(at, 0, bytes);
    }
  }
  buffer->length = static_cast<int32_t>(new_length);
  return at;
}

namespace {

// The shared part of the two string appends; `counted_nul` keeps the NUL in
// `length`. On failure the buffer is as it was, dropped NUL included.
char* append_string(MemBuf* buffer, const char* text, bool counted_nul) noexcept {
  if ((buffer->element_size != 0 && buffer->element_size != 1) || text == nullptr) {
    return nullptr;
  }
  const size_t text_bytes = std::strlen(text) + 1;
  if (text_bytes > static_cast<size_t>(kMaxBytes)) return nullptr;
  const int32_t old_length = buffer->length;
  // Uncounting a trailing NUL lets successive appends build one string.
  if (old_length > 0 && buffer->storage[old_length - 1] == '\0') --buffer->length;
  auto* copy = static_cast<char*>(mb_add(buffer, text, static_cast<int32_t>(text_bytes)));
  if (copy == nullptr) {
    buffer->length = old_length;
    return nullptr;
  }
  if (!counted_nul) --buffer->length;
  return copy;
}

}  // namespace

char* mb_append_string(MemBuf* buffer, const char* text) noexcept {
  return append_string(buffer, text, true);
}

char* mb_append_string_nt(MemBuf* buffer, const char* text) noexcept {
  return append_string(buffer, text, false);
}
