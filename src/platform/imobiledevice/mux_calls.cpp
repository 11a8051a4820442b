// The device library's calls into libusbmuxd that afclink watches.
// afclink's executable exports its own usbmuxd_send, usbmuxd_recv and
// usbmuxd_recv_timeout, which the device library's references bind to;
// each calls libusbmuxd's.
//
// usbmuxd_send mends one fault. Some libusbmuxd generations report a
// failed send as a positive errno (EPIPE once the phone has hung up) where
// the contract is a negative one. The device library takes a positive
// result for a send of no bytes and sends again at once, for ever: a phone
// that drops a connection while the library still has something to say
// (the StopSession after a cut handshake) would hold the device thread in
// a busy loop. A positive result is never a success, so turning it
// negative is right for every generation and changes nothing where the
// library already keeps the contract.
//
// The receives note, per thread, the socket they read: where the library
// runs TLS through read callbacks of its own, OpenSSL cannot name the
// socket, and the handshake watch (tls_watch.cpp) needs it to shut a
// silent phone's connection.
#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "platform/imobiledevice/internal.h"

namespace {

using SendFn = int (*)(int, const char*, uint32_t, uint32_t*);
using RecvFn = int (*)(int, char*, uint32_t, uint32_t*);
using RecvTimeoutFn = int (*)(int, char*, uint32_t, uint32_t*, unsigned int);

// libusbmuxd's own definition of `name`, looked up once.
template <typename Fn>
Fn next_definition(std::atomic<Fn>& found, const char* name) noexcept {
  Fn fn = found.load(std::memory_order_acquire);
  if (!fn) {
    fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
    found.store(fn, std::memory_order_release);
  }
  return fn;
}

std::atomic<SendFn> libusbmuxd_send{nullptr};
std::atomic<RecvFn> libusbmuxd_recv{nullptr};
std::atomic<RecvTimeoutFn> libusbmuxd_recv_timeout{nullptr};

thread_local int last_received_socket = -1;

}  // namespace

namespace imd_internal {

void forget_received_socket() noexcept { last_received_socket = -1; }
int received_socket() noexcept { return last_received_socket; }

}  // namespace imd_internal

extern "C" __attribute__((visibility("default"))) int usbmuxd_send(int socket, const char* data,
                                                                   uint32_t length,
                                                                   uint32_t* sent) {
  SendFn real = next_definition(libusbmuxd_send, "usbmuxd_send");
  if (!real) return -ENOSYS;  // cannot happen while libusbmuxd is loaded
  const int result = real(socket, data, length, sent);
  if (result > 0) {
    if (sent) *sent = 0;
    return -result;
  }
  return result;
}

extern "C" __attribute__((visibility("default"))) int usbmuxd_recv(int socket, char* data,
                                                                   uint32_t length,
                                                                   uint32_t* received) {
  RecvFn real = next_definition(libusbmuxd_recv, "usbmuxd_recv");
  if (!real) return -ENOSYS;
  last_received_socket = socket;
  return real(socket, data, length, received);
}

extern "C" __attribute__((visibility("default"))) int usbmuxd_recv_timeout(int socket, char* data,
                                                                           uint32_t length,
                                                                           uint32_t* received,
                                                                           unsigned int timeout) {
  RecvTimeoutFn real = next_definition(libusbmuxd_recv_timeout, "usbmuxd_recv_timeout");
  if (!real) return -ENOSYS;
  last_received_socket = socket;
  return real(socket, data, length, received, timeout);
}
