"""afclink end to end when the link breaks: cuts at any offset of a copy and
unplugging, each answered by one "Error: " line, then the link coming back
by itself. Same set-up as test_device (an emulator over TLS per test).
"""

import os
import signal
import time
import unittest

import test_device as base
from afclink_driver import Afclink
from music_library import CDB, PLAIN_DB, compressed_database, database_header, pseudo_random
from test_device import DEADLINE, put


class LinkCuts(base.DeviceCase):
    """A link cut at any offset answers "Error: ", the link comes back by
    itself, and the retry gives the device's bytes exactly."""

    def cut_then_retry(self, command, local, expected, offsets):
        for offset in offsets:
            with self.subTest(offset=offset):
                self.emulator.cut(after_bytes=offset)
                reply = self.app.ask(command)
                self.assertTrue(reply.startswith("Error: "), reply)
                self.assertEqual(self.app.wait_for_status("connected", DEADLINE), "connected")
                self.assertEqual(self.app.ask(command), "ok")
                self.assertEqual(self.read_local(local), expected)
        self.assertEqual(self.emulator.state()["counters"]["cuts"], len(offsets))

    def test_getFile_cut_inside_short_and_full_replies_and_between_them(self):
        # 1 MiB, then a short last reply of 551,424 bytes: cuts inside the
        # short one once crashed the library's reply reader.
        data = pseudo_random(1_600_000)
        put(self.emulator, "/big.bin", data)
        self.connect()
        offsets = [1_300_000, 1_599_999, 1_048_577, 1_100_000, 1_500_000,
                   1_048_576, 12_345, 500_000, 1_048_575, 1]
        self.cut_then_retry('getFile /big.bin "%s"' % self.local("f"), "f", data, offsets)

    def test_getDB_cut_in_the_header_and_the_body(self):
        header = database_header(244)
        body = pseudo_random(1 << 20) + b"mhsd track list " * 20000
        put(self.emulator, CDB, compressed_database(header, body, 6))
        put(self.emulator, PLAIN_DB, b"a plain database the cuts must not fall back to")
        self.connect()
        stream = os.path.getsize(os.path.join(self.emulator.root, CDB.lstrip("/")))
        offsets = [100, 243, 244, 245, 70_000, 1_048_576, 1_048_577,
                   stream - 1000, stream - 1, stream // 2]
        self.cut_then_retry('getDB "%s"' % self.local("db"), "db", header + body, offsets)


class Signals(base.DeviceCase):
    """A parent that quits or a logout, mid-copy: afclink ends as the signal
    would, and only the earlier file is left."""

    def test_sigterm_sigint_and_sighup_leave_only_the_earlier_file(self):
        # Two pieces and a bit at 2 MB/s: the first is written a good two
        # seconds before the rest has crossed the link.
        put(self.emulator, "/big.bin", pseudo_random(9_000_000))
        with open(self.local("f"), "wb") as f:
            f.write(b"the earlier file")
        self.emulator.set(bandwidth=2)
        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=number.name):
                if number != signal.SIGTERM:
                    address = base.address_of(self.emulator)
                    self.app = Afclink(env={"USBMUXD_SOCKET_ADDRESS": address},
                                       home=self.home.name)
                    self.addCleanup(self.app.__exit__, None, None, None)
                self.connect()
                self.app.send(('getFile /big.bin "%s"\n' % self.local("f")).encode())
                deadline = time.monotonic() + DEADLINE
                while not any(name != "f" and os.path.getsize(self.local(name)) > 0
                              for name in os.listdir(self.out.name)):
                    self.assertLess(time.monotonic(), deadline, "no copy under way")
                    time.sleep(0.01)
                self.app.process.send_signal(number)
                self.assertEqual(self.app.process.wait(DEADLINE), -number)
                self.assertEqual(os.listdir(self.out.name), ["f"])
                self.assertEqual(self.read_local("f"), b"the earlier file")


class Unplugging(base.DeviceCase):
    def test_unplug_and_replug_reconnect_by_themselves_without_leaking(self):
        put(self.emulator, "/f.txt", b"still here\n")
        self.connect()
        descriptors = len(os.listdir("/proc/%d/fd" % self.app.process.pid))
        for cycle in range(100):
            self.emulator.detach()
            self.assertNotEqual(self.app.wait_for_status("connecting", DEADLINE), "connected")
            self.emulator.attach()
            self.assertEqual(self.app.wait_for_status("connected", DEADLINE), "connected",
                             "cycle %d" % cycle)
        self.assertEqual(self.app.ask('getFile /f.txt "%s"' % self.local("f")), "ok")
        self.assertEqual(self.read_local("f"), b"still here\n")
        self.assertEqual(len(os.listdir("/proc/%d/fd" % self.app.process.pid)), descriptors)


if __name__ == "__main__":
    unittest.main()
