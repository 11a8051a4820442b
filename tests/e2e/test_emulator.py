"""The emulated handheld, checked against the real libimobiledevice tools and, for the
file service and the faults, against its own wire protocols spoken directly (in TLS,
as the device asks, unless a test says otherwise)."""

import os
import plistlib
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import tempfile
import threading
import time
import unittest

from fakedevice_control import (DEVICE_IDENTITY, HOST_IDENTITY, LOCKDOWN_PORT,
                                PAIR_CERTIFICATES, AfcError, ControlError, FakeDevice,
                                MuxError, MuxSocket, afc_protocol, client_context,
                                recv_exact)
from music_library import CDB, LIBRARY, LIBRARY_WAL, PLAIN_DB, invariant_violations

UDID = "1111222233334444555566667777888899990000"
SECOND = "00008110-001631C105BA801E"
RECORD = dict(PAIR_CERTIFICATES, HostID="H", SystemBUID="TEST")
TOOLS = all(shutil.which(t) for t in ("idevice_id", "ideviceinfo", "idevicepair"))


def run_tool(dev, *args):
    return subprocess.run(list(args), env=dev.env(), capture_output=True, text=True, timeout=30)


def listen(dev):
    """A Listen socket, past its Result; returns it with the first events unread."""
    mux = MuxSocket(dev.socket_path)
    reply = mux.request({"MessageType": "Listen"})
    assert reply == {"MessageType": "Result", "Number": 0}, reply
    return mux


def _lockdown_message(name, **keys):
    body = plistlib.dumps(dict(keys, Request=name))
    return struct.pack(">I", len(body)) + body


def next_event(mux):
    tag, event = mux.receive()
    assert tag == 0, tag
    return event


