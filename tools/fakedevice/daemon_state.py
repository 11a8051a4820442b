"""The emulated usbmuxd and the host it runs on: pair records, the BUID, Listen
sockets, which phone is plugged in under which DeviceID, the sockets open to each
phone, and the service ports lockdownd opens.

Every service thread reads and changes this object under its lock, taken before
any phone's lock (the order device_state.py states). Sockets that belong to a
phone (lockdownd and AFC pipes) are registered here, so that an unplug or a link
cut can close them from any thread.
"""

import os
import plistlib
import socket
import threading
import uuid

from tls import CERT_KEYS, FIXTURE_HOST

LOCKDOWN_PORT = 62078
FIRST_SERVICE_PORT = 49152
LAST_SERVICE_PORT = 65535


class Service:
    """A port StartService opened on one phone: it takes one usbmuxd Connect."""

    __slots__ = ("name", "host_id", "ssl", "phone")

    def __init__(self, name, host_id, ssl, phone):
        self.name = name
        self.host_id = host_id
        self.ssl = ssl
        self.phone = phone


class Attachment:
    """A phone plugged in: its DeviceID, and whether the preflight hides it."""

    __slots__ = ("device_id", "hidden")

    def __init__(self, device_id, hidden):
        self.device_id = device_id
        self.hidden = hidden


