"""afclink end to end against the emulated handheld, through the real
libimobiledevice and libusbmuxd: connection states, pairing, the database and
file fetches, link cuts, unplugging and quitting.

Each test starts its own emulator (tools/fakedevice) on a socket in a fresh
temporary folder and its own afclink with USBMUXD_SOCKET_ADDRESS pointing at
it and HOME in a temporary folder. Waiting is always a poll with a deadline.
"""

import glob
import os
import signal
import stat
import struct
import tempfile
import time
import unittest
import zlib

from afclink_driver import Afclink
from fakedevice_control import FakeDevice
from music_library import CDB, PLAIN_DB, compressed_database, database_header, pseudo_random

DEADLINE = 20.0
# afclink tries again by itself every couple of seconds; on a loaded machine a
# state the user mended may take several of those tries to show.
SELF_HEAL = 30.0


def put(device, device_path, data):
    """Places a file in the emulated handheld's file system."""
    local = os.path.join(device.root, device_path.lstrip("/"))
    os.makedirs(os.path.dirname(local), exist_ok=True)
    with open(local, "wb") as f:
        f.write(data)


def address_of(device):
    return "UNIX:" + device.socket_path


class DeviceCase(unittest.TestCase):
    """An emulator and an afclink on it; stderr must stay empty throughout."""

    emulator_options = dict(paired=True)

    def setUp(self):
        self.emulator = FakeDevice(**self.emulator_options).start()
        self.addCleanup(self.emulator.stop)
        self.home = tempfile.TemporaryDirectory(prefix="afclink-home-")
        self.addCleanup(self.home.cleanup)
        self.out = tempfile.TemporaryDirectory(prefix="afclink-out-")
        self.addCleanup(self.out.cleanup)
        self.app = Afclink(env={"USBMUXD_SOCKET_ADDRESS": address_of(self.emulator)},
                           home=self.home.name)
        self.addCleanup(self.app.__exit__, None, None, None)
        self.addCleanup(self.check_stderr)

    def check_stderr(self):
        if self.app.process.poll() is None:
            self.app.process.kill()
            self.app.process.wait()
        self.assertEqual(self.app.stderr, b"")

    def local(self, name):
        return os.path.join(self.out.name, name)

    def connect(self):
        self.assertEqual(self.app.ask("connect"), "ok")
        self.assertEqual(self.app.wait_for_status("connected", DEADLINE), "connected")

    def read_local(self, name):
        with open(self.local(name), "rb") as f:
            return f.read()

    def assert_trace(self, prefix, status="connecting"):
        """statusDebug comes to show a line starting with prefix, ending with status."""
        trace, last = self.app.wait_for_trace(prefix, SELF_HEAL)
        self.assertTrue(any(line.startswith(prefix) for line in trace), trace)
        self.assertEqual(last, status, trace)
        return trace


class ConnectionStates(DeviceCase):
    emulator_options = dict(paired=True, attached=False)

    def test_connecting_until_a_device_is_attached_then_connected(self):
        self.assertEqual(self.app.ask("status"), "disconnected")
        self.assertEqual(self.app.ask("connect"), "ok")
        self.assertEqual(self.app.ask("status"), "connecting")
        self.emulator.attach()
        self.assertEqual(self.app.wait_for_status("connected", DEADLINE), "connected")
        self.assertEqual(self.app.ask("connect"), "Error: Already connected.")

    def test_unplug_and_replug_after_disconnect_connects_again(self):
        self.emulator.attach()
        self.connect()
        self.assertEqual(self.app.ask("disconnect"), "ok")
        self.emulator.detach()
        self.assertEqual(self.app.ask("connect"), "ok")
        self.assertEqual(self.app.ask("status"), "connecting")
        put(self.emulator, "/f.txt", b"after the re-plug\n")
        self.emulator.attach()
        self.assertEqual(self.app.wait_for_status("connected", DEADLINE), "connected")
        self.assertEqual(self.app.ask('getFile /f.txt "%s"' % self.local("f")), "ok")
        self.assertEqual(self.read_local("f"), b"after the re-plug\n")

    def test_unplug_during_getFile_then_replug_connects_by_itself(self):
        data = pseudo_random(3 << 20)
        put(self.emulator, "/big.bin", data)
        self.emulator.attach()
        self.connect()
        self.emulator.cut(after_bytes=(1 << 20) + 5000, detach=True)
        self.assertTrue(self.app.ask('getFile /big.bin "%s"' % self.local("f"))
                        .startswith("Error: "))
        self.assertFalse(self.emulator.state()["attached"])
        self.assertEqual(self.app.ask("status"), "connecting")
        self.emulator.attach()
        self.assertEqual(self.app.wait_for_status("connected", DEADLINE), "connected")
        self.assertEqual(self.app.ask('getFile /big.bin "%s"' % self.local("f")), "ok")
        self.assertEqual(self.read_local("f"), data)

    def test_quit_while_an_attempt_waits_for_a_device_exits_with_0(self):
        self.assertEqual(self.app.ask("connect"), "ok")
        self.assertEqual(self.app.ask("quit"), "ok")
        self.assertEqual(self.app.wait(DEADLINE), 0)


