"""The "com.apple.afc" file service, served from a folder of the host.

Packets: a 40-byte little-endian header (magic, entire length, this length, packet
number, operation), header data, then payload. Replies echo the request's packet
number. Small results (status, handle, position) travel as header data written in
one piece with the header; file data travels as payload, written straight from the
buffer os.read returned, so a 1 MiB read costs two system calls and no copying.

The packets travel on a stream: the raw pipe, or TLS over it. Link cuts close the
raw socket whatever travels on it.

The link model, as a phone streams: a reply is due one round trip (the latency)
after its request arrived, and under a bandwidth cap its payload leaves in pieces,
each once the link, free from that moment or from the previous reply's end, would
have carried it. The emulator's own work (reading the file, encrypting) happens
meanwhile and so overlaps the round trip and the wire; whenever a reply's last
bytes still leave later than the model allows, the delay adds to the counter
"behind_model_us" (the host has a reply only once its last bytes arrive; an
earlier piece that leaves late is caught up by the pieces after it).
"""

import ctypes
import errno
import os
import platform
import posixpath
import shutil
import stat
import struct
import time

from wire import PeerGone

MAGIC = b"CFA6LPAA"
HEADER = struct.Struct("<8sQQQQ")
MAX_PACKET = 64 << 20
U64 = struct.Struct("<Q")
PACED_PIECE = 64 << 10  # bytes sent at a time under a bandwidth cap
PR_SET_TIMERSLACK = 29
PACING_TIMER_SLACK_NS = 1000
SYS_SCHED_SETATTR = {"x86_64": 314, "aarch64": 274}.get(platform.machine())
PACING_SLICE_NS = 100000  # the shortest slice Linux grants an ordinary thread
LAST_PIECE_SPIN = 200e-6  # seconds a reply's last piece waits awake

OP_STATUS = 0x01
OP_DATA = 0x02
OP_READ_DIR = 0x03
OP_TRUNCATE = 0x07
OP_REMOVE_PATH = 0x08
OP_MAKE_DIR = 0x09
OP_GET_FILE_INFO = 0x0A
OP_GET_DEVINFO = 0x0B
OP_FILE_OPEN = 0x0D
OP_FILE_OPEN_RES = 0x0E
OP_FILE_READ = 0x0F
OP_FILE_WRITE = 0x10
OP_FILE_SEEK = 0x11
OP_FILE_TELL = 0x12
OP_FILE_TELL_RES = 0x13
OP_FILE_CLOSE = 0x14
OP_FILE_SET_SIZE = 0x15
OP_RENAME_PATH = 0x18
OP_FILE_LOCK = 0x1B
OP_REMOVE_PATH_AND_CONTENTS = 0x22

E_SUCCESS = 0
E_UNKNOWN = 1
E_READ = 4
E_WRITE = 5
E_INVALID_ARG = 7
E_NOT_FOUND = 8
E_IS_DIR = 9
E_PERM = 10
E_NOT_SUPPORTED = 15
E_EXISTS = 16
E_NO_SPACE = 18
E_IO = 20

OPEN_FLAGS = {
    1: os.O_RDONLY,
    2: os.O_RDWR | os.O_CREAT,
    3: os.O_WRONLY | os.O_CREAT | os.O_TRUNC,
    4: os.O_RDWR | os.O_CREAT | os.O_TRUNC,
    5: os.O_WRONLY | os.O_APPEND | os.O_CREAT,
    6: os.O_RDWR | os.O_APPEND | os.O_CREAT,
}

ERRNO_STATUS = {
    errno.ENOENT: E_NOT_FOUND, errno.ENOTDIR: E_NOT_FOUND, errno.EISDIR: E_IS_DIR,
    errno.EACCES: E_PERM, errno.EPERM: E_PERM, errno.EROFS: E_PERM,
    errno.EEXIST: E_EXISTS, errno.ENOSPC: E_NO_SPACE, errno.EDQUOT: E_NO_SPACE,
    errno.ENOTEMPTY: E_UNKNOWN, errno.EBADF: E_INVALID_ARG, errno.EINVAL: E_INVALID_ARG,
}

