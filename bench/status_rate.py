"""`status` commands per second through afclink's pipes, against a minimal C
program that reads a line and writes a line with a flush, built and run in the
same run on the same input. Target: at least 0.9 times the echo's rate.

Two ways of driving them:
  - pipelined: every command written at once, replies read as they come
    (throughput: what each line costs the program itself);
  - one at a time: a C driver writes a command and waits for its reply
    before the next, the way a parent application talks to afclink.
"""

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

DRIVER_C = r"""
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <sys/wait.h>
int main(int argc, char** argv) {
    int to_child[2], from_child[2];
    long rounds = atol(argv[1]);
    if (pipe(to_child) || pipe(from_child)) return 1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(to_child[0], 0); dup2(from_child[1], 1);
        close(to_child[1]); close(from_child[0]);
        execv(argv[2], argv + 2);
        _exit(127);
    }
    close(to_child[0]); close(from_child[1]);
    struct timespec start, end;
    char reply[256];
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long i = 0; i < rounds; ++i) {
        if (write(to_child[1], "status\n", 7) != 7) return 1;
        size_t got = 0;
        while (got == 0 || reply[got - 1] != '\n') {
            ssize_t n = read(from_child[0], reply + got, sizeof reply - got);
            if (n <= 0) return 1;
            got += (size_t)n;
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    close(to_child[1]);
    waitpid(pid, NULL, 0);
    double seconds = (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
    printf("%f\n", rounds / seconds);
    return 0;
}
"""

COMMANDS = 300_000
ROUND_TRIPS = 50_000
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


def one_at_a_time(driver, program):
    result = subprocess.run([driver, str(ROUND_TRIPS), program], check=True,
                            capture_output=True, text=True)
    return float(result.stdout)


def compile_c(cc, folder, name, text):
    source = os.path.join(folder, name + ".c")
    binary = os.path.join(folder, name)
    with open(source, "w") as f:
        f.write(text)
    subprocess.run([cc, "-O2", "-o", binary, source], check=True)
    return binary


def main():
    afclink = os.environ.get("AFCLINK_BIN", "build/afclink")
    cc = shutil.which("cc") or shutil.which("gcc")
    with tempfile.TemporaryDirectory() as folder:
        echo = compile_c(cc, folder, "echo", ECHO_C)
        driver = compile_c(cc, folder, "driver", DRIVER_C)
        piped = {echo: [], afclink: []}
        single = {echo: [], afclink: []}
        for _ in range(ROUNDS):
            for program in (echo, afclink):
                piped[program].append(rate([program]))
                single[program].append(one_at_a_time(driver, program))
    missed = False
    for title, rates in (("pipelined", piped), ("one at a time", single)):
        best_echo, best_afclink = max(rates[echo]), max(rates[afclink])
        ratio = best_afclink / best_echo
        missed |= ratio < 0.9
        print(f"status through pipes, {title}: afclink {best_afclink:,.0f}/s, "
              f"C line echo {best_echo:,.0f}/s, ratio {ratio:.2f} (target >= 0.90)")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
