"""Small clients of the emulator's wire protocols (usbmuxd, lockdownd, AFC), for
tests that check framing directly. They speak TLS when the device asks for it, as
libimobiledevice does: the session turns to TLS after StartSession and back after
StopSession, presenting the fixture host's root certificate.
"""

import os
import plistlib
import socket
import ssl
import struct
import sys
import warnings

_HERE = os.path.dirname(os.path.abspath(__file__))
EMULATOR = os.path.normpath(os.path.join(_HERE, "..", "..", "tools", "fakedevice", "fakedevice.py"))
FIXTURES = os.path.join(os.path.dirname(EMULATOR), "fixtures")
# The emulator's own names for the packets and records a test client sends.
sys.path.insert(0, os.path.dirname(EMULATOR))
import afc as afc_protocol  # noqa: E402
import tls as device_tls  # noqa: E402
from wire import PeerGone  # noqa: E402
# The certificate and key libimobiledevice's OpenSSL build presents, and the
# certificates its Pair request carries, for the emulator's fixture host.
ROOT_IDENTITY = (os.path.join(FIXTURES, "root_cert.pem"), os.path.join(FIXTURES, "root_key.pem"))
HOST_IDENTITY = (os.path.join(FIXTURES, "host_cert.pem"), os.path.join(FIXTURES, "host_key.pem"))
DEVICE_IDENTITY = (os.path.join(FIXTURES, "device_cert.pem"),
                   os.path.join(FIXTURES, "device_key.pem"))


def _read(path):
    with open(path, "rb") as f:
        return f.read()


PAIR_CERTIFICATES = {"DeviceCertificate": _read(DEVICE_IDENTITY[0]),
                     "HostCertificate": _read(HOST_IDENTITY[0]),
                     "RootCertificate": _read(ROOT_IDENTITY[0])}

LOCKDOWN_PORT = 62078


class MuxError(Exception):
    def __init__(self, number):
        super().__init__("usbmuxd answered Result %d" % number)
        self.number = number


