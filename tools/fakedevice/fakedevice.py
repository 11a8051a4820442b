#!/usr/bin/env python3
"""An emulated handheld: usbmuxd + lockdownd + the AFC file service, on unix sockets.

    python3 fakedevice.py --socket PATH --root FOLDER [--control PATH] [options]

Point libusbmuxd at it with USBMUXD_SOCKET_ADDRESS=UNIX:PATH. The control socket
takes one JSON object per line and answers one per line (see README.md).
Prints nothing on stdout; logs go to --log FILE, or stderr with --verbose.
"""

import argparse
import json
import logging
import os
import selectors
import signal
import socket
import stat
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import muxd  # noqa: E402
import music_library  # noqa: E402
from device_state import DEFAULT_UDID, FAULT_DEFAULTS, PROFILES, DeviceState  # noqa: E402
from media_daemon import MediaDaemon  # noqa: E402
from wire import close_quietly  # noqa: E402


class Control:
    """The test's side door: one JSON request per line, one JSON reply per line."""

    def __init__(self, state, stop):
        self.state = state
        self.stop = stop

    def serve(self, sock):
        try:
            with sock, sock.makefile("rwb", buffering=0) as stream:
                for line in stream:
                    if not line.strip():
                        continue
                    request = None
                    try:
                        request = json.loads(line)
                        if not isinstance(request, dict):
                            raise ValueError("a JSON object is expected")
                        reply = self.handle(request)
                        reply["ok"] = True
                    except Exception as e:  # a bad request must not end the channel
                        reply = {"ok": False, "error": "%s: %s" % (type(e).__name__, e)}
                    stream.write(json.dumps(reply).encode() + b"\n")
                    if reply["ok"] and request.get("cmd") == "quit":
                        self.stop()
                        return
        except OSError:
            pass

    def handle(self, request):
        st = self.state
        cmd = request.get("cmd")
        if cmd == "ping":
            return {}
        if cmd == "state":
            return st.snapshot()
        if cmd == "attach":
            return {"device_id": st.attach(request.get("udid"))}
        if cmd == "detach":
            return {"was_attached": st.detach()}
        if cmd == "set":
            with st.lock:
                for key, value in request.items():
                    if key == "cmd":
                        continue
                    if key == "latency_ms":
                        st.latency = float(value) / 1000.0
                    elif key == "max_read":
                        st.max_read = int(value)
                    elif key == "bandwidth":
                        st.bandwidth = float(value or 0) * 1e6
                    elif key in ("trust_any_host", "plain", "service_ssl", "preflight"):
                        if not isinstance(value, bool):
                            raise TypeError("%s takes true or false" % key)
                        setattr(st, key, value)
                    elif key in ("udid", "product_version", "device_name", "wifi_address"):
                        if not isinstance(value, str):
                            raise TypeError("%s takes a string" % key)
                        setattr(st, key, value)
                    else:
                        raise KeyError("unknown setting %s" % key)
            return {}
        if cmd == "fault":
            name = request["name"]
            if name == "unpaired":
                return self.handle({"cmd": "unpair"})
            st.set_fault(name, request.get("value", True))
            return {"faults": st.snapshot()["faults"]}
        if cmd == "clear_faults":
            st.clear_faults()
            return {}
        if cmd == "cut":
            after_bytes = request.get("after_bytes")
            after_replies = request.get("after_replies")
            if after_bytes is None and after_replies is None:
                raise ValueError("cut needs after_bytes or after_replies")
            with st.lock:
                st.cut_bytes = None if after_bytes is None else int(after_bytes)
                st.cut_replies = None if after_replies is None else int(after_replies)
                st.cut_detach = bool(request.get("detach", False))
            return {}
        if cmd == "unpair":
            # Neither side knows the other any more: no trusted host, no record.
            with st.lock:
                st.trusted.clear()
                st.pair_records.clear()
                st._store_state()
            return {}
        if cmd == "untrust":
            st.untrust_all()
            return {}
        if cmd == "trust":
            st.trust(request["host_id"])
            return {}
        if cmd in ("tap_trust", "tap_dont_trust"):
            st.tap_trust(cmd == "tap_trust")
            return {}
        if cmd in ("lock", "unlock"):
            # The same switch as the locked fault. An unlock tells usbmuxd nothing.
            st.set_fault("locked", cmd == "lock")
            return {}
        if cmd == "make_paired":
            return {"host_id": st.make_paired()}
        if cmd == "quit":
            return {}
        raise KeyError("unknown command %r" % cmd)


