// The read-ahead's piece buffers (pieces.h).
#include "platform/imobiledevice/pieces.h"

#include <sys/mman.h>

namespace imd_internal {

namespace {
constexpr size_t kHugePage = size_t{2} << 20;
}  // namespace

void Unmap::operator()(char* bytes) const noexcept { (void)munmap(bytes, kFetchSize); }

Bytes new_piece() noexcept {
  void* mapped = mmap(nullptr, kFetchSize + kHugePage, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  char* const whole = static_cast<char*>(mapped);
  const uintptr_t misaligned = reinterpret_cast<uintptr_t>(whole) % kHugePage;
  char* const start = whole + (misaligned ? kHugePage - misaligned : 0);
  if (start > whole) (void)munmap(whole, static_cast<size_t>(start - whole));
  const size_t after = kHugePage - static_cast<size_t>(start - whole);
  if (after > 0) (void)munmap(start + kFetchSize, after);
  // Advice only: without it the pages come one fault at a time.
  (void)madvise(start, kFetchSize, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
  (void)madvise(start, kFetchSize, MADV_POPULATE_WRITE);
#endif
  return Bytes(start);
}

}  // namespace imd_internal
