// File: localfile/Buffer.h
//
// A working buffer of the copies (the local file's block, the compressed
// copy's input piece), allocated through the buffer module's one hook
// (membuf/alloc.h) so that tests can make it fail.
//
// Example:
//   Buffer in = new_buffer(8192);
//   if (!in) return -1;  // out of memory
//
// Invariants: a Buffer is null or owns one block from mb_malloc, freed
// through mb_dealloc when it goes.
#pragma once

#include <cstddef>
#include <memory>

#include "membuf/alloc.h"

struct BufferFree {
  void operator()(unsigned char* bytes) const noexcept { membuf_internal::mb_dealloc(bytes); }
};
using Buffer = std::unique_ptr<unsigned char[], BufferFree>;

// `size` bytes, uninitialised; null when there is no memory.
inline Buffer new_buffer(size_t size) noexcept {
  return Buffer(static_cast<unsigned char*>(membuf_internal::mb_malloc(size)));
}
