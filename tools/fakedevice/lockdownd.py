"""lockdownd on device port 62078: 4-byte big-endian length, then a plist.

Pairing stores the host's certificates under its HostID. StartSession answers
EnableSessionSSL true (unless the device runs plain) and the connection turns
into TLS right after that reply, with the certificates kept for that HostID;
StopSession turns it back to plain text on the same socket. StartService opens
a fresh port for exactly one connection to the file service.
"""

import plistlib
import ssl
import struct
import uuid

import tls
from wire import PeerGone

LENGTH = struct.Struct(">I")
MAX_MESSAGE = 4 << 20
AFC_SERVICE = "com.apple.afc"


def tls_context(phone, host_id):
    """(server context, certificates the host may present) for host_id's TLS."""
    certs = phone.certificates(host_id)
    tls12_only = bool(phone.fault("tls12_only"))
    if certs is None:  # a device that trusts any host, and has never paired with this one
        return tls.server_context(tls.FIXTURE_HOST["DeviceCertificate"], (), tls12_only), ()
    accepted = () if phone.trust_any_host else (certs["RootCertificate"], certs["HostCertificate"])
    return tls.server_context(certs["DeviceCertificate"], accepted, tls12_only), accepted


def start_tls(sock, phone, host_id, log, what):
    """The phone's side of a TLS handshake on sock; TlsStream, or None when refused
    or cut off."""
    context, accepted = tls_context(phone, host_id)
    stream = tls.TlsStream(sock, context)
    if what == "lockdownd" and phone.fault("tls_silent"):
        # A phone that stops answering mid-handshake: the host must give up by
        # itself; the connection closes only once the host has.
        phone.count("tls_silences")
        log.debug("%s: TLS handshake left unanswered", what)
        stream.stay_silent()
        return None
    if what == "lockdownd" and phone.take_tls_hangup():
        # A phone just trusted may drop its first sessions: it takes the host's
        # hello, then closes the connection without an answer.
        stream.hang_up()
        log.debug("%s: TLS handshake cut off", what)
        return None
    try:
        stream.handshake(accepted)
    except tls.TlsRefused as e:
        phone.count("tls_refusals")  # counted before the host can learn of it
        log.debug("%s: TLS refused: %s", what, e)
        stream.flush_quietly()
        return None
    phone.count("tls_handshakes")
    log.debug("%s: TLS on, %s %s", what, stream.version, stream.obj.cipher()[0])
    return stream