class LateDaemon(unittest.TestCase):
    def test_a_usbmuxd_that_starts_after_afclink_is_found(self):
        emulator = FakeDevice(paired=True)  # its socket is named, not yet made
        with Afclink(env={"USBMUXD_SOCKET_ADDRESS": address_of(emulator)}) as app:
            self.assertEqual(app.ask("connect"), "ok")
            self.assertEqual(app.ask("status"), "connecting")
            emulator.start()
            try:
                self.assertEqual(app.wait_for_status("connected", DEADLINE), "connected")
            finally:
                app.process.kill()
                app.process.wait()
                emulator.stop()
            self.assertEqual(app.stderr, b"")


class SystemUsbmuxd(unittest.TestCase):
    """The emulator as the system's usbmuxd, which starts when a phone is plugged in
    and goes away (stopped, or crashed) when it leaves; afclink finds it by itself
    at its default place."""

    SOCKET = "/var/run/usbmuxd"

    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("only root may serve " + self.SOCKET)
        if os.path.lexists(self.SOCKET):
            self.skipTest(self.SOCKET + " is taken, by this system's own usbmuxd or another run")
        self.addCleanup(self.remove_stale_socket)
        self.emulator = FakeDevice(paired=True, socket_path=self.SOCKET)
        self.addCleanup(self.emulator.stop)

    def remove_stale_socket(self):
        try:
            if stat.S_ISSOCK(os.lstat(self.SOCKET).st_mode):
                os.unlink(self.SOCKET)
        except FileNotFoundError:
            pass

    def test_connects_whenever_the_daemon_comes_back_stopped_or_killed(self):
        with Afclink(env={"USBMUXD_SOCKET_ADDRESS": None}) as app:
            self.assertEqual(app.ask("connect"), "ok")
            self.assertEqual(app.ask("status"), "connecting")
            self.emulator.start()
            self.assertEqual(app.wait_for_status("connected", SELF_HEAL), "connected")
            for sig in (signal.SIGTERM, signal.SIGKILL):
                with self.subTest(signal=sig.name):
                    self.emulator.end(sig)
                    # A crashed daemon leaves its socket behind; a stopped one does not.
                    self.assertEqual(os.path.exists(self.SOCKET), sig == signal.SIGKILL)
                    self.assertEqual(app.wait_for_status("connecting", SELF_HEAL), "connecting")
                    self.emulator.start()
                    self.assertEqual(app.wait_for_status("connected", SELF_HEAL), "connected")
            app.process.kill()
            app.process.wait()
            self.assertEqual(app.stderr, b"")