IFMT_NAMES = {
    stat.S_IFREG: "S_IFREG", stat.S_IFDIR: "S_IFDIR", stat.S_IFLNK: "S_IFLNK",
    stat.S_IFCHR: "S_IFCHR", stat.S_IFBLK: "S_IFBLK", stat.S_IFIFO: "S_IFIFO",
    stat.S_IFSOCK: "S_IFSOCK",
}


def _wake_on_time():
    """Asks Linux to end the calling thread's sleeps on time and to run it as soon
    as they have ended.

    A paced reply leaves in pieces about 2 ms apart, each at the moment the model
    allows, and whatever the thread wakes past that moment counts as behind. The
    default timer slack lets a sleep end up to 50 µs late; the default run slice
    (milliseconds) lets whatever else holds the CPU keep it that long once the
    sleep has ended. A short slice takes no larger share of the CPU, only earlier
    turns. Where either is not offered (not Linux, kernels before 6.12 ignore the
    slice), the sleeps end as the system lets them.
    """
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(PR_SET_TIMERSLACK, PACING_TIMER_SLACK_NS, 0, 0, 0)
        if SYS_SCHED_SETATTR is not None:
            # struct sched_attr as first published: size, policy (SCHED_OTHER), flags,
            # nice (kept as it is), priority, runtime (the slice), deadline, period.
            attr = struct.pack("<IIQiIQQQ", 48, 0, 0, os.getpriority(os.PRIO_PROCESS, 0), 0,
                               PACING_SLICE_NS, 0, 0)
            libc.syscall(SYS_SCHED_SETATTR, 0, ctypes.create_string_buffer(attr, len(attr)), 0)
    except (OSError, AttributeError):
        pass


class LinkCut(Exception):
    """A control-ordered cut closed this connection."""


class OutsideRoot(Exception):
    """A device path that resolves, through a symbolic link, outside the
    served folder. A phone's file service is confined to its media folder
    by the sandbox, which refuses such a path as a permission failure."""


class OpenFile:
    __slots__ = ("fd", "path")

    def __init__(self, fd, path):
        self.fd = fd
        self.path = path


def _status_of(err):
    return ERRNO_STATUS.get(err.errno, E_IO)


def _cstring(data):
    end = data.find(b"\0")
    return (data if end < 0 else data[:end]).decode("utf-8", "surrogateescape")


def _kv(pairs):
    return b"".join(k.encode() + b"\0" + str(v).encode() + b"\0" for k, v in pairs)


