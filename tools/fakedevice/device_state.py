"""The emulator's shared state: the usbmuxd daemon and the phones plugged into it.

- Phone (this module): one handheld. Its identity (UDID, name, profile and the
  values lockdownd gives), the hosts it trusts, its faults, its file root and media
  daemon, its link (latency, bandwidth, link cuts) and its counters.
- Daemon (daemon_state.py): usbmuxd and the host it runs on. The BUID and the pair
  records, the Listen sockets, which phone is attached under which DeviceID (and
  whether the preflight hides it), the sockets open to each phone, service ports.

Lock order: the daemon's lock before a phone's lock, never the other way round.
Code holding a phone's lock calls nothing that takes the daemon's: a phone that has
to reach usbmuxd (a link cut that unplugs it) lets go of its own lock first. No
code holds two phones' locks at once. A phone's media daemon takes its own lock
before its phone's.

Trust is what a phone keeps after pairing: per HostID, the three certificates the
host sent in its Pair request. The device certificate is what the phone presents in
TLS; the root and host certificates are what it accepts from that host.
"""

import os
import plistlib
import threading

from tls import CERT_KEYS, FIXTURE_HOST

DEFAULT_UDID = "00008030fa1d2c3b4e5f60718293a4b5c6d7e8f9"
DEFAULT_NAME = "Emulated iPhone"

# Faults and their "switched on" value when a test just says true. A string value
# is the lockdownd Error text sent back, so tests can pick other refusals too.
FAULT_DEFAULTS = {
    "pair_refused": "UserDeniedPairing",
    "validate_fails": "InvalidHostID",
    "session_refused": "InvalidHostID",
    "service_refused": "InvalidService",
    "refuse_lockdown": True,
    "read_error_at": None,     # file offset from which READ answers STATUS 4
    "read_error_path": None,   # limit read_error_at to this device path
    "read_past_end_refused": True,  # READ of more than the bytes left (but some) fails
    "trust_prompt": True,      # Pair waits for a tap on the device's trust prompt
    "locked": True,            # a passcode-locked phone: no pairing, no services
    "tls12_only": True,        # no TLS below 1.2
    # After each pairing, this many session TLS handshakes are cut off by the phone.
    "tls_hangups_after_pair": 1,
    "tls_silent": True,        # session TLS handshakes get no answer at all
    # The media daemon commits, checkpoints and commits again while a READ crosses
    # the middle of the library or its -wal, this many times (the value counts down).
    "library_checkpoint_mid_copy": 3,
    # The media daemon commits all through bursts of BURST_MS, then rests GAP_MS.
    "library_busy": "300/700",
}

# What lockdownd says the phone is; the three values of a profile belong together.
PROFILES = {
    "modern": {"product_version": "17.5.1", "product_type": "iPhone15,2",
               "build_version": "21F90", "hardware_model": "D73AP",
               "cpu_architecture": "arm64e"},
    "old": {"product_version": "4.3.5", "product_type": "iPhone3,1",
            "build_version": "8L1", "hardware_model": "N90AP",
            "cpu_architecture": "armv7"},
}

COUNTERS = ("afc_requests", "afc_bytes_read", "afc_bytes_written", "lockdown_connections",
            "afc_connections", "pair_requests", "sessions", "cuts", "tls_handshakes",
            "tls_refusals", "tls_hangups", "tls_silences", "library_commits",
            "library_checkpoints")

BOOL_SETTINGS = ("trust_any_host", "plain", "service_ssl")
TEXT_SETTINGS = ("product_version", "device_name", "wifi_address")