@unittest.skipUnless(TOOLS, "libimobiledevice-utils not installed")
class RealToolsTest(unittest.TestCase):
    def test_idevice_id_lists_each_phone_once_and_an_unplugged_one_no_more(self):
        # A family computer: a second phone, with a UDID of the newer form.
        with FakeDevice(udid=UDID, phones=[(SECOND, "Second iPhone")]) as dev, \
                listen(dev) as mux:
            ids = {}
            for _ in range(2):
                event = next_event(mux)
                ids[event["Properties"]["SerialNumber"]] = event["DeviceID"]
            self.assertEqual(sorted(run_tool(dev, "idevice_id", "-l").stdout.splitlines()),
                             sorted([UDID, SECOND]))
            for udid, name in ((UDID, "Emulated iPhone"), (SECOND, "Second iPhone")):
                info = run_tool(dev, "ideviceinfo", "-u", udid, "-k", "DeviceName")
                self.assertEqual((info.returncode, info.stdout.strip()), (0, name), info.stderr)
                # Each phone pairs on its own, and usbmuxd says which one it was.
                self.assertTrue(dev.has_pair_record(udid))
                self.assertEqual(next_event(mux), {"MessageType": "Paired", "DeviceID": ids[udid]})
                with open(os.path.join(dev.root_of(udid), "whose"), "w") as f:
                    f.write(udid)
            dev.detach(udid=SECOND)
            self.assertEqual(next_event(mux), {"MessageType": "Detached", "DeviceID": ids[SECOND]})
            self.assertEqual(run_tool(dev, "idevice_id", "-l").stdout.split(), [UDID])
            info = run_tool(dev, "ideviceinfo", "-u", UDID, "-k", "DeviceName")
            self.assertEqual(info.stdout.strip(), "Emulated iPhone")
            with dev.afc() as afc:
                self.assertEqual(afc.fetch("/whose"), UDID.encode())
            device_id = dev.attach(udid=SECOND)
            event = next_event(mux)
            self.assertEqual((event["DeviceID"], event["Properties"]["SerialNumber"]),
                             (device_id, SECOND))
            with dev.afc(udid=SECOND) as afc:
                self.assertEqual(afc.fetch("/whose"), SECOND.encode())
            dev.detach()
            dev.detach(udid=SECOND)
            self.assertEqual(run_tool(dev, "idevice_id", "-l").stdout.strip(), "")

    def test_pair_then_validate_saves_the_record_through_usbmuxd_only(self):
        with FakeDevice(udid=UDID) as dev:
            self.assertFalse(dev.has_pair_record())
            pair = run_tool(dev, "idevicepair", "-u", UDID, "pair")
            self.assertEqual(pair.returncode, 0, pair.stdout + pair.stderr)
            state = dev.state()
            self.assertTrue(state["pair_record"])
            self.assertEqual(len(state["trusted_hosts"]), 1)
            validate = run_tool(dev, "idevicepair", "-u", UDID, "validate")
            self.assertEqual(validate.returncode, 0, validate.stdout + validate.stderr)
            self.assertEqual(dev.counter("pair_requests"), 1)
            # validate ran a session, in TLS with the certificates pairing gave the device.
            self.assertEqual((dev.counter("tls_handshakes"), dev.counter("tls_refusals")), (1, 0))
            # The record's HostID is the one the device now trusts.
            data = dev.mux_request({"MessageType": "ReadPairRecord", "PairRecordID": UDID})
            record = plistlib.loads(data["PairRecordData"])
            self.assertEqual([record["HostID"]], state["trusted_hosts"])
            self.assertIn("HostPrivateKey", record)
            self.assertEqual(os.listdir(dev.home), [])

    def test_ideviceinfo_pairs_a_fresh_device_and_reads_values(self):
        with FakeDevice(udid=UDID) as dev:
            version = run_tool(dev, "ideviceinfo", "-u", UDID, "-k", "ProductVersion")
            self.assertEqual((version.returncode, version.stdout.strip()), (0, "17.5.1"))
            self.assertTrue(dev.has_pair_record())
            everything = run_tool(dev, "ideviceinfo", "-u", UDID)
            self.assertEqual(everything.returncode, 0)
            self.assertIn("UniqueDeviceID: " + UDID, everything.stdout)
            self.assertIn("DeviceName: Emulated iPhone", everything.stdout)

    def test_premade_record_needs_no_pairing(self):
        # The premade record's keys must be usable by the library for TLS.
        for plain in (False, True):
            with self.subTest(plain=plain), FakeDevice(udid=UDID, paired=True, plain=plain) as dev:
                info = run_tool(dev, "ideviceinfo", "-k", "ProductVersion")
                self.assertEqual(info.returncode, 0, info.stderr)
                self.assertEqual(dev.counter("pair_requests"), 0)
                self.assertEqual(dev.counter("tls_handshakes"), 0 if plain else 1)

    def test_refused_pairing_fails_and_saves_nothing(self):
        with FakeDevice(udid=UDID, faults={"pair_refused": True}) as dev:
            pair = run_tool(dev, "idevicepair", "-u", UDID, "pair")
            self.assertNotEqual(pair.returncode, 0)
            self.assertFalse(dev.has_pair_record())
            self.assertNotEqual(run_tool(dev, "ideviceinfo", "-k", "ProductVersion").returncode, 0)

    def test_device_faults_make_the_handshake_fail(self):
        # ValidatePair is only part of the handshake for devices older than 7.0.
        cases = [("session_refused", None), ("refuse_lockdown", None), ("validate_fails", "6.1")]
        for fault, version in cases:
            with self.subTest(fault=fault), FakeDevice(udid=UDID, paired=True,
                                                       product_version=version) as dev:
                self.assertEqual(run_tool(dev, "ideviceinfo", "-k", "ProductVersion").returncode, 0)
                dev.fault(fault)
                self.assertNotEqual(run_tool(dev, "ideviceinfo", "-k", "ProductVersion").returncode, 0)
                self.assertEqual(run_tool(dev, "idevice_id", "-l").stdout.split(), [UDID])

    @unittest.skipUnless(shutil.which("afcclient"), "this release's tools have no afcclient")
    def test_afcclient_lists_describes_and_copies_over_service_tls_and_plain(self):
        data = os.urandom((5 << 20) + 123)  # more than one of the tool's reads
        for service_ssl in (True, False):
            with self.subTest(service_ssl=service_ssl), tempfile.TemporaryDirectory() as out, \
                    FakeDevice(udid=UDID, paired=True, service_ssl=service_ssl,
                               library=False) as dev:
                os.makedirs(os.path.join(dev.root, "Documents"))
                with open(os.path.join(dev.root, "Documents", "big.bin"), "wb") as f:
                    f.write(data)
                self.assertEqual(run_tool(dev, "afcclient", "ls", "/").stdout.split(),
                                 ["Documents"])
                info = run_tool(dev, "afcclient", "info", "/Documents/big.bin")
                # One generation prints the keys as JSON, another as plain text.
                self.assertRegex(info.stdout, r'"?st_size"?: %d\b' % len(data))
                copy = os.path.join(out, "big.bin")
                got = run_tool(dev, "afcclient", "get", "/Documents/big.bin", copy)
                self.assertEqual(got.returncode, 0, got.stderr)
                with open(copy, "rb") as f:
                    self.assertEqual(f.read(), data)

    def test_device_that_forgot_the_host_is_paired_again(self):
        # Just paired again, the phone cuts off the first session's handshake.
        with FakeDevice(udid=UDID, paired=True,
                        faults={"tls_hangups_after_pair": 1}) as dev:
            dev.untrust()
            self.assertNotEqual(run_tool(dev, "ideviceinfo", "-k", "ProductVersion").returncode, 0)
            self.assertEqual(dev.counter("tls_hangups"), 0)
            self.assertEqual(run_tool(dev, "idevicepair", "pair").returncode, 0)
            first = run_tool(dev, "ideviceinfo", "-k", "ProductVersion")
            self.assertNotEqual(first.returncode, 0)
            self.assertEqual(dev.counter("tls_hangups"), 1)
            self.assertEqual(run_tool(dev, "ideviceinfo", "-k", "ProductVersion").returncode, 0)

    def test_preflight_hides_an_untrusted_phone_until_trust_then_pairs_it(self):
        with FakeDevice(udid=UDID, preflight=True, faults={"locked": True}) as dev, \
                listen(dev) as mux:
            hidden_id = dev.device_id
            self.assertEqual(run_tool(dev, "idevice_id", "-l").stdout.strip(), "")
            with self.assertRaises(MuxError) as refused:
                dev.connect(LOCKDOWN_PORT)
            self.assertEqual(refused.exception.number, 2)
            self.assertRaises(ControlError, dev.tap_trust)  # no prompt on a locked phone
            dev.unlock()
            dev.tap_trust()
            # usbmuxd paired it itself; the phone reconnects under a new DeviceID.
            event = next_event(mux)
            self.assertEqual(event["MessageType"], "Attached")
            self.assertNotEqual(event["DeviceID"], hidden_id)
            self.assertTrue(dev.has_pair_record())
            self.assertEqual(run_tool(dev, "idevice_id", "-l").stdout.split(), [UDID])
            self.assertEqual(run_tool(dev, "ideviceinfo", "-k", "ProductVersion").returncode, 0)
            self.assertEqual(dev.counter("pair_requests"), 0)
            # A phone that trusts the stored record is shown at once; one that
            # forgot it is hidden again, and its unplug is not announced either.
            dev.detach()
            self.assertEqual(next_event(mux)["MessageType"], "Detached")
            shown_id = dev.attach()
            self.assertEqual(next_event(mux)["DeviceID"], shown_id)
            dev.detach()
            self.assertEqual(next_event(mux)["MessageType"], "Detached")
            dev.untrust()
            dev.attach()
            dev.detach()
            mux.sock.settimeout(0.3)
            self.assertRaises(socket.timeout, mux.receive)


