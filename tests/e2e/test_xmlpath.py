"""The library locator through the real binary: the XMLPath and XMLDebug
commands and the "XMLPath" argument form, on a temporary HOME holding
preference files written here (plistlib) and alias records built here."""

import os
import plistlib
import shutil
import struct
import tempfile
import unittest

from afclink_driver import Afclink

SHARED = os.environ.get("AFCLINK_SHARED_DATA", "")
ERROR = "Error: Could not get iTunes Library path"
START = ["# Starting get xml"]
ITUNES_OPENED = ["# opening ~/Library/Preferences/com.apple.iTunes.plist",
                 "# looking for alis:1:"]
FALLBACK = ["# Finding backup at ~/Music/iTunes/ "]


def alias_record(folder):
    """A minimal version 2 alias record storing `folder` on the boot volume:
    the fixed part, tag 18 (path below "/"), tag 19 ("/"), the end marker."""
    def item(tag, value):
        pad = b"\0" if len(value) % 2 else b""
        return struct.pack(">hH", tag, len(value)) + value + pad

    fixed = bytearray(150)
    struct.pack_into(">HH", fixed, 6, 2, 1)          # version 2, a folder
    struct.pack_into(">hh", fixed, 0x82, -1, -1)     # not relative
    struct.pack_into(">I", fixed, 0x86, 0x0920)      # boot volume
    body = bytes(fixed) + item(18, folder.lstrip("/").encode()) + item(19, b"/")
    body += struct.pack(">hH", -1, 0)
    return body[:4] + struct.pack(">H", len(body)) + body[6:]


class LocatorTest(unittest.TestCase):
    def setUp(self):
        self._home = tempfile.TemporaryDirectory(prefix="afclink-xml-")
        self.home = os.path.realpath(self._home.name)
        self.addCleanup(self._home.cleanup)

    def path(self, relative):
        return os.path.join(self.home, relative)

    def touch(self, relative):
        os.makedirs(os.path.dirname(self.path(relative)), exist_ok=True)
        with open(self.path(relative), "wb") as f:
            f.write(b"<plist/>")

    def write_prefs(self, name, value, fmt=plistlib.FMT_BINARY):
        os.makedirs(self.path("Library/Preferences"), exist_ok=True)
        with open(self.path("Library/Preferences/" + name), "wb") as f:
            plistlib.dump(value, f, fmt=fmt)

    def session(self, *commands):
        """Runs the commands then quit; returns every output line."""
        with Afclink(home=self.home) as app:
            app.send("".join(c + "\n" for c in commands) + "quit\n")
            lines = []
            while (line := app.read_line()) is not None:
                lines.append(line)
            self.assertEqual(app.wait(), 0)
            self.assertEqual(app.stderr, b"", "afclink wrote to stderr")
        self.assertEqual(lines[-1], "ok")  # quit
        return lines[:-1]

    def argument_form(self):
        with Afclink(args=("XMLPath",), home=self.home) as app:
            app.close_input()
            lines = []
            while (line := app.read_line()) is not None:
                lines.append(line)
            self.assertEqual(app.wait(), 0)
            self.assertEqual(app.stderr, b"", "afclink wrote to stderr")
        return lines

    # ---- the three ways in ------------------------------------------------

    def test_fallback_folder_through_every_form_and_the_sample_trace(self):
        self.touch("Music/iTunes/iTunes Library.xml")
        library = self.path("Music/iTunes/iTunes Library.xml")
        self.assertEqual(self.session("XMLPath"), [library])
        self.assertEqual(self.argument_form(), [library])
        self.assertEqual(self.session("XMLDebug"), START + ITUNES_OPENED + [
            "# Starting get xml 11345"] + FALLBACK + ["# returning value", library])

    def test_nothing_found_is_one_error_line_and_the_loop_goes_on(self):
        self.assertEqual(self.session("XMLPath", "status", "XMLPath"),
                         [ERROR, "disconnected", ERROR])
        self.assertEqual(self.argument_form(), [ERROR])
        self.assertEqual(self.session("XMLDebug"), START + ITUNES_OPENED + [
            "# Starting get xml 11345"] + FALLBACK + ["# Not found", ERROR])

    # ---- the sources ------------------------------------------------------

    def test_recent_path_is_answered_as_it_stands(self):
        self.write_prefs("com.apple.iApps.plist", {
            "iTunesRecentDatabasePaths": ["~/Somewhere/iTunes Music Library.xml", "/x"]},
            fmt=plistlib.FMT_XML)
        expected = self.path("Somewhere/iTunes Music Library.xml")
        self.assertEqual(self.session("XMLPath"), [expected])
        self.assertEqual(self.argument_form(), [expected])
        self.assertEqual(self.session("XMLDebug"), START + [
            "# opened ~/Library/Preferences/com.apple.iApps.plist",
            "# returning expanded path 1", expected])

    def test_alias_in_the_itunes_preferences_names_the_folder(self):
        self.touch("Moved Library/iTunes Music Library.xml")
        self.touch("Moved Library/iTunes Library.xml")
        self.touch("Music/iTunes/iTunes Library.xml")
        self.write_prefs("com.apple.iApps.plist", {"iTunesRecentDatabasePaths": [""]})
        self.write_prefs("com.apple.iTunes.plist", {
            "alis:11345:Music Folder Location": alias_record(self.path("Moved Library"))})
        expected = self.path("Moved Library/iTunes Music Library.xml")
        self.assertEqual(self.session("XMLPath"), [expected])
        self.assertEqual(self.session("XMLDebug"), START + [
            "# opened ~/Library/Preferences/com.apple.iApps.plist",
            "# found libraryAliasData in newer location."] + ITUNES_OPENED + [
            "# Starting get xml 11345", "# found path ", "# returning value", expected])

    def test_damaged_alias_shows_its_status_only_in_the_trace(self):
        record = alias_record(self.path("Music"))
        self.write_prefs("com.apple.iTunes.plist", {
            "alis:1:iTunes Library Location": record[:len(record) - 3]})
        self.assertEqual(self.session("XMLPath"), [ERROR])
        self.assertEqual(self.session("XMLDebug"), START + ITUNES_OPENED + [
            "# found path ", "# Err on FSCopyAliasInfo -50 ", ERROR])

    @unittest.skipUnless(os.path.isdir(os.path.join(SHARED, "prefs")), "sample data absent")
    def test_real_iapps_file_gives_its_recent_path(self):
        os.makedirs(self.path("Library/Preferences"))
        shutil.copy(os.path.join(SHARED, "prefs", "benfried-dotfiles.com.apple.iApps.plist"),
                    self.path("Library/Preferences/com.apple.iApps.plist"))
        self.assertEqual(self.argument_form(),
                         [self.path("Music/iTunes/iTunes Music Library.xml")])


if __name__ == "__main__":
    unittest.main()
