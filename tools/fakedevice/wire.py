"""Small socket helpers shared by the emulated services."""

import socket


class PeerGone(Exception):
    """The other end closed (or the link was cut) before a whole message arrived."""


def recv_exact(sock, n):
    """Read exactly n bytes; PeerGone when the stream ends first."""
    if n == 0:
        return b""
    buf = bytearray(n)
    view = memoryview(buf)
    got = 0
    while got < n:
        try:
            k = sock.recv_into(view[got:], n - got)
        except OSError as e:
            raise PeerGone(str(e)) from e
        if k == 0:
            raise PeerGone("end of stream")
        got += k
    return bytes(buf)


def send_all(sock, data):
    try:
        sock.sendall(data)
    except OSError as e:
        raise PeerGone(str(e)) from e


def close_quietly(sock):
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    try:
        sock.close()
    except OSError:
        pass
