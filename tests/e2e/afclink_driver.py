"""Drives the real afclink binary through its pipes, the way a parent
application does: one command line in, one reply line out.

    with Afclink() as app:
        assert app.ask("status") == "disconnected"

The binary is taken from AFCLINK_BIN (set by ctest), else build/afclink.
Every reply is read with a deadline, so a hung binary fails a test instead of
hanging it, and stderr is collected so tests can insist it stays empty.
"""

import os
import queue
import subprocess
import tempfile
import threading

SOURCE_DIR = os.environ.get(
    "AFCLINK_SOURCE_DIR",
    os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BINARY = os.environ.get("AFCLINK_BIN", os.path.join(SOURCE_DIR, "build", "afclink"))
REPLY_TIMEOUT = 20.0


class Afclink:
    def __init__(self, args=(), env=None, home=None):
        environment = dict(os.environ)
        # Never let a test reach a real usbmuxd or a real home folder.
        environment.setdefault("USBMUXD_SOCKET_ADDRESS", "UNIX:/nonexistent/afclink-test.sock")
        self._home = None
        if home is None:
            self._home = tempfile.TemporaryDirectory(prefix="afclink-home-")
            home = self._home.name
        environment["HOME"] = home
        for name, value in (env or {}).items():  # None: leave the variable out
            if value is None:
                environment.pop(name, None)
            else:
                environment[name] = value
        self.process = subprocess.Popen(
            [BINARY, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, env=environment)
        self._lines = queue.Queue()
        self._stderr = bytearray()
        self._readers = [
            threading.Thread(target=self._read_stdout, daemon=True),
            threading.Thread(target=self._read_stderr, daemon=True),
        ]
        for reader in self._readers:
            reader.start()

    def _read_stdout(self):
        for line in self.process.stdout:
            self._lines.put(line)
        self._lines.put(None)

    def _read_stderr(self):
        for chunk in iter(lambda: self.process.stderr.read1(4096), b""):
            self._stderr.extend(chunk)

    # ---- talking ----------------------------------------------------------

    def send(self, data):
        """Writes raw text or bytes (add the newline yourself)."""
        if isinstance(data, str):
            data = data.encode()
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def read_line(self, timeout=REPLY_TIMEOUT):
        """The next reply line without its newline; None at end of output."""
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError(f"no reply within {timeout} s") from None
        if line is None:
            self._lines.put(None)
            return None
        assert line.endswith(b"\n"), f"reply line without a newline: {line!r}"
        return line[:-1].decode("utf-8", "surrogateescape")

    def ask(self, command, timeout=REPLY_TIMEOUT):
        self.send(command + "\n")
        return self.read_line(timeout)

    def no_more_output(self, wait=0.3):
        """True when nothing further arrives within `wait` seconds."""
        try:
            line = self._lines.get(timeout=wait)
        except queue.Empty:
            return True
        self._lines.put(line)
        return line is None

    def status_debug(self, timeout=REPLY_TIMEOUT):
        """statusDebug's answer: (its "# " trace lines, the status line after them)."""
        return self.traced("statusDebug", timeout)

    def traced(self, command, timeout=REPLY_TIMEOUT):
        """A command that writes trace lines first: (its "# " lines, its reply)."""
        self.send(command + "\n")
        trace = []
        while True:
            line = self.read_line(timeout)
            if line is None or not line.startswith("# "):
                return trace, line
            trace.append(line)

    def wait_for_trace(self, prefix, timeout=REPLY_TIMEOUT):
        """Polls statusDebug until a trace line starts with prefix; returns the last
        (trace, status), whether or not it came."""
        import time
        deadline = time.monotonic() + timeout
        while True:
            trace, status = self.status_debug()
            if any(line.startswith(prefix) for line in trace) or time.monotonic() > deadline:
                return trace, status
            time.sleep(0.1)

    def wait_for_status(self, wanted, timeout=REPLY_TIMEOUT):
        """Polls `status` until it answers `wanted`; returns the last answer."""
        import time
        deadline = time.monotonic() + timeout
        answer = None
        while time.monotonic() < deadline:
            answer = self.ask("status")
            if answer == wanted:
                return answer
            time.sleep(0.05)
        return answer

    # ---- ending -----------------------------------------------------------

    def close_input(self):
        self.process.stdin.close()

    def wait(self, timeout=REPLY_TIMEOUT):
        return self.process.wait(timeout=timeout)

    @property
    def stderr(self):
        for reader in self._readers:
            reader.join(timeout=1)
        return bytes(self._stderr)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            try:
                stream.close()
            except OSError:
                pass
        if self._home:
            self._home.cleanup()
        return False
