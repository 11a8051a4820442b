// File: membuf/printf.cpp
//
// Formatted append into character buffers, and string tables.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "membuf/MemBuf.h"

namespace {

constexpr int64_t kMaxBytes = std::numeric_limits<int32_t>::max();

bool holds_characters(const MemBuf* buffer) noexcept {
  return buffer->element_size == 0 || buffer->element_size == 1;
}

int room_for(MemBuf* buffer, int64_t bytes) noexcept {
  if (bytes > kMaxBytes) return MB_ENOMEM;
  return membuf_internal::make_room(buffer, static_cast<int32_t>(bytes), false);
}

// Takes back a separator already copied in: the buffer ends as it did, with
// a NUL behind its text again.
void restore_length(MemBuf* buffer, int32_t length) noexcept {
  buffer->length = length;
  if (buffer->capacity > length) buffer->storage[length] = '\0';
}

bool ends_in_white_space(const MemBuf* buffer) noexcept {
  if (buffer->length <= 0) return false;
  const char last = buffer->storage[buffer->length - 1];
  return last == '\n' || last == '\r' || last == ' ' || last == '\t';
}

}  // namespace

namespace membuf_internal {

char* _mb_vprintf(MemBuf* buffer, const char* separator, const char* format,
                  va_list args) noexcept {
  if (buffer->element_size > 1) return nullptr;
  const int32_t old_length = buffer->length;
  const bool use_separator = old_length > 0 && separator != nullptr;
  const int64_t separator_bytes = use_separator ? static_cast<int64_t>(std::strlen(separator)) : 0;

  // First guess: the format's own length usually covers its text.
  if (room_for(buffer,
               old_length + static_cast<int64_t>(std::strlen(format)) + separator_bytes + 1) != 0) {
    return nullptr;
  }
  if (use_separator) {
    std::memcpy(buffer->storage + old_length, separator, static_cast<size_t>(separator_bytes));
    buffer->length += static_cast<int32_t>(separator_bytes);
  }

  // The arguments are copied before the first pass so a second one can
  // read them again.
  va_list again;
  va_copy(again, args);
  char* write = buffer->storage + buffer->length;
  const int64_t room = buffer->capacity - buffer->length;
  int written = std::vsnprintf(write, static_cast<size_t>(room), format, args);
  if (written >= 0 && written + int64_t{1} > room) {
    if (room_for(buffer, buffer->length + int64_t{written} + 1) != 0) {
      written = -1;
    } else {
      write = buffer->storage + buffer->length;
      const int second = std::vsnprintf(write, static_cast<size_t>(written) + 1, format, again);
      if (second != written) written = -1;
    }
  }
  va_end(again);

  if (written < 0) {
    // A formatting error or no room: nothing is added, not even the separator.
    restore_length(buffer, old_length);
    return nullptr;
  }
  buffer->length += written;
  return write;
}

}  // namespace membuf_internal

// Not at global scope, where a leading underscore is reserved.
namespace {
using membuf_internal::_mb_vprintf;
}  // namespace

// ---- Formatted append -----------------------------------------------------

char* mb_vprintf(MemBuf* buffer, const char* format, va_list args) noexcept {
  return _mb_vprintf(buffer, nullptr, format, args);
}

char* mb_vprintf_sep(MemBuf* buffer, const char* separator, const char* format,
                     va_list args) noexcept {
  return _mb_vprintf(buffer, separator, format, args);
}

char* mb_vprintf_space(MemBuf* buffer, const char* format, va_list args) noexcept {
  return _mb_vprintf(buffer, " ", format, args);
}

char* mb_printf(MemBuf* buffer, const char* format, ...) noexcept {
  va_list args;
  va_start(args, format);
  char* text = _mb_vprintf(buffer, nullptr, format, args);
  va_end(args);
  return text;
}

char* mb_printf0(MemBuf* buffer, const char* format, ...) noexcept {
  // A buffer that cannot take text keeps its content.
  if (!holds_characters(buffer)) return nullptr;
  buffer->length = 0;
  va_list args;
  va_start(args, format);
  char* text = _mb_vprintf(buffer, nullptr, format, args);
  va_end(args);
  return text;
}

