"""The command loop through the real binary's pipes, without a device:
replies, word syntax, ordering, end of input, quit and the argument forms."""

import os
import re
import subprocess
import tempfile
import time
import unittest

from afclink_driver import BINARY, SOURCE_DIR, Afclink

GETFILE_USAGE = ('Usage: getFile "fully qualified source file path" '
                 '"fully qualified destination file path"')
GETDB_USAGE = 'Usage: getDB "fully qualified destination file path"'


class CommandLoopTest(unittest.TestCase):
    def setUp(self):
        self.app = Afclink()

    def tearDown(self):
        stderr = self.app.stderr if self.app.process.poll() is not None else b""
        self.app.__exit__(None, None, None)
        self.assertEqual(stderr, b"", "afclink wrote to stderr")

    def test_state_commands_answer_in_every_form(self):
        app = self.app
        self.assertEqual(app.ask("status"), "disconnected")
        self.assertEqual(app.ask("status with extra words"), "disconnected")
        self.assertEqual(app.ask("disconnect"), "ok")
        self.assertEqual(app.ask("status"), "disconnected")
        self.assertEqual(app.ask("pid"), str(app.process.pid))

    def test_retrieval_is_refused_while_not_connected_whatever_the_arguments(self):
        app = self.app
        for line in ("getDB /tmp/db", "getDB", "getDB a b",
                     "getFile /a /b", "getFile /a", "getFile"):
            self.assertEqual(app.ask(line), "Error: Not connected", line)

    def test_unknown_words_are_echoed_and_words_are_case_sensitive(self):
        app = self.app
        self.assertEqual(app.ask("GetDB /tmp/db"), 'Error: Unknown command "GetDB"')
        self.assertEqual(app.ask("STATUS"), 'Error: Unknown command "STATUS"')
        self.assertEqual(app.ask("frobnicate x y"), 'Error: Unknown command "frobnicate"')

    def test_only_the_blank_separates_words(self):
        app = self.app
        self.assertEqual(app.ask("status\r"), 'Error: Unknown command "status\r"')
        self.assertEqual(app.ask("getDB\t/tmp/db"),
                         'Error: Unknown command "getDB\t/tmp/db"')

    def test_quotes_and_backslashes_group_words(self):
        app = self.app
        self.assertEqual(app.ask('"sta tus" x'), 'Error: Unknown command "sta tus"')
        self.assertEqual(app.ask("'it\"s' x"), 'Error: Unknown command "it"s"')
        self.assertEqual(app.ask(r"sta\ tus"), 'Error: Unknown command "sta tus"')
        self.assertEqual(app.ask(r'\"q'), 'Error: Unknown command ""q"')
        self.assertEqual(app.ask('"open end'), 'Error: Unknown command "open end"')
        # A quoted word is one token: the command word stays "status".
        self.assertEqual(app.ask('"status" "a b"'), "disconnected")

    def test_lines_without_words_get_no_reply(self):
        app = self.app
        app.send("\n   \n\n")
        self.assertTrue(app.no_more_output())
        self.assertEqual(app.ask("status"), "disconnected")

    def test_a_line_holding_a_nul_byte_is_answered_and_runs_nothing(self):
        app = self.app
        for line in (b"quit\0 now\n", b"\0status\n", b"\0\n"):
            app.send(line)
            self.assertEqual(app.read_line(), "Error: Command line holds a NUL byte")
        self.assertEqual(app.ask("status"), "disconnected")

    def test_many_pipelined_commands_are_answered_in_order(self):
        app = self.app
        commands, expected = [], []
        for i in range(2000):
            if i % 3 == 0:
                commands.append("status"); expected.append("disconnected")
            elif i % 3 == 1:
                commands.append(f"word{i}"); expected.append(f'Error: Unknown command "word{i}"')
            else:
                commands.append("getDB x"); expected.append("Error: Not connected")
        app.send("".join(c + "\n" for c in commands))
        self.assertEqual([app.read_line() for _ in expected], expected)

    def test_a_long_line_is_read_whole(self):
        word = "w" * 100_000
        self.assertEqual(self.app.ask(word), f'Error: Unknown command "{word}"')

    def test_quit_answers_ok_and_exits_zero_ignoring_later_lines(self):
        app = self.app
        app.send("quit\nstatus\n")
        self.assertEqual(app.read_line(), "ok")
        self.assertEqual(app.wait(), 0)
        self.assertIsNone(app.read_line())

    def test_end_of_input_exits_zero_at_once(self):
        app = self.app
        app.send("status\n")
        self.assertEqual(app.read_line(), "disconnected")
        app.close_input()
        self.assertEqual(app.wait(timeout=5), 0)

    def test_a_last_line_without_newline_is_answered_before_exit(self):
        app = self.app
        app.send("status")
        app.close_input()
        self.assertEqual(app.read_line(), "disconnected")
        self.assertEqual(app.wait(timeout=5), 0)

    def test_connect_without_a_device_stays_connecting_until_disconnect(self):
        app = self.app
        self.assertEqual(app.ask("connect"), "ok")
        self.assertEqual(app.ask("status"), "connecting")
        # No usbmuxd answers at the address: afclink says so, and keeps trying.
        trace, status = app.wait_for_trace("# usbmuxd: no answer")
        self.assertTrue(any(line.startswith("# usbmuxd: no answer") for line in trace), trace)
        self.assertEqual(status, "connecting")
        self.assertEqual(app.ask("connect"), "Error: Already attempting to connect.")
        self.assertEqual(app.ask("disconnect"), "ok")
        self.assertEqual(app.ask("status"), "disconnected")
        self.assertEqual(app.ask("connect"), "ok")
        self.assertEqual(app.ask("status"), "connecting")
        self.assertEqual(app.ask("quit"), "ok")
        self.assertEqual(app.wait(), 0)

    def test_end_of_input_while_connecting_exits_zero(self):
        app = self.app
        self.assertEqual(app.ask("connect"), "ok")
        app.close_input()
        self.assertEqual(app.wait(timeout=5), 0)


