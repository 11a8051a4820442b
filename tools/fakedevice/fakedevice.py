#!/usr/bin/env python3
"""An emulated handheld: usbmuxd + lockdownd + the AFC file service, on unix sockets.

    python3 fakedevice.py --socket PATH --root FOLDER [--control PATH] [options]
                          [--phone UDID[,name=NAME][,root=FOLDER][,...]]...

The options without --phone describe the first phone; each --phone adds another.

Point libusbmuxd at it with USBMUXD_SOCKET_ADDRESS=UNIX:PATH. The control socket
takes one JSON object per line and answers one per line (see README.md).
Prints nothing on stdout; logs go to --log FILE, or stderr with --verbose.
"""

import argparse
import logging
import os
import re
import selectors
import shutil
import signal
import socket
import stat
import sys
import tempfile
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import muxd  # noqa: E402
import music_library  # noqa: E402
from control import Control  # noqa: E402
from daemon_state import Daemon  # noqa: E402
from device_state import DEFAULT_UDID, FAULT_DEFAULTS, PROFILES, Phone  # noqa: E402
from media_daemon import MediaDaemon  # noqa: E402
from wire import close_quietly  # noqa: E402

# A UDID as phones have them: 40 hex digits, or since 2018 8, a dash and 16.
UDID_FORM = re.compile(r"[0-9A-Fa-f]{40}|[0-9A-Fa-f]{8}-[0-9A-Fa-f]{16}")
PHONE_VALUES = ("name", "root", "profile", "version")
PHONE_FLAGS = ("paired", "detached")


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


def phone_option(text):
    """--phone UDID[,name=NAME][,root=FOLDER][,profile=P][,version=V][,paired][,detached]"""
    udid, *items = text.split(",")
    if not UDID_FORM.fullmatch(udid):
        raise argparse.ArgumentTypeError(
            "%r is not a UDID (40 hex digits, or 8 hex digits, a dash and 16)" % udid)
    wanted = {"udid": udid}
    for item in items:
        key, equals, value = item.partition("=")
        if key in PHONE_FLAGS and not equals:
            wanted[key] = True
        elif key in PHONE_VALUES and equals and value:
            wanted[key] = value
        else:
            raise argparse.ArgumentTypeError("%r: unknown --phone item %r" % (text, item))
    if wanted.get("profile", "modern") not in PROFILES:
        raise argparse.ArgumentTypeError("%r: profile is one of %s" % (text, ", ".join(PROFILES)))
    return wanted


def parse_args(argv):
    ap = argparse.ArgumentParser(description="Emulated handheld: usbmuxd + lockdownd + AFC.")
    ap.add_argument("--socket", required=True, help="usbmuxd unix socket to create")
    ap.add_argument("--root", required=True, help="folder served as the first phone's file system")
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
    ap.add_argument("--phone", action="append", default=[], type=phone_option,
                    metavar="UDID[,name=NAME][,root=FOLDER][,profile=P][,version=V]"
                            "[,paired][,detached]",
                    help="another phone (repeatable); without root, a folder of its own, "
                         "removed at the end")
    ap.add_argument("--log", help="write a debug log to this file")
    ap.add_argument("--verbose", action="store_true", help="debug log on stderr")
    return ap.parse_args(argv)


def make_log(args):
    log = logging.getLogger("fakedevice")
    log.propagate = False
    if args.log or args.verbose:
        handler = logging.FileHandler(args.log) if args.log else logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("%(asctime)s %(threadName)s %(message)s"))
        log.addHandler(handler)
        log.setLevel(logging.DEBUG)
    else:
        log.addHandler(logging.NullHandler())
    return log


def refusal(args, control_path):
    """Why the emulator cannot start with these options, or None."""
    if not os.path.isdir(args.root):
        return "--root %s is not a folder" % args.root
    udids = [args.udid] + [wanted["udid"] for wanted in args.phone]
    for wanted in args.phone:
        if udids.count(wanted["udid"]) > 1:
            return "--phone %s: another phone has that UDID" % wanted["udid"]
        if "root" in wanted and not os.path.isdir(wanted["root"]):
            return "--phone %s: root %s is not a folder" % (wanted["udid"], wanted["root"])
    for option, path in (("--socket", args.socket), ("--control", control_path)):
        refused = not_a_socket(path)
        if refused:
            return "%s %s" % (option, refused)
    return None