class Phone:
    def __init__(self, udid=DEFAULT_UDID, root=None, profile="modern", number=0,
                 trust_store=None):
        """number: the phone's place among the emulator's phones (0 for the first);
        trust_store: a folder keeping the trusted hosts across restarts, one file
        per UDID, or None."""
        self.lock = threading.RLock()
        self.udid = udid
        self.root = root
        self.profile = None
        self.use_profile(profile)
        self.device_name = DEFAULT_NAME if number == 0 else "%s %d" % (DEFAULT_NAME, number + 1)
        # Two phones of one household differ in their hardware addresses.
        self.serial_number = "F2LEMU%02dHG7F" % number
        self.wifi_address = "3c:22:fb:00:%02x:22" % (0x11 + number)
        self.location_id = number
        self.media_daemon = None    # writes the modern library under its faults
        self.fault_listeners = []   # called, without the lock, after faults change
        self.trust_any_host = False
        self.trusted = {}           # HostID -> {DeviceCertificate, HostCertificate, RootCertificate}
        self.plain = False          # sessions without TLS (EnableSessionSSL false)
        self.service_ssl = True     # AFC inside TLS (EnableServiceSSL)
        self.trust_denied = False   # the prompt was answered "Don't Trust": the next Pair is refused
        self.tls_hangups_left = 0   # session handshakes still to cut off since the last pairing
        self.latency = 0.0          # seconds slept before each AFC reply
        self.bandwidth = 0.0        # bytes per second of AFC reply payload; 0: no cap
        self.link_free_at = 0.0     # monotonic time the capped link has sent all it was given
        self.max_read = 0           # 0: READ answers as much as asked
        self.faults = {name: None for name in FAULT_DEFAULTS}
        # Link cut: bytes of READ payload still allowed, or replies still allowed.
        self.cut_bytes = None
        self.cut_replies = None
        self.cut_detach = False
        self.counters = {name: 0 for name in COUNTERS}
        self._trust_store = trust_store
        self._load_trust()

    def use_profile(self, name):
        """The phone this profile describes (KeyError for an unknown one)."""
        for key, value in PROFILES[name].items():
            setattr(self, key, value)
        self.profile = name

    def configure(self, key, value):
        """One setting of the control channel's set request (KeyError, TypeError)."""
        with self.lock:
            if key == "latency_ms":
                self.latency = float(value) / 1000.0
            elif key == "max_read":
                self.max_read = int(value)
            elif key == "bandwidth":
                self.bandwidth = float(value or 0) * 1e6
            elif key in BOOL_SETTINGS:
                if not isinstance(value, bool):
                    raise TypeError("%s takes true or false" % key)
                setattr(self, key, value)
            elif key in TEXT_SETTINGS:
                if not isinstance(value, str):
                    raise TypeError("%s takes a string" % key)
                setattr(self, key, value)
            else:
                raise KeyError("unknown setting %s" % key)

    # ---- trust, kept per UDID in the trust store ----

    def _trust_file(self):
        return os.path.join(self._trust_store, self.udid + ".plist")

    def _load_trust(self):
        if not self._trust_store:
            return
        os.makedirs(self._trust_store, exist_ok=True)
        if os.path.exists(self._trust_file()):
            with open(self._trust_file(), "rb") as f:
                self.trusted = plistlib.load(f)

    def _store_trust(self):
        if self._trust_store:
            with open(self._trust_file(), "wb") as f:
                plistlib.dump(self.trusted, f)

    def rename(self, udid):
        """A new UDID; the trust kept under the old one moves with the phone."""
        with self.lock:
            old = self._trust_file() if self._trust_store else None
            self.udid = udid
            if old is not None:
                self._store_trust()
                if os.path.exists(old) and old != self._trust_file():
                    os.unlink(old)

    def trust(self, host_id, certificates=None):
        """Trust host_id with its certificates (default: the fixture host's)."""
        certificates = certificates or FIXTURE_HOST
        with self.lock:
            self.trusted[host_id] = {k: bytes(certificates[k]) for k in CERT_KEYS}
            self._store_trust()

    def forget(self, host_id):
        with self.lock:
            self.trusted.pop(host_id, None)
            self._store_trust()

    def untrust_all(self):
        with self.lock:
            self.trusted.clear()
            self._store_trust()

    def is_trusted(self, host_id):
        with self.lock:
            return self.trust_any_host or (host_id in self.trusted)

    def certificates(self, host_id):
        """The certificates kept for host_id, or None."""
        with self.lock:
            return self.trusted.get(host_id)

    def paired_now(self):
        """A pairing just succeeded: arm the session hang-ups of a just-trusted phone."""
        with self.lock:
            self.tls_hangups_left = int(self.faults.get("tls_hangups_after_pair") or 0)

    def take_tls_hangup(self):
        """True when the phone cuts off this session's TLS handshake."""
        with self.lock:
            if self.tls_hangups_left <= 0:
                return False
            self.tls_hangups_left -= 1
            self.counters["tls_hangups"] += 1
            return True

    # ---- the link ----

    def reserve_link(self, nbytes, due):
        """(start, bytes per second) of nbytes of AFC payload on the capped link, or None
        without a cap. The link carries one reply after the other, each from the moment
        it is due; it idles, and that time is lost, while no reply is waiting."""
        with self.lock:
            rate = self.bandwidth
            if rate <= 0:
                return None
            start = max(due, self.link_free_at)
            self.link_free_at = start + nbytes / rate
            return start, rate

    def set_cut(self, after_bytes, after_replies, detach):
        if after_bytes is None and after_replies is None:
            raise ValueError("cut needs after_bytes or after_replies")
        with self.lock:
            self.cut_bytes = None if after_bytes is None else int(after_bytes)
            self.cut_replies = None if after_replies is None else int(after_replies)
            self.cut_detach = bool(detach)

    def take_cut(self):
        """The pending cut happens now: whether it is an unplug."""
        with self.lock:
            detach = self.cut_detach
            self.cut_bytes = None
            self.cut_replies = None
            self.cut_detach = False
            self.counters["cuts"] += 1
            return detach

    # ---- faults ----

    def fault(self, name):
        with self.lock:
            return self.faults.get(name)

    def set_fault(self, name, value):
        if name not in FAULT_DEFAULTS:
            raise KeyError(name)
        if value is True and FAULT_DEFAULTS[name] not in (None, True):
            value = FAULT_DEFAULTS[name]
        if value is False:
            value = None
        with self.lock:
            self.faults[name] = value
        self._faults_changed()

    def _faults_changed(self):
        for listener in list(self.fault_listeners):
            listener()

    def clear_faults(self):
        with self.lock:
            self.faults = {name: None for name in FAULT_DEFAULTS}
            self.cut_bytes = None
            self.cut_replies = None
            self.cut_detach = False
            self.latency = 0.0
            self.bandwidth = 0.0
            self.max_read = 0
            self.trust_denied = False
            self.tls_hangups_left = 0
        self._faults_changed()

    def count(self, name, n=1):
        with self.lock:
            self.counters[name] = self.counters.get(name, 0) + n

    def snapshot(self):
        """What the control channel's state request tells of the phone itself."""
        with self.lock:
            return {
                "udid": self.udid,
                "root": self.root,
                "profile": self.profile,
                "product_version": self.product_version,
                "product_type": self.product_type,
                "device_name": self.device_name,
                "trust_any_host": self.trust_any_host,
                "trusted_hosts": sorted(self.trusted),
                "plain": self.plain,
                "service_ssl": self.service_ssl,
                "bandwidth": self.bandwidth / 1e6,
                "latency_ms": self.latency * 1000.0,
                "max_read": self.max_read,
                "faults": {k: v for k, v in self.faults.items() if v is not None},
                "cut_pending": self.cut_bytes is not None or self.cut_replies is not None,
                "counters": dict(self.counters),
            }