class ArgumentFormsTest(unittest.TestCase):
    def run_binary(self, args, stdin_text):
        with tempfile.TemporaryDirectory() as home:
            return subprocess.run(
                [BINARY, *args], input=stdin_text.encode(), capture_output=True,
                timeout=20, env={"HOME": home, "PATH": "/usr/bin:/bin",
                                 "USBMUXD_SOCKET_ADDRESS": "UNIX:/nonexistent/x.sock"})

    def test_xmlpath_help_and_version_answer_and_exit_without_reading_input(self):
        version = re.search(r"project\(afclink VERSION ([0-9.]+)",
                            open(os.path.join(SOURCE_DIR, "CMakeLists.txt")).read()).group(1)
        for args, check in (
                (["XMLPath"], lambda out: out == b"Error: Could not get iTunes Library path\n"),
                (["--version"], lambda out: out == b"afclink %s\n" % version.encode()),
                (["--help", "extra"], lambda out: b"statusDebug" in out and b"man afclink" in out
                 and out.startswith(b"Usage: afclink"))):
            with tempfile.TemporaryDirectory() as home:
                process = subprocess.Popen(
                    [BINARY, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE, env={"HOME": home, "PATH": "/usr/bin:/bin"})
                # Standard input stays open: the process must not wait for it.
                deadline = time.monotonic() + 10
                while process.poll() is None and time.monotonic() < deadline:
                    time.sleep(0.02)
                self.assertEqual(process.poll(), 0, args)
                out, err = process.stdout.read(), process.stderr.read()
                process.stdin.close(); process.stdout.close(); process.stderr.close()
            self.assertTrue(check(out), (args, out))
            self.assertEqual(err, b"", args)

    def test_other_arguments_run_the_command_loop(self):
        for args in (["XMLPath", "extra"], ["xmlpath"], ["-help"], ["a", "--help"]):
            result = self.run_binary(args, "status\nquit\n")
            self.assertEqual(result.returncode, 0, args)
            self.assertEqual(result.stdout, b"disconnected\nok\n", args)
            self.assertEqual(result.stderr, b"", args)


if __name__ == "__main__":
    unittest.main()
