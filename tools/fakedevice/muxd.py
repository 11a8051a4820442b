"""usbmuxd on a unix socket: plist requests in 16-byte-header frames.

Each client connection is served by one thread. A Connect that succeeds turns the
socket into a raw pipe to a port of the phone its DeviceID names (lockdownd, or a
service port StartService opened there), served on the same thread. A service port
takes one Connect only.
"""

import plistlib
import struct

import afc
import lockdownd
import tls
from daemon_state import LOCKDOWN_PORT
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
    def __init__(self, sock, daemon, log):
        self.sock = sock
        self.daemon = daemon
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
                self.daemon.remove_listener(self.sock)
            close_quietly(self.sock)

    def reply(self, message, tag):
        send_all(self.sock, encode(message, tag))

    def handle(self, request, tag):
        kind = request.get("MessageType")
        self.log.debug("mux: %s", kind)
        daemon = self.daemon
        if kind == "Listen":
            self.reply(_result(RESULT_OK), tag)
            self.listening = True
            daemon.add_listener(self.sock, send_event)
            # The socket now only carries events; wait here until the client leaves.
            try:
                while self.sock.recv(4096):
                    pass
            except OSError:
                pass
            raise PeerGone("listener left")
        if kind == "ListDevices":
            self.reply({"DeviceList": daemon.shown_records()}, tag)
        elif kind == "ReadBUID":
            self.reply({"BUID": daemon.buid}, tag)
        elif kind == "ReadPairRecord":
            data = daemon.pair_record(request.get("PairRecordID"))
            self.reply({"PairRecordData": data} if data is not None else _result(ENOENT), tag)
        elif kind == "SavePairRecord":
            record_id = request.get("PairRecordID")
            data = request.get("PairRecordData")
            if not isinstance(record_id, str) or not isinstance(data, bytes):
                self.reply(_result(RESULT_BADCOMMAND), tag)
            else:
                daemon.save_pair_record(record_id, data)
                self.reply(_result(RESULT_OK), tag)
                daemon.notify_paired(record_id)
        elif kind == "DeletePairRecord":
            found = daemon.delete_pair_record(request.get("PairRecordID"))
            self.reply(_result(RESULT_OK if found else ENOENT), tag)
        elif kind == "Connect":
            return self.connect(request, tag)
        else:
            self.reply(_result(RESULT_BADCOMMAND), tag)
        return None

    def connect(self, request, tag):
        daemon = self.daemon
        raw = request.get("PortNumber", 0)
        port = ((raw & 0xFF) << 8) | ((raw >> 8) & 0xFF)  # sent in network byte order
        device_id = request.get("DeviceID")
        service = None
        refused = False
        with daemon.lock:
            phone = daemon.shown_phone(device_id)
            if phone is None:
                pass
            elif port == LOCKDOWN_PORT:
                refused = bool(phone.fault("refuse_lockdown"))
            else:
                service = daemon.take_service(phone, port)
                refused = service is None
            if phone is not None and not refused:
                daemon.register_device_socket(self.sock, phone, device_id)
        if phone is None:
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
                    lockdownd.Lockdown(self.sock, daemon, phone, log).serve()
                    return
                stream = tls.PlainStream(self.sock)
                if service.ssl:
                    stream = lockdownd.start_tls(self.sock, phone, service.host_id, log, "afc")
                    if stream is None:
                        return
                afc.AfcService(stream, self.sock, daemon, phone, log).serve()
            finally:
                daemon.unregister_device_socket(self.sock)
        return pipe


def _result(number):
    return {"MessageType": "Result", "Number": number}