class UsbmuxdTest(unittest.TestCase):
    def test_listen_announces_attach_detach_and_pairing_with_fresh_device_ids(self):
        with FakeDevice(udid=UDID) as dev, listen(dev) as first:
            event = next_event(first)
            self.assertEqual(event["MessageType"], "Attached")
            props = event["Properties"]
            self.assertEqual((props["SerialNumber"], props["ConnectionType"]), (UDID, "USB"))
            old_id = event["DeviceID"]
            with listen(dev) as second:
                self.assertEqual(next_event(second)["DeviceID"], old_id)
                dev.detach()
                for mux in (first, second):
                    self.assertEqual(next_event(mux), {"MessageType": "Detached", "DeviceID": old_id})
                new_id = dev.attach()
                self.assertNotEqual(new_id, old_id)
                for mux in (first, second):
                    self.assertEqual(next_event(mux)["DeviceID"], new_id)
                reply = dev.mux_request({"MessageType": "SavePairRecord", "PairRecordID": UDID,
                                         "PairRecordData": b"record", "DeviceID": new_id})
                self.assertEqual(reply["Number"], 0)
                self.assertEqual(next_event(first), {"MessageType": "Paired", "DeviceID": new_id})

    def test_detached_start_announces_nothing_until_attach(self):
        with FakeDevice(attached=False) as dev, listen(dev) as mux:
            self.assertEqual(dev.mux_request({"MessageType": "ListDevices"}), {"DeviceList": []})
            mux.sock.settimeout(0.2)
            self.assertRaises(socket.timeout, mux.receive)
            mux.sock.settimeout(5)
            device_id = dev.attach()
            self.assertEqual(next_event(mux)["DeviceID"], device_id)

    def test_pair_records_are_read_saved_and_deleted(self):
        with FakeDevice(udid=UDID) as dev:
            read = {"MessageType": "ReadPairRecord", "PairRecordID": UDID}
            self.assertEqual(dev.mux_request(read), {"MessageType": "Result", "Number": 2})
            dev.mux_request({"MessageType": "SavePairRecord", "PairRecordID": UDID,
                             "PairRecordData": b"\x00bytes"})
            self.assertEqual(dev.mux_request(read), {"PairRecordData": b"\x00bytes"})
            dev.mux_request({"MessageType": "DeletePairRecord", "PairRecordID": UDID})
            self.assertEqual(dev.mux_request(read)["Number"], 2)
            self.assertIn("BUID", dev.mux_request({"MessageType": "ReadBUID"}))

    def test_connect_refusals(self):
        with FakeDevice() as dev:
            with self.assertRaises(MuxError) as no_device:
                dev.connect(LOCKDOWN_PORT, device_id=dev.device_id + 7)
            self.assertEqual(no_device.exception.number, 2)
            with self.assertRaises(MuxError) as closed_port:
                dev.connect(1234)
            self.assertEqual(closed_port.exception.number, 3)
            dev.fault("refuse_lockdown")
            with self.assertRaises(MuxError) as refused:
                dev.connect(LOCKDOWN_PORT)
            self.assertEqual(refused.exception.number, 3)
            dev.clear_faults()
            dev.detach()
            with self.assertRaises(MuxError) as unplugged:
                dev.connect(LOCKDOWN_PORT)
            self.assertEqual(unplugged.exception.number, 2)

    def test_pair_records_survive_a_restart_in_the_state_folder(self):
        state_dir = tempfile.mkdtemp(prefix="fakedev-state-")
        try:
            with FakeDevice(udid=UDID, paired=True, state_dir=state_dir) as dev:
                host_id = dev.state()["trusted_hosts"]
            with FakeDevice(udid=UDID, state_dir=state_dir) as dev, dev.lockdown() as ld:
                self.assertTrue(dev.has_pair_record())
                self.assertEqual(dev.state()["trusted_hosts"], host_id)
                # The host's certificates came back too: its TLS session is accepted.
                self.assertTrue(ld.request("StartSession", HostID=host_id[0])["EnableSessionSSL"])
                self.assertEqual(ld.request("GetValue", Key="ProductVersion")["Value"], "17.5.1")
        finally:
            shutil.rmtree(state_dir)


