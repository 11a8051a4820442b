#!/usr/bin/env python3
"""A typical afclink session against the emulated handheld, printed.

    python3 tools/demo.py build/afclink

Two phones, one after the other, each on a generated device folder:
  - a phone of today (iOS 17): its music library is an SQLite database in
    WAL mode, the newest tracks only in its -wal; afclink fetches it with
    getLibrary as one file, the demo reads three tracks from that copy as a
    parent application would (title, artist, the track's file on the phone)
    and fetches one track's audio file with getFile;
  - an iPhone OS 4 phone: a compressed music database with a 244-byte
    header and the 0-byte plain one beside it, and a voice memo, fetched
    with getDB and getFile.
For each it starts tools/fakedevice as that phone, drives afclink through
its pipes the way a parent application does, prints every line that
crosses the pipes, and checks what was fetched. Exits non-zero if anything
is off.
"""

import os
import sqlite3
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

from fakedevice_control import FakeDevice  # noqa: E402
from music_library import make_modern_library, make_old_library  # noqa: E402

HEADER_LENGTH = 244


def build_device_folder(root):
    expected_db = make_old_library(root, tracks=5000, header_length=HEADER_LENGTH)
    recordings = os.path.join(root, "Recordings")
    os.makedirs(recordings)
    memo = os.urandom(300_000)
    with open(os.path.join(recordings, "Memo 1.m4a"), "wb") as f:
        f.write(memo)
    return expected_db, memo


class Session:
    def __init__(self, binary, env):
        self.process = subprocess.Popen([binary], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=env)

    def ask(self, command, show=True):
        self.process.stdin.write(command.encode() + b"\n")
        self.process.stdin.flush()
        reply = self.process.stdout.readline().decode().rstrip("\n")
        if show:
            print(f"  > {command}")
            print(f"  < {reply}")
        return reply


def connect(session, failures):
    if session.ask("connect") != "ok":
        failures.append("connect was refused")
    print("  ... polling status while the host pairs with the device ...")
    deadline = time.monotonic() + 30
    state = session.ask("status")
    while state != "connected" and time.monotonic() < deadline:
        time.sleep(0.1)
        state = session.ask("status", show=False)
    if state != "connected":
        failures.append(f"never connected (last status: {state})")
    session.ask("status")


def end(session, failures):
    session.ask("quit")
    status = session.process.wait(timeout=10)
    stderr = session.process.stderr.read()
    for stream in (session.process.stdin, session.process.stdout, session.process.stderr):
        stream.close()
    if status != 0:
        failures.append(f"afclink exited with {status}")
    if stderr:
        failures.append(f"afclink wrote to stderr: {stderr!r}")


# What a parent application asks of the copied library: each track's title,
# artist and the path of its audio file on the phone.
TRACKS = """
SELECT e.title, a.item_artist, '/' || b.path || '/' || e.location
  FROM item i JOIN item_extra e USING (item_pid)
  JOIN item_artist a USING (item_artist_pid)
  JOIN base_location b USING (base_location_id)
 WHERE i.media_type = 8 AND e.location != ''
 ORDER BY e.title LIMIT 3"""


