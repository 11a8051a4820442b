// Which TLS version a device handshake negotiated. The library keeps its
// TLS objects private, so the one place that sees them is the handshake
// call itself: afclink's executable exports its own SSL_do_handshake, which
// the library's reference binds to, calls OpenSSL's and notes the version
// of every handshake that succeeds, per thread (each handshake and its
// reader run on the device thread). Nothing else of the call changes.
#include <dlfcn.h>
#include <openssl/ssl.h>

#include <atomic>

#include "platform/imobiledevice/internal.h"

namespace {

using HandshakeFn = int (*)(SSL*);

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

}  // namespace

extern "C" __attribute__((visibility("default"))) int SSL_do_handshake(SSL* ssl) {
  HandshakeFn real = openssl_handshake();
  if (!real) return -1;  // cannot happen while libssl is loaded
  const int done = real(ssl);
  // SSL_get_version returns a constant string that lives as long as libssl.
  if (done == 1) last_handshake_version = SSL_get_version(ssl);
  return done;
}

namespace imd_internal {

const char* take_handshake_version() noexcept {
  const char* version = last_handshake_version;
  last_handshake_version = nullptr;
  return version;
}

}  // namespace imd_internal
