// File: platform/owners.h
//
// Deleters for the C resources the platform stand-ins, the production device
// layer and the alias wrapper hold, so each is defined once:
//   - PlistPtr owns a libplist node tree (plist_free);
//   - MallocPtr<T> owns a block from malloc, including the strings and
//     buffers C libraries hand out for the caller to free (std::free);
//   - FilePtr owns an open stdio stream (std::fclose).
//
// Example:
//   FilePtr file(std::fopen(path.c_str(), "rb"));
//   if (!file) return std::nullopt;  // nothing to close
//   ...                              // every later return closes it
//
// Invariants: each deleter accepts only what its owner was given by the
// matching allocator, and is never called with null (std::unique_ptr skips
// it). A FilePtr whose close status matters is closed by hand through
// release(). This header depends on the C and C++ standard libraries and
// libplist only, so the device layer can use it without the core.
#pragma once

#include <plist/plist.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

struct PlistFree {
  void operator()(plist_t node) const noexcept { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct MallocFree {
  void operator()(void* p) const noexcept { std::free(p); }
};
template <typename T>
using MallocPtr = std::unique_ptr<T, MallocFree>;

struct FileCloser {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;
