#!/usr/bin/env python3
"""Soak and fault runs: the real afclink, driven through its pipes for a long
while, against the emulated handheld (tools/fakedevice) over TLS.

    python3 tests/soak/soak.py --binary build/afclink [--short] [--only NAME,...]

Each scenario gets a fresh emulator and a fresh afclink (private HOME,
USBMUXD_SOCKET_ADDRESS at the emulator). Throughout: every "ok" must leave a
local file equal to the device's bytes (or header plus inflated body),
checked by hash; every reply must come within the driver's deadline; afclink's
stderr must stay empty; every "Error: " is one line, never followed by a
stray one (every status answer is checked to be a status word, and each
afclink must answer "quit" with "ok" and then nothing more).

Threads (/proc/PID/task), descriptors (/proc/PID/fd) and resident memory
(VmRSS) are sampled once the scenario has warmed up and again at its end.
Threads and descriptors must be equal. RSS may grow by RSS_ALLOWANCE_KIB
(2 MiB). The copies move pieces of up to 4 MiB (two fetched ahead) plus zlib's
window and the copy's 1 MiB block; glibc gives the first large pieces back to the
system and keeps later ones in its heap (so the warm-ups include copies),
and where a sample falls in that churn can move RSS by about a piece. Yet a
leak of one TLS connection's state per connect (tens of KiB: about 60 KiB
for an unfreed control connection), or of one piece per copy, passes the
allowance within a few dozen cycles.

One line per scenario: its counts, elapsed time and the figures; the exit
status is 1 when any scenario failed.
"""

import argparse
import contextlib
import fcntl
import hashlib
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time

_HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(_HERE, "..", "e2e"))

import afclink_driver  # noqa: E402
from afclink_driver import REPLY_TIMEOUT, Afclink  # noqa: E402
from fakedevice_control import FakeDevice  # noqa: E402
from music_library import (CDB, PLAIN_DB, compressed_database, database_header,  # noqa: E402
                           pseudo_random)
from test_device import put  # noqa: E402

RSS_ALLOWANCE_KIB = 2048
# Every reply comes within the driver's REPLY_TIMEOUT. A state change (a
# connection made, a lost one noticed) gets longer: it tells a hang from a
# slow connect, not how fast one is, and on a machine loaded twenty deep a
# connect over TLS has taken half a minute.
STATE_DEADLINE = 3 * REPLY_TIMEOUT
# Longer than any of those, so they speak first; this one only ends a step
# that hangs where nothing else is awaited (a control call to the emulator).
STEP_LIMIT = 3 * STATE_DEADLINE
STATUS_WORDS = ("connected", "connecting", "disconnected")

FULL = dict(connect_cycles=1000, connect_warmup=20, getdb_runs=200, getdb_warmup=5,
            unplug_cycles=100, unplug_warmup=5)