class Pairing(DeviceCase):
    emulator_options = dict()  # no host record, the device trusts nobody

    def test_unpaired_device_pairs_and_the_record_is_kept_by_usbmuxd(self):
        self.assertFalse(self.emulator.state()["pair_record"])
        self.connect()
        state = self.emulator.state()
        self.assertTrue(state["pair_record"])
        self.assertEqual(state["counters"]["pair_requests"], 1)
        self.assertEqual(len(state["trusted_hosts"]), 1)
        # Nothing of the pairing lands in the user's folder.
        self.assertEqual([files for _, _, files in os.walk(self.home.name) if files], [])

    def test_refused_pairing_ends_disconnected(self):
        self.emulator.fault("pair_refused")
        self.assertEqual(self.app.ask("connect"), "ok")
        self.assertEqual(self.app.wait_for_status("disconnected", DEADLINE), "disconnected")
        self.assertFalse(self.emulator.state()["pair_record"])

    def test_a_locked_new_phone_connects_after_unlock_and_trust_alone(self):
        put(self.emulator, "/f.txt", b"trusted\n")
        self.emulator.fault("trust_prompt")
        self.emulator.lock()
        self.assertEqual(self.app.ask("connect"), "ok")
        trace = self.assert_trace("# to do: unlock the phone")
        self.assertTrue(any(line.startswith("# usbmuxd: answers at ") for line in trace), trace)
        self.assertEqual(self.app.ask("status"), "connecting")
        self.emulator.unlock()  # usbmuxd hears nothing of it
        self.assert_trace("# to do: tap Trust")
        self.emulator.tap_trust()
        self.assertEqual(self.app.wait_for_status("connected", SELF_HEAL), "connected")
        self.assert_trace("# session: TLS", "connected")
        self.assertTrue(self.emulator.state()["pair_record"])
        self.assertEqual(self.app.ask('getFile /f.txt "%s"' % self.local("f")), "ok")
        self.assertEqual(self.read_local("f"), b"trusted\n")

    def test_a_phone_that_cuts_its_first_sessions_after_pairing_connects(self):
        self.emulator.fault("tls_hangups_after_pair", 2)
        self.assertEqual(self.app.ask("connect"), "ok")
        self.assertEqual(self.app.wait_for_status("connected", SELF_HEAL), "connected")
        self.assertEqual(self.emulator.counter("tls_hangups"), 2)

    def test_a_session_handshake_the_phone_never_answers_ends_by_itself(self):
        # Whether afclink's own handshake watch or the library's read timeout
        # ends it depends on the library generation; either way it ends, and
        # the library does not then wait for the silent phone's StopSession.
        self.emulator.make_paired()
        self.emulator.fault("tls_silent")
        self.assertEqual(self.app.ask("connect"), "ok")
        self.assert_trace("# to do: wait; an attempt is running")
        # Listing the phones waits for none of them: the attempt still runs.
        trace, count = self.app.traced("devices")
        self.assertEqual((trace, count), (["# %s Emulated iPhone" % self.emulator.udid], "1"))
        self.assert_trace("# to do: wait; an attempt is running")
        self.assertEqual(self.emulator.counter("tls_silences"), 1)
        trace, _ = self.app.wait_for_trace("# last attempt: the secure session", SELF_HEAL)
        self.assertTrue(any(line.startswith("# last attempt: the secure session with the phone "
                                            "failed") for line in trace), trace)
        self.assertFalse(any("an attempt is running" in line for line in trace), trace)

    def test_dont_trust_ends_the_attempt_and_connect_asks_again(self):
        self.connect()
        self.assertEqual(self.app.ask("disconnect"), "ok")
        self.emulator.untrust()  # reset, or trust revoked; our record stays
        self.emulator.fault("trust_prompt")
        self.assertEqual(self.app.ask("connect"), "ok")
        self.assert_trace("# to do: tap Trust")
        self.emulator.tap_dont_trust()
        self.assertEqual(self.app.wait_for_status("disconnected", SELF_HEAL), "disconnected")
        asked = self.emulator.counter("pair_requests")
        self.assertEqual(self.app.ask("connect"), "ok")
        self.assert_trace("# to do: tap Trust")
        self.assertGreater(self.emulator.counter("pair_requests"), asked)
        self.emulator.tap_trust()
        self.assertEqual(self.app.wait_for_status("connected", SELF_HEAL), "connected")
        self.assertEqual(len(self.emulator.state()["trusted_hosts"]), 1)

    def test_quit_while_pairing_exits_with_0(self):
        self.assertEqual(self.app.ask("connect"), "ok")
        self.assertEqual(self.app.ask("quit"), "ok")
        self.assertEqual(self.app.wait(DEADLINE), 0)