def not_a_socket(path):
    """Why `path` cannot be listened on, or None: only a missing path or a
    socket (a stale one of an earlier run) may be replaced."""
    try:
        mode = os.lstat(path).st_mode
    except FileNotFoundError:
        return None
    except OSError as e:
        return "%s: %s" % (path, e.strerror)
    if stat.S_ISSOCK(mode):
        return None
    return "%s exists and is not a socket; refusing to replace it" % path


def listen_unix(path):
    """A listening socket at `path` and the identity of what it made there."""
    if os.path.lexists(path):
        os.unlink(path)  # a stale socket of an earlier run, checked by not_a_socket
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.bind(path)
    sock.listen(64)
    made = os.lstat(path)
    return sock, (made.st_dev, made.st_ino)


def remove_own_socket(path, identity):
    """Removes `path` only while it is still the socket this run made."""
    try:
        now = os.lstat(path)
        if (now.st_dev, now.st_ino) == identity:
            os.unlink(path)
    except OSError:
        pass


def fill_library(root, profile):
    """A phone always has its music library: the profile's, unless the folder
    already has an iTunes_Control/iTunes of its own."""
    if os.path.isdir(os.path.join(root, music_library.ITUNES)):
        return
    if profile == "old":
        music_library.make_old_library(root)
    else:
        music_library.make_modern_library(root)


