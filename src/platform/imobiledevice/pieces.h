// File: platform/imobiledevice/pieces.h
//
// The read-ahead's piece buffers: kFetchSize bytes each, mapped on huge-page
// boundaries with their pages put in place at once, because touching 4 KiB
// pages one fault at a time costs more than copying the bytes through them.
//
//   Bytes piece = new_piece();   // null when memory runs out
//   ...                          // unmapped when the owner goes
#pragma once

#include <cstdint>
#include <memory>

namespace imd_internal {

// The largest request the read-ahead makes (replies that large are known to
// work on phones), and so the size of every piece buffer.
constexpr uint32_t kFetchSize = 4u << 20;

struct Unmap {
  void operator()(char* bytes) const noexcept;
};
// One piece buffer of kFetchSize bytes, unmapped by its owner.
using Bytes = std::unique_ptr<char[], Unmap>;

// A new piece buffer, or null when memory runs out.
[[nodiscard]] Bytes new_piece() noexcept;

}  // namespace imd_internal