char* mb_printf_sep(MemBuf* buffer, const char* separator, const char* format, ...) noexcept {
  va_list args;
  va_start(args, format);
  char* text = _mb_vprintf(buffer, separator, format, args);
  va_end(args);
  return text;
}

char* mb_printf_space(MemBuf* buffer, const char* format, ...) noexcept {
  if (!holds_characters(buffer)) return nullptr;
  const char* separator = ends_in_white_space(buffer) ? nullptr : " ";
  va_list args;
  va_start(args, format);
  char* text = _mb_vprintf(buffer, separator, format, args);
  va_end(args);
  return text;
}

MemBuf* mbb_printf(const char* format, ...) noexcept {
  MemBufPtr buffer(mb_borrow());
  if (!buffer) return nullptr;
  va_list args;
  va_start(args, format);
  char* text = _mb_vprintf(buffer.get(), nullptr, format, args);
  va_end(args);
  return text != nullptr ? buffer.release() : nullptr;
}

MemBuf* mbn_printf(const char* format, ...) noexcept {
  MemBufPtr buffer(mb_new(0, 0));
  if (!buffer) return nullptr;
  va_list args;
  va_start(args, format);
  char* text = _mb_vprintf(buffer.get(), nullptr, format, args);
  va_end(args);
  return text != nullptr ? buffer.release() : nullptr;
}

char* mb_insert_vprintf(MemBuf* buffer, int32_t position, const char* format,
                        va_list args) noexcept {
  if (!holds_characters(buffer)) return nullptr;
  MemBufPtr scratch(mb_borrow());
  if (!scratch || _mb_vprintf(scratch.get(), nullptr, format, args) == nullptr) {
    return nullptr;
  }
  return static_cast<char*>(mb_insert(buffer, scratch->storage, position, scratch->length));
}

char* mb_insert_printf(MemBuf* buffer, int32_t position, const char* format, ...) noexcept {
  va_list args;
  va_start(args, format);
  char* text = mb_insert_vprintf(buffer, position, format, args);
  va_end(args);
  return text;
}

// ---- String tables --------------------------------------------------------

int mb_add_string_table(MemBuf* buffer, int pointers) noexcept {
  if (!holds_characters(buffer)) return -1;
  constexpr int32_t entry_bytes = static_cast<int32_t>(sizeof(uintptr_t));
  const int32_t string_bytes = buffer->length;
  int32_t count = 0;
  for (int32_t i = 0; i < string_bytes; ++i) {
    if (buffer->storage[i] == '\0') ++count;
  }
  if (count == 0) {
    buffer->element_size = entry_bytes;
    buffer->length = 0;
    return 0;
  }
  const int64_t table_bytes = int64_t{count} * entry_bytes;
  if (table_bytes + string_bytes > kMaxBytes) return MB_ENOMEM;

  // One insert while the buffer still counts bytes moves the strings up
  // behind the zeroed table.
  const int32_t old_element_size = buffer->element_size;
  buffer->element_size = 1;
  if (mb_insert(buffer, nullptr, 0, static_cast<int32_t>(table_bytes)) == nullptr) {
    buffer->element_size = old_element_size;
    return MB_ENOMEM;
  }
  buffer->element_size = entry_bytes;
  // A limit may have cut the strings; entries go only to those still there.
  const int64_t kept = buffer->length - table_bytes;
  const char* strings = buffer->storage + table_bytes;
  auto* table = reinterpret_cast<uintptr_t*>(buffer->storage);
  int32_t entry = 0;
  int64_t start = 0;
  for (int64_t i = 0; i < kept; ++i) {
    if (strings[i] != '\0') continue;
    table[entry++] = pointers != 0 ? reinterpret_cast<uintptr_t>(strings + start)
                                   : static_cast<uintptr_t>(table_bytes + start);
    start = i + 1;
  }
  buffer->length = count;
  return 0;
}

int mb_add_string_offsets(MemBuf* buffer) noexcept { return mb_add_string_table(buffer, 0); }

int mb_add_string_pointers(MemBuf* buffer) noexcept { return mb_add_string_table(buffer, 1); }

int mb_index_strings(MemBuf* buffer) noexcept { return mb_add_string_pointers(buffer); }
