"""Start the emulated handheld (tools/fakedevice) for a test and drive it.

    from fakedevice_control import FakeDevice

    with FakeDevice(root=folder) as dev:          # started, attached, ready
        env = dev.env()                           # USBMUXD_SOCKET_ADDRESS + a temp HOME
        subprocess.run(["idevice_id", "-l"], env=env)
        dev.detach(); dev.attach()
        dev.fault("pair_refused")
        dev.cut(after_bytes=100000)
        dev.state()["counters"]["afc_requests"]

    # Two phones: each control method takes udid= (the first phone without it).
    with FakeDevice(phones=[("00008110-001631C105BA801E", "Second")]) as dev:
        dev.detach(udid="00008110-001631C105BA801E")

Each FakeDevice has its own temp folder (sockets, HOME, a device root when none is
given) and removes it on stop. The clients of the emulator's wire protocols are
in device_clients.py; the ones tests use are named here too.
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from device_clients import (DEVICE_IDENTITY, EMULATOR, HOST_IDENTITY, LOCKDOWN_PORT,  # noqa: F401
                            PAIR_CERTIFICATES, AfcClient, AfcError, LockdownClient, MuxError,
                            MuxSocket, Pipe, TlsPipe, afc_protocol, client_context, recv_exact)


class ControlError(Exception):
    pass


class FakeDevice:
    def __init__(self, root=None, *, udid=None, attached=True, paired=False,
                 trust_any_host=False, faults=None, latency_ms=0.0, product_version=None,
                 state_dir=None, log=None, plain=False, service_ssl=True, bandwidth=None,
                 capture_stderr=False, preflight=False, socket_path=None, profile=None,
                 library=True, phones=(), extra_args=()):
        """phones: more phones beside the first, each a (udid, name) pair or a dict of
        udid and any of name, root, profile, version, paired, detached (a phone
        without root gets a folder of its own from the emulator: root_of(udid))."""
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
        for phone in phones:
            args += ["--phone", _phone_option(phone)]
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

    # Each request is about the phone udid names; without it, the first phone.

    def on(self, cmd, udid=None, **args):
        if udid is not None:
            args["udid"] = udid
        return self.call(cmd, **args)

    def state(self, udid=None):
        return self.on("state", udid)

    def attach(self, udid=None):
        return self.on("attach", udid)["device_id"]

    def detach(self, udid=None):
        return self.on("detach", udid)["was_attached"]

    def set(self, udid=None, **settings):
        return self.on("set", udid, **settings)

    def fault(self, name, value=True, udid=None):
        return self.on("fault", udid, name=name, value=value)

    def clear_faults(self, udid=None):
        return self.on("clear_faults", udid)

    def cut(self, after_bytes=None, after_replies=None, detach=False, udid=None):
        args = {"detach": detach}
        if after_bytes is not None:
            args["after_bytes"] = after_bytes
        if after_replies is not None:
            args["after_replies"] = after_replies
        return self.on("cut", udid, **args)

    def unpair(self, udid=None):
        return self.on("unpair", udid)

    def untrust(self, udid=None):
        return self.on("untrust", udid)

    def make_paired(self, udid=None):
        return self.on("make_paired", udid)["host_id"]

    def tap_trust(self, udid=None):
        """Answer the device's trust prompt with "Trust" (needs the trust_prompt fault)."""
        return self.on("tap_trust", udid)

    def tap_dont_trust(self, udid=None):
        return self.on("tap_dont_trust", udid)

    def lock(self, udid=None):
        return self.on("lock", udid)

    def unlock(self, udid=None):
        return self.on("unlock", udid)

    def has_pair_record(self, udid=None):
        return self.state(udid)["pair_record"]

    def counter(self, name, udid=None):
        return self.state(udid)["counters"].get(name, 0)

    def root_of(self, udid=None):
        """The folder a phone serves."""
        return self.state(udid)["root"]

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

    def connect(self, port, device_id=None, udid=None):
        """A raw pipe to a port of the phone device_id (or udid) names, through
        usbmuxd Connect (MuxError on refusal)."""
        if device_id is None:
            # 0 is never a device: a detached device gives 2
            device_id = self.state(udid)["device_id"] or 0
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

    def lockdown(self, context=None, udid=None):
        """A lockdownd client; context: the ssl context for its TLS (client_context())."""
        return LockdownClient(self.connect(LOCKDOWN_PORT, udid=udid), context)

    def afc(self, pair_if_needed=True, context=None, udid=None):
        """An AFC client over a session started with a HostID the device trusts,
        in TLS when the device asks for it."""
        context = context or client_context()
        device_id = self.state(udid)["device_id"] or 0
        with LockdownClient(self.connect(LOCKDOWN_PORT, device_id), context) as ld:
            host_id = "TEST-HOST-" + str(os.getpid())
            if pair_if_needed:
                ld.check("Pair", PairRecord=dict(PAIR_CERTIFICATES, HostID=host_id,
                                                 SystemBUID="TEST"))
            ld.check("StartSession", HostID=host_id, SystemBUID="TEST")
            service = ld.check("StartService", Service="com.apple.afc")
            ld.check("StopSession")
        sock = self.connect(service["Port"], device_id)
        try:
            stream = TlsPipe(sock, context) if service.get("EnableServiceSSL") else Pipe(sock)
        except BaseException:
            sock.close()
            raise
        return AfcClient(sock, stream)


def _phone_option(phone):
    """The emulator's --phone value for a (udid, name) pair or a dict."""
    if not isinstance(phone, dict):
        phone = {"udid": phone[0], "name": phone[1]}
    items = [phone["udid"]]
    for key, value in phone.items():
        if key == "udid" or value in (None, False):
            continue
        items.append(key if value is True else "%s=%s" % (key, value))
    return ",".join(items)
