// The device library's TLS handshakes, seen from the one call they all go
// through. afclink's executable exports its own SSL_do_handshake, which the
// library's reference binds to; it calls OpenSSL's and
//   - notes the TLS version of every handshake that succeeds, per thread
//     (each handshake and its reader run on the device thread), for
//     statusDebug: the library keeps its TLS objects private;
//   - ends a handshake whose phone has said nothing for tls_silence_limit as
//     failed. The library tries again each time OpenSSL says "want read",
//     for ever, so a phone that stops answering mid-handshake would hold
//     the device thread for good;
//   - where the library hands OpenSSL the socket itself, waits for the
//     phone's answer on it instead of handing "want read" back at once:
//     libimobiledevice 1.3.0 sleeps 100 ms each time it gets "want read",
//     which made every connection wait 0.2 to 0.4 s for answers that took
//     a millisecond. Later generations read through callbacks of their own
//     that block for the answer, and OpenSSL has no socket to show; there
//     the library calls again after each "want read", and the limit spans
//     those calls.
// The contract of the call is OpenSSL's own: it returns 1 once the
// handshake is done, or what OpenSSL last returned. Once the limit has
// passed it returns a failure with an error queued, so SSL_get_error says
// SSL_ERROR_SSL and the library stops trying; a socket it could see has
// been shut as well.
#include <dlfcn.h>
#include <openssl/err.h>
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

// The handshake the calling thread is in, across the library's calls for
// it: a call for the same object soon after the last one goes on with its
// deadline, anything else starts a new one.
struct WatchedHandshake {
  const SSL* ssl = nullptr;
  Clock::time_point deadline;
  Clock::time_point last_return;
};
thread_local WatchedHandshake watched;
constexpr auto kSameHandshake = std::chrono::seconds(1);

Clock::time_point handshake_deadline(const SSL* ssl) noexcept {
  const auto now = Clock::now();
  if (watched.ssl != ssl || now - watched.last_return > kSameHandshake) {
    watched.ssl = ssl;
    watched.deadline = now + imd_internal::tls_silence_limit;
  }
  return watched.deadline;
}

void end_connection(int fd) noexcept {
  if (fd >= 0) (void)::shutdown(fd, SHUT_RDWR);
}

// The phone has gone silent: shut its socket (OpenSSL's own, or the one the
// library's read callbacks received on), so that this try and everything
// the library still says on that connection (its StopSession, whose answer
// it would wait for) fail at once, and leave an error queued so the
// library takes the handshake for failed.
int give_up(SSL* ssl, int fd, bool openssl_reads_it, HandshakeFn real) noexcept {
  int last = -1;
  end_connection(fd);
  if (openssl_reads_it) {
    last = real(ssl);
    if (last == 1 || SSL_get_error(ssl, last) != SSL_ERROR_WANT_READ) return last;
  }
  ERR_raise(ERR_LIB_SSL, SSL_R_READ_TIMEOUT_EXPIRED);
  return last;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int SSL_do_handshake(SSL* ssl) {
  HandshakeFn real = openssl_handshake();
  if (!real) return -1;  // cannot happen while libssl is loaded
  const auto deadline = handshake_deadline(ssl);
  for (;;) {
    imd_internal::forget_received_socket();
    const int done = real(ssl);
    if (done == 1) {
      // A constant string that lives as long as libssl.
      last_handshake_version = SSL_get_version(ssl);
      watched.ssl = nullptr;
      return done;
    }
    const int fd = SSL_get_rfd(ssl);
    if (SSL_get_error(ssl, done) != SSL_ERROR_WANT_READ) {
      // Nothing more can be said on a connection whose handshake failed, yet
      // the library would still send StopSession on it and wait half a
      // minute for an answer that a phone gone silent never gives.
      end_connection(fd >= 0 ? fd : imd_internal::received_socket());
      watched.ssl = nullptr;
      return done;
    }
    if (Clock::now() >= deadline || (fd >= 0 && !wait_readable(fd, deadline))) {
      watched.ssl = nullptr;
      return give_up(ssl, fd >= 0 ? fd : imd_internal::received_socket(), fd >= 0, real);
    }
    if (fd < 0) {
      // The library waits in its own reads and calls again.
      watched.last_return = Clock::now();
      return done;
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