class LockdownTest(unittest.TestCase):
    def test_session_and_service_rules(self):
        with FakeDevice() as dev, dev.lockdown() as ld:
            self.assertEqual(ld.request("QueryType")["Type"], "com.apple.mobile.lockdown")
            key = ld.request("GetValue", Key="DevicePublicKey")
            self.assertTrue(key["Value"].startswith(b"-----BEGIN RSA PUBLIC KEY-----"))
            self.assertEqual(ld.request("GetValue", Key="NoSuchKey")["Error"], "MissingValue")
            self.assertEqual(ld.request("StartService", Service="com.apple.afc")["Error"],
                             "SessionInactive")
            # Refused without TLS: the plain requests after it are still understood.
            self.assertEqual(ld.request("StartSession", HostID="STRANGER")["Error"], "InvalidHostID")
            self.assertEqual(ld.request("ValidatePair", PairRecord={"HostID": "H"})["Error"],
                             "InvalidHostID")
            self.assertEqual(ld.request("Pair", PairRecord={"HostID": "H"})["Error"],
                             "InvalidPairRecord")
            pair = ld.request("Pair", PairRecord=RECORD)
            self.assertEqual((pair["Request"], "Error" in pair), ("Pair", False))
            self.assertNotIn("Error", ld.request("ValidatePair", PairRecord={"HostID": "H"}))
            for _ in range(2):  # a second session on the same socket, after StopSession
                session = ld.request("StartSession", HostID="H")
                self.assertIs(session["EnableSessionSSL"], True)
                self.assertEqual(ld.stream.version, "TLSv1.2")
                self.assertEqual(ld.request("GetValue", Key="ProductVersion")["Value"], "17.5.1")
                self.assertNotIn("Error", ld.request("StopSession", SessionID=session["SessionID"]))
                self.assertFalse(ld.stream.tls)
                self.assertEqual(ld.request("GetValue", Key="ProductVersion")["Value"], "17.5.1")
            ld.request("StartSession", HostID="H")
            self.assertEqual(ld.request("StartService", Service="com.apple.other")["Error"],
                             "InvalidService")
            service = ld.request("StartService", Service="com.apple.afc")
            self.assertIs(service["EnableServiceSSL"], True)
            # Each StartService opens its own port, and a port takes one connection.
            again = ld.request("StartService", Service="com.apple.afc")
            self.assertNotEqual(again["Port"], service["Port"])
            dev.connect(service["Port"]).close()
            with self.assertRaises(MuxError) as second:
                dev.connect(service["Port"])
            self.assertEqual(second.exception.number, 3)
            dev.set(service_ssl=False)
            self.assertIs(ld.request("StartService", Service="com.apple.afc")["EnableServiceSSL"],
                          False)
            dev.fault("service_refused", "ServiceProhibited")
            self.assertEqual(ld.request("StartService", Service="com.apple.afc")["Error"],
                             "ServiceProhibited")
            dev.set(plain=True)
            ld.request("StopSession")
            self.assertIs(ld.request("StartSession", HostID="H")["EnableSessionSSL"], False)

    def test_faults_answer_with_their_error_text(self):
        with FakeDevice(trust_any_host=True) as dev, dev.lockdown() as ld:
            self.assertNotIn("Error", ld.request("StartSession", HostID="ANYONE"))
            ld.request("StopSession")
            dev.fault("pair_refused", "PasswordProtected")
            dev.fault("validate_fails")
            dev.fault("session_refused")
            self.assertEqual(ld.request("Pair", PairRecord=RECORD)["Error"], "PasswordProtected")
            self.assertEqual(ld.request("ValidatePair", PairRecord={"HostID": "H"})["Error"],
                             "InvalidHostID")
            self.assertEqual(ld.request("StartSession", HostID="H")["Error"], "InvalidHostID")
            dev.clear_faults()
            self.assertNotIn("Error", ld.request("StartSession", HostID="H"))
            # A locked phone keeps its session but starts no service and does not pair.
            dev.lock()
            self.assertIs(ld.request("GetValue", Key="PasswordProtected")["Value"], True)
            self.assertEqual(ld.request("StartService", Service="com.apple.afc")["Error"],
                             "PasswordProtected")
            self.assertEqual(ld.request("Pair", PairRecord=RECORD)["Error"], "PasswordProtected")
            dev.unlock()
            self.assertEqual(dev.state()["faults"], {})
            self.assertIn("Port", ld.request("StartService", Service="com.apple.afc"))

    def test_trust_prompt_waits_for_a_tap(self):
        with FakeDevice(faults={"trust_prompt": True, "locked": True}) as dev, \
                listen(dev) as mux, dev.lockdown() as ld:
            device_id = next_event(mux)["DeviceID"]
            # Locked: no prompt can show, and a tap changes nothing.
            self.assertEqual(ld.request("Pair", PairRecord=RECORD)["Error"], "PasswordProtected")
            self.assertRaises(ControlError, dev.tap_trust)
            self.assertRaises(ControlError, dev.tap_dont_trust)
            dev.unlock()  # no usbmuxd event for it
            mux.sock.settimeout(0.3)
            self.assertRaises(socket.timeout, mux.receive)
            mux.sock.settimeout(10)
            for _ in range(2):  # the host asks again and again while the prompt shows
                self.assertEqual(ld.request("Pair", PairRecord=RECORD)["Error"],
                                 "PairingDialogResponsePending")
            dev.tap_dont_trust()
            self.assertEqual(ld.request("Pair", PairRecord=RECORD)["Error"], "UserDeniedPairing")
            self.assertEqual(ld.request("Pair", PairRecord=RECORD)["Error"],
                             "PairingDialogResponsePending")
            dev.tap_trust()
            self.assertEqual(next_event(mux), {"MessageType": "Paired", "DeviceID": device_id})
            self.assertNotIn("Error", ld.request("Pair", PairRecord=RECORD))
            self.assertNotIn("Error", ld.request("StartSession", HostID="H"))
            self.assertRaises(ControlError, dev.tap_trust)  # the prompt is gone

    def test_tls_takes_only_the_hosts_certificates_and_honours_the_version_floor(self):
        with FakeDevice(paired=True) as dev:
            host_id = dev.state()["trusted_hosts"][0]

            def session(context):
                with dev.lockdown(context) as ld:
                    ld.request("StartSession", HostID=host_id)
                    return ld.request("GetValue", Key="ProductVersion")["Value"], ld.stream.version

            tls10 = client_context(maximum_version=ssl.TLSVersion.TLSv1)
            self.assertEqual(session(client_context()), ("17.5.1", "TLSv1.2"))
            self.assertEqual(session(client_context(HOST_IDENTITY)), ("17.5.1", "TLSv1.2"))
            self.assertEqual(session(tls10), ("17.5.1", "TLSv1"))
            # Signed by the host's root, but not a certificate the host presents; none at all.
            for identity in (DEVICE_IDENTITY, None):
                with self.subTest(identity=identity), self.assertRaises((ssl.SSLError, OSError)):
                    session(client_context(identity))
            self.assertEqual(dev.counter("tls_refusals"), 2)
            dev.fault("tls12_only")
            with self.assertRaises((ssl.SSLError, OSError)):
                session(tls10)
            self.assertEqual(session(client_context())[1], "TLSv1.2")
            # The file service's TLS has the same floor.
            with self.assertRaises((ssl.SSLError, OSError)):
                dev.afc(context=tls10)

    def test_detach_closes_open_device_sockets(self):
        with FakeDevice() as dev:
            ld = dev.lockdown()
            afc = dev.afc()
            self.addCleanup(ld.close)
            self.addCleanup(afc.close)
            dev.detach()
            for sock in (ld.sock, afc.sock):
                sock.settimeout(5)
                self.assertEqual(sock.recv(1), b"")
            self.assertEqual(dev.state()["device_sockets"], 0)