def client_context(identity=ROOT_IDENTITY, maximum_version=None):
    """A host's TLS context: presents identity (cert, key paths; None: no certificate),
    verifies nothing, accepts SHA-1 and TLS 1.0 as libimobiledevice 1.3.0 does."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    ctx.set_ciphers("ALL:@SECLEVEL=0")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        ctx.minimum_version = ssl.TLSVersion.TLSv1
        if maximum_version is not None:
            ctx.maximum_version = maximum_version
    if identity:
        ctx.load_cert_chain(*identity)
    return ctx


class Pipe:
    """A raw pipe to a device port."""

    tls = False

    def __init__(self, sock):
        self.sock = sock

    def sendall(self, data):
        self.sock.sendall(data)

    def recv(self, n):
        return self.sock.recv(n)


class TlsPipe(device_tls.TlsStream):
    """TLS, client side, over a raw pipe: the emulator's own record-at-a-time stream,
    so plain text the device sends after its last record stays in the socket."""

    def __init__(self, sock, context):
        super().__init__(sock, context, server_side=False)
        try:
            self.run_handshake()
        except PeerGone as e:
            raise ConnectionError("closed during the TLS handshake") from e

    def _feed(self):
        """One more record into the TLS object; False at the end of the stream."""
        try:
            self._feed_record()
        except PeerGone:
            return False
        return True

    def sendall(self, data):
        self.obj.write(data)
        self._flush()

    def recv(self, n):
        """Up to n bytes of plain text; b"" at the end of the stream."""
        while True:
            try:
                return self.obj.read(n)
            except ssl.SSLWantReadError:
                if not self._feed():
                    return b""
            except ssl.SSLZeroReturnError:
                return b""

    def end(self):
        """Send close_notify and go on in plain text, as libimobiledevice does."""
        try:
            self.obj.unwrap()
        except ssl.SSLWantReadError:
            pass  # the device sends no close_notify back
        self._flush()
        return Pipe(self.sock)


class MuxSocket:
    HEADER = struct.Struct("<IIII")

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(10)
        self.sock.connect(path)
        self.tag = 0

    def send(self, message):
        self.tag += 1
        body = plistlib.dumps(dict({"ClientVersionString": "fakedevice_control",
                                    "ProgName": "test", "kLibUSBMuxVersion": 3}, **message))
        self.sock.sendall(self.HEADER.pack(16 + len(body), 1, 8, self.tag) + body)

    def receive(self):
        length, _version, _message, tag = self.HEADER.unpack(recv_exact(self.sock, 16))
        return tag, plistlib.loads(recv_exact(self.sock, length - 16))

    def request(self, message):
        self.send(message)
        tag, reply = self.receive()
        if tag != self.tag:
            raise AssertionError("reply tag %d for request %d" % (tag, self.tag))
        return reply

    def detach(self):
        sock, self.sock = self.sock, None
        return sock

    def close(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class LockdownError(Exception):
    pass


class _ClosesItsSocket:
    """A client on one socket: close() closes it, and so does leaving a with block."""

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class LockdownClient(_ClosesItsSocket):
    """Requests and replies; the session turns to TLS and back as the device says."""

    def __init__(self, sock, context=None):
        self.sock = sock
        self.stream = Pipe(sock)
        self.context = context

    def request(self, name, **keys):
        body = plistlib.dumps(dict(keys, Request=name, Label="fakedevice_control"))
        self.stream.sendall(struct.pack(">I", len(body)) + body)
        (length,) = struct.unpack(">I", recv_exact(self.stream, 4))
        reply = plistlib.loads(recv_exact(self.stream, length))
        if name == "StartSession" and reply.get("EnableSessionSSL"):
            self.stream = TlsPipe(self.sock, self.context or client_context())
        elif name == "StopSession" and self.stream.tls:
            self.stream = self.stream.end()
        return reply

    def check(self, name, **keys):
        """request(), LockdownError when the reply is an Error."""
        reply = self.request(name, **keys)
        if "Error" in reply:
            raise LockdownError("%s: %s" % (name, reply["Error"]))
        return reply


class AfcError(Exception):
    def __init__(self, status):
        super().__init__("AFC status %d" % status)
        self.status = status


class AfcClient(_ClosesItsSocket):
    """A host's side of the file service, in the emulator's own packet names."""

    def __init__(self, sock, stream=None):
        self.sock = sock
        self.stream = stream or Pipe(sock)
        self.num = 0

    def send(self, op, hdata=b"", payload=b""):
        self.num += 1
        this_len = 40 + len(hdata)
        self.stream.sendall(afc_protocol.HEADER.pack(afc_protocol.MAGIC, this_len + len(payload), this_len,
                                           self.num, op) + hdata + payload)

    def receive(self):
        """(op, header data + payload) of one reply; checks magic and packet number."""
        magic, entire, this_len, num, op = afc_protocol.HEADER.unpack(recv_exact(self.stream, 40))
        if magic != afc_protocol.MAGIC or num != self.num:
            raise AssertionError("bad reply header %r num %d for %d" % (magic, num, self.num))
        return op, recv_exact(self.stream, entire - 40)

    def call(self, op, hdata=b"", payload=b""):
        """Reply body; AfcError for a non-zero STATUS."""
        self.send(op, hdata, payload)
        rop, body = self.receive()
        if rop == afc_protocol.OP_STATUS:
            status = struct.unpack("<Q", body[:8])[0]
            if status:
                raise AfcError(status)
        return rop, body

    @staticmethod
    def _path(p):
        return p.encode() + b"\0"

    def open(self, path, mode):
        rop, body = self.call(afc_protocol.OP_FILE_OPEN, struct.pack("<Q", mode) + self._path(path))
        assert rop == afc_protocol.OP_FILE_OPEN_RES, rop
        return struct.unpack("<Q", body)[0]

    def read(self, handle, length):
        rop, body = self.call(afc_protocol.OP_FILE_READ, struct.pack("<QQ", handle, length))
        assert rop == afc_protocol.OP_DATA, rop
        return body

    def write(self, handle, data):
        self.call(afc_protocol.OP_FILE_WRITE, struct.pack("<Q", handle), data)

    def seek(self, handle, offset, whence=0):
        self.call(afc_protocol.OP_FILE_SEEK, struct.pack("<QQq", handle, whence, offset))

    def tell(self, handle):
        rop, body = self.call(afc_protocol.OP_FILE_TELL, struct.pack("<Q", handle))
        assert rop == afc_protocol.OP_FILE_TELL_RES, rop
        return struct.unpack("<Q", body)[0]

    def close_file(self, handle):
        self.call(afc_protocol.OP_FILE_CLOSE, struct.pack("<Q", handle))

    def read_dir(self, path):
        return self.call(afc_protocol.OP_READ_DIR, self._path(path))[1].split(b"\0")[:-1]

    def file_info(self, path):
        items = self.call(afc_protocol.OP_GET_FILE_INFO, self._path(path))[1].split(b"\0")[:-1]
        return {items[i].decode(): items[i + 1].decode() for i in range(0, len(items), 2)}

    def make_dir(self, path):
        self.call(afc_protocol.OP_MAKE_DIR, self._path(path))

    def remove(self, path):
        self.call(afc_protocol.OP_REMOVE_PATH, self._path(path))

    def fetch(self, path, piece=1 << 20):
        handle = self.open(path, 1)
        parts = []
        while True:
            chunk = self.read(handle, piece)
            if not chunk:
                break
            parts.append(chunk)
        self.close_file(handle)
        return b"".join(parts)


def recv_exact(stream, n):
    """n bytes from a socket or a pipe (anything with recv)."""
    buf = bytearray()
    while len(buf) < n:
        chunk = stream.recv(min(n - len(buf), 1 << 20))
        if not chunk:
            raise ConnectionError("closed after %d of %d bytes" % (len(buf), n))
        buf += chunk
    return bytes(buf)
