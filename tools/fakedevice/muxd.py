"""usbmuxd on a unix socket: plist requests in 16-byte-header frames.

Each client connection is served by one thread. A Connect that succeeds turns the
socket into a raw pipe to a device port (lockdownd, or a service port StartService
opened), served on the same thread. A service port takes one Connect only.
"""

import plistlib
import struct

import afc
import lockdownd
import tls
from device_state import LOCKDOWN_PORT
from wire import PeerGone, close_quietly, recv_exact, send_all

HEADER = struct.Struct("<IIII")  # length (header included), version, message, tag
PLIST_VERSION = 1
PLIST_MESSAGE = 8
MAX_MESSAGE = 1 << 20

RESULT_OK = 0
RESULT_BADCOMMAND = 1
RESULT_BADDEV = 2
RESULT_CONNREFUSED = 3
RESULT_BADVERSION = 6
ENOENT = 2


def encode(message, tag):
    body = plistlib.dumps(message, fmt=plistlib.FMT_XML)
    return HEADER.pack(HEADER.size + len(body), PLIST_VERSION, PLIST_MESSAGE, tag) + body


def send_event(sock, message):
    """Events on a Listen socket travel with tag 0."""
    sock.sendall(encode(message, 0))


class MuxClient:
    def __init__(self, sock, state, log):
        self.sock = sock
        self.state = state
        self.log = log
        self.listening = False

    def serve(self):
        try:
            while True:
                header = recv_exact(self.sock, HEADER.size)
                length, version, message, tag = HEADER.unpack(header)
                if length < HEADER.size or length > MAX_MESSAGE:
                    self.log.debug("mux: bad frame length %d", length)
                    return
                body = recv_exact(self.sock, length - HEADER.size)
                if version != PLIST_VERSION or message != PLIST_MESSAGE:
                    send_all(self.sock, encode(_result(RESULT_BADVERSION), tag))
                    continue
                try:
                    request = plistlib.loads(body)
                except Exception:
                    send_all(self.sock, encode(_result(RESULT_BADCOMMAND), tag))
                    continue
                if not isinstance(request, dict):
                    send_all(self.sock, encode(_result(RESULT_BADCOMMAND), tag))
                    continue
                handover = self.handle(request, tag)
                if handover is not None:
                    handover()
                    return
        except PeerGone:
            pass
        except Exception:  # a malformed request ends this client, never the emulator
            self.log.exception("mux: request failed")
        finally:
            if self.listening:
                self.state.remove_listener(self.sock)
            close_quietly(self.sock)

    def reply(self, message, tag):
        send_all(self.sock, encode(message, tag))

    def handle(self, request, tag):
        kind = request.get("MessageType")
        self.log.debug("mux: %s", kind)
        state = self.state
        if kind == "Listen":
            self.reply(_result(RESULT_OK), tag)
            self.listening = True
            state.add_listener(self.sock, send_event)
            # The socket now only carries events; wait here until the client leaves.
            try:
                while self.sock.recv(4096):
                    pass
            except OSError:
                pass
            raise PeerGone("listener left")
        if kind == "ListDevices":
            with state.lock:
                devices = [state.device_record()] if state.shown else []
            self.reply({"DeviceList": devices}, tag)
        elif kind == "ReadBUID":
            self.reply({"BUID": state.buid}, tag)
        elif kind == "ReadPairRecord":
            with state.lock:
                data = state.pair_records.get(request.get("PairRecordID"))
            self.reply({"PairRecordData": data} if data is not None else _result(ENOENT), tag)
        elif kind == "SavePairRecord":
            record_id = request.get("PairRecordID")
            data = request.get("PairRecordData")
            if not isinstance(record_id, str) or not isinstance(data, bytes):
                self.reply(_result(RESULT_BADCOMMAND), tag)
            else:
                state.save_pair_record(record_id, data)
                self.reply(_result(RESULT_OK), tag)
                state.notify_paired(record_id)
        elif kind == "DeletePairRecord":
            found = state.delete_pair_record(request.get("PairRecordID"))
            self.reply(_result(RESULT_OK if found else ENOENT), tag)
        elif kind == "Connect":
            return self.connect(request, tag)
        else:
            self.reply(_result(RESULT_BADCOMMAND), tag)
        return None

    def connect(self, request, tag):
        state = self.state
        raw = request.get("PortNumber", 0)
        port = ((raw & 0xFF) << 8) | ((raw >> 8) & 0xFF)  # sent in network byte order
        service = None
        with state.lock:
            present = state.shown and request.get("DeviceID") == state.device_id
            device_id = state.device_id
            if not present:
                refused = False
            elif port == LOCKDOWN_PORT:
                refused = bool(state.faults.get("refuse_lockdown"))
            else:
                service = state.take_service(port)
                refused = service is None
            if present and not refused:
                state.register_device_socket(self.sock, device_id)
        if not present:
            self.reply(_result(RESULT_BADDEV), tag)
            return None
        if refused:
            self.reply(_result(RESULT_CONNREFUSED), tag)
            return None
        self.reply(_result(RESULT_OK), tag)
        log = self.log

        def pipe():
            try:
                if service is None:
                    lockdownd.Lockdown(self.sock, state, log).serve()
                    return
                stream = tls.PlainStream(self.sock)
                if service.ssl:
                    stream = lockdownd.start_tls(self.sock, state, service.host_id, log, "afc")
                    if stream is None:
                        return
                afc.AfcService(stream, self.sock, state, log).serve()
            finally:
                state.unregister_device_socket(self.sock)
        return pipe


def _result(number):
    return {"MessageType": "Result", "Number": number}