class AfcTest(unittest.TestCase):
    def setUp(self):
        self.dev = FakeDevice(library=False).start()
        self.addCleanup(self.dev.stop)
        os.makedirs(os.path.join(self.dev.root, "iTunes_Control", "iTunes"))
        self.blob = os.urandom(300000)
        self.put("iTunes_Control/iTunes/iTunesDB", self.blob)
        self.put("empty", b"")

    def put(self, rel, data):
        with open(os.path.join(self.dev.root, rel), "wb") as f:
            f.write(data)

    def test_files_read_back_byte_identical_in_any_piece_size(self):
        with self.dev.afc() as afc:
            self.assertTrue(afc.stream.tls)
            for piece in (1, 8192, 1 << 20):
                if piece == 1:
                    handle = afc.open("/iTunes_Control/iTunes/iTunesDB", 1)
                    self.assertEqual(afc.read(handle, 1), self.blob[:1])
                    afc.close_file(handle)
                    continue
                self.assertEqual(afc.fetch("/iTunes_Control/iTunes/iTunesDB", piece), self.blob)
            self.assertEqual(afc.fetch("/empty"), b"")
            # Requests per fetch: open, reads, the empty read, close.
            self.assertGreater(self.dev.counter("afc_requests"), 300000 // 8192)
            # The host ends TLS with close_notify on a socket it keeps open (as
            # libimobiledevice does on disconnect): the device hangs up.
            afc.stream.end()
            afc.sock.settimeout(5)
            self.assertEqual(afc.sock.recv(1), b"")
        self.dev.set(service_ssl=False)
        with self.dev.afc() as afc:
            self.assertFalse(afc.stream.tls)
            self.assertEqual(afc.fetch("/iTunes_Control/iTunes/iTunesDB", 1 << 20), self.blob)

    def test_open_errors_and_bad_handles(self):
        with self.dev.afc() as afc:
            for path, mode, status in (("/missing", 1, 8), ("/iTunes_Control", 1, 9),
                                       ("/no/such/folder/file", 3, 8), ("/empty", 9, 7)):
                with self.subTest(path=path, mode=mode), self.assertRaises(AfcError) as err:
                    afc.open(path, mode)
                self.assertEqual(err.exception.status, status)
            with self.assertRaises(AfcError) as bad:
                afc.read(4242, 10)
            self.assertEqual(bad.exception.status, 7)

    def test_write_seek_tell_and_modes(self):
        with self.dev.afc() as afc:
            handle = afc.open("/new.bin", 3)
            afc.write(handle, b"hello world")
            afc.seek(handle, 6)
            self.assertEqual(afc.tell(handle), 6)
            afc.write(handle, b"there")
            afc.close_file(handle)
            self.assertEqual(afc.fetch("/new.bin"), b"hello there")
            handle = afc.open("/new.bin", 5)
            afc.write(handle, b"!")
            afc.close_file(handle)
            handle = afc.open("/new.bin", 2)
            afc.seek(handle, -3, 2)
            self.assertEqual(afc.read(handle, 10), b"re!")
            afc.close_file(handle)
            handle = afc.open("/new.bin", 4)
            afc.close_file(handle)
            self.assertEqual(afc.file_info("/new.bin")["st_size"], "0")

    def test_directories(self):
        with self.dev.afc() as afc:
            self.assertEqual(afc.read_dir("/"), [b".", b"..", b"empty", b"iTunes_Control"])
            self.assertEqual(afc.file_info("/iTunes_Control")["st_ifmt"], "S_IFDIR")
            info = afc.file_info("/iTunes_Control/iTunes/iTunesDB")
            self.assertEqual((info["st_ifmt"], info["st_size"]), ("S_IFREG", "300000"))
            afc.make_dir("/a/b")
            with self.assertRaises(AfcError) as not_empty:
                afc.remove("/a")
            self.assertEqual(not_empty.exception.status, 1)
            afc.remove("/a/b")
            afc.remove("/a")
            with self.assertRaises(AfcError) as gone:
                afc.file_info("/a")
            self.assertEqual(gone.exception.status, 8)
            # Paths cannot climb out of the device folder, not even through a
            # symbolic link: refused as a phone's sandbox does, permission denied.
            self.assertEqual(afc.read_dir("/../.."), afc.read_dir("/"))
            os.symlink("/etc", os.path.join(self.dev.root, "out"))
            os.symlink("iTunes_Control/iTunes", os.path.join(self.dev.root, "in"))
            for call, path in ((afc.open, "/out/hostname"), (afc.read_dir, "/out"),
                               (afc.make_dir, "/out/afclink-test"), (afc.remove, "/out/passwd")):
                with self.subTest(path=path), self.assertRaises(AfcError) as refused:
                    call(path, 1) if call == afc.open else call(path)
                self.assertEqual(refused.exception.status, 10)
            self.assertEqual(afc.file_info("/out")["LinkTarget"], "/etc")
            self.assertEqual(afc.fetch("/in/iTunesDB"), self.blob)
            afc.remove("/out")
            self.assertTrue(os.path.exists("/etc/passwd"))

    def test_read_error_from_an_offset(self):
        self.dev.fault("read_error_at", 100000)
        with self.dev.afc() as afc:
            handle = afc.open("/iTunes_Control/iTunes/iTunesDB", 1)
            got = b""
            with self.assertRaises(AfcError) as err:
                for _ in range(100):
                    got += afc.read(handle, 8192)
            self.assertEqual(err.exception.status, 4)
            self.assertEqual(got, self.blob[:100000])

    def test_cut_between_replies_closes_after_the_last_whole_reply(self):
        self.dev.cut(after_bytes=12 * 8192)
        with self.dev.afc() as afc:
            handle = afc.open("/iTunes_Control/iTunes/iTunesDB", 1)
            for i in range(12):
                self.assertEqual(afc.read(handle, 8192), self.blob[i * 8192:(i + 1) * 8192])
            # Closed right after the twelfth reply: not one byte of another reply.
            afc.sock.settimeout(5)
            self.assertEqual(afc.stream.recv(1), b"")
        self.assertEqual(self.dev.state()["counters"]["cuts"], 1)
        self.assertTrue(self.dev.state()["attached"])

    def test_cut_inside_a_reply_announces_the_whole_length(self):
        for service_ssl in (True, False):
            self.dev.set(service_ssl=service_ssl)
            self.dev.cut(after_bytes=100000)
            with self.subTest(service_ssl=service_ssl), self.dev.afc() as afc:
                handle = afc.open("/iTunes_Control/iTunes/iTunesDB", 1)
                for _ in range(12):
                    afc.read(handle, 8192)
                afc.send(afc_protocol.OP_FILE_READ, struct.pack("<QQ", handle, 8192))
                afc.sock.settimeout(5)
                _magic, entire, this_len, _num, _op = afc_protocol.HEADER.unpack(recv_exact(afc.stream, 40))
                self.assertEqual(entire - this_len, 8192)
                tail = b""
                while True:
                    chunk = afc.stream.recv(65536)
                    if not chunk:
                        break
                    tail += chunk
                # In TLS too: the part before the cut arrives whole, then the link ends.
                self.assertEqual(tail, self.blob[12 * 8192:100000])

    def test_cut_with_detach_is_an_unplug(self):
        with listen(self.dev) as mux:
            device_id = next_event(mux)["DeviceID"]
            self.dev.cut(after_replies=2, detach=True)
            with self.dev.afc() as afc:
                handle = afc.open("/empty", 1)
                afc.read(handle, 10)
                afc.sock.settimeout(5)
                self.assertEqual(afc.stream.recv(1), b"")
            self.assertEqual(next_event(mux), {"MessageType": "Detached", "DeviceID": device_id})

    def test_bandwidth_cap_slows_reads_down_to_it(self):
        size, rate = 4 << 20, 20.0  # MB/s
        self.put("big", os.urandom(size))
        self.dev.set(bandwidth=rate)
        with self.dev.afc() as afc:
            start = time.monotonic()
            self.assertEqual(len(afc.fetch("/big", 1 << 20)), size)
            elapsed = time.monotonic() - start
        self.assertGreater(elapsed, 0.9 * size / (rate * 1e6))

    def test_short_reads_when_the_device_limits_them(self):
        self.dev.set(max_read=1000)
        with self.dev.afc() as afc:
            handle = afc.open("/iTunes_Control/iTunes/iTunesDB", 1)
            self.assertEqual(len(afc.read(handle, 8192)), 1000)
            self.assertEqual(afc.fetch("/iTunes_Control/iTunes/iTunesDB", 8192), self.blob)


class MusicLibraryTest(unittest.TestCase):
    def test_each_profile_serves_its_library_and_the_daemon_tears_a_naive_copy(self):
        profiles = {"modern": (("17.5.1", "iPhone15,2", "21F90"), (LIBRARY, LIBRARY_WAL)),
                    "old": (("4.3.5", "iPhone3,1", "8L1"), (CDB, PLAIN_DB))}
        for profile, (values, files) in profiles.items():
            with self.subTest(profile=profile), FakeDevice(profile=profile) as dev:
                with dev.lockdown() as ld:
                    self.assertEqual(tuple(ld.request("GetValue", Key=key)["Value"] for key in
                                           ("ProductVersion", "ProductType", "BuildVersion")),
                                     values)
                with dev.afc() as afc:
                    sizes = [int(afc.file_info(path)["st_size"]) for path in files]
                self.assertGreater(sizes[0], 0)
                self.assertEqual(sizes[1] > 0, profile == "modern")
        with FakeDevice(faults={"library_checkpoint_mid_copy": 2}) as dev, dev.afc() as afc:
            phone = os.path.join(dev.root, LIBRARY.lstrip("/"))
            out = tempfile.mkdtemp(prefix="fakedev-copy-")
            self.addCleanup(shutil.rmtree, out)
            copy = os.path.join(out, "MediaLibrary.sqlitedb")
            commits = 0
            for path, local in ((LIBRARY, copy), (LIBRARY_WAL, copy + "-wal")):
                handle = afc.open(path, 1)
                with open(local, "wb") as f:
                    while True:
                        piece = afc.read(handle, 8192)
                        if not piece:
                            break
                        f.write(piece)
                        # The phone's own files keep the invariant through each commit.
                        if dev.counter("library_commits") != commits:
                            commits = dev.counter("library_commits")
                            self.assertEqual(invariant_violations(phone), [])
                afc.close_file(handle)
            self.assertEqual((commits, dev.counter("library_checkpoints")), (4, 2))
            self.assertEqual(dev.state()["faults"], {})
            self.assertNotEqual(invariant_violations(copy), [])
            # Busy, the daemon commits and checkpoints as it goes; every state read holds.
            dev.fault("library_busy", "100/50")
            deadline = time.monotonic() + 10
            while dev.counter("library_checkpoints") < 4 and time.monotonic() < deadline:
                self.assertEqual(invariant_violations(phone), [])
            self.assertGreaterEqual(dev.counter("library_checkpoints"), 4)


class RobustnessTest(unittest.TestCase):
    def test_many_clients_at_once_and_broken_clients_do_no_harm(self):
        blob = os.urandom(1 << 20)
        with FakeDevice(capture_stderr=True) as dev:
            with open(os.path.join(dev.root, "f"), "wb") as f:
                f.write(blob)
            # Clients that leave inside a message, on every socket kind.
            half = socket.socket(socket.AF_UNIX)
            half.connect(dev.socket_path)
            half.sendall(b"\x40\x00\x00\x00\x01")
            half.close()
            ld = dev.connect(LOCKDOWN_PORT)
            ld.sendall(b"\x00\x00\x01\x00<?xml")
            ld.close()
            afc = dev.afc()
            afc.stream.sendall(afc_protocol.MAGIC + b"\x00\x10")
            afc.close()
            # ... inside a TLS handshake, plain text where TLS belongs, and gone
            # before reading what was asked for (EPIPE, ECONNRESET on the device side).
            host_id = dev.make_paired()
            for first in (b"\x16\x03\x01\x02\x00\x01", b"\x00\x00\x00\x10<?xml version"):
                ld = dev.lockdown()
                ld.sock.sendall(_lockdown_message("StartSession", HostID=host_id))
                ld.sock.recv(4096)
                ld.sock.sendall(first)
                ld.sock.close()
            afc = dev.afc()
            handle = afc.open("/f", 1)
            afc.send(afc_protocol.OP_FILE_READ, struct.pack("<QQ", handle, 1 << 20))
            afc.send(afc_protocol.OP_FILE_READ, struct.pack("<QQ", handle, 1 << 20))
            afc.close()
            garbage = socket.socket(socket.AF_UNIX)
            garbage.connect(dev.socket_path)
            garbage.sendall(b"\xff" * 64)
            garbage.close()

            results = []

            def fetch():
                with dev.afc() as client:
                    results.append(client.fetch("/f", 65536) == blob)
            threads = [threading.Thread(target=fetch) for _ in range(12)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(30)
            self.assertEqual(results, [True] * 12)
            self.assertEqual(dev.mux_request({"MessageType": "ListDevices"})["DeviceList"][0]
                             ["Properties"]["SerialNumber"], dev.udid)
            self.assertEqual(dev.stderr(), b"")

    def test_sigterm_and_quit_stop_cleanly_and_stdout_stays_empty(self):
        for how in ("sigterm", "quit"):
            with self.subTest(how=how):
                dev = FakeDevice()
                dev.proc = subprocess.Popen(dev.args, stdout=subprocess.PIPE,
                                            stderr=subprocess.PIPE)
                try:
                    deadline = time.monotonic() + 10
                    while not os.path.exists(dev.control_path):
                        self.assertLess(time.monotonic(), deadline)
                        time.sleep(0.02)
                    with listen(dev):
                        lockdown = dev.lockdown()
                        lockdown.request("QueryType")
                        if how == "quit":
                            dev.call("quit")
                        else:
                            dev.proc.send_signal(signal.SIGTERM)
                        out, err = dev.proc.communicate(timeout=10)
                        lockdown.close()
                    self.assertEqual((dev.proc.returncode, out, err), (0, b"", b""))
                    self.assertFalse(os.path.exists(dev.socket_path))
                    self.assertFalse(os.path.exists(dev.control_path))
                finally:
                    if dev.proc.poll() is None:
                        dev.proc.kill()
                        dev.proc.wait()
                    dev.stop()

    def test_only_a_socket_is_replaced_at_the_socket_and_control_paths(self):
        dev = FakeDevice()
        self.addCleanup(dev.stop)
        for path in (dev.socket_path, dev.control_path):
            with self.subTest(path=path):
                with open(path, "w") as f:
                    f.write("someone's file\n")
                run = subprocess.run(dev.args, capture_output=True, text=True, timeout=30)
                self.assertEqual(run.returncode, 2)
                self.assertIn("%s exists and is not a socket" % path, run.stderr)
                with open(path) as f:
                    self.assertEqual(f.read(), "someone's file\n")
                os.unlink(path)
        # A stale socket of an earlier run is replaced.
        stale = socket.socket(socket.AF_UNIX)
        stale.bind(dev.socket_path)
        stale.close()
        dev.start()
        self.assertEqual(dev.state()["attached"], True)

    def test_bad_requests_are_answered_and_change_nothing(self):
        log = os.path.join(tempfile.mkdtemp(prefix="fakedev-log-"), "log")
        self.addCleanup(shutil.rmtree, os.path.dirname(log))
        with FakeDevice(log=log) as dev:
            for cmd, args in (("nonsense", {}), ("fault", {"name": "no_such_fault"}),
                              ("set", {"colour": "red"}), ("set", {"latency_ms": "slow"}),
                              ("cut", {}), ("detach", {"udid": SECOND})):
                with self.subTest(cmd=cmd), self.assertRaises(ControlError):
                    dev.call(cmd, **args)
            for line in (b"{not json\n", b"[1, 2]\n"):
                dev._ctl_file.write(line)
                self.assertIn(b'"ok": false', dev._ctl_file.readline())
            with dev.lockdown() as ld:
                self.assertIn("Error", ld.request("GetValue", Key=["not", "a", "string"]))
                self.assertEqual(ld.request("QueryType")["Type"], "com.apple.mobile.lockdown")
            state = dev.state()
            self.assertEqual((state["attached"], state["faults"], state["latency_ms"]),
                             (True, {}, 0.0))


if __name__ == "__main__":
    unittest.main()