class Daemon:
    def __init__(self, state_dir=None, log=None):
        self.lock = threading.RLock()
        self.log = log
        self.phones = []            # every phone, the first one first
        # usbmuxd's preflight: an attached phone that does not trust the stored
        # record stays hidden from clients until the user taps Trust.
        self.preflight = False
        self.state_dir = state_dir
        self.pair_records = {}
        self.buid = str(uuid.uuid4()).upper()
        self._attached = {}         # Phone -> Attachment, in the order they came
        self._next_device_id = 1
        self._listeners = {}        # socket -> (lock serialising its writes, send)
        self._device_socks = {}     # socket -> (Phone, DeviceID it was opened for)
        self._services = {}         # port -> Service, until its one Connect
        self._next_port = FIRST_SERVICE_PORT
        self._load_state()

    # ---- the phones ----

    def add_phone(self, phone):
        with self.lock:
            if self.find(phone.udid) is not None:
                raise ValueError("two phones with the UDID %s" % phone.udid)
            self.phones.append(phone)

    def find(self, udid):
        """The phone with this UDID, or None."""
        with self.lock:
            return next((p for p in self.phones if p.udid == udid), None)

    def phone(self, udid=None):
        """The phone a control request names (the first one without a UDID)."""
        if udid is None:
            return self.phones[0]
        if not isinstance(udid, str):
            raise TypeError("udid takes a string")
        phone = self.find(udid)
        if phone is None:
            raise KeyError("no phone has the UDID %s" % udid)
        return phone

    def rename(self, phone, udid):
        """A phone's new UDID, while it is unplugged."""
        with self.lock:
            if phone in self._attached:
                raise ValueError("unplug the phone before changing its udid")
            other = self.find(udid)
            if other is not None and other is not phone:
                raise ValueError("another phone has the UDID %s" % udid)
            phone.rename(udid)

    def trust_store(self):
        """Where phones keep their trusted hosts across restarts, or None."""
        return os.path.join(self.state_dir, "trusted_hosts") if self.state_dir else None

    # ---- pair records, persisted only inside the emulator's state folder ----

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

    def pair_record(self, record_id):
        with self.lock:
            return self.pair_records.get(record_id)

    def save_pair_record(self, record_id, data):
        with self.lock:
            self.pair_records[record_id] = bytes(data)
            self._store_state()

    def delete_pair_record(self, record_id):
        with self.lock:
            found = self.pair_records.pop(record_id, None) is not None
            self._store_state()
            return found

    def unpair(self, phone):
        """Neither side knows the other any more: the phone trusts no host, and
        usbmuxd has no record for it."""
        with self.lock:
            phone.untrust_all()
            self.delete_pair_record(phone.udid)

    def make_paired(self, phone):
        """A host record and the phone's trust without running a real pairing.

        The record holds the fixture host identity (made beforehand as
        libimobiledevice would make it), under a fresh HostID, so the host can run
        TLS with it.
        """
        host_id = str(uuid.uuid4()).upper()
        with self.lock:
            record = dict(FIXTURE_HOST, HostID=host_id, SystemBUID=self.buid,
                          WiFiMACAddress=phone.wifi_address)
            self.pair_records[phone.udid] = plistlib.dumps(record, fmt=plistlib.FMT_BINARY)
            self._store_state()
            phone.trust(host_id, {k: FIXTURE_HOST[k] for k in CERT_KEYS})
        return host_id

    def trusts_stored_record(self, phone):
        """Whether a session with usbmuxd's record for this phone would start:
        there is one, and the phone trusts its HostID."""
        with self.lock:
            data = self.pair_records.get(phone.udid)
            if data is None:
                return False
            try:
                host_id = plistlib.loads(data).get("HostID")
            except Exception:  # a record the host saved is any bytes it chose
                return False
            return isinstance(host_id, str) and phone.is_trusted(host_id)

    # ---- service ports ----

    def open_service(self, phone, name, host_id, ssl):
        """A fresh port on phone for one Connect to this service."""
        with self.lock:
            if len(self._services) > (LAST_SERVICE_PORT - FIRST_SERVICE_PORT) // 2:
                del self._services[next(iter(self._services))]  # never connected: forget the oldest
            port = self._next_port
            while port in self._services or port == LOCKDOWN_PORT:
                port = port + 1 if port < LAST_SERVICE_PORT else FIRST_SERVICE_PORT
            self._next_port = port + 1 if port < LAST_SERVICE_PORT else FIRST_SERVICE_PORT
            self._services[port] = Service(name, host_id, ssl, phone)
            return port

    def take_service(self, phone, port):
        """The service waiting on phone's port, which closes to further Connects;
        None if none. Another phone's port stays open for its own phone."""
        with self.lock:
            service = self._services.get(port)
            if service is None or service.phone is not phone:
                return None
            return self._services.pop(port)

    # ---- presence, events, device sockets ----

    def device_record(self, phone, device_id):
        return {
            "MessageType": "Attached",
            "DeviceID": device_id,
            "Properties": {
                "ConnectionSpeed": 480000000,
                "ConnectionType": "USB",
                "DeviceID": device_id,
                "LocationID": phone.location_id,
                "ProductID": 0x12A8,
                "SerialNumber": phone.udid,
            },
        }

    def shown_records(self):
        """ListDevices: every phone plugged in and not hidden, in the order they came."""
        with self.lock:
            return [self.device_record(phone, att.device_id)
                    for phone, att in self._attached.items() if not att.hidden]

    def shown_phone(self, device_id):
        """The phone shown under device_id, or None."""
        with self.lock:
            for phone, att in self._attached.items():
                if att.device_id == device_id and not att.hidden:
                    return phone
            return None

    def device_id(self, phone):
        """The phone's DeviceID while it is plugged in, else None."""
        with self.lock:
            att = self._attached.get(phone)
            return att.device_id if att else None

    def add_listener(self, sock, send_event):
        """Register a Listen socket; announces every phone shown."""
        with self.lock:
            self._listeners[sock] = (threading.Lock(), send_event)
            for record in self.shown_records():
                self._send_event(sock, record)

    def remove_listener(self, sock):
        with self.lock:
            self._listeners.pop(sock, None)

    def _send_event(self, sock, message):
        entry = self._listeners.get(sock)
        if entry is None:
            return
        write_lock, send_event = entry
        with write_lock:
            try:
                send_event(sock, message)
            except OSError:
                self._listeners.pop(sock, None)

    def _broadcast(self, message):
        for sock in list(self._listeners):
            self._send_event(sock, message)

    def attach(self, phone):
        with self.lock:
            att = self._attached.get(phone)
            if att is not None:
                return att.device_id
            # Preflight runs a session with the stored record; a phone that does
            # not trust it is kept from clients, and usbmuxd asks it for pairing.
            att = Attachment(0, self.preflight and not self.trusts_stored_record(phone))
            self._attached[phone] = att
            self._show_under_new_id(phone, att)
            return att.device_id

    def _show_under_new_id(self, phone, att):
        att.device_id = self._next_device_id
        self._next_device_id += 1
        if att.hidden:
            self.log_debug("usbmuxd: device %d (%s) hidden until Trust", att.device_id, phone.udid)
        else:
            self._broadcast(self.device_record(phone, att.device_id))

    def log_debug(self, *args):
        if self.log is not None:
            self.log.debug(*args)

    def detach(self, phone):
        with self.lock:
            att = self._attached.pop(phone, None)
            if att is None:
                return False
            if not att.hidden:  # clients never saw a hidden phone come
                self._broadcast({"MessageType": "Detached", "DeviceID": att.device_id})
            for port, service in list(self._services.items()):
                if service.phone is phone:
                    del self._services[port]
            for sock, (owner, _) in list(self._device_socks.items()):
                if owner is phone:
                    self.close_device_socket(sock)
            return True

    def notify_paired(self, record_id):
        with self.lock:
            phone = self.find(record_id)
            att = self._attached.get(phone)
            if att is not None and not att.hidden:
                self._broadcast({"MessageType": "Paired", "DeviceID": att.device_id})

    def tap_trust(self, phone, trust=True):
        """The user answers the phone's trust prompt, which shows only while it is
        unlocked.

        For the prompt of the trust_prompt fault (a host's Pair): "Trust" ends the
        prompt (later Pair requests succeed) and usbmuxd tells its listeners;
        "Don't Trust" refuses the next Pair, after which the prompt shows again.
        For the prompt usbmuxd's preflight asked for: "Trust" makes usbmuxd pair
        the phone itself and show it under a new DeviceID; "Don't Trust" leaves
        it hidden."""
        with self.lock:
            att = self._attached.get(phone)
            asked_by_usbmuxd = att is not None and att.hidden
            with phone.lock:
                if not asked_by_usbmuxd and not phone.faults.get("trust_prompt"):
                    raise ValueError("no trust prompt is showing")
                if phone.faults.get("locked"):
                    raise ValueError("the phone is locked: its trust prompt cannot show")
                if not trust:
                    if not asked_by_usbmuxd:
                        phone.trust_denied = True
                    return
                phone.faults["trust_prompt"] = None
                phone.trust_denied = False
            if asked_by_usbmuxd:
                self.make_paired(phone)
                phone.paired_now()
                att.hidden = False
                self._show_under_new_id(phone, att)  # the phone reconnects after pairing
            elif att is not None:
                self._broadcast({"MessageType": "Paired", "DeviceID": att.device_id})

    def register_device_socket(self, sock, phone, device_id):
        with self.lock:
            self._device_socks[sock] = (phone, device_id)

    def unregister_device_socket(self, sock):
        with self.lock:
            self._device_socks.pop(sock, None)

    def close_device_socket(self, sock):
        # shutdown wakes the thread blocked in recv on it; that thread closes it.
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        with self.lock:
            self._device_socks.pop(sock, None)

    def device_sockets(self):
        """Every socket open to a phone, and every Listen socket."""
        with self.lock:
            return list(self._device_socks) + list(self._listeners)

    def unplug_all(self):
        with self.lock:
            self._attached.clear()

    def snapshot(self, phone):
        """The state request's answer for one phone, with usbmuxd's own values and
        a line for every phone."""
        with self.lock:
            att = self._attached.get(phone)
            state = phone.snapshot()
            state.update({
                "attached": att is not None,
                "shown": att is not None and not att.hidden,
                "device_id": att.device_id if att else None,
                "preflight": self.preflight,
                "buid": self.buid,
                "pair_record": phone.udid in self.pair_records,
                "pair_record_ids": sorted(self.pair_records),
                "listeners": len(self._listeners),
                "open_service_ports": sorted(port for port, service in self._services.items()
                                             if service.phone is phone),
                "device_sockets": sum(1 for owner, _ in self._device_socks.values()
                                      if owner is phone),
                "phones": [self._summary(p) for p in self.phones],
            })
            return state

    def _summary(self, phone):
        att = self._attached.get(phone)
        return {"udid": phone.udid, "device_name": phone.device_name, "root": phone.root,
                "profile": phone.profile, "attached": att is not None,
                "shown": att is not None and not att.hidden,
                "device_id": att.device_id if att else None}