class AfcService:
    def __init__(self, stream, sock, daemon, phone, log):
        self.stream = stream
        self.sock = sock
        self.daemon = daemon
        self.phone = phone
        self.log = log
        self.root = phone.root
        self.real_root = os.path.realpath(phone.root)
        self.debug = log.isEnabledFor(10)  # logging.DEBUG
        self.files = {}
        self.next_handle = 1
        self.due = 0.0  # when the reply to the request in hand may leave
        self._late = 0.0  # how far the last bytes sent were behind the model
        self.ops = {
            OP_READ_DIR: self.read_dir, OP_TRUNCATE: self.truncate_path,
            OP_REMOVE_PATH: self.remove_path, OP_MAKE_DIR: self.make_dir,
            OP_GET_FILE_INFO: self.file_info, OP_GET_DEVINFO: self.device_info,
            OP_FILE_OPEN: self.file_open, OP_FILE_READ: self.file_read,
            OP_FILE_WRITE: self.file_write, OP_FILE_SEEK: self.file_seek,
            OP_FILE_TELL: self.file_tell, OP_FILE_CLOSE: self.file_close,
            OP_FILE_SET_SIZE: self.file_set_size, OP_RENAME_PATH: self.rename_path,
            OP_FILE_LOCK: self.file_lock,
            OP_REMOVE_PATH_AND_CONTENTS: self.remove_all,
        }

    def serve(self):
        self.phone.count("afc_connections")
        _wake_on_time()
        try:
            while True:
                recv_exact = self.stream.recv_exact
                magic, entire, this_len, num, op = HEADER.unpack(recv_exact(HEADER.size))
                if magic != MAGIC or this_len < HEADER.size or entire < this_len or entire > MAX_PACKET:
                    self.log.debug("afc: bad packet header")
                    return
                hdata = recv_exact(this_len - HEADER.size)
                payload = recv_exact(entire - this_len)
                self.due = time.monotonic() + self.phone.latency
                self.phone.count("afc_requests")
                if self.debug:
                    self.log.debug("afc: #%d op 0x%02x, %d + %d bytes", num, op, len(hdata), len(payload))
                handler = self.ops.get(op)
                if handler is None:
                    self.status(num, E_NOT_SUPPORTED)
                    continue
                try:
                    handler(num, hdata, payload)
                except (struct.error, IndexError):
                    self.status(num, E_INVALID_ARG)
                except OutsideRoot:
                    self.status(num, E_PERM)
                except (PeerGone, LinkCut):
                    raise
                except Exception:  # report it to the host and keep serving
                    self.log.exception("afc: operation 0x%x failed", op)
                    self.status(num, E_UNKNOWN)
        except (PeerGone, LinkCut):
            pass
        finally:
            for f in self.files.values():
                try:
                    os.close(f.fd)
                except OSError:
                    pass
            self.files.clear()

    # ---- replies, with the control channel's link cuts applied ----

    def send(self, num, op, hdata=b"", payload=b""):
        st = self.phone
        this_len = HEADER.size + len(hdata)
        # The header always announces the whole reply, so a cut inside the payload
        # looks to the host like a link lost mid-reply.
        header = HEADER.pack(MAGIC, this_len + len(payload), this_len, num, op) + hdata
        cut_now = False
        with st.lock:
            if st.cut_bytes is not None and op == OP_DATA:
                if len(payload) > st.cut_bytes:
                    payload = payload[:st.cut_bytes]
                    cut_now = True
                else:
                    st.cut_bytes -= len(payload)
                    cut_now = st.cut_bytes == 0
            if st.cut_replies is not None:
                st.cut_replies -= 1
                cut_now = cut_now or st.cut_replies <= 0
        send = self.stream.send_all
        link = st.reserve_link(len(payload), self.due) if payload else None
        if link:
            # Each piece leaves once the link, streaming from the reply's start, has
            # carried it.
            start, rate = link
            self._wait_until(start)
            send(header)
            view = memoryview(payload)
            for offset in range(0, len(view), PACED_PIECE):
                piece = view[offset:offset + PACED_PIECE]
                end = offset + len(piece)
                self._wait_until(start + end / rate, last=end == len(view))
                send(piece)
            return self._sent(cut_now)
        self._wait_until(self.due, last=True)
        if len(payload) > 65536:
            send(header)
            send(payload)
        else:
            send(header + payload)
        self._sent(cut_now)

    def _wait_until(self, moment, last=False):
        """Sleeps until the model lets the next bytes leave; the time past it then,
        the sleep's own overshoot included, is the emulator's delay behind the
        model. The last bytes of a reply, which decide when the host has it whole,
        end their wait awake: a sleep can end late even when nothing else runs
        (BENCHMARKS.md has by how much)."""
        early = moment - time.monotonic() - (LAST_PIECE_SPIN if last else 0.0)
        if early > 0:
            time.sleep(early)
        if last:
            while time.monotonic() < moment:
                pass
        self._late = time.monotonic() - moment

    def _sent(self, cut_now):
        if self._late > 0:
            self.phone.count("behind_model_us", int(self._late * 1e6))
        if cut_now:
            self.cut()

    def cut(self):
        detach = self.phone.take_cut()
        self.log.debug("afc: link cut (detach=%s)", detach)
        if detach:
            self.daemon.detach(self.phone)
        else:
            self.daemon.close_device_socket(self.sock)
        raise LinkCut()

    def status(self, num, code):
        self.send(num, OP_STATUS, U64.pack(code))

    def data(self, num, payload):
        self.send(num, OP_DATA, b"", payload)

    def path(self, raw, follow=True):
        """The host path of a device path, which must resolve inside the
        served folder; with follow False, a final symbolic link is the
        object itself (removed, renamed, described), so only its folder
        must."""
        rel = posixpath.normpath("/" + raw).lstrip("/")
        host = os.path.join(self.root, rel) if rel else self.root
        if follow or not rel:
            resolved = os.path.realpath(host)
        else:
            resolved = os.path.join(os.path.realpath(os.path.dirname(host)),
                                    os.path.basename(host))
        if resolved != self.real_root and not resolved.startswith(self.real_root + os.sep):
            raise OutsideRoot(raw)
        return host

    def handle_of(self, hdata):
        return self.files.get(U64.unpack_from(hdata, 0)[0])

    # ---- operations ----

    def file_open(self, num, hdata, _payload):
        mode = U64.unpack_from(hdata, 0)[0]
        device_path = _cstring(hdata[8:])
        flags = OPEN_FLAGS.get(mode)
        if flags is None:
            return self.status(num, E_INVALID_ARG)
        host_path = self.path(device_path)
        if os.path.isdir(host_path):
            return self.status(num, E_IS_DIR)
        try:
            fd = os.open(host_path, flags | os.O_CLOEXEC, 0o644)
        except OSError as e:
            return self.status(num, _status_of(e))
        handle = self.next_handle
        self.next_handle += 1
        self.files[handle] = OpenFile(fd, posixpath.normpath("/" + device_path))
        self.send(num, OP_FILE_OPEN_RES, U64.pack(handle))

    def file_read(self, num, hdata, _payload):
        f = self.handle_of(hdata)
        if f is None:
            return self.status(num, E_INVALID_ARG)
        length = U64.unpack_from(hdata, 8)[0]
        st = self.phone
        with st.lock:
            max_read = st.max_read
            error_at = st.faults.get("read_error_at")
            error_path = st.faults.get("read_error_path")
            refuse_past_end = st.faults.get("read_past_end_refused")
        if refuse_past_end:
            # A reply shorter than its request is where a cut link makes
            # libimobiledevice read past its buffer: such requests fail loudly here.
            pos = os.lseek(f.fd, 0, os.SEEK_CUR)
            if pos < os.fstat(f.fd).st_size < pos + length:
                return self.status(num, E_INVALID_ARG)
        if max_read:
            length = min(length, max_read)
        length = min(length, MAX_PACKET)
        if st.media_daemon is not None:
            st.media_daemon.before_read(f.path, f.fd, length)
        try:
            if error_at is not None and (error_path is None or
                                         posixpath.normpath("/" + error_path) == f.path):
                pos = os.lseek(f.fd, 0, os.SEEK_CUR)
                if pos >= error_at:
                    return self.status(num, E_READ)
                length = min(length, error_at - pos)
            chunk = os.read(f.fd, length)
        except OSError as e:
            return self.status(num, E_READ if e.errno == errno.EIO else _status_of(e))
        st.count("afc_bytes_read", len(chunk))
        self.data(num, chunk)

    def file_write(self, num, hdata, payload):
        f = self.handle_of(hdata)
        if f is None:
            return self.status(num, E_INVALID_ARG)
        view = memoryview(payload)
        try:
            while view:
                view = view[os.write(f.fd, view):]
        except OSError as e:
            code = _status_of(e)
            return self.status(num, E_WRITE if code in (E_IO, E_INVALID_ARG) else code)
        self.phone.count("afc_bytes_written", len(payload))
        self.status(num, E_SUCCESS)

    def file_seek(self, num, hdata, _payload):
        f = self.handle_of(hdata)
        if f is None:
            return self.status(num, E_INVALID_ARG)
        whence = U64.unpack_from(hdata, 8)[0]
        offset = struct.unpack_from("<q", hdata, 16)[0]
        if whence not in (os.SEEK_SET, os.SEEK_CUR, os.SEEK_END):
            return self.status(num, E_INVALID_ARG)
        try:
            os.lseek(f.fd, offset, whence)
        except OSError as e:
            return self.status(num, _status_of(e))
        self.status(num, E_SUCCESS)

    def file_tell(self, num, hdata, _payload):
        f = self.handle_of(hdata)
        if f is None:
            return self.status(num, E_INVALID_ARG)
        self.send(num, OP_FILE_TELL_RES, U64.pack(os.lseek(f.fd, 0, os.SEEK_CUR)))

    def file_close(self, num, hdata, _payload):
        f = self.files.pop(U64.unpack_from(hdata, 0)[0], None)
        if f is None:
            return self.status(num, E_INVALID_ARG)
        os.close(f.fd)
        self.status(num, E_SUCCESS)

    def file_set_size(self, num, hdata, _payload):
        f = self.handle_of(hdata)
        if f is None:
            return self.status(num, E_INVALID_ARG)
        try:
            os.ftruncate(f.fd, U64.unpack_from(hdata, 8)[0])
        except OSError as e:
            return self.status(num, _status_of(e))
        self.status(num, E_SUCCESS)

    def file_lock(self, num, hdata, _payload):
        self.status(num, E_SUCCESS if self.handle_of(hdata) else E_INVALID_ARG)

    def read_dir(self, num, hdata, _payload):
        try:
            names = os.listdir(self.path(_cstring(hdata)))
        except OSError as e:
            return self.status(num, _status_of(e))
        self.data(num, b"".join(n.encode("utf-8", "surrogateescape") + b"\0"
                                for n in [".", ".."] + sorted(names)))

    def file_info(self, num, hdata, _payload):
        host_path = self.path(_cstring(hdata), follow=False)
        try:
            s = os.lstat(host_path)
            pairs = [("st_size", s.st_size), ("st_blocks", s.st_blocks),
                     ("st_nlink", s.st_nlink),
                     ("st_ifmt", IFMT_NAMES.get(stat.S_IFMT(s.st_mode), "S_IFREG")),
                     ("st_mtime", s.st_mtime_ns), ("st_birthtime", s.st_ctime_ns)]
            if stat.S_ISLNK(s.st_mode):
                pairs.append(("LinkTarget", os.readlink(host_path)))
        except OSError as e:
            return self.status(num, _status_of(e))
        self.data(num, _kv(pairs))

    def device_info(self, num, _hdata, _payload):
        v = os.statvfs(self.root)
        self.data(num, _kv([("Model", self.phone.product_type),
                            ("FSTotalBytes", v.f_blocks * v.f_frsize),
                            ("FSFreeBytes", v.f_bavail * v.f_frsize), ("FSBlockSize", v.f_bsize)]))

    def make_dir(self, num, hdata, _payload):
        try:
            os.makedirs(self.path(_cstring(hdata)), exist_ok=True)
        except OSError as e:
            return self.status(num, _status_of(e))
        self.status(num, E_SUCCESS)

    def remove_path(self, num, hdata, _payload):
        def remove(p):
            if os.path.isdir(p) and not os.path.islink(p):
                os.rmdir(p)
            else:
                os.unlink(p)
        self._path_op(num, remove, _cstring(hdata), follow=False)

    def remove_all(self, num, hdata, _payload):
        def remove(p):
            if os.path.isdir(p) and not os.path.islink(p):
                shutil.rmtree(p)
            else:
                os.unlink(p)
        self._path_op(num, remove, _cstring(hdata), follow=False)

    def truncate_path(self, num, hdata, _payload):
        size = U64.unpack_from(hdata, 0)[0]
        self._path_op(num, lambda p: os.truncate(p, size), _cstring(hdata[8:]))

    def rename_path(self, num, hdata, _payload):
        first = hdata.find(b"\0")
        if first < 0:
            return self.status(num, E_INVALID_ARG)
        target = self.path(_cstring(hdata[first + 1:]), follow=False)
        self._path_op(num, lambda p: os.rename(p, target), _cstring(hdata[:first]),
                      follow=False)

    def _path_op(self, num, action, device_path, follow=True):
        host_path = self.path(device_path, follow)
        if host_path == self.root:
            return self.status(num, E_PERM)
        try:
            action(host_path)
        except OSError as e:
            return self.status(num, _status_of(e))
        self.status(num, E_SUCCESS)
