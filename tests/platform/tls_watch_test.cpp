// The TLS watch (tls_watch.cpp): a handshake whose phone never answers is
// ended within the silence limit, and its socket is shut.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <memory>

#include "platform/imobiledevice/internal.h"

namespace {

struct Fd {
  int fd = -1;
  Fd() = default;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

struct SilenceLimit {
  std::chrono::milliseconds saved = imd_internal::tls_silence_limit;
  explicit SilenceLimit(std::chrono::milliseconds limit) {
    imd_internal::tls_silence_limit = limit;
  }
  SilenceLimit(const SilenceLimit&) = delete;
  SilenceLimit& operator=(const SilenceLimit&) = delete;
  ~SilenceLimit() { imd_internal::tls_silence_limit = saved; }
};

TEST(TlsWatch, HandshakeWithASilentPhoneEndsAsFailedAndShutsTheSocket) {
  const SilenceLimit limit(std::chrono::milliseconds(200));
  // As afclink does: OpenSSL's last word on a shut socket is no signal.
  std::signal(SIGPIPE, SIG_IGN);
  Fd host;
  Fd phone;
  int pair[2] = {-1, -1};
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  host.fd = pair[0];
  phone.fd = pair[1];
  // As the library's sockets are: OpenSSL answers "want read" at once.
  ASSERT_EQ(::fcntl(host.fd, F_SETFL, O_NONBLOCK), 0);

  const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()),
                                                                  SSL_CTX_free);
  ASSERT_TRUE(context);
  const std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context.get()), SSL_free);
  ASSERT_TRUE(ssl);
  ASSERT_EQ(SSL_set_fd(ssl.get(), host.fd), 1);
  SSL_set_connect_state(ssl.get());

  const auto started = std::chrono::steady_clock::now();
  EXPECT_NE(SSL_do_handshake(ssl.get()), 1);
  // Far below the limit a phone gets in use.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));

  // The phone finds the host's hello, then the end of the stream.
  char bytes[4096];
  ssize_t got = 0;
  while ((got = ::recv(phone.fd, bytes, sizeof bytes, MSG_DONTWAIT)) > 0) {
  }
  EXPECT_EQ(got, 0) << "the socket is still open: errno " << errno;
}

}  // namespace

// Later library generations read through BIO callbacks of their own, so
// OpenSSL has no socket to wait on: each call hands "want read" back and
// the library calls again, for ever unless the limit spans those calls.
TEST(TlsWatch, HandshakeReadThroughCallbacksEndsAsFailedAcrossTheLibrarysCalls) {
  const SilenceLimit limit(std::chrono::milliseconds(200));
  const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()),
                                                                  SSL_CTX_free);
  ASSERT_TRUE(context);
  const std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context.get()), SSL_free);
  ASSERT_TRUE(ssl);
  // Memory BIOs: reads of nothing say "try again", as a silent phone's do.
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  ASSERT_TRUE(in && out);
  BIO_set_mem_eof_return(in, -1);
  SSL_set_bio(ssl.get(), in, out);
  SSL_set_connect_state(ssl.get());

  const auto started = std::chrono::steady_clock::now();
  int error = SSL_ERROR_WANT_READ;
  while (error == SSL_ERROR_WANT_READ &&
         std::chrono::steady_clock::now() - started < std::chrono::seconds(10)) {
    error = SSL_get_error(ssl.get(), SSL_do_handshake(ssl.get()));
    ::usleep(10000);  // the library's pause between its tries, shortened
  }
  EXPECT_EQ(error, SSL_ERROR_SSL);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}