SHORT = dict(connect_cycles=100, connect_warmup=10, getdb_runs=20, getdb_warmup=3,
             unplug_cycles=10, unplug_warmup=3)


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def spread(seconds):
    """Median and worst of some durations, as a figure for the report."""
    ordered = sorted(seconds)
    return "%.2f s (median), %.2f s (worst)" % (ordered[len(ordered) // 2], ordered[-1])


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def file_hash(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


# ---- resources ----------------------------------------------------------


def sample(pid):
    threads = len(os.listdir("/proc/%d/task" % pid))
    fds = len(os.listdir("/proc/%d/fd" % pid))
    rss = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return threads, fds, rss


def settled_sample(pid, deadline=5.0):
    """A sample once threads and descriptors hold still for a moment: a
    thread that is just ending, or a socket being closed, must not count."""
    end = time.monotonic() + deadline
    last, same = None, 0
    while True:
        now = sample(pid)
        same = same + 1 if last and now[:2] == last[:2] else 0
        last = now
        if same >= 3 or time.monotonic() > end:
            return now
        time.sleep(0.05)


def emulator_threads(emulator):
    try:
        return len(os.listdir("/proc/%d/task" % emulator.proc.pid))
    except (AttributeError, OSError):
        return 0


class Figures:
    """afclink's threads, descriptors and RSS at two moments; the emulator's
    threads too, shown but not judged: one per connection it still serves,
    so a growing count means connections nobody closed."""

    def __init__(self):
        self.start = self.end = None
        self.emulator = None
        self.emulator_threads = []

    def take_start(self, app):
        self.start = settled_sample(app.process.pid)
        self.emulator_threads = [emulator_threads(self.emulator)]

    def take_end(self, app):
        self.end = settled_sample(app.process.pid)
        self.emulator_threads.append(emulator_threads(self.emulator))

    def check_flat(self, what):
        (t0, f0, r0), (t1, f1, r1) = self.start, self.end
        check(t1 == t0, "%s: threads %d -> %d" % (what, t0, t1))
        check(f1 == f0, "%s: open descriptors %d -> %d" % (what, f0, f1))
        check(r1 - r0 <= RSS_ALLOWANCE_KIB,
              "%s: RSS %d -> %d KiB, more than %d KiB of growth"
              % (what, r0, r1, RSS_ALLOWANCE_KIB))

    def __str__(self):
        if not self.start:
            return ""
        text = "threads %d->%s  fds %d->%s  RSS %.1f->%s MiB" % (
            self.start[0], self.end[0] if self.end else "?", self.start[1],
            self.end[1] if self.end else "?", self.start[2] / 1024,
            "%.1f" % (self.end[2] / 1024) if self.end else "?")
        if self.end:
            text += " (%+d KiB)" % (self.end[2] - self.start[2])
        if len(self.emulator_threads) == 2 and all(self.emulator_threads):
            text += "  |  emulator threads %d->%d" % tuple(self.emulator_threads)
        return text


# ---- deadlines and clean-up ------------------------------------------------


class Watchdog:
    """Kills the scenario's processes when a step outlives its limit, so a
    wait that has no deadline of its own (a control call to the emulator)
    still ends, and reports which step it was."""

    def __init__(self):
        self.processes = []

    def watch(self, process):
        self.processes.append(process)
        return process

    def _kill(self, fired):
        fired.append(True)
        for process in self.processes:
            if process.poll() is None:
                process.kill()

    @contextlib.contextmanager
    def limit(self, what, seconds=STEP_LIMIT):
        fired = []
        message = "%s did not end within %d s; its processes were killed" % (what, seconds)
        timer = threading.Timer(seconds, self._kill, (fired,))
        timer.daemon = True
        timer.start()
        try:
            yield
        except BaseException as error:
            timer.cancel()
            if fired:
                raise Failure(message) from error
            raise
        timer.cancel()
        if fired:
            raise Failure(message)


class Scenario:
    """What every scenario holds: its emulator, its afclinks, an output
    folder and the watchdog, all undone by close() whatever happened."""

    def __init__(self):
        self.stack = contextlib.ExitStack()
        self.dog = Watchdog()
        self.out = self.stack.enter_context(tempfile.TemporaryDirectory(prefix="afclink-soak-"))
        self.figures = Figures()
        self.emulator = None
        self.emulator_log = None
        self.apps = []
        self.problems = []   # found while cleaning up, reported with the verdict
        self.progress = ""   # how far it got, for a failure's message

    def start_emulator(self, **options):
        # The emulator's request log, whose last lines go with a failure.
        self.emulator_log = os.path.join(
            self.stack.enter_context(tempfile.TemporaryDirectory(prefix="afclink-soak-log-")),
            "emulator.log")
        emulator = FakeDevice(paired=True, capture_stderr=True, log=self.emulator_log,
                              **options)
        self.stack.callback(emulator.stop)
        with self.dog.limit("starting the emulator"):
            emulator.start()
        self.dog.watch(emulator.proc)
        self.stack.callback(self.check_emulator_stderr, emulator)
        self.emulator = emulator
        self.figures.emulator = self.figures.emulator or emulator
        return emulator

    def check_emulator_stderr(self, emulator):
        # A traceback there is a fault of the emulator's, not afclink's, but
        # it makes the run's verdict worthless all the same.
        text = emulator.stderr().decode("utf-8", "replace").strip()
        if text:
            self.problems.append("the emulator wrote on stderr: " + text[-2000:])

    def start_afclink(self, emulator=None):
        emulator = emulator or self.emulator
        app = Afclink(env={"USBMUXD_SOCKET_ADDRESS": "UNIX:" + emulator.socket_path})
        self.adopt(app)
        return app

    def adopt(self, app):
        """Kills `app` at the end if it still runs, and reports what it wrote
        on stderr even when the scenario failed before looking."""
        self.stack.callback(self.check_stderr, app)
        self.stack.callback(app.__exit__, None, None, None)
        self.dog.watch(app.process)
        self.apps.append(app.process)

    def check_stderr(self, app):
        try:
            check_stderr(app)
        except Failure as error:
            self.problems.append(str(error))

    def local(self, name):
        return os.path.join(self.out, name)

    def evidence(self):
        """What a failure leaves to go on, before clean-up removes it: the
        emulator log's last lines and, where gdb is at hand, the stacks of
        every afclink still running (kept in a file)."""
        lines = []
        if self.emulator_log and os.path.exists(self.emulator_log):
            with open(self.emulator_log, errors="replace") as f:
                tail = f.readlines()[-12:]
            lines += ["emulator log, last lines:"] + ["  " + line.rstrip() for line in tail]
        for process in self.apps:
            if process.poll() is not None or not shutil.which("gdb"):
                continue
            fd, path = tempfile.mkstemp(prefix="afclink-soak-stacks-", suffix=".txt")
            with os.fdopen(fd, "w") as out:
                try:
                    exe = os.readlink("/proc/%d/exe" % process.pid)
                    subprocess.run(["gdb", "-batch", "-nx", exe, "-p", str(process.pid),
                                    "-ex", "thread apply all bt"], stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=subprocess.STDOUT, timeout=60)
                except (OSError, subprocess.TimeoutExpired):
                    pass
            lines.append("stacks of afclink %d: %s" % (process.pid, path))
        return lines

    def close(self):
        """Undoes everything, under a limit too: after a failure the emulator
        may no longer answer the quit that stopping it sends."""
        try:
            with self.dog.limit("cleaning up"):
                self.stack.close()
        except Exception as error:
            self.problems.append("cleaning up: %s" % error)


# ---- talking to afclink ----------------------------------------------------


def ask(app, command, wanted=None, prefix=None, what=""):
    """The reply to `command`, which must be `wanted` or begin with `prefix`;
    `what` starts any message, to tell which step it was."""
    try:
        reply = app.ask(command, REPLY_TIMEOUT)
    except AssertionError as error:  # the driver's deadline
        raise Failure("%s%r: %s" % (what, command, error)) from None
    check(reply is not None, "%s%r: afclink ended without a reply (exit %s)"
          % (what, command, app.process.poll()))
    if wanted is not None:
        check(reply == wanted, "%s%r answered %r, not %r" % (what, command, reply, wanted))
    if prefix is not None:
        check(reply.startswith(prefix), "%s%r answered %r, not %r..."
              % (what, command, reply, prefix))
    return reply


def poll_status(app, wanted, allowed=STATUS_WORDS, what=""):
    """Polls `status` until it answers `wanted`; every answer on the way must
    be one of `allowed`, so a stray line left by an earlier command shows."""
    deadline = time.monotonic() + STATE_DEADLINE
    while True:
        answer = ask(app, "status", what=what)
        if answer == wanted:
            return
        check(answer in allowed, "%sstatus answered %r while waiting for %r"
              % (what, answer, wanted))
        if time.monotonic() > deadline:
            raise Failure("%sstatus still %r after %d s, not %r; %s" % (
                what, answer, STATE_DEADLINE, wanted, late_status(app, wanted)))
        time.sleep(0.02)


def late_status(app, wanted, longer=STATE_DEADLINE):
    """Whether a status that missed its deadline was slow or stuck: polls on
    for a while and says which."""
    began = time.monotonic()
    while time.monotonic() - began < longer:
        answer = ask(app, "status")
        if answer == wanted:
            return "it came %.1f s later" % (time.monotonic() - began)
        time.sleep(0.2)
    return "still %r %d s later" % (answer, longer)


def connect(app, what=""):
    ask(app, "connect", "ok", what=what)
    poll_status(app, "connected", ("connecting",), what)


def fetch(app, command, path, expected_hash, what=""):
    """An "ok" for `command`, and the local file at `path` has the expected bytes."""
    ask(app, command, "ok", what=what)
    check(os.path.exists(path), "%s%r answered ok but left no file" % (what, command))
    got = file_hash(path)
    check(got == expected_hash, "%s%r answered ok but the local file (%d bytes) differs "
          "from the device's bytes" % (what, command, os.path.getsize(path)))


def stale(path, size):
    """Leaves a file that the next copy must replace entirely: other bytes,
    and longer than the copy, so an "ok" that wrote nothing or did not
    truncate shows in the hash."""
    with open(path, "wb") as f:
        f.write(b"stale bytes of an earlier copy\n")
    os.truncate(path, size + 4096)


def next_line(app, what):
    """The next line afclink writes (None at the end), within the deadline."""
    try:
        return app.read_line(REPLY_TIMEOUT)
    except AssertionError:  # the driver's deadline
        raise Failure("nothing from afclink %d s after %s" % (REPLY_TIMEOUT, what)) from None


def exit_status(process, what):
    try:
        return process.wait(REPLY_TIMEOUT)
    except subprocess.TimeoutExpired:
        raise Failure("afclink still runs %d s after %s" % (REPLY_TIMEOUT, what)) from None


def ended(app, what):
    """After `what`, afclink writes nothing more, exits with 0, and its
    stderr is empty."""
    extra = next_line(app, what)
    check(extra is None, "a line after %s: %r" % (what, extra))
    status = exit_status(app.process, what)
    check(status == 0, "afclink exited with %d after %s" % (status, what))
    check_stderr(app)


def finish(app):
    ask(app, "quit", "ok")
    ended(app, "quit's ok")


def check_stderr(app):
    text = app.stderr
    check(text == b"", "afclink wrote on stderr: %r" % text[:500])


def database():
    """A compressed database of a few MiB (3 MiB that does not compress and
    2 MiB that does), what getDB must make of it, and a plain database that
    a wrongful fall-back would deliver instead."""
    header = database_header(244)
    body = pseudo_random(3 << 20, seed=7) + b"mhit track record, title, artist " * 63550
    compressed = compressed_database(header, body, 6)
    plain = database_header(244) + b"the plain database: getDB must not fall back to it"
    return compressed, header + body, plain


# ---- the scenarios ---------------------------------------------------------


def connect_cycles(s, counts):
    warmup, cycles = counts["connect_warmup"], counts["connect_cycles"]
    emulator = s.start_emulator()
    app = s.start_afclink()
    took = []
    for cycle in range(warmup + cycles):
        if cycle == warmup:
            s.figures.take_start(app)
        s.progress = "connect cycle %d of %d" % (cycle + 1, warmup + cycles)
        with s.dog.limit("the cycle"):
            began = time.monotonic()
            connect(app)
            took.append(time.monotonic() - began)
            ask(app, "disconnect", "ok")
            ask(app, "status", "disconnected")
    s.progress = "the end"
    s.figures.take_end(app)
    with s.dog.limit("the emulator's counters"):
        opened = emulator.counter("afc_connections")
    check(opened == warmup + cycles, "%d connects opened %d file-service connections"
          % (warmup + cycles, opened))
    s.figures.check_flat("%d connect cycles" % cycles)
    with s.dog.limit("quit"):
        finish(app)
    return "%d connect/disconnect cycles (+%d warm-up), connected in %s" % (
        cycles, warmup, spread(took))


def getdb_repeat(s, counts):
    warmup, runs = counts["getdb_warmup"], counts["getdb_runs"]
    emulator = s.start_emulator()
    compressed, expected, plain = database()
    put(emulator, CDB, compressed)
    put(emulator, PLAIN_DB, plain)
    expected_hash = sha256(expected)
    app = s.start_afclink()
    with s.dog.limit("connect"):
        connect(app)
    destination = s.local("db")
    for run in range(warmup + runs):
        if run == warmup:
            s.figures.take_start(app)
        s.progress = "getDB %d of %d" % (run + 1, warmup + runs)
        with s.dog.limit("the getDB"):
            stale(destination, len(expected))
            fetch(app, 'getDB "%s"' % destination, destination, expected_hash)
    s.progress = "the end"
    s.figures.take_end(app)
    s.figures.check_flat("%d getDB" % runs)
    with s.dog.limit("quit"):
        finish(app)
    return "%d getDB of %.1f MiB compressed, %.1f MiB inflated (+%d warm-up)" % (
        runs, len(compressed) / 2**20, len(expected) / 2**20, warmup)


def unplug_cycles(s, counts):
    warmup, cycles = counts["unplug_warmup"], counts["unplug_cycles"]
    emulator = s.start_emulator()
    app = s.start_afclink()
    destination = s.local("f")
    copies = 0
    took = []
    with s.dog.limit("connect"):
        connect(app)
    for cycle in range(warmup + cycles):
        if cycle == warmup:
            s.figures.take_start(app)
        s.progress = "unplug cycle %d of %d" % (cycle + 1, warmup + cycles)
        with s.dog.limit("the cycle"):
            emulator.detach()
            poll_status(app, "connecting", ("connected",), "unplugged: ")
            emulator.attach()
            began = time.monotonic()
            poll_status(app, "connected", ("connecting",), "plugged in: ")
            took.append(time.monotonic() - began)
            # Copies in every warm-up cycle: glibc hands the first large
            # pieces back and keeps later ones, which must happen before the
            # first sample. Other bytes each time, so an old copy cannot
            # pass for this one.
            if cycle < warmup or (cycle - warmup) % 10 == 9:
                data = pseudo_random(1_500_000 + cycle, seed=cycle)
                put(emulator, "/Music/f.bin", data)
                stale(destination, len(data))
                fetch(app, "getFile /Music/f.bin %s" % destination, destination,
                      sha256(data))
                copies += 1
    s.progress = "the end"
    s.figures.take_end(app)
    s.figures.check_flat("%d unplug cycles" % cycles)
    with s.dog.limit("quit"):
        finish(app)
    return "%d unplug/replug cycles (+%d warm-up), connected again in %s, %d getFile checked" % (
        cycles, warmup, spread(took), copies)


def link_cuts(s, counts):
    emulator = s.start_emulator()
    # Read in 1 MiB pieces: two full replies, then a short one of 402,848
    # bytes; in 2 MiB pieces: one full and the same short one; in 4 MiB
    # pieces, one reply of the whole file. The offsets sit around the ends
    # of each.
    data = pseudo_random(2_500_000, seed=3)
    put(emulator, "/big.bin", data)
    compressed, expected_db, plain = database()
    put(emulator, CDB, compressed)
    put(emulator, PLAIN_DB, plain)
    size = len(compressed)
    mib = 1 << 20
    file_offsets = [1, 4096, 8192, 65_536, 100_000, 524_288,            # the first reply
                    mib - 1, mib, mib + 1, 1_300_000, 1_572_864,         # the first MiB's end
                    2 * mib - 1, 2 * mib, 2 * mib + 1,                   # the second's end
                    2_200_000, 2_300_000, 2_400_000, 2_499_000,          # the short reply
                    2_499_998, 2_499_999]                                # its last bytes
    db_offsets = [1, 4, 8, 100, 243, 244, 245, 8192, 70_000,             # header, stream start
                  mib - 1, mib, mib + 1, 500_000, size // 2, 2 * mib, 3 * mib,
                  size - 1000, size - 2, size - 1,                       # the short last reply
                  size]      # every byte delivered, the read that must see the end is cut
    check(3 * mib < size - 1000, "the database is too small for its offsets")
    app = s.start_afclink()
    with s.dog.limit("connect"):
        connect(app)
    file_dest, db_dest = s.local("f"), s.local("db")
    with s.dog.limit("the first copies"):
        fetch(app, "getFile /big.bin %s" % file_dest, file_dest, sha256(data))
        fetch(app, "getDB %s" % db_dest, db_dest, sha256(expected_db))
    runs = [("getFile /big.bin %s" % file_dest, file_dest, sha256(data), offset)
            for offset in file_offsets]
    runs += [("getDB %s" % db_dest, db_dest, sha256(expected_db), offset)
             for offset in db_offsets]
    # Every lost link frees the file service's piece buffers and its fetcher
    # threads' reply buffers, and the allocator's per-thread heaps settle only
    # after a few dozen of those (about 3 MiB with 4 MiB pieces, then flat for
    # hundreds of cuts); so one pass of every cut warms up, and the second,
    # the same again, is measured.
    passes = [("warm-up ", runs), ("", runs)]
    for number, (label, (command, path, expected_hash, offset)) in enumerate(
            (label, run) for label, each in passes for run in each):
        if number == len(runs):
            s.figures.take_start(app)
        what = "%s%s cut after %d bytes: " % (label, command.split()[0], offset)
        s.progress = "cut %d of %d" % (number + 1, 2 * len(runs))
        with s.dog.limit(what.rstrip(": ")):
            emulator.cut(after_bytes=offset)
            ask(app, command, prefix="Error: ", what=what)
            check(not emulator.state()["cut_pending"], what + "the cut never came")
            # The failed copy leaves the last good one as it was, and
            # nothing beside it.
            check(file_hash(path) == expected_hash, what + "the earlier local file changed")
            only_files(s.out, ["db", "f"], what)
            poll_status(app, "connected", ("connecting", "connected"), what)
            fetch(app, command, path, expected_hash, what + "the retry ")
    s.progress = "the end"
    s.figures.take_end(app)
    with s.dog.limit("the emulator's counters"):
        cuts = emulator.counter("cuts")
    check(cuts == 2 * len(runs), "%d cuts asked for, %d made" % (2 * len(runs), cuts))
    s.figures.check_flat("%d link cuts after as many to warm up" % len(runs))
    with s.dog.limit("quit"):
        finish(app)
    return "%d cuts in getFile, %d in getDB, each one Error then an exact retry" % (
        len(file_offsets), len(db_offsets))


# A folder with a small filesystem of its own, for afclink alone: a user and
# mount namespace of its own lets an unprivileged user mount a tmpfs there.
TINY_FS_KIB = 1024
TINY_FS_SCRIPT = 'mount -t tmpfs -o size=%dk afclink-soak "$1" && exec "$0"' % TINY_FS_KIB
NAMESPACE = ["unshare", "--user", "--map-root-user", "--mount"]


def tiny_fs_unavailable(folder):
    """None when a tiny filesystem can be mounted on `folder` without
    privileges, else why not."""
    if not shutil.which("unshare"):
        return "no unshare command"
    try:
        probe = subprocess.run(NAMESPACE + ["sh", "-c", TINY_FS_SCRIPT, "true", folder],
                               stdin=subprocess.DEVNULL, capture_output=True, timeout=10)
    except subprocess.TimeoutExpired:
        return "unshare did not answer"
    if probe.returncode != 0:
        return "a user and mount namespace is not allowed here (%s)" % (
            probe.stderr.decode("utf-8", "replace").strip().splitlines() or ["?"])[-1]
    return None


@contextlib.contextmanager
def afclink_in_tiny_fs(s, folder):
    """An afclink that sees a TINY_FS_KIB tmpfs on `folder` (and everything
    else as it is). The driver starts [BINARY, *args]: for this one it starts
    unshare, which ends by becoming afclink under the same pid."""
    real = afclink_driver.BINARY
    afclink_driver.BINARY = NAMESPACE[0]
    try:
        app = Afclink(args=NAMESPACE[1:] + ["sh", "-c", TINY_FS_SCRIPT, real, folder],
                      env={"USBMUXD_SOCKET_ADDRESS": "UNIX:" + s.emulator.socket_path})
    finally:
        afclink_driver.BINARY = real
    s.adopt(app)
    # Until it answers, it may still be unshare or sh, whose view is not yet afclink's.
    ask(app, "pid", str(app.process.pid))
    yield app, "/proc/%d/root%s" % (app.process.pid, folder)


def only_files(folder, names, what=""):
    """A failed copy leaves no file of its own behind in the destination's folder."""
    found = sorted(os.listdir(folder))
    check(found == sorted(names), "%sthe destination's folder holds %s, not just %s"
          % (what, found, sorted(names)))


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def full_disk(s, counts):
    emulator = s.start_emulator()
    big = pseudo_random(2_500_000, seed=11)
    small = pseudo_random(100_000, seed=12)
    put(emulator, "/big.bin", big)
    put(emulator, "/small.bin", small)
    compressed, expected_db, plain = database()
    put(emulator, CDB, compressed)
    # Larger than the tiny filesystem too, so that getDB's fall-back to the
    # plain database fails there as well.
    plain_big = plain + pseudo_random(1_200_000, seed=13)
    put(emulator, PLAIN_DB, plain_big)
    damaged = []   # the earlier file property: reported, the rest goes on
    done = []

    app = s.start_afclink()
    with s.dog.limit("/dev/full"):
        connect(app)
        ask(app, "getFile /big.bin /dev/full", prefix="Error: ")
        ask(app, "getDB /dev/full", prefix="Error: ")
        ask(app, "status", "connected")
        fetch(app, "getFile /big.bin %s" % s.local("big"), s.local("big"), sha256(big),
              "after /dev/full: ")
        fetch(app, "getDB %s" % s.local("db"), s.local("db"), sha256(expected_db),
              "after /dev/full: ")
        done.append("/dev/full")
    s.figures.take_start(app)
    with s.dog.limit("a device read error over an earlier file"):
        # A copy that fails half-way onto a normal file an earlier copy
        # made; the device fails it here, so this holds where no small
        # filesystem can be mounted.
        keep = s.local("keep")
        fetch(app, "getFile /small.bin %s" % keep, keep, sha256(small))
        emulator.fault("read_error_path", "/big.bin")
        emulator.fault("read_error_at", 300_000)
        ask(app, "getFile /big.bin %s" % keep, prefix="Error: ")
        emulator.clear_faults()
        if sha256(read_bytes(keep)) != sha256(small):
            damaged.append("a getFile that failed on a device read error left the earlier "
                           "local file %d bytes long, not its %d bytes"
                           % (os.path.getsize(keep), len(small)))
        only_files(s.out, ["big", "db", "keep"], "a getFile that failed on a read error: ")
        done.append("read error")
    s.figures.take_end(app)
    with s.dog.limit("quit"):
        finish(app)

    folder = s.local("tiny")
    os.mkdir(folder)
    why_not = tiny_fs_unavailable(folder)
    if why_not is None:
        with s.dog.limit("a tiny filesystem"), afclink_in_tiny_fs(s, folder) as (tiny, seen):
            connect(tiny)
            fetch(tiny, "getFile /small.bin %s/keep" % folder, seen + "/keep", sha256(small))
            reply = ask(tiny, "getFile /big.bin %s/keep" % folder, prefix="Error: ")
            check("No space left on device" in reply, "a full tmpfs answered %r" % reply)
            only_files(seen, ["keep"], "a getFile that filled the disk: ")
            now = read_bytes(seen + "/keep")
            if now != small:
                damaged.append("a getFile that filled the disk left the earlier local file "
                               "%d bytes long, not its %d bytes" % (len(now), len(small)))
                fetch(tiny, "getFile /small.bin %s/keep" % folder, seen + "/keep",
                      sha256(small))
            ask(tiny, "getDB %s/keep" % folder, prefix="Error: ")
            only_files(seen, ["keep"], "a getDB that filled the disk: ")
            now = read_bytes(seen + "/keep")
            if now != small:
                damaged.append("a getDB that filled the disk left the earlier local file "
                               "%d bytes long, not its %d bytes" % (len(now), len(small)))
            ask(tiny, "status", "connected")
            fetch(tiny, "getDB %s" % s.local("db2"), s.local("db2"), sha256(expected_db),
                  "after the full tmpfs: ")
            finish(tiny)
        done.append("a %d KiB tmpfs" % TINY_FS_KIB)
    else:
        done.append("no tiny filesystem: " + why_not)
    check(not damaged, "; ".join(damaged))
    return "full destinations: " + ", ".join(done)


def parent_pipes(s, counts):
    emulator = s.start_emulator()
    data = pseudo_random(3_000_000, seed=21)
    put(emulator, "/big.bin", data)
    seen = []

    # The end of stdin right behind a copy: the copy is done and answered first.
    app = s.start_afclink()
    with s.dog.limit("stdin closed behind a getFile"):
        connect(app)
        destination = s.local("last")
        app.send("getFile /big.bin %s\n" % destination)
        app.close_input()
        reply = next_line(app, "a getFile and the end of stdin")
        check(reply == "ok", "the getFile before the end of stdin answered %r" % reply)
        check(file_hash(destination) == sha256(data),
              "the getFile before the end of stdin left other bytes")
        ended(app, "the end of stdin")
    seen.append("EOF after getFile: ok, exit 0")

    # The end of stdin while an attempt waits for an unplugged phone.
    with s.dog.limit("stdin closed while connecting"):
        emulator.detach()
        app = s.start_afclink()
        ask(app, "connect", "ok")
        ask(app, "status", "connecting")
        app.close_input()
        ended(app, "the end of stdin while connecting")
        emulator.attach()
    seen.append("EOF while connecting: exit 0")

    with s.dog.limit("stdout closed with replies pending"):
        seen.append(stdout_closed(s, data))
    return "; ".join(seen)


class RawAfclink:
    """afclink on plain pipes: the driver always drains stdout, and here the
    parent must stop reading and then close its end."""

    def __init__(self, s, home):
        env = dict(os.environ, HOME=home,
                   USBMUXD_SOCKET_ADDRESS="UNIX:" + s.emulator.socket_path)
        self.process = subprocess.Popen([afclink_driver.BINARY], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=env)
        s.dog.watch(self.process)
        s.stack.callback(self.kill)
        self.stderr = bytearray()
        self.reader = threading.Thread(target=self._drain_stderr, daemon=True)
        self.reader.start()
        self.pending = b""

    def _drain_stderr(self):
        for chunk in iter(lambda: self.process.stderr.read1(4096), b""):
            self.stderr.extend(chunk)

    def ask(self, command):
        self.process.stdin.write(command.encode() + b"\n")
        self.process.stdin.flush()
        deadline = time.monotonic() + REPLY_TIMEOUT
        fd = self.process.stdout.fileno()
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            check(left > 0 and select.select([fd], [], [], left)[0],
                  "%r: no reply within %d s" % (command, REPLY_TIMEOUT))
            chunk = os.read(fd, 4096)
            check(chunk, "%r: afclink ended without a reply" % command)
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode("utf-8", "surrogateescape")

    def unread(self):
        """Bytes waiting in the stdout pipe."""
        return int.from_bytes(fcntl.ioctl(self.process.stdout.fileno(), termios.FIONREAD,
                                          b"\0\0\0\0"), sys.byteorder)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.reader.join(timeout=1)
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            try:
                stream.close()
            except OSError:
                pass


def stdout_closed(s, data):
    """The parent stops reading while replies are queued, closes its end of
    stdout, and goes on writing commands (a getFile last), then closes stdin.
    afclink must neither hang nor die of a signal nor write on stderr; it may
    end or carry on. Returns what it did."""
    home = s.local("home")
    os.mkdir(home)
    app = RawAfclink(s, home)
    check(app.ask("connect") == "ok", "connect did not answer ok")
    deadline = time.monotonic() + STATE_DEADLINE
    while (answer := app.ask("status")) != "connected":
        check(answer == "connecting" and time.monotonic() < deadline,
              "status answered %r while waiting for connected" % answer)
        time.sleep(0.02)
    # Far more replies than the pipe holds: afclink ends up blocked writing.
    replies = 60_000
    destination = s.local("after-stdout-closed")
    commands = b"pid\n" * replies + b"getFile /big.bin %s\n" % destination.encode()
    writer_outcome = []

    def write_all():
        try:
            app.process.stdin.write(commands)
            app.process.stdin.close()
            writer_outcome.append("all written")
        except BrokenPipeError:
            writer_outcome.append("stdin closed under the parent")

    writer = threading.Thread(target=write_all, daemon=True)
    writer.start()
    # The pipe is full and stays full: afclink waits in a write.
    deadline = time.monotonic() + REPLY_TIMEOUT
    last, steady = -1, 0
    while steady < 5:
        check(time.monotonic() < deadline, "afclink's replies never filled the pipe")
        now = app.unread()
        steady = steady + 1 if now == last and now > 32768 else 0
        last = now
        time.sleep(0.05)
    app.process.stdout.close()
    status = exit_status(app.process, "its stdout was closed")
    writer.join(REPLY_TIMEOUT)
    app.reader.join(timeout=1)
    check(status >= 0, "afclink died of signal %d once its stdout was closed" % -status)
    check(bytes(app.stderr) == b"", "afclink wrote on stderr: %r" % bytes(app.stderr)[:500])
    copied = os.path.exists(destination) and file_hash(destination) == sha256(data)
    if writer_outcome == ["all written"]:
        what = "read all its input (exit %d)" % status
    else:
        what = "ended before reading all its input (exit %d)" % status
    if os.path.exists(destination):
        check(copied, "the getFile after stdout was closed left other bytes")
        what += ", the getFile after it done"
    else:
        what += ", the getFile after it not done"
    return "stdout closed with %d KiB of replies queued: %s" % (last // 1024, what)


SCENARIOS = [
    ("connect-cycles", connect_cycles),
    ("getdb-repeat", getdb_repeat),
    ("unplug-cycles", unplug_cycles),
    ("link-cuts", link_cuts),
    ("full-disk", full_disk),
    ("parent-pipes", parent_pipes),
]


def run(name, scenario, counts):
    started = time.monotonic()
    s = Scenario()
    failure, summary = None, ""
    evidence = []
    try:
        summary = scenario(s, counts)
    except Failure as error:
        failure = str(error)
    except Exception as error:  # a crash of the harness is a failed run too
        failure = "%s: %s" % (type(error).__name__, error)
    except BaseException:  # SIGTERM or ^C: still say where it stood
        failure = "interrupted"
        raise
    finally:
        if failure and failure != "interrupted":
            evidence = s.evidence()
        s.close()
        report(name, s, time.monotonic() - started, summary, failure, evidence)
    return failure is None and not s.problems


def report(name, s, elapsed, summary, failure, evidence):
    problems = [problem for problem in s.problems if problem not in (failure or "")]
    if problems:
        failure = "; ".join(([failure] if failure else []) + problems)
    line = "%-15s %-4s %6.1f s  %s" % (name, "FAIL" if failure else "ok", elapsed, summary)
    figures = str(s.figures)
    if figures:
        line += "  |  " + figures
    print(line.rstrip(), flush=True)
    if failure:
        print("    %s%s" % ("at %s: " % s.progress if s.progress else "", failure), flush=True)
        for line in evidence:
            print("    " + line, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--binary", default=afclink_driver.BINARY,
                        help="the afclink to test (default: %(default)s)")
    parser.add_argument("--short", action="store_true",
                        help="CI's form: fewer cycles, every fault")
    parser.add_argument("--only", default="",
                        help="comma-separated scenario names: " +
                        ", ".join(name for name, _ in SCENARIOS))
    args = parser.parse_args()
    binary = os.path.abspath(args.binary)
    if not os.access(binary, os.X_OK):
        parser.error("no executable afclink at %s" % binary)
    # Afclink starts the module's BINARY, read when each one starts.
    afclink_driver.BINARY = binary
    wanted = [name for name in args.only.split(",") if name]
    unknown = set(wanted) - {name for name, _ in SCENARIOS}
    if unknown:
        parser.error("unknown scenario %s" % ", ".join(sorted(unknown)))
    # SIGTERM (a CI timeout) must still stop every emulator and afclink.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    counts = SHORT if args.short else FULL
    print("afclink soak (%s): %s, %d cores, load %.1f" % (
        "short" if args.short else "full", binary, os.cpu_count() or 0, os.getloadavg()[0]),
        flush=True)
    started = time.monotonic()
    passed = failed = 0
    for name, scenario in SCENARIOS:
        if wanted and name not in wanted:
            continue
        if run(name, scenario, counts):
            passed += 1
        else:
            failed += 1
    print("%d passed, %d failed in %.1f s (load %.1f)" % (
        passed, failed, time.monotonic() - started, os.getloadavg()[0]), flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