def modern_phone(binary, work, failures):
    device_root = os.path.join(work, "modern")
    made = make_modern_library(device_root, tracks=60, wal_tracks=8)
    local_library = os.path.join(work, "MediaLibrary.local.sqlitedb")
    local_track = os.path.join(work, "track.mp3")
    print("afclink demo, part 1: an emulated iPhone on iOS 17 whose music library is an SQLite")
    print(f"database of {made.track_count} tracks, the newest {len(made.wal_only)} of them "
          "only in its -wal (the phone has not checkpointed them yet).\n")
    with FakeDevice(root=device_root) as device:
        session = Session(binary, device.env())
        session.ask("status")
        connect(session, failures)
        if session.ask(f"getLibrary {local_library}") != "ok":
            failures.append("getLibrary failed")
        session.ask(f"getDB {os.path.join(work, 'none.db')}")
        tracks = []
        if os.path.exists(local_library):
            conn = sqlite3.connect(f"file:{local_library}?mode=ro", uri=True)
            tracks = conn.execute(TRACKS).fetchall()
            titles = {row[0] for row in conn.execute("SELECT title FROM item_extra")}
            mode = conn.execute("PRAGMA journal_mode").fetchone()[0]
            count = conn.execute("SELECT count(*) FROM item").fetchone()[0]
            checked = conn.execute("PRAGMA integrity_check").fetchone()[0]
            conn.close()
            print("\n  three tracks read from the copy (title, artist, file on the phone):")
            for title, artist, path in tracks:
                print(f"    {title} | {artist} | {path}")
            print()
            if count != made.track_count or checked != "ok" or mode != "delete":
                failures.append(f"the copied library holds {count} tracks (the phone "
                                f"{made.track_count}), checks {checked!r}, journal {mode}")
            if not {track.title for track in made.wal_only} <= titles:
                failures.append("the tracks only in the -wal are missing")
        if len(tracks) != 3:
            failures.append(f"{len(tracks)} tracks read from the copy")
        else:
            title, _, path = tracks[0]
            if session.ask(f'getFile "{path}" "{local_track}"') != "ok":
                failures.append(f"getFile of {path} failed")
        end(session, failures)
    if len(tracks) == 3 and os.path.exists(local_track):
        with open(os.path.join(device_root, tracks[0][2].lstrip("/")), "rb") as f:
            if f.read() != open(local_track, "rb").read():
                failures.append("the fetched track differs")
            else:
                print(f"fetched library: {made.track_count} tracks, the {len(made.wal_only)} "
                      "only in the -wal included, one self-contained file (journal mode "
                      "delete), integrity check ok")
                print(f"fetched track: {os.path.getsize(local_track)} bytes, identical\n")


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "afclink")
    failures = []
    with tempfile.TemporaryDirectory(prefix="afclink-demo-") as work:
        modern_phone(binary, work, failures)
        device_root = os.path.join(work, "device")
        os.makedirs(device_root)
        expected_db, expected_memo = build_device_folder(device_root)
        local_db = os.path.join(work, "iTunesDB.local")
        local_memo = os.path.join(work, "memo copy.m4a")

        print("afclink demo, part 2: an emulated iPhone OS 4 phone holding a compressed music "
              "database")
        print(f"(244-byte header, {len(expected_db) - HEADER_LENGTH} bytes inflated), "
              "an empty plain one, and a voice memo.\n")
        with FakeDevice(root=device_root, profile="old") as device:
            session = Session(binary, device.env())
            session.ask("status")
            session.ask(f"getDB {local_db}")
            connect(session, failures)
            if session.ask(f"getDB {local_db}") != "ok":
                failures.append("getDB failed")
            session.ask(f'getFile "/Recordings/Memo 1.m4a" "{local_memo}"')
            session.ask("getFile /Recordings/none.m4a /tmp/none")
            session.ask("getDB")
            session.ask(f"getLibrary {os.path.join(work, 'none.sqlitedb')}")
            session.ask("pid")
            end(session, failures)

        print()
        with open(local_db, "rb") as f:
            fetched = f.read()
        if fetched == expected_db:
            print(f"fetched database: {len(fetched)} bytes = the 244-byte header "
                  "followed by the inflated body: correct")
        else:
            failures.append("the fetched database differs from header + inflated body")
        with open(local_memo, "rb") as f:
            if f.read() != expected_memo:
                failures.append("the fetched memo differs")
            else:
                print(f"fetched memo: {len(expected_memo)} bytes, identical")

    if failures:
        print("\nDEMO FAILED: " + "; ".join(failures))
        return 1
    print("afclink exited with status 0 and wrote nothing to stderr. Demo passed.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