class Validation(unittest.TestCase):
    """Validation asks the phone itself, through a session. Devices before
    7.0 are also sent ValidatePair, as libimobiledevice's own tools do; later
    ones are not (they would show a second trust prompt for it)."""

    def lockdown_requests(self, wanted="connected", **options):
        log = tempfile.NamedTemporaryFile(prefix="afd-log-", delete=False)
        self.addCleanup(os.unlink, log.name)
        with FakeDevice(paired=True, log=log.name, **options) as emulator:
            with Afclink(env={"USBMUXD_SOCKET_ADDRESS": address_of(emulator)}) as app:
                self.assertEqual(app.ask("connect"), "ok")
                final = app.wait_for_status(wanted, DEADLINE)
                app.process.kill()
                app.process.wait()
                self.assertEqual(app.stderr, b"")
        with open(log.name) as f:
            return final, [line.split("lockdownd: ")[1].strip()
                           for line in f if "lockdownd: " in line]

    def test_modern_device_is_not_asked_to_validate(self):
        final, requests = self.lockdown_requests(product_version="16.4.1")
        self.assertEqual(final, "connected")
        self.assertNotIn("ValidatePair", requests)
        self.assertIn("StartSession", requests)

    def test_old_device_is_asked_to_validate(self):
        final, requests = self.lockdown_requests(product_version="6.1.3", profile="old")
        self.assertEqual(final, "connected")
        self.assertIn("ValidatePair", requests)

    def test_old_device_that_never_validates_ends_disconnected(self):
        final, requests = self.lockdown_requests("disconnected", product_version="6.1.3",
                                                 profile="old",
                                                 faults={"validate_fails": True})
        self.assertEqual(final, "disconnected")
        self.assertNotIn("StartSession", requests)


class Service(DeviceCase):
    emulator_options = dict(paired=True, faults={"service_refused": True})

    def test_refused_service_ends_disconnected(self):
        self.assertEqual(self.app.ask("connect"), "ok")
        self.assertEqual(self.app.wait_for_status("disconnected", DEADLINE), "disconnected")
        self.assertEqual(self.emulator.state()["counters"]["afc_connections"], 0)

    def test_a_paired_locked_phone_connects_by_itself_once_unlocked(self):
        self.emulator.clear_faults()
        self.emulator.lock()
        self.assertEqual(self.app.ask("connect"), "ok")
        self.assert_trace("# to do: unlock the phone")
        self.emulator.unlock()  # no usbmuxd event: afclink has to try again by itself
        self.assertEqual(self.app.wait_for_status("connected", SELF_HEAL), "connected")


class Preflight(DeviceCase):
    """A usbmuxd that, as Debian's, shows a phone only once it trusts this computer."""
    emulator_options = dict(preflight=True, faults={"locked": True})

    def test_a_hidden_untrusted_phone_connects_once_usbmuxd_shows_it(self):
        self.assertEqual(self.app.ask("connect"), "ok")
        self.assert_trace("# phone: none shown")
        hidden_id = self.emulator.device_id
        self.emulator.unlock()
        self.emulator.tap_trust()
        self.assertNotEqual(self.emulator.device_id, hidden_id)
        self.assertEqual(self.app.wait_for_status("connected", SELF_HEAL), "connected")
        self.assertEqual(self.emulator.counter("pair_requests"), 0)  # usbmuxd paired it


class Tls12OnlyPhone(DeviceCase):
    """A phone that refuses TLS below 1.2 on its session and its service."""
    emulator_options = dict(paired=True, faults={"tls12_only": True})

    def test_connects_and_copies(self):
        put(self.emulator, "/f.bin", pseudo_random(200000))
        self.connect()
        self.assertEqual(self.app.ask('getFile /f.bin "%s"' % self.local("f")), "ok")
        self.assertEqual(self.read_local("f"), pseudo_random(200000))


class PlainFileServicePhone(Tls12OnlyPhone):
    """Phones before iOS 13 run the file service outside TLS."""
    emulator_options = dict(paired=True, service_ssl=False)


class Reconnection(DeviceCase):
    def test_disconnect_then_connect_with_the_device_attached_connects_again(self):
        put(self.emulator, "/a.txt", b"first")
        self.connect()
        self.assertEqual(self.app.ask('getFile /a.txt "%s"' % self.local("a1")), "ok")
        self.assertEqual(self.app.ask("disconnect"), "ok")
        self.assertEqual(self.app.ask("status"), "disconnected")
        self.connect()
        self.assertEqual(self.app.ask('getFile /a.txt "%s"' % self.local("a2")), "ok")
        self.assertEqual(self.read_local("a2"), b"first")
        # The replaced file-service connection was closed, not left behind.
        self.assertEqual(self.emulator.state()["counters"]["afc_connections"], 2)

    def test_quit_while_connected_exits_with_0(self):
        self.connect()
        self.assertEqual(self.app.ask("quit"), "ok")
        self.assertEqual(self.app.wait(DEADLINE), 0)


