// Memory handles: the CoreServices Handle calls (contract in CoreServices.h).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/CoreServices.h"

namespace {

// A Handle is the address of `master`, the first member, so the block is
// reached as *h exactly as on the Mac and the record is found from h again.
struct HandleBlock {
  char* master;
  Size size;
  std::uint8_t state;
};
static_assert(offsetof(HandleBlock, master) == 0);

HandleBlock* block_of(Handle h) noexcept { return reinterpret_cast<HandleBlock*>(h); }

Handle new_handle(Size size) noexcept {
  auto* block = static_cast<HandleBlock*>(std::malloc(sizeof(HandleBlock)));
  if (!block) return nullptr;
  // Never a zero-byte malloc: its null result would look like a failure.
  block->master = static_cast<char*>(std::calloc(size > 0 ? static_cast<std::size_t>(size) : 1, 1));
  if (!block->master) {
    std::free(block);
    return nullptr;
  }
  block->size = size;
  block->state = 0;
  return &block->master;
}

}  // namespace

Handle NewHandle(Size size) noexcept { return size < 0 ? nullptr : new_handle(size); }

OSErr PtrToHand(const void* srcPtr, Handle* dstHndl, Size size) noexcept {
  if (!dstHndl) return paramErr;
  *dstHndl = nullptr;
  if (size < 0 || (size > 0 && !srcPtr)) return paramErr;
  Handle h = new_handle(size);
  if (!h) return memFullErr;
  if (size > 0) std::memcpy(*h, srcPtr, static_cast<std::size_t>(size));
  *dstHndl = h;
  return noErr;
}

Size GetHandleSize(Handle h) noexcept { return h ? block_of(h)->size : 0; }

SInt8 HGetState(Handle h) noexcept {
  if (!h) return 0;
  return static_cast<SInt8>(block_of(h)->state);
}

void HSetState(Handle h, SInt8 flags) noexcept {
  if (h) block_of(h)->state = static_cast<std::uint8_t>(flags);
}

void HLock(Handle h) noexcept {
  if (h) block_of(h)->state |= kHandleLockedMask;
}

void HUnlock(Handle h) noexcept {
  if (h) block_of(h)->state &= static_cast<std::uint8_t>(~kHandleLockedMask);
}

void DisposeHandle(Handle h) noexcept {
  if (!h) return;
  HandleBlock* block = block_of(h);
  std::free(block->master);
  std::free(block);
}
