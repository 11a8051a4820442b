#!/usr/bin/env python3
"""getLibrary on a USB-like link: a modern phone's library of 64 MiB with an
8 MiB -wal, the whole command (both copies, the file-information requests
before and after, the log's header read again, SQLite's integrity check and
fold, the placement synced to disk), against getFile of the main file alone
in the same session.

    AFCLINK_BIN=build/afclink python3 bench/library_throughput.py [--main-mib N]
        [--wal-mib N] [--runs N] [--bandwidth MBPS] [--latency-ms MS]

The emulator's link model is device_throughput.py's: 35 MB/s of reply
payload, each reply due 0.5 ms after its request, over TLS. For each command
the script prints the rate over the bytes the phone sent, as a fraction of
the link, the requests, and afclink's CPU per MiB (its whole process from
the command to the reply). Best of --runs for rates, the mean for CPU.
Target: getLibrary at least 0.95 of the link over the bytes copied; its CPU
per MiB is shown beside getFile's (the difference is SQLite's check and
fold, and the placement's second write).
"""

import argparse
import os
import shutil
import sqlite3
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

from device_throughput import WARM_UP, afclink_session  # noqa: E402
from fakedevice_control import FakeDevice  # noqa: E402
import music_library  # noqa: E402  (on the path through fakedevice_control)

TARGET = 0.95


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--main-mib", type=int, default=64)
    ap.add_argument("--wal-mib", type=int, default=8)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--bandwidth", type=float, default=35.0, help="link MB/s")
    ap.add_argument("--latency-ms", type=float, default=0.5, help="per AFC request")
    args = ap.parse_args()
    binary = os.environ.get("AFCLINK_BIN", os.path.join(ROOT, "build", "afclink"))
    if not os.access(binary, os.X_OK):
        print("library_throughput: skipped (no afclink binary)")
        return 0
    link = args.bandwidth * 1e6
    with tempfile.TemporaryDirectory(prefix="afclink-bench-") as work:
        root = os.path.join(work, "phone")
        library = music_library.make_modern_library(
            root, tracks=400, wal_tracks=40, main_bytes=args.main_mib << 20,
            wal_bytes=args.wal_mib << 20, audio=False)
        main_bytes = os.path.getsize(library.main)
        wal_bytes = os.path.getsize(library.wal)
        with open(os.path.join(root, WARM_UP.lstrip("/")), "wb") as f:
            f.write(os.urandom(1 << 20))
        emulator = FakeDevice(root=root, paired=True, latency_ms=args.latency_ms,
                              bandwidth=args.bandwidth).start()
        local = os.path.join(work, "out")
        cases = {"getLibrary": [main_bytes + wal_bytes, 0.0, 0.0, 0, 0],
                 "getFile": [main_bytes, 0.0, 0.0, 0, 0]}
        try:
            for _ in range(args.runs):
                runs = afclink_session(emulator, work, [
                    'getLibrary "%s"', 'getFile %s "%%s"' % music_library.LIBRARY], local)
                for name, (seconds, cpu, counters) in zip(("getLibrary", "getFile"), runs):
                    case = cases[name]
                    case[1] = max(case[1], case[0] / seconds / link)
                    case[2] += cpu * 1000.0 / (case[0] / (1 << 20)) / args.runs
                    case[3] = counters["afc_requests"]
                    case[4] = counters["afc_bytes_read"]
        finally:
            emulator.stop()
        db = sqlite3.connect("file:%s?mode=ro" % local, uri=True)
        checked = db.execute("PRAGMA integrity_check").fetchone()[0]
        db.close()
        shutil.rmtree(root, ignore_errors=True)
    print("getLibrary throughput over TLS: main file %.1f MiB, -wal %.1f MiB, link %.0f MB/s "
          "and %.1f ms per AFC request, best of %d runs (load average %.1f on %d cores)"
          % (main_bytes / 1048576, wal_bytes / 1048576, args.bandwidth, args.latency_ms,
             args.runs, os.getloadavg()[0], os.cpu_count()))
    for name, (nbytes, fraction, cpu, requests, sent) in cases.items():
        print("  %-10s %6.1f MiB  %5.3f of the link  %4d requests (%.1f MiB sent)  "
              "%5.2f ms CPU per MiB" % (name, nbytes / 1048576, fraction, requests,
                                        sent / 1048576, cpu))
    missed = []
    if cases["getLibrary"][1] < TARGET:
        missed.append("getLibrary below %.2f of the link" % TARGET)
    if checked != "ok":
        missed.append("the last copy fails SQLite's integrity check: %s" % checked)
    for miss in missed:
        print("  target missed: " + miss)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
