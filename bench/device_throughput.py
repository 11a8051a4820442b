#!/usr/bin/env python3
"""Device throughput on a USB-like link, over TLS: afclink's getFile and getDB
of 64 MiB against the request patterns of other tools, each a direct
libimobiledevice copy loop (bench/afc_copy.c) through the same library and
the same emulated handheld in the same run. The emulator speaks TLS as a
phone does and models a USB 2.0 link: 35 MB/s of reply payload and 0.5 ms per
AFC request.

    AFCLINK_BIN=build/afclink python3 bench/device_throughput.py [--mib N] [--runs N]
        [--bandwidth MBPS] [--latency-ms MS]

Patterns: 8 KiB requests; 128 KiB requests each preceded by a seek (a file
system mount); 1 MiB requests; 4 MiB requests. Prints, for each, the best
rate of the runs as a fraction of the link's capacity and the CPU time per
MiB (afclink's own process; a loop's whole process, its connection set-up
included). Targets: getFile and getDB each at least 0.95 of the link, and no
slower than any pattern (within 2 %, the runs' own spread).
"""

import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

from afclink_driver import Afclink  # noqa: E402
from fakedevice_control import FakeDevice  # noqa: E402
from test_device import CDB, address_of, database_header, put  # noqa: E402


def build_copy_loop(folder):
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "libimobiledevice-1.0"],
                           check=True, capture_output=True, text=True).stdout.split()
    program = os.path.join(folder, "afc_copy")
    subprocess.run([os.environ.get("CC", "cc"), "-O2", "-o", program,
                    os.path.join(HERE, "afc_copy.c"), *flags], check=True)
    return program


def process_cpu(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed_reply(app, line):
    """Wall seconds and afclink's CPU seconds for one command."""
    cpu = process_cpu(app.process.pid)
    started = time.monotonic()
    reply = app.ask(line, timeout=600)
    elapsed = time.monotonic() - started
    if reply != "ok":
        raise RuntimeError("%s -> %s" % (line, reply))
    return elapsed, process_cpu(app.process.pid) - cpu


def copy_loop(program, env, device_path, local, piece, seek=False):
    """Seconds of the copy as the loop measures it, and its CPU seconds
    (connection set-up included)."""
    cpu = children_cpu()
    done = subprocess.run([program, device_path, local, str(piece)] + (["seek"] if seek else []),
                          env=env,
                          capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        raise RuntimeError("afc_copy failed: " + done.stderr.strip())
    return float(done.stdout.split()[0]), children_cpu() - cpu


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=64)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--bandwidth", type=float, default=35.0, help="link MB/s")
    ap.add_argument("--latency-ms", type=float, default=0.5)
    args = ap.parse_args()
    binary = os.environ.get("AFCLINK_BIN", os.path.join(ROOT, "build", "afclink"))
    if not os.access(binary, os.X_OK) or not shutil.which("pkg-config"):
        print("device_throughput: skipped (no afclink binary or no pkg-config)")
        return 0
    size = args.mib << 20
    link = args.bandwidth * 1e6  # bytes per second

    with tempfile.TemporaryDirectory(prefix="afclink-bench-") as work:
        program = build_copy_loop(work)
        emulator = FakeDevice(paired=True, latency_ms=args.latency_ms,
                              bandwidth=args.bandwidth).start()
        try:
            body = os.urandom(size)
            put(emulator, "/big.bin", body)
            # Random bytes do not shrink: the compressed file is as large as
            # the plain one, so both commands move the same amount.
            put(emulator, CDB, database_header(244) + zlib.compress(body, 1))
            cdb_size = os.path.getsize(os.path.join(emulator.root, CDB.lstrip("/")))
            del body
            env = dict(os.environ, USBMUXD_SOCKET_ADDRESS=address_of(emulator), HOME=work)
            local = os.path.join(work, "out")
            results = {}
            cpu_per_mib = {}

            def record(name, measured, nbytes):
                seconds, cpu = measured
                fraction = nbytes / seconds / link
                if fraction > results.get(name, 0.0):
                    results[name] = fraction
                    cpu_per_mib[name] = cpu * 1000.0 / (nbytes / (1 << 20))

            patterns = [("8 KiB requests", 8192, False),
                        ("128 KiB + seek", 128 << 10, True),
                        ("1 MiB requests", 1 << 20, False),
                        ("4 MiB requests", 4 << 20, False)]
            with Afclink(env={"USBMUXD_SOCKET_ADDRESS": address_of(emulator)}, home=work) as app:
                if app.ask("connect") != "ok" or app.wait_for_status("connected") != "connected":
                    raise RuntimeError("afclink did not connect")
                for run in range(args.runs):
                    record("afclink getFile", timed_reply(app, 'getFile /big.bin "%s"' % local),
                           size)
                    record("afclink getDB", timed_reply(app, 'getDB "%s"' % local), cdb_size)
                    for name, piece, seek in patterns:
                        if piece < (1 << 20) and not seek and run > 0:
                            continue  # slow and steady: once is enough
                        record(name, copy_loop(program, env, "/big.bin", local, piece, seek),
                               size)
                app.ask("quit")
        finally:
            emulator.stop()

    print("device throughput over TLS, %d MiB, link %.0f MB/s and %.1f ms per AFC request, "
          "best of %d runs (load average %.1f on %d cores)"
          % (args.mib, args.bandwidth, args.latency_ms, args.runs, os.getloadavg()[0],
             os.cpu_count()))
    for name, fraction in results.items():
        print("  %-16s %5.3f of the link (%6.1f MiB/s)  %6.2f ms CPU per MiB"
              % (name, fraction, fraction * link / (1 << 20), cpu_per_mib[name]))
    best_pattern = max(v for k, v in results.items() if not k.startswith("afclink"))
    missed = []
    for name in ("afclink getFile", "afclink getDB"):
        if results[name] < 0.95:
            missed.append("%s below 0.95 of the link" % name)
        if results[name] < best_pattern * 0.98:
            missed.append("%s slower than the best pattern (%.3f)" % (name, best_pattern))
    for miss in missed:
        print("  target missed: " + miss)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
