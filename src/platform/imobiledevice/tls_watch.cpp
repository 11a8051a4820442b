// The device library's TLS handshakes, seen from the one call they all go
// through. afclink's executable exports its own SSL_do_handshake, which the
// library's reference binds to; it calls OpenSSL's and
//   - notes the TLS version of every handshake that succeeds, per thread
//     (each handshake and its reader run on the device thread), for
//     statusDebug: the library keeps its TLS objects private;
//   - waits for the phone's answer on the socket instead of handing
//     "want read" back at once. libimobiledevice 1.3.0 sleeps 100 ms each
//     time it gets "want read" (its sockets are non-blocking), which made
//     every connection wait 0.2 to 0.4 s for answers that took a
//     millisecond; and it would retry for ever, so a phone that stops
//     answering mid-handshake would hold the device thread for good. Here
//     the answer is taken as soon as it arrives, and a handshake whose
//     phone stays silent for tls_silence_limit is ended as failed.
// The contract of the call is OpenSSL's own: it returns 1 once the
// handshake is done, or what OpenSSL last returned; "want read" comes back
// only if the phone has said nothing for tls_silence_limit, and then the socket
// has been shut, so the caller's next try fails at once.
#include <dlfcn.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>

#include "platform/imobiledevice/internal.h"

namespace {

using HandshakeFn = int (*)(SSL*);
using Clock = std::chrono::steady_clock;

thread_local const char* last_handshake_version = nullptr;

HandshakeFn openssl_handshake() noexcept {
  static std::atomic<HandshakeFn> found{nullptr};
  HandshakeFn fn = found.load(std::memory_order_acquire);
  if (!fn) {
    fn = reinterpret_cast<HandshakeFn>(dlsym(RTLD_NEXT, "SSL_do_handshake"));
    found.store(fn, std::memory_order_release);
  }
  return fn;
}

// Waits until `fd` has something to read (or has failed), at most until
// `deadline`. False when the deadline passed first.
bool wait_readable(int fd, Clock::time_point deadline) noexcept {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd watched{fd, POLLIN, 0};
    const int ready = ::poll(&watched, 1, static_cast<int>(left.count()));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return true;  // let OpenSSL meet the error
  }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int SSL_do_handshake(SSL* ssl) {
  HandshakeFn real = openssl_handshake();
  if (!real) return -1;  // cannot happen while libssl is loaded
  const auto deadline = Clock::now() + imd_internal::tls_silence_limit;
  for (;;) {
    const int done = real(ssl);
    if (done == 1) {
      // A constant string that lives as long as libssl.
      last_handshake_version = SSL_get_version(ssl);
      return done;
    }
    if (SSL_get_error(ssl, done) != SSL_ERROR_WANT_READ) return done;
    const int fd = SSL_get_rfd(ssl);
    if (fd < 0) return done;
    if (!wait_readable(fd, deadline)) {
      // The phone has gone silent: shut the socket, so that this try and
      // the caller's next one fail instead of waiting for ever.
      (void)::shutdown(fd, SHUT_RDWR);
      return real(ssl);
    }
  }
}

namespace imd_internal {

std::chrono::milliseconds tls_silence_limit{20000};

const char* take_handshake_version() noexcept {
  const char* version = last_handshake_version;
  last_handshake_version = nullptr;
  return version;
}

}  // namespace imd_internal
