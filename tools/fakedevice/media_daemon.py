"""The phone's media daemon: it writes the modern library while a host copies it.

It writes only under its faults. Like the phone's own daemon it keeps one
connection open on the very files the file service serves, with SQLite's
automatic checkpoints off and checkpoints of its own, so the -wal is never
folded in or deleted behind a test's back. Every write is a commit of
music_library's, which keeps the library's invariant.

- library_checkpoint_mid_copy N: the first N READs of the library or its -wal
  that cross the middle of that file first see the daemon add tracks,
  checkpoint (TRUNCATE and RESTART in turn) and record a play: a copy taken
  file by file then holds pages from before and after.
- library_busy "BURST_MS/GAP_MS": small commits every few ms through each burst,
  with a passive checkpoint now and then as an automatic one would, then quiet
  for the gap, for as long as the fault is on.
"""

import os
import random
import sqlite3
import threading
import time

import music_library

MID_COPY_TRACKS = 3
CHECKPOINT_EVERY = 20  # busy commits between passive checkpoints
COMMIT_PAUSE = 0.003


class MediaDaemon:
    def __init__(self, phone, log):
        self.phone = phone
        self.log = log
        self.path = os.path.join(phone.root, music_library.LIBRARY.lstrip("/"))
        self.lock = threading.Lock()  # one writer: the file service's threads and the busy one
        self.conn = None
        self.rng = random.Random(0x5EED)
        self.checkpoint_modes = ["TRUNCATE", "RESTART"]
        self.busy = None
        self.starting = threading.Lock()
        self.stopping = threading.Event()
        self.wake = threading.Event()

    def faults_changed(self):
        """Starts the busy writer when its fault is on and it is not running."""
        self.wake.set()
        with self.starting:
            if self.phone.fault("library_busy") and (self.busy is None or not self.busy.is_alive()):
                self.busy = threading.Thread(target=self._busy, name="media-daemon", daemon=True)
                self.busy.start()

    def stop(self):
        self.stopping.set()
        self.wake.set()
        if self.busy is not None:
            self.busy.join(5)
        with self.lock:
            if self.conn is not None:
                self.conn.close()
                self.conn = None

    # ---- the mid-copy fault ----

    def before_read(self, device_path, fd, length):
        """The file service is about to read length bytes at fd's position."""
        # The file service keeps a path as normpath made it, which leaves "//" alone.
        if "/" + device_path.lstrip("/") not in (music_library.LIBRARY, music_library.LIBRARY_WAL):
            return
        st = self.phone
        with st.lock:
            left = st.faults.get("library_checkpoint_mid_copy")
            if not left:
                return
            position = os.lseek(fd, 0, os.SEEK_CUR)
            size = os.fstat(fd).st_size
            if not position <= size // 2 < position + length:
                return
            st.faults["library_checkpoint_mid_copy"] = left - 1 if left > 1 else None
        self.log.debug("media daemon: writing while %s is read at %d of %d",
                       device_path, position, size)
        self._write(self._commit_checkpoint_commit)

    def _commit_checkpoint_commit(self, conn):
        music_library.add_tracks(conn, self.rng, MID_COPY_TRACKS)
        self.phone.count("library_commits")
        mode = self.checkpoint_modes[0]
        self.checkpoint_modes.reverse()
        if music_library.checkpoint(conn, mode):
            self.phone.count("library_checkpoints")
        # A play, not tracks: its pages do not cover the tracks' in the -wal.
        music_library.record_plays(conn, self.rng)
        self.phone.count("library_commits")

    # ---- the busy fault ----

    def _busy(self):
        commits = 0
        while not self.stopping.is_set():
            value = self.phone.fault("library_busy")
            if not value:
                return
            try:
                burst_ms, gap_ms = (float(part) for part in str(value).split("/"))
            except ValueError:
                self.log.debug("media daemon: library_busy %r is not BURST_MS/GAP_MS", value)
                return
            self.wake.clear()
            end = time.monotonic() + burst_ms / 1000.0
            while time.monotonic() < end and self.phone.fault("library_busy"):
                commits += 1
                self._write(lambda conn, n=commits: self._small_commit(conn, n))
                time.sleep(COMMIT_PAUSE)
            self.wake.wait(gap_ms / 1000.0)

    def _small_commit(self, conn, number):
        if number % 2:
            music_library.add_tracks(conn, self.rng, 1)
        else:
            music_library.record_plays(conn, self.rng)
        self.phone.count("library_commits")
        if number % CHECKPOINT_EVERY == 0 and music_library.checkpoint(conn, "PASSIVE"):
            self.phone.count("library_checkpoints")

    # ---- the one connection ----

    def _write(self, work):
        with self.lock:
            try:
                if self.conn is None:
                    if not os.path.exists(self.path):
                        return
                    self.conn = music_library.open_library(self.path)
                work(self.conn)
            except sqlite3.Error as e:  # a library the test replaced or broke
                self.log.debug("media daemon: %s", e)
