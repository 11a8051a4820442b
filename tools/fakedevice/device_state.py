"""The emulated handheld's shared state: presence, identity, trust, faults, counters.

Every service thread reads and changes this one object under its lock. Sockets that
belong to the device (lockdownd and AFC pipes) are registered here so that a detach
or a link cut can close them from any thread.

Trust is what a phone keeps after pairing: per HostID, the three certificates the
host sent in its Pair request. The device certificate is what the device presents
in TLS; the root and host certificates are what it accepts from that host.
"""

import os
import plistlib
import socket
import threading
import time
import uuid

from tls import CERT_KEYS, FIXTURE_HOST

DEFAULT_UDID = "00008030fa1d2c3b4e5f60718293a4b5c6d7e8f9"
LOCKDOWN_PORT = 62078
FIRST_SERVICE_PORT = 49152
LAST_SERVICE_PORT = 65535

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


class Service:
    """A port StartService opened: it takes one usbmuxd Connect."""

    __slots__ = ("name", "host_id", "ssl")

    def __init__(self, name, host_id, ssl):
        self.name = name
        self.host_id = host_id
        self.ssl = ssl


class DeviceState:
    def __init__(self, udid=DEFAULT_UDID, state_dir=None, log=None):
        self.lock = threading.RLock()
        self.log = log
        self.udid = udid
        self.attached = False
        # usbmuxd's preflight: an attached phone that does not trust the stored
        # record stays hidden from clients until the user taps Trust.
        self.preflight = False
        self.hidden = False
        self.device_id = 0
        self._next_device_id = 1
        self.profile = None
        self.use_profile("modern")
        self.media_daemon = None    # writes the modern library under its faults
        self.fault_listeners = []   # called, without the lock, after faults change
        self.device_name = "Emulated iPhone"
        self.wifi_address = "3c:22:fb:00:11:22"
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
        self.counters = {"afc_requests": 0, "afc_bytes_read": 0, "afc_bytes_written": 0,
                         "lockdown_connections": 0, "afc_connections": 0,
                         "pair_requests": 0, "sessions": 0, "cuts": 0,
                         "tls_handshakes": 0, "tls_refusals": 0, "tls_hangups": 0,
                         "tls_silences": 0, "library_commits": 0, "library_checkpoints": 0}
        self.state_dir = state_dir
        self.pair_records = {}
        self.buid = str(uuid.uuid4()).upper()
        self._listeners = {}        # socket -> lock serialising its writes
        self._device_socks = {}     # socket -> DeviceID it was opened for
        self._services = {}         # port -> Service, until its one Connect
        self._next_port = FIRST_SERVICE_PORT
        self._load_state()

    def use_profile(self, name):
        """The phone this profile describes (KeyError for an unknown one)."""
        for key, value in PROFILES[name].items():
            setattr(self, key, value)
        self.profile = name

    # ---- persistence of pair records (only inside the emulator's state folder) ----

    def _load_state(self):
        if not self.state_dir:
            return
        os.makedirs(os.path.join(self.state_dir, "pair_records"), exist_ok=True)
        buid_path = os.path.join(self.state_dir, "buid")
        if os.path.exists(buid_path):
            with open(buid_path) as f:
                self.buid = f.read().strip() or self.buid
        else:
            with open(buid_path, "w") as f:
                f.write(self.buid)
        folder = os.path.join(self.state_dir, "pair_records")
        for name in os.listdir(folder):
            if name.endswith(".plist"):
                with open(os.path.join(folder, name), "rb") as f:
                    self.pair_records[name[:-6]] = f.read()
        trusted = os.path.join(self.state_dir, "trusted_hosts.plist")
        if os.path.exists(trusted):
            with open(trusted, "rb") as f:
                self.trusted = plistlib.load(f)

    def _store_state(self):
        if not self.state_dir:
            return
        folder = os.path.join(self.state_dir, "pair_records")
        for name in os.listdir(folder):
            if name.endswith(".plist") and name[:-6] not in self.pair_records:
                os.unlink(os.path.join(folder, name))
        for record_id, data in self.pair_records.items():
            with open(os.path.join(folder, record_id + ".plist"), "wb") as f:
                f.write(data)
        with open(os.path.join(self.state_dir, "trusted_hosts.plist"), "wb") as f:
            plistlib.dump(self.trusted, f)

    def save_pair_record(self, record_id, data):
        with self.lock:
            self.pair_records[record_id] = bytes(data)
            self._store_state()

    def delete_pair_record(self, record_id):
        with self.lock:
            found = self.pair_records.pop(record_id, None) is not None
            self._store_state()
            return found

    def trust(self, host_id, certificates=None):
        """Trust host_id with its certificates (default: the fixture host's)."""
        certificates = certificates or FIXTURE_HOST
        with self.lock:
            self.trusted[host_id] = {k: bytes(certificates[k]) for k in CERT_KEYS}
            self._store_state()

    def forget(self, host_id):
        with self.lock:
            self.trusted.pop(host_id, None)
            self._store_state()

    def untrust_all(self):
        with self.lock:
            self.trusted.clear()
            self._store_state()

    def is_trusted(self, host_id):
        with self.lock:
            return self.trust_any_host or (host_id in self.trusted)

    def certificates(self, host_id):
        """The certificates kept for host_id, or None."""
        with self.lock:
            return self.trusted.get(host_id)

    def make_paired(self):
        """A host record and the device's trust without running a real pairing.

        The record holds the fixture host identity (made beforehand as
        libimobiledevice would make it), under a fresh HostID, so the host can run
        TLS with it.
        """
        host_id = str(uuid.uuid4()).upper()
        record = dict(FIXTURE_HOST, HostID=host_id, SystemBUID=self.buid,
                      WiFiMACAddress=self.wifi_address)
        with self.lock:
            self.pair_records[self.udid] = plistlib.dumps(record, fmt=plistlib.FMT_BINARY)
            self.trusted[host_id] = {k: FIXTURE_HOST[k] for k in CERT_KEYS}
            self._store_state()
        return host_id

    def trusts_stored_record(self):
        """Whether a session with usbmuxd's record for this phone would start:
        there is one, and the phone trusts its HostID."""
        with self.lock:
            data = self.pair_records.get(self.udid)
            if data is None:
                return False
            try:
                host_id = plistlib.loads(data).get("HostID")
            except Exception:  # a record the host saved is any bytes it chose
                return False
            return isinstance(host_id, str) and self.is_trusted(host_id)

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

    # ---- service ports ----

    def open_service(self, name, host_id, ssl):
        """A fresh port for one Connect to this service."""
        with self.lock:
            if len(self._services) > (LAST_SERVICE_PORT - FIRST_SERVICE_PORT) // 2:
                del self._services[next(iter(self._services))]  # never connected: forget the oldest
            port = self._next_port
            while port in self._services or port == LOCKDOWN_PORT:
                port = port + 1 if port < LAST_SERVICE_PORT else FIRST_SERVICE_PORT
            self._next_port = port + 1 if port < LAST_SERVICE_PORT else FIRST_SERVICE_PORT
            self._services[port] = Service(name, host_id, ssl)
            return port

    def take_service(self, port):
        """The service waiting on port, which closes to further Connects; None if none."""
        with self.lock:
            return self._services.pop(port, None)

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

    # ---- usbmuxd view: presence, events, device sockets ----

    def device_record(self):
        return {
            "MessageType": "Attached",
            "DeviceID": self.device_id,
            "Properties": {
                "ConnectionSpeed": 480000000,
                "ConnectionType": "USB",
                "DeviceID": self.device_id,
                "LocationID": 0,
                "ProductID": 0x12A8,
                "SerialNumber": self.udid,
            },
        }

    @property
    def shown(self):
        """Plugged in and visible to usbmuxd's clients (not hidden by the preflight)."""
        with self.lock:
            return self.attached and not self.hidden

    def add_listener(self, sock, send_event):
        """Register a Listen socket; announces the device if it is shown."""
        with self.lock:
            write_lock = threading.Lock()
            self._listeners[sock] = (write_lock, send_event)
            if self.shown:
                self._send_event(sock, self.device_record())

    def remove_listener(self, sock):
        with self.lock:
            self._listeners.pop(sock, None)

    def _send_event(self, sock, message):
        write_lock, send_event = self._listeners[sock]
        with write_lock:
            try:
                send_event(sock, message)
            except OSError:
                self._listeners.pop(sock, None)

    def _broadcast(self, message):
        for sock in list(self._listeners):
            self._send_event(sock, message)

    def attach(self, udid=None):
        with self.lock:
            if self.attached:
                return self.device_id
            if udid:
                self.udid = udid
            self.attached = True
            # Preflight runs a session with the stored record; a phone that does
            # not trust it is kept from clients, and usbmuxd asks it for pairing.
            self.hidden = self.preflight and not self.trusts_stored_record()
            self._show_under_new_id()
            return self.device_id

    def _show_under_new_id(self):
        self.device_id = self._next_device_id
        self._next_device_id += 1
        if self.hidden:
            self.log_debug("usbmuxd: device %d hidden until Trust", self.device_id)
        else:
            self._broadcast(self.device_record())

    def log_debug(self, *args):
        if self.log is not None:
            self.log.debug(*args)

    def detach(self):
        with self.lock:
            if not self.attached:
                return False
            self.attached = False
            gone = self.device_id
            if not self.hidden:  # clients never saw a hidden phone come
                self._broadcast({"MessageType": "Detached", "DeviceID": gone})
            self.hidden = False
            self._services.clear()
            for sock, dev_id in list(self._device_socks.items()):
                if dev_id == gone:
                    self.close_device_socket(sock)
            return True

    def notify_paired(self, record_id):
        with self.lock:
            if self.shown and record_id == self.udid:
                self._broadcast({"MessageType": "Paired", "DeviceID": self.device_id})

    def tap_trust(self, trust=True):
        """The user answers the trust prompt, which shows only on an unlocked phone.

        For the prompt of the trust_prompt fault (a host's Pair): "Trust" ends the
        prompt (later Pair requests succeed) and usbmuxd tells its listeners;
        "Don't Trust" refuses the next Pair, after which the prompt shows again.
        For the prompt usbmuxd's preflight asked for: "Trust" makes usbmuxd pair
        the phone itself and show it under a new DeviceID; "Don't Trust" leaves
        it hidden."""
        with self.lock:
            asked_by_usbmuxd = self.attached and self.hidden
            if not asked_by_usbmuxd and not self.faults.get("trust_prompt"):
                raise ValueError("no trust prompt is showing")
            if self.faults.get("locked"):
                raise ValueError("the phone is locked: its trust prompt cannot show")
            if asked_by_usbmuxd:
                if trust:
                    self.faults["trust_prompt"] = None
                    self.trust_denied = False
                    self.make_paired()
                    self.paired_now()
                    self.hidden = False
                    self._show_under_new_id()  # the phone reconnects after pairing
                return
            if not trust:
                self.trust_denied = True
                return
            self.faults["trust_prompt"] = None
            self.trust_denied = False
            if self.attached:
                self._broadcast({"MessageType": "Paired", "DeviceID": self.device_id})

    def register_device_socket(self, sock, device_id):
        with self.lock:
            self._device_socks[sock] = device_id

    def unregister_device_socket(self, sock):
        with self.lock:
            self._device_socks.pop(sock, None)

    def close_device_socket(self, sock):
        # shutdown wakes the thread blocked in recv on it; that thread closes it.
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._device_socks.pop(sock, None)

    def snapshot(self):
        with self.lock:
            return {
                "attached": self.attached,
                "shown": self.shown,
                "preflight": self.preflight,
                "device_id": self.device_id if self.attached else None,
                "udid": self.udid,
                "profile": self.profile,
                "product_version": self.product_version,
                "product_type": self.product_type,
                "device_name": self.device_name,
                "buid": self.buid,
                "trust_any_host": self.trust_any_host,
                "trusted_hosts": sorted(self.trusted),
                "plain": self.plain,
                "service_ssl": self.service_ssl,
                "bandwidth": self.bandwidth / 1e6,
                "open_service_ports": sorted(self._services),
                "pair_record": self.udid in self.pair_records,
                "pair_record_ids": sorted(self.pair_records),
                "listeners": len(self._listeners),
                "device_sockets": len(self._device_socks),
                "latency_ms": self.latency * 1000.0,
                "max_read": self.max_read,
                "faults": {k: v for k, v in self.faults.items() if v is not None},
                "cut_pending": self.cut_bytes is not None or self.cut_replies is not None,
                "counters": dict(self.counters),
            }
