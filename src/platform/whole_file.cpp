#include "platform/whole_file.h"

#include <cstdio>

#include "platform/owners.h"

std::optional<std::vector<std::uint8_t>> read_whole_file(const std::string& path,
                                                         std::size_t max_bytes) noexcept {
  try {
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[8192];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
      if (bytes.size() + got > max_bytes) return std::nullopt;
      bytes.insert(bytes.end(), chunk, chunk + got);
    }
    // A folder opens on Linux but fails to read: that is "unreadable".
    if (std::ferror(file.get())) return std::nullopt;
    return bytes;
  } catch (...) {
    return std::nullopt;
  }
}
