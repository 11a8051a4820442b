"""The device's side of TLS on a usbmuxd pipe, and the plain-text pipe it replaces.

A handheld switches a lockdownd connection to TLS right after answering
StartSession, and back to plain text after StopSession on the same socket; a
service port may be TLS from its first byte. To switch back without losing the
plain text that follows the last TLS record, the socket is read one TLS record at
a time (5-byte header, then the body) into an SSLObject over memory BIOs: nothing
past a record is ever taken from the socket.

The device presents the DeviceCertificate the host made for it at pairing (over
the device's own key) and insists on a client certificate that is exactly that
host's RootCertificate or HostCertificate. libimobiledevice 1.3.0 signs with
SHA-1 and offers TLS 1.0 upwards, hence security level 0; a phone answers with
TLS 1.2 at most.
"""

import os
import socket
import ssl
import threading
import warnings

from wire import PeerGone, recv_exact, send_all

FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures")


# A TLS record: alert (21), version 1.0, two bytes: fatal (2), handshake_failure (40).
HANDSHAKE_FAILURE_ALERT = bytes([21, 3, 1, 0, 2, 2, 40])
# How long a refused host has to say its last word.
HANG_UP_WAIT = 2.0


def _fixture(name):
    with open(os.path.join(FIXTURES, name), "rb") as f:
        return f.read()


DEVICE_KEY_PEM = _fixture("device_key.pem")
DEVICE_PUBLIC_KEY_PEM = _fixture("device_public_key.pem")  # PKCS#1, as GetValue gives it
# One host identity made beforehand, for records saved without a real pairing.
FIXTURE_HOST = {
    "RootCertificate": _fixture("root_cert.pem"),
    "RootPrivateKey": _fixture("root_key.pem"),
    "HostCertificate": _fixture("host_cert.pem"),
    "HostPrivateKey": _fixture("host_key.pem"),
    "DeviceCertificate": _fixture("device_cert.pem"),
}
CERT_KEYS = ("DeviceCertificate", "HostCertificate", "RootCertificate")

CIPHERS = "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-SHA:@SECLEVEL=0"
_NO_CHECK_TIME = 0x200000  # X509_V_FLAG_NO_CHECK_TIME: hosts are known by their exact certificates
MAX_RECORD = (1 << 14) + 2048  # the largest TLS 1.2 ciphertext record
CONTENT_ALERT = 21


class TlsRefused(Exception):
    """The handshake failed, or the host's certificate is not one the device trusts."""


def cert_der(pem):
    """DER of a PEM certificate (bytes or str); ValueError when it is not one."""
    if isinstance(pem, bytes):
        pem = pem.decode("ascii")
    return ssl.PEM_cert_to_DER_cert(pem.strip() + "\n")


_contexts = {}
_contexts_lock = threading.Lock()


def server_context(device_cert, trusted=(), tls12_only=False):
    """A server context presenting device_cert with the device key.

    trusted: the PEM certificates a client may present; empty means no client
    certificate is asked for (a device that trusts any host). Contexts are cached,
    so each distinct set of certificates is loaded once. ssl.SSLError (or
    ValueError) when device_cert does not carry the device's key.
    """
    key = (bytes(device_cert), tuple(bytes(t) for t in trusted), tls12_only)
    with _contexts_lock:
        ctx = _contexts.get(key)
    if ctx is not None:
        return ctx
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # TLS 1.0 is what old hosts speak
        ctx.minimum_version = ssl.TLSVersion.TLSv1_2 if tls12_only else ssl.TLSVersion.TLSv1
    ctx.maximum_version = ssl.TLSVersion.TLSv1_2
    ctx.set_ciphers(CIPHERS)
    # load_cert_chain only reads files: hand it an anonymous in-memory one.
    fd = os.memfd_create("fakedevice-cert", os.MFD_CLOEXEC)
    try:
        os.write(fd, bytes(device_cert).strip() + b"\n" + DEVICE_KEY_PEM)
        ctx.load_cert_chain("/proc/self/fd/%d" % fd)
    finally:
        os.close(fd)
    if trusted:
        ctx.verify_mode = ssl.CERT_REQUIRED
        # The host certificate's issuer and subject are both empty, so OpenSSL takes
        # it for self-signed: trust each accepted certificate as it is.
        ctx.verify_flags |= ssl.VERIFY_X509_PARTIAL_CHAIN | _NO_CHECK_TIME
        ctx.load_verify_locations(cadata="".join(bytes(t).decode("ascii").strip() + "\n"
                                                 for t in trusted))
    with _contexts_lock:
        _contexts[key] = ctx
    return ctx


