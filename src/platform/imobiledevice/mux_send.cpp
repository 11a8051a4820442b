// The device library's sends on a usbmuxd connection, seen from the one
// call they all go through. afclink's executable exports its own
// usbmuxd_send, which the device library's reference binds to; it calls
// libusbmuxd's and hands back its result with one fault mended.
//
// Some libusbmuxd generations report a failed send as a positive errno
// (EPIPE once the phone has hung up) where the contract is a negative one.
// The device library takes a positive result for a send of no bytes and
// sends again at once, for ever: a phone that drops a connection while
// the library still has something to say (the StopSession after a cut
// handshake) would hold the device thread in a busy loop. A positive
// result is never a success, so turning it negative is right for every
// generation and changes nothing where the library already keeps the
// contract.
#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace {

using SendFn = int (*)(int, const char*, uint32_t, uint32_t*);

SendFn libusbmuxd_send() noexcept {
  static std::atomic<SendFn> found{nullptr};
  SendFn fn = found.load(std::memory_order_acquire);
  if (!fn) {
    fn = reinterpret_cast<SendFn>(dlsym(RTLD_NEXT, "usbmuxd_send"));
    found.store(fn, std::memory_order_release);
  }
  return fn;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int usbmuxd_send(int socket, const char* data,
                                                                   uint32_t length,
                                                                   uint32_t* sent) {
  SendFn real = libusbmuxd_send();
  if (!real) return -ENOSYS;  // cannot happen while libusbmuxd is loaded
  const int result = real(socket, data, length, sent);
  if (result > 0) {
    if (sent) *sent = 0;
    return -result;
  }
  return result;
}
