"""Start the emulated handheld (tools/fakedevice) for a test and drive it.

    from fakedevice_control import FakeDevice

    with FakeDevice(root=folder) as dev:          # started, attached, ready
        env = dev.env()                           # USBMUXD_SOCKET_ADDRESS + a temp HOME
        subprocess.run(["idevice_id", "-l"], env=env)
        dev.detach(); dev.attach()
        dev.fault("pair_refused")
        dev.cut(after_bytes=100000)
        dev.state()["counters"]["afc_requests"]

Each FakeDevice has its own temp folder (sockets, HOME, a device root when none is
given) and removes it on stop. Also here: small clients of the emulator's wire
protocols (usbmuxd, lockdownd, AFC) for tests that check framing directly. They
speak TLS when the device asks for it, as libimobiledevice does: the session
turns to TLS after StartSession and back after StopSession, presenting the
fixture host's root certificate.
"""

import json
import os
import plistlib
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
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


class ControlError(Exception):
    pass


class MuxError(Exception):
    def __init__(self, number):
        super().__init__("usbmuxd answered Result %d" % number)
        self.number = number


class FakeDevice:
    def __init__(self, root=None, *, udid=None, attached=True, paired=False,
                 trust_any_host=False, faults=None, latency_ms=0.0, product_version=None,
                 state_dir=None, log=None, plain=False, service_ssl=True, bandwidth=None,
                 capture_stderr=False, preflight=False, socket_path=None, profile=None,
                 library=True, extra_args=()):
        self.tmpdir = tempfile.mkdtemp(prefix="fakedev-")  # short: unix paths are limited
        # socket_path: another usbmuxd socket, e.g. the system's /var/run/usbmuxd.
        self.socket_path = socket_path or os.path.join(self.tmpdir, "mux.sock")
        self.control_path = os.path.join(self.tmpdir, "ctl.sock")
        self.home = os.path.join(self.tmpdir, "home")
        os.mkdir(self.home)
        if root is None:
            root = os.path.join(self.tmpdir, "root")
            os.mkdir(root)
        self.root = root
        self.log_path = log
        self.stderr_path = os.path.join(self.tmpdir, "stderr") if capture_stderr else None
        args = [sys.executable, EMULATOR, "--socket", self.socket_path,
                "--control", self.control_path, "--root", root]
        if udid:
            args += ["--udid", udid]
        if not attached:
            args.append("--detached")
        if paired:
            args.append("--paired")
        if trust_any_host:
            args.append("--trust-any-host")
        if latency_ms:
            args += ["--latency-ms", str(latency_ms)]
        if plain:
            args.append("--plain")
        if preflight:
            args.append("--preflight")
        if not service_ssl:
            args += ["--service-ssl", "off"]
        if bandwidth:
            args += ["--bandwidth", str(bandwidth)]
        if profile:
            args += ["--profile", profile]
        if not library:
            args.append("--no-library")
        if product_version:
            args += ["--product-version", product_version]
        if state_dir:
            args += ["--state-dir", state_dir]
        if log:
            args += ["--log", log]
        for name, value in (faults or {}).items():
            args += ["--fault", name if value is True else "%s=%s" % (name, value)]
        self.args = args + list(extra_args)
        self.proc = None
        self._ctl = None
        self._ctl_file = None
        self._ctl_lock = threading.Lock()

    # ---- life cycle ----

    def start(self, timeout=10.0):
        stderr = open(self.stderr_path, "wb") if self.stderr_path else None
        try:
            self.proc = subprocess.Popen(self.args, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=stderr)
        finally:
            if stderr:
                stderr.close()
        deadline = time.monotonic() + timeout
        while True:
            if self.proc.poll() is not None:
                raise RuntimeError("fakedevice exited with %d" % self.proc.returncode)
            try:
                self._open_control()
                self.call("ping")
                return self
            except OSError:
                if time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError("fakedevice did not become ready")
                time.sleep(0.02)

    def end(self, sig):
        """End the emulator with a signal and wait for it; start() may follow.
        SIGTERM stops it as a daemon is stopped (its sockets removed); SIGKILL is a
        crash (the usbmuxd socket stays behind)."""
        self._close_control()
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(sig)
            self.proc.wait(10)

    def stop(self):
        """Ask the emulator to quit; SIGTERM, then kill, if it does not."""
        if self.proc is not None and self.proc.poll() is None:
            try:
                self.call("quit")
            except (OSError, ControlError):
                pass
            try:
                self.proc.wait(3)
            except subprocess.TimeoutExpired:
                self.proc.send_signal(signal.SIGTERM)
                try:
                    self.proc.wait(3)
                except subprocess.TimeoutExpired:
                    self.proc.kill()
                    self.proc.wait()
        self._close_control()
        shutil.rmtree(self.tmpdir, ignore_errors=True)

    def stderr(self):
        """What the emulator wrote on stderr so far (with capture_stderr)."""
        with open(self.stderr_path, "rb") as f:
            return f.read()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def env(self, base=None):
        """Environment for libimobiledevice clients: this emulator, and a private HOME."""
        env = dict(os.environ if base is None else base)
        env["USBMUXD_SOCKET_ADDRESS"] = "UNIX:" + self.socket_path
        env["HOME"] = self.home
        return env

    # ---- control channel ----

    def _open_control(self):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.connect(self.control_path)
        except OSError:
            sock.close()
            raise
        self._ctl = sock
        self._ctl_file = sock.makefile("rwb", buffering=0)

    def _close_control(self):
        for f in (self._ctl_file, self._ctl):
            if f is not None:
                try:
                    f.close()
                except OSError:
                    pass
        self._ctl = self._ctl_file = None

    def call(self, cmd, **args):
        """Send one control request; the reply dict, or ControlError."""
        with self._ctl_lock:
            if self._ctl is None:
                self._open_control()
            args["cmd"] = cmd
            self._ctl_file.write(json.dumps(args).encode() + b"\n")
            line = self._ctl_file.readline()
        if not line:
            raise ControlError("control channel closed")
        reply = json.loads(line)
        if not reply.pop("ok", False):
            raise ControlError(reply.get("error", "failed"))
        return reply

    def state(self):
        return self.call("state")

    def attach(self, udid=None):
        return self.call("attach", **({"udid": udid} if udid else {}))["device_id"]

    def detach(self):
        return self.call("detach")["was_attached"]

    def set(self, **settings):
        return self.call("set", **settings)

    def fault(self, name, value=True):
        return self.call("fault", name=name, value=value)

    def clear_faults(self):
        return self.call("clear_faults")

    def cut(self, after_bytes=None, after_replies=None, detach=False):
        args = {"detach": detach}
        if after_bytes is not None:
            args["after_bytes"] = after_bytes
        if after_replies is not None:
            args["after_replies"] = after_replies
        return self.call("cut", **args)

    def unpair(self):
        return self.call("unpair")

    def untrust(self):
        return self.call("untrust")

    def make_paired(self):
        return self.call("make_paired")["host_id"]

    def tap_trust(self):
        """Answer the device's trust prompt with "Trust" (needs the trust_prompt fault)."""
        return self.call("tap_trust")

    def tap_dont_trust(self):
        return self.call("tap_dont_trust")

    def lock(self):
        return self.call("lock")

    def unlock(self):
        return self.call("unlock")

    def has_pair_record(self):
        return self.state()["pair_record"]

    def counter(self, name):
        return self.state()["counters"].get(name, 0)

    @property
    def udid(self):
        return self.state()["udid"]

    @property
    def device_id(self):
        return self.state()["device_id"]

    # ---- protocol clients ----

    def mux_request(self, message):
        with MuxSocket(self.socket_path) as mux:
            return mux.request(message)

    def connect(self, port, device_id=None):
        """A raw pipe to a device port through usbmuxd Connect (MuxError on refusal)."""
        if device_id is None:
            device_id = self.device_id or 0  # 0 is never a device: a detached device gives 2
        mux = MuxSocket(self.socket_path)
        try:
            reply = mux.request({"MessageType": "Connect", "DeviceID": device_id,
                                 "PortNumber": socket.htons(port)})
            if reply.get("Number") != 0:
                raise MuxError(reply.get("Number", -1))
            return mux.detach()
        except BaseException:
            mux.close()
            raise

    def lockdown(self, context=None):
        """A lockdownd client; context: the ssl context for its TLS (client_context())."""
        return LockdownClient(self.connect(LOCKDOWN_PORT), context)

    def afc(self, pair_if_needed=True, context=None):
        """An AFC client over a session started with a HostID the device trusts,
        in TLS when the device asks for it."""
        context = context or client_context()
        with self.lockdown(context) as ld:
            host_id = "TEST-HOST-" + str(os.getpid())
            if pair_if_needed:
                ld.check("Pair", PairRecord=dict(PAIR_CERTIFICATES, HostID=host_id,
                                                 SystemBUID="TEST"))
            ld.check("StartSession", HostID=host_id, SystemBUID="TEST")
            service = ld.check("StartService", Service="com.apple.afc")
            ld.check("StopSession")
        sock = self.connect(service["Port"])
        try:
            stream = TlsPipe(sock, context) if service.get("EnableServiceSSL") else Pipe(sock)
        except BaseException:
            sock.close()
            raise
        return AfcClient(sock, stream)


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
