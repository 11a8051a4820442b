// libplist's calls that read a property list from memory and free the bytes
// it writes, in one form for every libplist generation.
//
// Later generations give plist_from_memory a fourth argument (the format it
// found) and free written bytes with plist_mem_free, where earlier ones had
// plist_to_bin_free and plist_to_xml_free. Which form this build has is
// found by the configure-time checks beside the platform target, never
// by a version number, so combinations no distribution was tried with
// build too.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>

// Parses `size` bytes holding a binary or XML property list; null when
// they hold none. The caller owns the result (plist_free).
inline plist_t plist_parse_memory(const char* bytes, std::uint32_t size) noexcept {
  plist_t root = nullptr;
#if AFCLINK_PLIST_FROM_MEMORY_HAS_FORMAT
  (void)plist_from_memory(bytes, size, &root, nullptr);
#else
  plist_from_memory(bytes, size, &root);
#endif
  return root;
}

// Frees bytes that plist_to_bin or plist_to_xml wrote.
inline void plist_free_written(char* bytes) noexcept {
#if AFCLINK_PLIST_HAS_MEM_FREE
  plist_mem_free(bytes);
#else
  plist_to_bin_free(bytes);
#endif
}
