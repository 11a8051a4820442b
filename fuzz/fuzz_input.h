// Reads a fuzz input from the front, a field at a time, so seed files can
// be written by hand or by fuzz/make_corpus.py in the same order the
// harness reads them. Fields past the end read as zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) noexcept : data_(data), size_(size) {}

  [[nodiscard]] bool empty() const noexcept { return at_ >= size_; }
  [[nodiscard]] size_t remaining() const noexcept { return empty() ? 0 : size_ - at_; }

  uint8_t u8() noexcept { return empty() ? 0 : data_[at_++]; }
  // Big-endian, as the seeds are written.
  uint16_t u16() noexcept {
    const uint16_t high = u8();
    return static_cast<uint16_t>(high << 8 | u8());
  }
  uint32_t u32() noexcept {
    const uint32_t high = u16();
    return high << 16 | u16();
  }
  // Up to `count` bytes, fewer at the end of the input.
  std::string_view bytes(size_t count) noexcept {
    const size_t n = count < remaining() ? count : remaining();
    std::string_view out(reinterpret_cast<const char*>(data_) + at_, n);
    at_ += n;
    return out;
  }
  std::string_view rest() noexcept { return bytes(remaining()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};
