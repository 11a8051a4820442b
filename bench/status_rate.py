"""`status` commands per second through afclink's pipes, against a minimal C
program that reads a line and writes a line with a flush, built and run in the
same run. Target: at least 0.7 times the echo's rate.

A small C driver (compiled here too, so no interpreter sits in the measured
path) starts the program on two pipes and drives it in two ways:
  - pipelined: every command written as fast as the pipe takes it while the
    replies are read (throughput: what each line costs the program itself);
  - one at a time: write a command, wait for its reply, then the next, the
    way a parent application talks to afclink.
Driver and program run pinned to one core; rounds alternate the two
programs, and the figure is the median of the rounds' ratios, which a busy
moment in one round cannot swing.
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile

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
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <sys/wait.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    const int pipelined = strcmp(argv[1], "pipelined") == 0;
    const long commands = atol(argv[2]);
    int to_child[2], from_child[2];
    if (pipe(to_child) || pipe(from_child)) return 1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(to_child[0], 0); dup2(from_child[1], 1);
        close(to_child[1]); close(from_child[0]);
        execv(argv[3], argv + 3);
        _exit(127);
    }
    close(to_child[0]); close(from_child[1]);
    static const char command[] = "status\n";
    const size_t total = commands * (sizeof command - 1);
    size_t sent = 0;
    long replies = 0;
    char piece[1 << 16];
    double start = now();
    if (pipelined) {
        char* payload = malloc(total);
        for (long i = 0; i < commands; ++i) memcpy(payload + i * 7, command, 7);
        fcntl(to_child[1], F_SETFL, O_NONBLOCK);
        while (replies < commands) {
            struct pollfd fds[2] = {{from_child[0], POLLIN, 0}, {to_child[1], POLLOUT, 0}};
            poll(fds, sent < total ? 2 : 1, -1);
            if (sent < total && (fds[1].revents & POLLOUT)) {
                ssize_t n = write(to_child[1], payload + sent, total - sent);
                if (n > 0) sent += n;
                if (sent == total) close(to_child[1]);
            }
            if (fds[0].revents & (POLLIN | POLLHUP)) {
                ssize_t n = read(from_child[0], piece, sizeof piece);
                if (n <= 0) return 1;
                for (ssize_t i = 0; i < n; ++i) replies += piece[i] == '\n';
            }
        }
    } else {
        for (long i = 0; i < commands; ++i) {
            if (write(to_child[1], command, 7) != 7) return 1;
            size_t got = 0;
            while (got == 0 || piece[got - 1] != '\n') {
                ssize_t n = read(from_child[0], piece + got, sizeof piece - got);
                if (n <= 0) return 1;
                got += (size_t)n;
            }
        }
        close(to_child[1]);
    }
    double seconds = now() - start;
    waitpid(pid, NULL, 0);
    printf("%f\n", commands / seconds);
    return 0;
}
"""

PIPELINED_COMMANDS = 300_000
ONE_AT_A_TIME_COMMANDS = 30_000
ROUNDS = 7


def compile_c(cc, folder, name, text):
    source = os.path.join(folder, name + ".c")
    binary = os.path.join(folder, name)
    with open(source, "w") as f:
        f.write(text)
    subprocess.run([cc, "-O2", "-o", binary, source], check=True)
    return binary


def rate(driver, mode, commands, program):
    # Driver and program share one core, so a round measures what a line
    # costs the two of them, not where the scheduler happened to put them.
    pin = ["taskset", "-c", "0"] if shutil.which("taskset") else []
    result = subprocess.run(pin + [driver, mode, str(commands), program], check=True,
                            capture_output=True, text=True)
    return float(result.stdout)


def main():
    afclink = os.environ.get("AFCLINK_BIN", "build/afclink")
    cc = shutil.which("cc") or shutil.which("gcc")
    missed = False
    with tempfile.TemporaryDirectory() as folder:
        echo = compile_c(cc, folder, "echo", ECHO_C)
        driver = compile_c(cc, folder, "driver", DRIVER_C)
        for mode, commands in (("pipelined", PIPELINED_COMMANDS),
                               ("one-at-a-time", ONE_AT_A_TIME_COMMANDS)):
            ratios, mine, theirs = [], [], []
            for _ in range(ROUNDS):
                theirs.append(rate(driver, mode, commands, echo))
                mine.append(rate(driver, mode, commands, afclink))
                ratios.append(mine[-1] / theirs[-1])
            ratio = statistics.median(ratios)
            missed |= ratio < 0.7
            print(f"status through pipes, {mode}: afclink {statistics.median(mine):,.0f}/s, "
                  f"C line echo {statistics.median(theirs):,.0f}/s, median ratio {ratio:.2f} "
                  f"(rounds {min(ratios):.2f} to {max(ratios):.2f}; target >= 0.70)")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