def parsed_fault(text):
    name, _, value = text.partition("=")
    if value == "":
        return name, True
    try:
        return name, int(value)
    except ValueError:
        return name, value


def first_phone(args, daemon):
    """The phone the options without --phone describe."""
    phone = Phone(udid=args.udid, root=os.path.abspath(args.root), profile=args.profile,
                  trust_store=daemon.trust_store())
    if args.product_version:
        phone.product_version = args.product_version
    if not args.no_library:
        fill_library(phone.root, args.profile)
    phone.device_name = args.device_name
    phone.trust_any_host = args.trust_any_host
    phone.latency = args.latency_ms / 1000.0
    phone.bandwidth = args.bandwidth * 1e6
    phone.plain = args.plain
    phone.service_ssl = args.service_ssl == "on"
    return phone


def added_phone(wanted, number, daemon, own_roots):
    """A phone of --phone; a folder of its own when it names none."""
    root = wanted.get("root")
    if root is None:
        root = tempfile.mkdtemp(prefix="fakedevice-phone-")
        own_roots.append(root)
    profile = wanted.get("profile", "modern")
    phone = Phone(udid=wanted["udid"], root=os.path.abspath(root), profile=profile,
                  number=number, trust_store=daemon.trust_store())
    if "name" in wanted:
        phone.device_name = wanted["name"]
    if "version" in wanted:
        phone.product_version = wanted["version"]
    fill_library(phone.root, profile)
    return phone


def with_media_daemon(phone, log):
    phone.media_daemon = MediaDaemon(phone, log)
    phone.fault_listeners.append(phone.media_daemon.faults_changed)
    return phone


def plug_in(daemon, phone, paired, detached):
    daemon.add_phone(phone)
    if paired:
        daemon.make_paired(phone)
    if not detached:
        daemon.attach(phone)


def main(argv=None):
    args = parse_args(argv)
    log = make_log(args)
    control_path = args.control or args.socket + ".control"
    refused = refusal(args, control_path)
    if refused:
        print("fakedevice: %s" % refused, file=sys.stderr)
        return 2

    daemon = Daemon(state_dir=args.state_dir, log=log)
    daemon.preflight = args.preflight
    first = with_media_daemon(first_phone(args, daemon), log)
    for fault in args.fault:
        name, value = parsed_fault(fault)
        if name != "unpaired":  # the default state already is: nothing trusted, no record
            first.set_fault(name, value)
    plug_in(daemon, first, args.paired, args.detached)
    own_roots = []
    try:
        for number, wanted in enumerate(args.phone, 1):
            phone = with_media_daemon(added_phone(wanted, number, daemon, own_roots), log)
            plug_in(daemon, phone, wanted.get("paired"), wanted.get("detached"))
        return serve(args, control_path, daemon, log)
    finally:
        for root in own_roots:
            shutil.rmtree(root, ignore_errors=True)


def serve(args, control_path, daemon, log):
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
    control = Control(daemon, stop)
    sel = selectors.DefaultSelector()
    sel.register(mux_sock, selectors.EVENT_READ, "mux")
    sel.register(ctl_sock, selectors.EVENT_READ, "control")
    sel.register(wake_r, selectors.EVENT_READ, "wake")
    log.debug("ready: socket %s control %s phones %s", args.socket, control_path,
              ", ".join("%s at %s" % (p.udid, p.root) for p in daemon.phones))

    while not stopping.is_set():
        for key, _ in sel.select():
            if key.data == "wake":
                continue
            try:
                conn, _ = key.fileobj.accept()
            except OSError:
                continue
            if key.data == "mux":
                target = muxd.MuxClient(conn, daemon, log).serve
            else:
                target = lambda c=conn: control.serve(c)  # noqa: E731
            threading.Thread(target=target, daemon=True).start()

    log.debug("stopping")
    for phone in daemon.phones:
        phone.media_daemon.stop()
    for sock, path, identity in ((mux_sock, args.socket, mux_identity),
                                 (ctl_sock, control_path, ctl_identity)):
        sock.close()
        remove_own_socket(path, identity)
    daemon.unplug_all()
    for s in daemon.device_sockets():
        close_quietly(s)
    return 0


if __name__ == "__main__":
    sys.exit(main())
