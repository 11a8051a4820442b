// File: platform/whole_file.h
//
// Reads a small local file into memory in one call. The library locator's
// preference files and the alias wrapper's archives are read this way.
//
// Example:
//   std::optional<std::vector<std::uint8_t>> bytes = read_whole_file(path);
//   if (!bytes) return nullptr;  // missing, unreadable, a folder, or too large
//   parse(bytes->data(), bytes->size());
//
// Invariants: never more than `max_bytes` are held at once; a file that
// holds more is refused as a whole, never cut short. Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Preference files and alias archives are kilobytes, and libplist takes a
// 32-bit length. 64 MiB is far above any real one and still cheap to hold,
// so a larger file is not one of ours and is refused before it is read whole.
inline constexpr std::size_t kWholeFileMaxBytes = std::size_t{64} << 20;

// Every byte of the file at `path`: its contents, possibly empty; nullopt
// when it cannot be opened or read (a folder opens on Linux but fails to
// read), when it holds more than `max_bytes`, or when memory runs out.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> read_whole_file(
    const std::string& path, std::size_t max_bytes = kWholeFileMaxBytes) noexcept;
