"""lockdownd on device port 62078: 4-byte big-endian length, then a plist.

Sessions never switch to TLS (EnableSessionSSL is false), so the host's certificates
are carried but never used. Trust is a set of HostIDs kept by the device state.
"""

import plistlib
import struct
import uuid

from device_state import AFC_PORT, DEVICE_PUBLIC_KEY_PEM
from wire import PeerGone, recv_exact, send_all

LENGTH = struct.Struct(">I")
MAX_MESSAGE = 4 << 20
AFC_SERVICE = "com.apple.afc"


class Lockdown:
    def __init__(self, sock, state, log):
        self.sock = sock
        self.state = state
        self.log = log
        self.session_id = None

    def serve(self):
        self.state.count("lockdown_connections")
        try:
            while True:
                (length,) = LENGTH.unpack(recv_exact(self.sock, LENGTH.size))
                if length > MAX_MESSAGE:
                    return
                body = recv_exact(self.sock, length)
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
        except PeerGone:
            pass

    def send(self, message):
        body = plistlib.dumps(message, fmt=plistlib.FMT_XML)
        send_all(self.sock, LENGTH.pack(len(body)) + body)  # one write: lid reads the length in one go

    def values(self):
        st = self.state
        return {
            "ProductVersion": st.product_version,
            "ProductName": "iPhone OS",
            "ProductType": "iPhone10,4",
            "BuildVersion": "19A346",
            "DeviceClass": "iPhone",
            "DeviceName": st.device_name,
            "UniqueDeviceID": st.udid,
            "SerialNumber": "F2LEMU00HG7F",
            "HardwareModel": "D201AP",
            "CPUArchitecture": "arm64",
            "ActivationState": "Activated",
            "PasswordProtected": False,
            "DevicePublicKey": DEVICE_PUBLIC_KEY_PEM,
            "WiFiAddress": st.wifi_address,
            "BluetoothAddress": "3c:22:fb:00:11:23",
            "TimeZone": "Europe/Berlin",
        }

    def handle(self, name, request):
        st = self.state
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
            refusal = st.fault("pair_refused")
            if refusal:
                return {"Error": refusal}
            host_id = _host_id(request)
            if not host_id:
                return {"Error": "InvalidPairRecord"}
            st.trust(host_id)
            return {"EscrowBag": b"emulated-escrow-bag"}
        if name == "ValidatePair":
            refusal = st.fault("validate_fails")
            if refusal:
                return {"Error": refusal}
            if not st.is_trusted(_host_id(request)):
                return {"Error": "InvalidHostID"}
            return {}
        if name == "Unpair":
            host_id = _host_id(request)
            with st.lock:
                st.trusted_hosts.discard(host_id)
            return {}
        if name == "StartSession":
            refusal = st.fault("session_refused")
            if refusal:
                return {"Error": refusal}
            if not st.is_trusted(request.get("HostID")):
                return {"Error": "InvalidHostID"}
            self.session_id = str(uuid.uuid4()).upper()
            st.count("sessions")
            return {"SessionID": self.session_id, "EnableSessionSSL": False}
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
            if service != AFC_SERVICE:
                return {"Error": "InvalidService"}
            return {"Service": service, "Port": AFC_PORT, "EnableServiceSSL": False}
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
        return record.get("HostID")
    return None
