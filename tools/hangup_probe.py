import sys, subprocess, time
sys.path.insert(0, "tests/e2e")
from fakedevice_control import FakeDevice
UDID = "00008030fa1d2c3b4e5f60718293a4b5c6d7e8f9"
with FakeDevice(udid=UDID, paired=True, faults={"tls_hangups_after_pair": 1}, log="/tmp/fd.log") as dev:
    dev.untrust()
    r = subprocess.run(["idevicepair", "pair"], env=dev.env(), capture_output=True, text=True, timeout=30)
    print("pair", r.returncode, r.stdout, r.stderr)
    p = subprocess.Popen(["strace", "-f", "-tt", "-o", "/tmp/st.log", "ideviceinfo", "-d", "-k", "ProductVersion"], env=dev.env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    time.sleep(5)
    p.kill()
    print(p.stdout.read().decode(errors="replace")[-3000:])
print(open("/tmp/st.log").read()[-5000:])
print(open("/tmp/fd.log").read()[-3000:])
