#!/usr/bin/env python3
"""A typical afclink session against the emulated handheld, printed.

    python3 tools/demo.py build/afclink

Generates a device folder (an iPhone OS 4 music library: a compressed
database with a 244-byte header and the 0-byte plain one beside it, and a
voice memo), starts tools/fakedevice on it as that phone, drives
afclink through its pipes the way a parent application does, prints every
line that crosses the pipes, and checks what was fetched. Exits non-zero if
anything is off.
"""

import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

from fakedevice_control import FakeDevice  # noqa: E402
from music_library import make_old_library  # noqa: E402

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


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "afclink")
    failures = []
    with tempfile.TemporaryDirectory(prefix="afclink-demo-") as work:
        device_root = os.path.join(work, "device")
        os.makedirs(device_root)
        expected_db, expected_memo = build_device_folder(device_root)
        local_db = os.path.join(work, "iTunesDB.local")
        local_memo = os.path.join(work, "memo copy.m4a")

        print("afclink demo: an emulated iPhone OS 4 phone holding a compressed music database")
        print(f"(244-byte header, {len(expected_db) - HEADER_LENGTH} bytes inflated), "
              "an empty plain one, and a voice memo.\n")
        with FakeDevice(root=device_root, profile="old") as device:
            session = Session(binary, device.env())
            session.ask("status")
            session.ask(f"getDB {local_db}")
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
            if session.ask(f"getDB {local_db}") != "ok":
                failures.append("getDB failed")
            session.ask(f'getFile "/Recordings/Memo 1.m4a" "{local_memo}"')
            session.ask("getFile /Recordings/none.m4a /tmp/none")
            session.ask("getDB")
            session.ask("pid")
            session.ask("quit")
            status = session.process.wait(timeout=10)
            stderr = session.process.stderr.read()
            for stream in (session.process.stdin, session.process.stdout, session.process.stderr):
                stream.close()

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
        if status != 0:
            failures.append(f"afclink exited with {status}")
        if stderr:
            failures.append(f"afclink wrote to stderr: {stderr!r}")

    if failures:
        print("\nDEMO FAILED: " + "; ".join(failures))
        return 1
    print("afclink exited with status 0 and wrote nothing to stderr. Demo passed.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