class Lockdown:
    def __init__(self, sock, daemon, phone, log):
        self.sock = sock
        self.stream = tls.PlainStream(sock)
        self.daemon = daemon
        self.phone = phone
        self.log = log
        self.session_id = None
        self.session_host = None

    def serve(self):
        self.phone.count("lockdown_connections")
        try:
            while True:
                (length,) = LENGTH.unpack(self.stream.recv_exact(LENGTH.size))
                if length > MAX_MESSAGE:
                    return
                body = self.stream.recv_exact(length)
                try:
                    request = plistlib.loads(body)
                except Exception:
                    self.log.debug("lockdownd: unreadable plist")
                    return
                if not isinstance(request, dict):
                    return
                name = request.get("Request")
                self.log.debug("lockdownd: %s", name)
                try:
                    reply = self.handle(name, request)
                except (TypeError, ValueError, AttributeError):  # keys of the wrong type
                    self.log.exception("lockdownd: bad request")
                    reply = {"Error": "InvalidRequest"}
                if isinstance(name, str):
                    reply.setdefault("Request", name)
                self.send(reply)
                if name == "Goodbye":
                    return
                if reply.get("EnableSessionSSL"):
                    stream = start_tls(self.sock, self.phone, self.session_host, self.log,
                                       "lockdownd")
                    if stream is None:
                        return
                    self.stream = stream
                elif name == "StopSession" and self.stream.tls:
                    self.stream = self.stream.end()
        except PeerGone:
            pass

    def send(self, message):
        body = plistlib.dumps(message, fmt=plistlib.FMT_XML)
        # One write: libimobiledevice reads the length in one go, and in TLS that
        # means length and body share a record.
        self.stream.send_all(LENGTH.pack(len(body)) + body)

    def values(self):
        st = self.phone
        return {
            "ProductVersion": st.product_version,
            "ProductName": "iPhone OS",
            "ProductType": st.product_type,
            "BuildVersion": st.build_version,
            "DeviceClass": "iPhone",
            "DeviceName": st.device_name,
            "UniqueDeviceID": st.udid,
            "SerialNumber": st.serial_number,
            "HardwareModel": st.hardware_model,
            "CPUArchitecture": st.cpu_architecture,
            "ActivationState": "Activated",
            "PasswordProtected": bool(st.fault("locked")),
            "DevicePublicKey": tls.DEVICE_PUBLIC_KEY_PEM,
            "WiFiAddress": st.wifi_address,
            "BluetoothAddress": "3c:22:fb:00:11:23",
            "TimeZone": "Europe/Berlin",
        }

    def pair_refusal(self):
        st = self.phone
        with st.lock:
            if st.faults.get("locked"):
                return "PasswordProtected"
            if st.faults.get("trust_prompt"):
                if st.trust_denied:
                    st.trust_denied = False
                    return "UserDeniedPairing"
                return "PairingDialogResponsePending"
            return st.faults.get("pair_refused")

    def handle(self, name, request):
        st = self.phone
        if name == "QueryType":
            return {"Type": "com.apple.mobile.lockdown"}
        if name == "GetValue":
            domain, key = request.get("Domain"), request.get("Key")
            values = self.values() if domain is None else {}
            if key is None:
                return _echo(request, {"Value": values})
            if key not in values:
                return _echo(request, {"Error": "MissingValue"})
            return _echo(request, {"Value": values[key]})
        if name == "Pair":
            st.count("pair_requests")
            refusal = self.pair_refusal()
            if refusal:
                return {"Error": refusal}
            record = request.get("PairRecord")
            host_id = _host_id(request)
            if not host_id or not _usable_certificates(record):
                return {"Error": "InvalidPairRecord"}
            st.trust(host_id, record)
            st.paired_now()
            return {"EscrowBag": b"emulated-escrow-bag"}
        if name == "ValidatePair":
            refusal = st.fault("validate_fails")
            if refusal:
                return {"Error": refusal}
            if not st.is_trusted(_host_id(request)):
                return {"Error": "InvalidHostID"}
            return {}
        if name == "Unpair":
            st.forget(_host_id(request))
            return {}
        if name == "StartSession":
            refusal = st.fault("session_refused")
            if refusal:
                return {"Error": refusal}
            host_id = request.get("HostID")
            if not isinstance(host_id, str) or not st.is_trusted(host_id):
                return {"Error": "InvalidHostID"}
            if self.stream.tls:
                return {"Error": "SessionActive"}
            self.session_id = str(uuid.uuid4()).upper()
            self.session_host = host_id
            st.count("sessions")
            with st.lock:
                plain = st.plain
            return {"SessionID": self.session_id, "EnableSessionSSL": not plain}
        if name == "StopSession":
            self.session_id = None
            return {}
        if name == "StartService":
            service = request.get("Service")
            if self.session_id is None:
                return {"Error": "SessionInactive"}
            refusal = st.fault("service_refused")
            if refusal:
                return {"Error": refusal}
            if st.fault("locked"):
                return {"Error": "PasswordProtected"}
            if service != AFC_SERVICE:
                return {"Error": "InvalidService"}
            with st.lock:
                use_ssl = st.service_ssl and not st.plain
            port = self.daemon.open_service(st, service, self.session_host, use_ssl)
            return {"Service": service, "Port": port, "EnableServiceSSL": use_ssl}
        if name == "Goodbye":
            return {}
        return {"Error": "UnknownRequest" if name else "MissingValue"}


def _echo(request, reply):
    for k in ("Domain", "Key"):
        if k in request:
            reply[k] = request[k]
    return reply


def _host_id(request):
    record = request.get("PairRecord")
    if isinstance(record, dict):
        host_id = record.get("HostID")
        if isinstance(host_id, str):
            return host_id
    return None


def _usable_certificates(record):
    """The Pair request carries three PEM certificates, and the device certificate
    is over this device's key (else no TLS session could ever start with it)."""
    try:
        for key in tls.CERT_KEYS:
            value = record.get(key)
            if not isinstance(value, bytes):
                return False
            tls.cert_der(value)
        tls.server_context(record["DeviceCertificate"])
    except (ValueError, ssl.SSLError):
        return False
    return True
