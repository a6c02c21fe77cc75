#!/usr/bin/env python3
"""Raw clients of the daemon's local socket for the end-to-end tests, written
from the wire layouts (host byte order) so that they can misbehave the way a
hostile local user would.

  raw_clients.py session HOW TTY   start a session (version-1 start), print
                                   "audited", then end the connection HOW: unknown
                                   (an undispatched type), partial (half a
                                   request header, then silence), idle
                                   (silence); waits until the daemon closes
  raw_clients.py stall KIND COUNT  COUNT connections stalled as KIND, then
                                   "ready" and wait for SIGTERM. KIND: body (a
                                   header announcing 1 MiB and 200 KiB of it),
                                   auth (a version-2 request that needs the
                                   secure-file exchange, its challenge never
                                   answered), noread (requests sent, replies
                                   never read), hello (3 bytes of a handshake)
  raw_clients.py hold COUNT        up to COUNT version-5 connections (until a
                                   connect takes a second); prints how many
                                   handshakes were answered, closed, or not
                                   answered within 3 s, then waits for SIGTERM
  raw_clients.py query TYPE [UID]  an empty request of TYPE (as UID when
                                   given); prints each reply value on a line:
                                   "bool N", "int32 N", "string TEXT"
"""
import os
import resource
import select
import signal
import socket
import struct
import sys
import time

SOCK = "/var/orvanevg/audit"
MAGIC = 0xABCD8012
VGPING, VGSESSIONSTART, VGFBFRAME = 10, 30, 3200


def value(kind, v):
    if kind == "i":
        return b"\x02" + struct.pack("=i", v)
    if kind == "s":
        return b"\x04" + struct.pack("=I", len(v)) + v
    raise ValueError(kind)


def body(msg_type, *values):
    return struct.pack("=H", msg_type) + b"".join(value(k, v) for k, v in values) + b"\x00"


def frame(version, payload, seq=1, length=None):
    n = len(payload) if length is None else length
    if version in (2, 3):
        return struct.pack("=II", MAGIC, 8 + n) + payload
    return struct.pack("=IHIQIQHQII", MAGIC, 48, 5, os.getpid(), seq, int(time.time()), 0, 0, 0, n) + payload


def recv_exact(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def connect(version=5, timeout=10):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.connect(SOCK)
    if version == 5:
        s.sendall(struct.pack("=IHH", 5, 8, 0))
        recv_exact(s, 16)
    else:
        s.sendall(struct.pack("=I", version))
        recv_exact(s, 4)
    return s


def values_of(reply):
    """The values of a reply body after its type: (tag, value) pairs."""
    out, i = [], 2
    while i < len(reply) and reply[i] != 0:
        tag = reply[i]
        i += 1
        if tag == 1:
            out.append((tag, reply[i]))
            i += 1
        elif tag in (2, 3):
            out.append((tag, struct.unpack_from("=i", reply, i)[0]))
            i += 4
        else:
            n = struct.unpack_from("=I", reply, i)[0]
            i += 4
            if n == 0xFFFFFFFF:
                n = 0
            out.append((tag, reply[i:i + n]))
            i += n
    return out


def call5(s, payload):
    s.sendall(frame(5, payload))
    head = recv_exact(s, 48)
    return recv_exact(s, struct.unpack_from("=I", head, 44)[0])


def wait_closed(s, seconds):
    s.settimeout(seconds)
    try:
        while s.recv(4096):
            pass
    except ConnectionResetError:
        pass
    except socket.timeout:
        return False
    return True


def session(how, tty):
    s = connect()
    argv = b"-raw_clients"
    reply = call5(s, body(VGSESSIONSTART, ("i", os.getsid(0)), ("s", b""), ("s", tty.encode()),
                          ("s", b"first"), ("s", b"second"), ("i", 1), ("s", argv)))
    vals = values_of(reply)
    guid = [v for t, v in vals if t == 6]
    if not vals or vals[0][1] != 1 or not guid:
        print("not audited: %r" % (vals,))
        return 1
    print("audited", flush=True)
    if how == "unknown":
        s.sendall(frame(5, body(VGFBFRAME)))
    elif how == "partial":
        s.sendall(frame(5, b"", length=100)[:20])
    return 0 if wait_closed(s, 60) else 1


def stall_one(kind):
    if kind == "hello":
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(SOCK)
        s.sendall(struct.pack("=I", 5)[:3])
        return s
    if kind == "auth":
        s = connect(version=2)
        s.sendall(frame(2, body(VGSESSIONSTART)))
        return s
    s = connect()
    s.setblocking(False)
    if kind == "body":
        data = frame(5, b"\x00" * (200 * 1024), length=1024 * 1024)
    else:  # noread: pings until nothing more is taken
        data = frame(5, body(VGPING)) * 200000
    sent, idle_since = 0, time.time()
    while sent < len(data) and time.time() - idle_since < 0.5:
        try:
            n = s.send(data[sent:sent + 65536])
            sent += n
            idle_since = time.time()
        except BlockingIOError:
            time.sleep(0.01)
    return s


def hold(count):
    pending, closed = [], 0
    for _ in range(count):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.setblocking(False)
        # A full listen queue answers EAGAIN: retried for a second.
        give_up = time.time() + 1
        while True:
            try:
                s.connect(SOCK)
                break
            except BlockingIOError:
                if time.time() > give_up:
                    break
                time.sleep(0.01)
        if time.time() > give_up:
            s.close()
            break
        try:
            s.send(struct.pack("=IHH", 5, 8, 0))
            pending.append(s)
        except OSError:  # closed by the daemon already
            closed += 1
            s.close()
    held = []
    deadline = time.time() + 3
    poller = select.poll()
    by_fd = {s.fileno(): s for s in pending}
    for fd in by_fd:
        poller.register(fd, select.POLLIN)
    while by_fd and time.time() < deadline:
        for fd, _ in poller.poll(max(0, int((deadline - time.time()) * 1000))):
            s = by_fd.pop(fd)
            poller.unregister(fd)
            try:
                reply = s.recv(16)
            except OSError:
                reply = b""
            if len(reply) == 16:
                held.append(s)
            else:
                closed += 1
    print("answered=%d closed=%d silent=%d" % (len(held), closed, len(by_fd)), flush=True)
    wait_for_term()


def raise_fd_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def wait_for_term():
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
    while True:
        time.sleep(60)


def query(msg_type, uid=None):
    if uid is not None:
        os.setuid(uid)
    s = connect()
    names = {1: "bool", 2: "int32", 3: "uint32", 4: "string"}
    for tag, v in values_of(call5(s, body(msg_type))):
        if isinstance(v, bytes):
            v = v.decode("utf-8", "replace")
        print(names.get(tag, "tag%d" % tag), v)
    return 0


def main():
    raise_fd_limit()
    if sys.argv[1] == "query":
        return query(int(sys.argv[2]), int(sys.argv[3]) if len(sys.argv) > 3 else None)
    if sys.argv[1] == "session":
        return session(sys.argv[2], sys.argv[3])
    if sys.argv[1] == "stall":
        held = [stall_one(sys.argv[2]) for _ in range(int(sys.argv[3]))]
        print("ready", flush=True)
        wait_for_term()
    if sys.argv[1] == "hold":
        return hold(int(sys.argv[2]))
    return 2


if __name__ == "__main__":
    sys.exit(main())