class Database(DeviceCase):
    """An iPhone OS 4 phone, with each case's own database files."""
    emulator_options = dict(paired=True, profile="old", library=False)

    def check_compressed(self, header_length):
        header = database_header(header_length)
        body = (b"mhsd track list " * 40000) + pseudo_random(300000)
        put(self.emulator, CDB, compressed_database(header, body, 6))
        put(self.emulator, PLAIN_DB, b"the stale plain database")
        self.connect()
        self.assertEqual(self.app.ask('getDB "%s"' % self.local("db")), "ok")
        self.assertEqual(self.read_local("db"), header + body)

    def test_compressed_database_with_a_188_byte_header(self):
        self.check_compressed(188)

    def test_compressed_database_with_a_244_byte_header(self):
        self.check_compressed(244)

    def test_real_compressed_databases_from_handhelds(self):
        folder = os.path.join(os.environ.get("AFCLINK_SHARED_DATA", ""), "databases")
        samples = sorted(glob.glob(os.path.join(folder, "*.iTunesCDB*")))
        if not samples:
            self.skipTest("sample data absent")
        self.connect()
        for sample in samples:
            with open(sample, "rb") as f:
                data = f.read()
            header_length = struct.unpack_from("<I", data, 4)[0]
            expected = data[:header_length] + zlib.decompress(data[header_length:])
            put(self.emulator, CDB, data)
            with self.subTest(sample=os.path.basename(sample)):
                self.assertEqual(self.app.ask('getDB "%s"' % self.local("db")), "ok")
                self.assertEqual(self.read_local("db"), expected)

    def test_plain_database_when_there_is_no_compressed_one(self):
        plain = database_header(244) + pseudo_random(50000)
        put(self.emulator, PLAIN_DB, plain)
        self.connect()
        self.assertEqual(self.app.ask('getDB "%s"' % self.local("db")), "ok")
        self.assertEqual(self.read_local("db"), plain)

    def test_neither_database_names_the_plain_one_alone(self):
        self.connect()
        self.assertEqual(self.app.ask('getDB "%s"' % self.local("db")),
                         "Error: Could not open file %s to read. Code 8" % PLAIN_DB)


class Files(DeviceCase):
    def fetch(self, device_path, data, command=None):
        put(self.emulator, device_path, data)
        self.connect()
        line = command or 'getFile "%s" "%s"' % (device_path, self.local("f"))
        self.assertEqual(self.app.ask(line), "ok")
        self.assertEqual(self.read_local("f"), data)

    def test_empty_file(self):
        self.fetch("/empty", b"")

    def test_small_file(self):
        self.fetch("/Documents/small.txt", b"a few bytes\n")

    def test_large_file_comes_in_few_device_requests(self):
        data = pseudo_random((5 << 20) + 4321)
        self.fetch("/big.bin", data)
        # 4 MiB per request, not 8 KiB: open, the size (seek, tell, seek back),
        # three reads (the last two shrinking), the one-byte read at the end,
        # where the device says the file ends (seek, tell), close.
        self.assertLessEqual(self.emulator.state()["counters"]["afc_requests"], 11)

    def test_short_device_replies_still_give_the_whole_file(self):
        self.emulator.set(max_read=5000)
        self.fetch("/odd.bin", pseudo_random(300001))

    def test_device_path_with_blanks_in_quotes(self):
        self.fetch("/My Music/a song.m4a", b"quoted",
                   command="getFile \"/My Music/a song.m4a\" '%s'" % self.local("f"))

    def test_device_path_with_escaped_blanks(self):
        self.fetch("/My Music/a song.m4a", b"escaped",
                   command="getFile /My\\ Music/a\\ song.m4a %s" % self.local("f"))

    def test_a_file_that_grows_during_the_copy_comes_whole(self):
        # At the end it knew, the copy finds more bytes, asks the size again
        # and must read on from where the device was, not from the start.
        data = pseudo_random(9 << 20)
        more = pseudo_random(100_001, seed=2)
        self.connect()
        self.emulator.set(latency_ms=200)  # time to grow it before that end
        host = os.path.join(self.emulator.root, "growing.bin")
        for _attempt in range(3):
            put(self.emulator, "/growing.bin", data)
            read_before = self.emulator.counter("afc_bytes_read")
            self.app.send('getFile /growing.bin "%s"\n' % self.local("f"))
            deadline = time.monotonic() + DEADLINE
            while (self.emulator.counter("afc_bytes_read") == read_before
                   and time.monotonic() < deadline):
                time.sleep(0.005)
            with open(host, "ab") as f:
                f.write(more)
            in_time = self.emulator.counter("afc_bytes_read") - read_before < len(data)
            self.assertEqual(self.app.read_line(DEADLINE), "ok")
            if in_time:
                break
        self.assertTrue(in_time, "the copy reached the end before the file grew")
        self.assertEqual(self.read_local("f"), data + more)

    def test_no_request_asks_past_the_bytes_the_file_holds(self):
        # A cut inside a reply shorter than its request makes the library
        # read past its buffer; the emulator refuses such requests here.
        self.emulator.fault("read_past_end_refused")
        header = database_header(244)
        body = pseudo_random((4 << 20) + 77_777)
        put(self.emulator, CDB, compressed_database(header, body, 1))
        self.fetch("/odd.bin", pseudo_random((6 << 20) + 12_345))
        self.assertEqual(self.app.ask('getDB "%s"' % self.local("db")), "ok")
        self.assertEqual(self.read_local("db"), header + body)

    def test_read_error_comes_after_the_bytes_before_it(self):
        data = pseudo_random(3 << 20)
        self.emulator.fault("read_error_at", 100000)
        put(self.emulator, "/bad.bin", data)
        self.connect()
        self.assertEqual(self.app.ask('getFile /bad.bin "%s"' % self.local("f")),
                         "Error: Could not read 8192 bytes from file /bad.bin. Code 4")
        # A copy that fails is no copy: nothing takes the destination's name.
        self.assertFalse(os.path.exists(self.local("f")))
        self.assertEqual(os.listdir(self.out.name), [])



