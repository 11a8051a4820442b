"""getLibrary end to end: the modern phone's SQLite library and its -wal,
copied while the emulated media daemon writes them, arrive as one sound,
self-contained file, and a failed copy leaves the earlier one as it was.
Same set-up as test_device (an emulator over TLS per test), on a library
made here so the test knows which tracks live only in the -wal.
"""

import os
import sqlite3
import tempfile
import time
import unittest

import test_device as base
from music_library import (LIBRARY, LIBRARY_WAL, USER_VERSION, invariant_violations,
                           make_modern_library, read_tracks)
from test_device import DEADLINE

KEPT_CHANGING = "Error: The music library kept changing"


class LibraryCase(base.DeviceCase):
    profile = "modern"

    def setUp(self):
        phone = tempfile.TemporaryDirectory(prefix="afclink-phone-")
        self.addCleanup(phone.cleanup)
        self.made = None
        if self.profile == "modern":
            self.made = make_modern_library(phone.name)
        self.emulator_options = dict(paired=True, root=phone.name, profile=self.profile)
        super().setUp()
        self.destination = self.local("library")
        self.command = 'getLibrary "%s"' % self.destination

    def phone_file(self, device_path):
        return os.path.join(self.emulator.root, device_path.lstrip("/"))

    def check_library(self):
        """One sound file in rollback-journal mode, keeping the library's invariant."""
        with open(self.destination, "rb") as f:
            self.assertEqual(f.read(20)[18:20], b"\x01\x01")
        conn = sqlite3.connect("file:%s?mode=ro" % self.destination, uri=True)
        try:
            self.assertEqual(conn.execute("PRAGMA integrity_check").fetchall(), [("ok",)])
            self.assertEqual(conn.execute("PRAGMA user_version").fetchone()[0], USER_VERSION)
        finally:
            conn.close()
        self.assertEqual(invariant_violations(self.destination), [])


class ModernPhone(LibraryCase):
    def test_the_tracks_only_in_the_wal_come_in_one_self_contained_file(self):
        self.connect()
        self.assertEqual(self.app.ask(self.command), "ok")
        # Nothing beside it: no -wal or -shm, no staging folder left behind.
        self.assertEqual(os.listdir(self.out.name), ["library"])
        self.check_library()
        copied = read_tracks(self.destination)
        self.assertEqual(len(copied), self.made.track_count)
        self.assertEqual(set(copied), set(self.made.tracks))
        self.assertTrue(set(self.made.wal_only) <= set(copied))
        # getDB finds no old database here and sends the user to getLibrary.
        reply = self.app.ask('getDB "%s"' % self.local("db"))
        self.assertTrue(reply.startswith("Error: ") and reply.endswith("getLibrary."), reply)
        self.assertFalse(os.path.exists(self.local("db")))

    def test_under_the_media_daemon_every_ok_is_sound_and_a_quiet_phone_copies(self):
        self.connect()
        # Torn tries are taken again until the daemon has done its three writes.
        self.emulator.fault("library_checkpoint_mid_copy")
        self.assertEqual(self.app.ask(self.command), "ok")
        self.assertEqual(self.emulator.counter("library_commits"), 6)
        self.check_library()
        self.emulator.fault("library_busy", "300/700")
        for _ in range(8):
            reply = self.app.ask(self.command)
            if reply == "ok":
                self.check_library()
            else:
                self.assertTrue(reply.startswith(KEPT_CHANGING), reply)
            time.sleep(0.1)
        self.emulator.fault("library_busy", False)
        commits = self.emulator.counter("library_commits")
        time.sleep(0.1)
        self.assertEqual(self.emulator.counter("library_commits"), commits)  # quiet now
        self.assertEqual(self.app.ask(self.command), "ok")
        self.check_library()
        self.assertEqual(read_tracks(self.destination), read_tracks(self.phone_file(LIBRARY)))

    def test_a_cut_in_either_file_answers_one_error_and_keeps_the_earlier_file(self):
        with open(self.destination, "wb") as f:
            f.write(b"the earlier library")
        main = os.path.getsize(self.phone_file(LIBRARY))
        wal = os.path.getsize(self.phone_file(LIBRARY_WAL))
        self.connect()
        # Counted in reply payload: the file-information replies come first,
        # a few hundred bytes that leave each cut inside its file.
        for where, offset in (("main file", main // 2), ("-wal", main + wal // 2)):
            with self.subTest(where=where):
                self.emulator.cut(after_bytes=offset)
                reply = self.app.ask(self.command)
                self.assertTrue(reply.startswith("Error: "), reply)
                self.assertTrue(self.app.no_more_output())
                self.assertEqual(self.read_local("library"), b"the earlier library")
                self.assertEqual(os.listdir(self.out.name), ["library"])
                self.assertEqual(self.app.wait_for_status("connected", DEADLINE), "connected")
        self.assertEqual(self.emulator.counter("cuts"), 2)
        self.assertEqual(self.app.ask(self.command), "ok")
        self.check_library()


class OldPhone(LibraryCase):
    profile = "old"

    def test_getLibrary_on_an_old_phone_sends_the_user_to_getDB(self):
        self.connect()
        reply = self.app.ask(self.command)
        self.assertTrue(reply.startswith("Error: ") and "getDB" in reply, reply)
        self.assertEqual(os.listdir(self.out.name), [])


if __name__ == "__main__":
    unittest.main()