def main(argv=None):
    ap = argparse.ArgumentParser(description="Emulated handheld: usbmuxd + lockdownd + AFC.")
    ap.add_argument("--socket", required=True, help="usbmuxd unix socket to create")
    ap.add_argument("--root", required=True, help="folder served as the device's file system")
    ap.add_argument("--control", help="control socket (default: SOCKET.control)")
    ap.add_argument("--udid", default=DEFAULT_UDID)
    ap.add_argument("--profile", choices=sorted(PROFILES), default="modern",
                    help="modern: iOS 17.5.1 on an iPhone15,2 with an SQLite library; "
                         "old: iPhone OS 4.3.5 on an iPhone3,1 with an iTunesCDB")
    ap.add_argument("--product-version", help="ProductVersion (default: the profile's)")
    ap.add_argument("--no-library", action="store_true",
                    help="serve the folder as it is, without the profile's music library")
    ap.add_argument("--device-name", default="Emulated iPhone")
    ap.add_argument("--detached", action="store_true", help="start with the device unplugged")
    ap.add_argument("--paired", action="store_true",
                    help="start with a host pair record saved and its HostID trusted")
    ap.add_argument("--trust-any-host", action="store_true",
                    help="accept every HostID in ValidatePair and StartSession")
    ap.add_argument("--state-dir", help="keep pair records and trust in this folder")
    ap.add_argument("--preflight", action="store_true",
                    help="as Debian's usbmuxd: hide a phone that does not trust the stored "
                         "record until Trust is tapped, then pair it and show it")
    ap.add_argument("--plain", action="store_true",
                    help="no TLS: EnableSessionSSL and EnableServiceSSL false")
    ap.add_argument("--service-ssl", choices=("on", "off"), default="on",
                    help="off: sessions in TLS, the file service in plain text")
    ap.add_argument("--latency-ms", type=float, default=0.0, help="delay before each AFC reply")
    ap.add_argument("--bandwidth", type=float, default=0.0, metavar="MBPS",
                    help="cap AFC reply payload at this many MB/s (10^6 bytes)")
    ap.add_argument("--fault", action="append", default=[], metavar="NAME[=VALUE]",
                    help="switch a fault on from the start: " + ", ".join(FAULT_DEFAULTS))
    ap.add_argument("--log", help="write a debug log to this file")
    ap.add_argument("--verbose", action="store_true", help="debug log on stderr")
    args = ap.parse_args(argv)

    log = logging.getLogger("fakedevice")
    log.propagate = False
    if args.log or args.verbose:
        handler = logging.FileHandler(args.log) if args.log else logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("%(asctime)s %(threadName)s %(message)s"))
        log.addHandler(handler)
        log.setLevel(logging.DEBUG)
    else:
        log.addHandler(logging.NullHandler())

    if not os.path.isdir(args.root):
        print("fakedevice: --root %s is not a folder" % args.root, file=sys.stderr)
        return 2
    control_path = args.control or args.socket + ".control"
    for option, path in (("--socket", args.socket), ("--control", control_path)):
        refused = not_a_socket(path)
        if refused:
            print("fakedevice: %s %s" % (option, refused), file=sys.stderr)
            return 2
    state = DeviceState(udid=args.udid, state_dir=args.state_dir, log=log)
    state.root = os.path.abspath(args.root)
    state.use_profile(args.profile)
    if args.product_version:
        state.product_version = args.product_version
    if not args.no_library:
        fill_library(state.root, args.profile)
    state.media_daemon = MediaDaemon(state, log)
    state.fault_listeners.append(state.media_daemon.faults_changed)
    state.device_name = args.device_name
    state.trust_any_host = args.trust_any_host
    state.latency = args.latency_ms / 1000.0
    state.bandwidth = args.bandwidth * 1e6
    state.plain = args.plain
    state.preflight = args.preflight
    state.service_ssl = args.service_ssl == "on"
    for fault in args.fault:
        name, _, value = fault.partition("=")
        if name == "unpaired":
            continue  # the default state already is: nothing trusted, no record
        if value == "":
            parsed = True
        else:
            try:
                parsed = int(value)
            except ValueError:
                parsed = value
        state.set_fault(name, parsed)
    if args.paired:
        state.make_paired()
    if not args.detached:
        state.attach()

    wake_r, wake_w = os.pipe()
    stopping = threading.Event()

    def stop(*_):
        if not stopping.is_set():
            stopping.set()
            os.write(wake_w, b"x")

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    # Control first: once it answers, the usbmuxd socket is also there.
    mux_sock, mux_identity = listen_unix(args.socket)
    ctl_sock, ctl_identity = listen_unix(control_path)
    control = Control(state, stop)
    sel = selectors.DefaultSelector()
    sel.register(mux_sock, selectors.EVENT_READ, "mux")
    sel.register(ctl_sock, selectors.EVENT_READ, "control")
    sel.register(wake_r, selectors.EVENT_READ, "wake")
    log.debug("ready: socket %s control %s root %s", args.socket, control_path, state.root)

    while not stopping.is_set():
        for key, _ in sel.select():
            if key.data == "wake":
                continue
            try:
                conn, _ = key.fileobj.accept()
            except OSError:
                continue
            if key.data == "mux":
                target = muxd.MuxClient(conn, state, log).serve
            else:
                target = lambda c=conn: control.serve(c)  # noqa: E731
            threading.Thread(target=target, daemon=True).start()

    log.debug("stopping")
    state.media_daemon.stop()
    for sock, path, identity in ((mux_sock, args.socket, mux_identity),
                                 (ctl_sock, control_path, ctl_identity)):
        sock.close()
        remove_own_socket(path, identity)
    with state.lock:
        state.attached = False
        for s in list(state._device_socks):
            close_quietly(s)
        for s in list(state._listeners):
            close_quietly(s)
    return 0


if __name__ == "__main__":
    sys.exit(main())