if __name__ == "__main__":
    unittest.main()


class LocalFailures(DeviceCase):
    """What goes wrong on this side: the disk, the destination, the stream."""
    emulator_options = Database.emulator_options

    def test_a_full_disk_fails_getFile_and_afclink_goes_on(self):
        put(self.emulator, "/big.bin", pseudo_random(1 << 20))
        self.connect()
        reply = self.app.ask("getFile /big.bin /dev/full")
        self.assertTrue(reply.startswith("Error: Couldn't "), reply)
        self.assertIn("/dev/full: No space left on device", reply)
        self.assertEqual(self.app.ask("status"), "connected")

    def test_a_destination_in_a_missing_folder_is_named_with_the_reason(self):
        put(self.emulator, PLAIN_DB, b"plain")
        self.connect()
        target = self.local("no/such/folder/db")
        self.assertEqual(self.app.ask("getDB %s" % target),
                         "Error: Can't open destination file %s: "
                         "No such file or directory" % target)
        self.assertEqual(self.app.ask("getFile %s %s" % (PLAIN_DB, target)),
                         "Error: Can't open destination file %s: "
                         "No such file or directory" % target)

    def test_a_missing_device_file_leaves_the_local_file_untouched(self):
        self.connect()
        with open(self.local("keep"), "wb") as f:
            f.write(b"precious")
        self.assertEqual(self.app.ask("getFile /none %s" % self.local("keep")),
                         "Error: Could not open file /none to read. Code 8")
        self.assertEqual(self.read_local("keep"), b"precious")

    def test_a_compressed_database_cut_short_falls_back_to_the_plain_one(self):
        stream = zlib.compress(pseudo_random(200000), 6)
        put(self.emulator, CDB, database_header(244) + stream[: len(stream) // 2])
        plain = database_header(244) + b"the plain database"
        put(self.emulator, PLAIN_DB, plain)
        self.connect()
        self.assertEqual(self.app.ask('getDB "%s"' % self.local("db")), "ok")
        self.assertEqual(self.read_local("db"), plain)

    def test_a_damaged_compressed_database_falls_back_to_the_plain_one(self):
        damaged = bytearray(zlib.compress(b"mhsd" * 50000, 6))
        damaged[40:60] = b"\xff" * 20
        put(self.emulator, CDB, database_header(244) + bytes(damaged))
        plain = database_header(244) + b"the plain database"
        put(self.emulator, PLAIN_DB, plain)
        self.connect()
        self.assertEqual(self.app.ask('getDB "%s"' % self.local("db")), "ok")
        self.assertEqual(self.read_local("db"), plain)
