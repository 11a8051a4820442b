"""`status` commands per second through afclink's pipes, against a minimal C
program that reads a line and writes a line with a flush, built and run in the
same run on the same input. Target: at least 0.9 times the echo's rate."""

import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

ECHO_C = r"""
#include <stdio.h>
int main(void) {
    char line[4096];
    while (fgets(line, sizeof line, stdin)) {
        fputs("disconnected\n", stdout);
        fflush(stdout);
    }
    return 0;
}
"""

COMMANDS = 300_000
ROUNDS = 5


def rate(argv):
    payload = b"status\n" * COMMANDS
    process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)

    def feed():
        process.stdin.write(payload)
        process.stdin.close()

    start = time.perf_counter()
    writer = threading.Thread(target=feed)
    writer.start()
    received = 0
    while True:
        chunk = process.stdout.read1(1 << 16)
        if not chunk:
            break
        received += chunk.count(b"\n")
    elapsed = time.perf_counter() - start
    writer.join()
    process.wait()
    if received != COMMANDS:
        raise SystemExit(f"{argv[0]}: {received} replies for {COMMANDS} commands")
    return COMMANDS / elapsed


def main():
    afclink = os.environ.get("AFCLINK_BIN", "build/afclink")
    cc = shutil.which("cc") or shutil.which("gcc")
    with tempfile.TemporaryDirectory() as folder:
        source = os.path.join(folder, "echo.c")
        echo = os.path.join(folder, "echo")
        with open(source, "w") as f:
            f.write(ECHO_C)
        subprocess.run([cc, "-O2", "-o", echo, source], check=True)
        echo_rates, afclink_rates = [], []
        for _ in range(ROUNDS):
            echo_rates.append(rate([echo]))
            afclink_rates.append(rate([afclink]))
    best_echo, best_afclink = max(echo_rates), max(afclink_rates)
    ratio = best_afclink / best_echo
    print(f"status through pipes: afclink {best_afclink:,.0f}/s, "
          f"C line echo {best_echo:,.0f}/s, ratio {ratio:.2f} (target >= 0.90)")
    return 0 if ratio >= 0.9 else 1


if __name__ == "__main__":
    sys.exit(main())
