"""The test's side door: one JSON request per line, one JSON reply per line.

A request's "udid" names the phone it is about; without one it is about the first
phone, so a test written for one phone reads the same with several.
"""

import json


class Control:
    def __init__(self, daemon, stop):
        self.daemon = daemon
        self.stop = stop

    def serve(self, sock):
        try:
            with sock, sock.makefile("rwb", buffering=0) as stream:
                for line in stream:
                    if not line.strip():
                        continue
                    request = None
                    try:
                        request = json.loads(line)
                        if not isinstance(request, dict):
                            raise ValueError("a JSON object is expected")
                        reply = self.handle(request)
                        reply["ok"] = True
                    except Exception as e:  # a bad request must not end the channel
                        reply = {"ok": False, "error": "%s: %s" % (type(e).__name__, e)}
                    stream.write(json.dumps(reply).encode() + b"\n")
                    if reply["ok"] and request.get("cmd") == "quit":
                        self.stop()
                        return
        except OSError:
            pass

    def handle(self, request):
        daemon = self.daemon
        cmd = request.get("cmd")
        if cmd in ("ping", "quit"):
            return {}
        if cmd == "attach":
            return {"device_id": daemon.attach(self._to_attach(request.get("udid")))}
        if cmd == "set":
            self._set(request)
            return {}
        phone = daemon.phone(request.get("udid"))
        if cmd == "state":
            return daemon.snapshot(phone)
        if cmd == "detach":
            return {"was_attached": daemon.detach(phone)}
        if cmd == "fault":
            name = request["name"]
            if name == "unpaired":
                daemon.unpair(phone)
                return {}
            phone.set_fault(name, request.get("value", True))
            return {"faults": phone.snapshot()["faults"]}
        if cmd == "clear_faults":
            phone.clear_faults()
            return {}
        if cmd == "cut":
            phone.set_cut(request.get("after_bytes"), request.get("after_replies"),
                          request.get("detach", False))
            return {}
        if cmd == "unpair":
            daemon.unpair(phone)
            return {}
        if cmd == "untrust":
            phone.untrust_all()
            return {}
        if cmd == "trust":
            phone.trust(request["host_id"])
            return {}
        if cmd in ("tap_trust", "tap_dont_trust"):
            daemon.tap_trust(phone, cmd == "tap_trust")
            return {}
        if cmd in ("lock", "unlock"):
            # The same switch as the locked fault. An unlock tells usbmuxd nothing.
            phone.set_fault("locked", cmd == "lock")
            return {}
        if cmd == "make_paired":
            return {"host_id": daemon.make_paired(phone)}
        raise KeyError("unknown command %r" % cmd)

    def _to_attach(self, udid):
        """The phone an attach names. A UDID no phone has is the first phone's new
        one, as it was when the emulator had one phone (kept while it is plugged in)."""
        daemon = self.daemon
        if udid is None:
            return daemon.phone()
        if not isinstance(udid, str):
            raise TypeError("udid takes a string")
        with daemon.lock:
            phone = daemon.find(udid)
            if phone is not None:
                return phone
            first = daemon.phone()
            if daemon.device_id(first) is None:
                daemon.rename(first, udid)
            return first

    def _set(self, request):
        """Settings of one phone, and usbmuxd's preflight. A "udid" no phone has is
        the first phone's new UDID, as it was with one phone; "new_udid" renames
        the phone "udid" names."""
        daemon = self.daemon
        settings = {k: v for k, v in request.items() if k != "cmd"}
        udid = settings.pop("udid", None)
        if udid is not None and not isinstance(udid, str):
            raise TypeError("udid takes a string")
        with daemon.lock:
            phone = daemon.find(udid) if udid is not None else daemon.phone()
            if phone is None:
                phone = daemon.phone()
                settings["new_udid"] = udid
            for key, value in settings.items():
                if key == "preflight":
                    if not isinstance(value, bool):
                        raise TypeError("preflight takes true or false")
                    daemon.preflight = value
                elif key == "new_udid":
                    if not isinstance(value, str):
                        raise TypeError("new_udid takes a string")
                    daemon.rename(phone, value)
                else:
                    phone.configure(key, value)
