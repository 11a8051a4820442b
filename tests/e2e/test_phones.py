"""Two phones on one computer: `devices` lists both, and `connect UDID`
copies from the chosen one only, waiting for it while it is unplugged and
the other stays attached."""

import os
import time
import unittest

import test_device as base
from test_device import DEADLINE

SECOND = "00008110-001631C105BA801E"


def put_on(emulator, udid, device_path, data):
    local = os.path.join(emulator.root_of(udid), device_path.lstrip("/"))
    os.makedirs(os.path.dirname(local), exist_ok=True)
    with open(local, "wb") as f:
        f.write(data)


class TwoPhones(base.DeviceCase):
    emulator_options = dict(paired=True, phones=[dict(udid=SECOND, name="Second", paired=True)])

    def test_devices_lists_both_and_connect_udid_keeps_to_the_chosen_one(self):
        first = self.emulator.udid
        put_on(self.emulator, first, "/which.txt", b"the first phone\n")
        put_on(self.emulator, SECOND, "/which.txt", b"the second phone\n")
        trace, count = self.app.traced("devices")
        self.assertEqual(count, "2")
        self.assertEqual(sorted(line.split()[1] for line in trace), sorted([first, SECOND]))

        for word, wrong in (("00008110-00163!", "!"), ("a" * 65, "65")):
            reply = self.app.ask("connect " + word)
            self.assertTrue(reply.startswith("Error: A UDID ") and wrong in reply, reply)
        self.assertEqual(self.app.ask("status"), "disconnected")

        self.assertEqual(self.app.ask("connect " + SECOND), "ok")
        self.assertEqual(self.app.wait_for_status("connected", DEADLINE), "connected")
        copy = self.local("which")
        self.assertEqual(self.app.ask('getFile /which.txt "%s"' % copy), "ok")
        self.assertEqual(self.read_local("which"), b"the second phone\n")
        trace, _ = self.app.traced("devices")
        self.assertIn("# %s Second" % SECOND, trace)

        # Unplugged, the chosen phone is waited for; the other one, still
        # attached, is left alone.
        self.emulator.detach(udid=SECOND)
        self.assertEqual(self.app.wait_for_status("connecting", DEADLINE), "connecting")
        time.sleep(1.0)
        self.assertEqual(self.app.ask("status"), "connecting")
        self.assertEqual(self.app.ask('getFile /which.txt "%s"' % copy), "Error: Not connected")
        trace = self.assert_trace("# chosen phone: %s (waiting" % SECOND)
        self.assertIn("# other phone: %s, left alone" % first, trace)
        self.assertEqual(self.emulator.counter("afc_connections", udid=first), 0)

        self.emulator.attach(udid=SECOND)
        self.assertEqual(self.app.wait_for_status("connected", DEADLINE), "connected")
        os.unlink(copy)
        self.assertEqual(self.app.ask('getFile /which.txt "%s"' % copy), "ok")
        self.assertEqual(self.read_local("which"), b"the second phone\n")

        # After disconnect, a bare connect takes the phone usbmuxd shows first.
        self.assertEqual(self.app.ask("disconnect"), "ok")
        self.emulator.detach(udid=SECOND)
        self.connect()
        self.assertEqual(self.app.ask('getFile /which.txt "%s"' % copy), "ok")
        self.assertEqual(self.read_local("which"), b"the first phone\n")


if __name__ == "__main__":
    unittest.main()