def recv_record(sock):
    """One whole TLS record from the socket and not a byte more, so that plain text
    after the last record stays there; PeerGone at the end of the stream or when the
    bytes are no TLS record."""
    header = recv_exact(sock, 5)
    length = int.from_bytes(header[3:5], "big")
    if not 20 <= header[0] <= 24 or length > MAX_RECORD:
        raise PeerGone("not a TLS record")
    return header + recv_exact(sock, length)


class PlainStream:
    """The raw pipe: what lockdownd and AFC read and write when TLS is off."""

    tls = False

    def __init__(self, sock):
        self.sock = sock

    def recv_exact(self, n):
        return recv_exact(self.sock, n)

    def send_all(self, data):
        send_all(self.sock, data)


class TlsStream:
    """TLS on a raw pipe, one record read from the socket at a time: the device's
    side, or (server_side False) a test host's."""

    tls = True

    def __init__(self, sock, context, server_side=True):
        self.sock = sock
        self.incoming = ssl.MemoryBIO()
        self.outgoing = ssl.MemoryBIO()
        self.obj = context.wrap_bio(self.incoming, self.outgoing, server_side=server_side)
        self.buffer = bytearray()

    def run_handshake(self):
        """The handshake's records back and forth; PeerGone if the socket ends first,
        ssl.SSLError if TLS fails."""
        while True:
            try:
                self.obj.do_handshake()
                break
            except ssl.SSLWantReadError:
                self._flush()
                self._feed_record()
        self._flush()

    def handshake(self, accepted=()):
        """Run the handshake; TlsRefused unless the host's certificate is one of accepted
        (PEM certificates; empty: any certificate, or none)."""
        try:
            self.run_handshake()
        except ssl.SSLError as e:
            raise TlsRefused(str(e)) from e
        if accepted:
            peer = self.obj.getpeercert(binary_form=True)
            if peer is None or peer not in {cert_der(c) for c in accepted}:
                raise TlsRefused("the host's certificate is not one the device trusts")
        return self

    def hang_up(self):
        """Take the host's first handshake record, refuse it with a fatal alert, and
        close once the host has had its last word.

        The host's handshake fails on the alert. What it sends next (the plain-text
        StopSession of a session it gives up) is taken before the connection closes,
        so the host learns of the close on its next read, not by a send that fails:
        some libusbmuxd generations report that failure as a count of no bytes, and
        the library then sends again for ever."""
        try:
            self._feed_record()
            send_all(self.sock, HANDSHAKE_FAILURE_ALERT)
            # One whole lockdown message: its length and its body come in two
            # sends, and closing between them would fail the second.
            self.sock.settimeout(HANG_UP_WAIT)
            length = int.from_bytes(recv_exact(self.sock, 4), "big")
            if length <= MAX_RECORD:
                recv_exact(self.sock, length)
        except (PeerGone, OSError):
            pass
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def stay_silent(self):
        """Take what the host sends and answer nothing, until the host closes."""
        try:
            while self.sock.recv(1 << 16):
                pass
        except OSError:
            pass

    @property
    def version(self):
        return self.obj.version()

    def _flush(self):
        data = self.outgoing.read()
        if data:
            send_all(self.sock, data)

    def flush_quietly(self):
        """Send what TLS still has to say (after a refusal: the alert telling why)."""
        try:
            self._flush()
        except PeerGone:
            pass

    def _feed_record(self):
        self.incoming.write(recv_record(self.sock))

    def recv_exact(self, n):
        buf = self.buffer
        while len(buf) < n:
            try:
                data = self.obj.read(max(n - len(buf), 1 << 14))
            except ssl.SSLWantReadError:
                self._feed_record()
                continue
            except (ssl.SSLZeroReturnError, ssl.SSLError) as e:
                raise PeerGone("TLS: %s" % e) from e
            if not data:
                # Past the host's close_notify every read answers nothing at once.
                raise PeerGone("TLS: the host ended the session")
            buf += data
        data = bytes(buf[:n])
        del buf[:n]
        return data

    def send_all(self, data):
        view = memoryview(data)
        try:
            while view:
                view = view[self.obj.write(view):]
        except ssl.SSLError as e:
            raise PeerGone("TLS: %s" % e) from e
        self._flush()

    def end(self):
        """Back to plain text after the last TLS reply (StopSession).

        The host sends its close_notify alert and goes on in plain text on the same
        socket; that record is read and dropped. The device sends none back:
        libimobiledevice 1.3.0 would take its record for the next plain message.
        """
        try:
            first = self.sock.recv(1, socket.MSG_PEEK)
        except OSError:
            first = b""
        if first and first[0] == CONTENT_ALERT:
            self._feed_record()
            try:
                self.obj.read(1)
            except ssl.SSLError:
                pass  # SSLZeroReturnError: the close_notify, as expected
        return PlainStream(self.sock)
