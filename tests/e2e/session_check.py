#!/usr/bin/env python3
"""Independent reader of session spools for the end-to-end tests.

Decodes the records that `vgspool cat` prints (one record a line, in
hexadecimal) by the spool record layout itself, not through the daemon's
code: the 12-byte message header (uint16 type, uint64 sequence number,
uint16 flags, host order), then the items of each session record:

  start (2) / resume (9): GUID, timestamp, int32 user type, strings directory
      name, SID, user, tty, shell string 1 and 2, int32 argc, argc strings,
      string user source, byte video mode, GUID related
  end (3): GUID, timestamp
  data (4): GUID, timestamp, byte stream, blob
  window size (5): GUID, timestamp, 4 x int32

GUID: 16 bytes; timestamp: uint32 seconds, uint32 microseconds; string and
blob: uint32 length and the bytes.

  session_check.py bucket GUID               the bucket directory of a GUID
  session_check.py show DIR                  the records of a spool, one line each
  session_check.py check-acks [--sessions N] ACKFILE...
      every request acknowledged in the ACKFILEs (written by vgsession
      --ack-file) is in its session's spool, in order.
  session_check.py check-collector [--complete TEXT] [--sessions N] [--max-dups D] JSONL
      the session records vgcollector received: per session start, data, end
      in order; on every connection after the first a session that goes on
      is announced by its resume (type 9) message first; a record received
      again right after itself is a duplicate (printed: duplicates=K, at most D);
      with --acks ACKFILE..., every data record acknowledged to a shell was received, in order;
      with --exact before --acks, the data received is exactly the data acknowledged.
"""
import argparse
import json
import os
import signal
import struct
import subprocess
import sys

# The bucket of a session: Pearson hash of the 16 raw GUID bytes.
PEARSON = [
    98, 6, 85, 150, 36, 23, 112, 164, 135, 207, 169, 5, 26, 64, 165, 219,
    61, 20, 68, 89, 130, 63, 52, 102, 24, 229, 132, 245, 80, 216, 195, 115,
    90, 168, 156, 203, 177, 120, 2, 190, 188, 7, 100, 185, 174, 243, 162, 10,
    237, 18, 253, 225, 8, 208, 172, 244, 255, 126, 101, 79, 145, 235, 228, 121,
    123, 251, 67, 250, 161, 0, 107, 97, 241, 111, 181, 82, 249, 33, 69, 55,
    59, 153, 29, 9, 213, 167, 84, 93, 30, 46, 94, 75, 151, 114, 73, 222,
    197, 96, 210, 45, 16, 227, 248, 202, 51, 152, 252, 125, 81, 206, 215, 186,
    39, 158, 178, 187, 131, 136, 1, 49, 50, 17, 141, 91, 47, 129, 60, 99,
    154, 35, 86, 171, 105, 34, 38, 200, 147, 58, 77, 118, 173, 246, 76, 254,
    133, 232, 196, 144, 198, 124, 53, 4, 108, 74, 223, 234, 134, 230, 157, 139,
    189, 205, 199, 128, 176, 19, 211, 236, 127, 192, 231, 70, 233, 88, 146, 44,
    183, 201, 22, 83, 13, 214, 116, 109, 159, 32, 95, 226, 140, 220, 57, 12,
    221, 31, 209, 182, 143, 92, 149, 184, 148, 62, 113, 65, 37, 27, 106, 166,
    3, 14, 204, 72, 21, 41, 56, 66, 28, 193, 40, 217, 25, 54, 179, 117,
    238, 87, 240, 155, 180, 170, 242, 212, 191, 163, 78, 218, 137, 194, 175, 110,
    43, 119, 224, 71, 122, 142, 42, 160, 104, 48, 247, 103, 15, 11, 138, 239,
]
SWAP = [3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15]
SESSIONS = "/var/orvanevg/spool-sessions"
VGSPOOL = os.path.join(os.environ.get("VGD_BIN_DIR", "build/bin"), "vgspool")


def raw_of(text):
    """Swapped 8-4-4-4-12 text -> the 16 raw bytes (text position i holds raw byte SWAP[i])."""
    digits = bytes.fromhex(text.replace("-", ""))
    if len(digits) != 16:
        raise ValueError("not a GUID: " + text)
    raw = bytearray(16)
    for i, b in enumerate(digits):
        raw[SWAP[i]] = b
    return bytes(raw)


def text_of(raw):
    h = "".join("%02x" % raw[SWAP[i]] for i in range(16))
    return "%s-%s-%s-%s-%s" % (h[0:8], h[8:12], h[12:16], h[16:20], h[20:32])


def bucket(text):
    h = 0
    for b in raw_of(text):
        h = PEARSON[b ^ h]
    return "%02x" % h


def spool_dir(text):
    return os.path.join(SESSIONS, bucket(text), text + ".dbq")


class Reader:
    def __init__(self, data):
        self.d, self.p = data, 0

    def take(self, n):
        if n > len(self.d) - self.p:
            raise ValueError("record cut short at %d (+%d of %d)" % (self.p, n, len(self.d)))
        v = self.d[self.p:self.p + n]
        self.p += n
        return v

    def u(self, fmt):
        return struct.unpack("=" + fmt, self.take(struct.calcsize("=" + fmt)))[0]

    def s(self):
        return self.take(self.u("I"))


def decode(record):
    r = Reader(record)
    rec = {"type": r.u("H"), "seq": r.u("Q"), "flags": r.u("H")}
    t = rec["type"]
    if t not in (2, 3, 4, 5, 9):
        return rec
    rec["guid"] = text_of(r.take(16))
    rec["time"] = (r.u("I"), r.u("I"))
    if t in (2, 9):
        rec["usertype"] = r.u("i")
        for k in ("adname", "sid", "user", "tty", "string1", "string2"):
            rec[k] = r.s()
        argc = r.u("i")
        rec["argv"] = [r.s() for _ in range(argc)]
        rec["source"] = r.s()
        rec["video"] = r.u("B")
        rec["related"] = text_of(r.take(16))
    elif t == 4:
        rec["stream"] = r.u("B")
        rec["data"] = r.s()
    elif t == 5:
        rec["size"] = [r.u("i") for _ in range(4)]
    if r.p != len(record):
        raise ValueError("%d bytes after the last field" % (len(record) - r.p))
    return rec


def records(directory):
    out = subprocess.run([VGSPOOL, "cat", directory], check=True, stdout=subprocess.PIPE).stdout
    return [decode(bytes.fromhex(line)) for line in out.decode().split("\n") if line]


def unescape(text):
    out, i = bytearray(), 0
    simple = {"n": 10, "r": 13, "t": 9, "\\": 92, '"': 34, "0": 0, "e": 27}
    while i < len(text):
        c = text[i]
        if c != "\\":
            out += c.encode()
            i += 1
        elif text[i + 1] == "x":
            out.append(int(text[i + 2:i + 4], 16))
            i += 4
        else:
            out.append(simple[text[i + 1]])
            i += 2
    return bytes(out)


def fmt(rec):
    parts = ["type=%d" % rec["type"], "seq=%d" % rec["seq"]]
    for k in ("guid", "user", "tty", "argv", "stream", "data", "size"):
        if k in rec:
            v = rec[k]
            parts.append("%s=%r" % (k, v))
    return " ".join(parts)


def acks(path):
    """The lines of an ack file as (kind, guid, stream, data); stream and data only for data lines."""
    out = []
    for l in open(path, encoding="latin-1"):
        if not l.strip():
            continue
        kind, g, rest = (l.rstrip("\n").split(" ", 2) + [""])[:3]
        stream, esc = (rest.split(" ", 1) + [""])[:2] if kind == "data" else ("-1", "")
        out.append((kind, g, int(stream), unescape(esc)))
    return out


def check_acks(files, sessions):
    problems = []
    seen = 0
    for path in files:
        lines = acks(path)
        if not lines:
            continue
        guid = lines[0][1]
        seen += 1
        problems += ["%s: ack of another session %s" % (path, g) for _, g, _, _ in lines if g != guid]
        acked = [(st, d) for kind, _, st, d in lines if kind == "data"]
        resumes = sum(1 for l in lines if l[0] == "resume")
        ended = any(l[0] == "end" for l in lines)
        try:
            recs = records(spool_dir(guid))
        except Exception as e:  # noqa: BLE001 - reported as a failure
            problems.append("%s: spool of %s unreadable: %s" % (path, guid, e))
            continue
        if not recs or recs[0]["type"] != 2:
            problems.append("%s: spool does not begin with a session start" % guid)
        if any(r.get("guid") != guid for r in recs):
            problems.append("%s: a record of another session in its spool" % guid)
        if ended and recs[-1]["type"] != 3:
            problems.append("%s: acknowledged end is not the last record" % guid)
        if sum(1 for r in recs if r["type"] == 9) < resumes:
            problems.append("%s: %d resumes acknowledged, fewer resume records" % (guid, resumes))
        spooled = [(r["stream"], r["data"]) for r in recs if r["type"] == 4]
        it = iter(spooled)
        missing = [a for a in acked if a not in it]  # subsequence test, order kept
        if missing:
            problems.append("%s: %d acknowledged data records missing or out of order, first %r"
                            % (guid, len(missing), missing[0]))
    if sessions is not None and seen != sessions:
        problems.append("%d sessions acknowledged, %d expected" % (seen, sessions))
    return report(problems)


def report(problems):
    for p in problems:
        print("session_check:", p, file=sys.stderr)
    return 1 if problems else 0


def check_collector(path, complete, sessions, max_dups, ackfiles=(), exact=False):
    problems, per, dups = [], {}, 0
    for line in open(path, encoding="utf-8"):
        u = json.loads(line)
        if u.get("unit") == "message" and u.get("n", 0) > 0 and "session" in u:
            per.setdefault(u["session"], []).append(u)
    acked_by = {}
    for a in ackfiles:
        for kind, g, stream, data in acks(a):
            if kind == "data":
                acked_by.setdefault(g, []).append((stream, data))
    for g in acked_by:
        if g not in per:
            problems.append("%s: acknowledged to the shell, never received" % g)
    for guid, msgs in per.items():
        kept, firsts = [], {}
        for m in msgs:
            if m["conn"] not in firsts:
                firsts[m["conn"]] = m["type"]
            if m["type"] == 9:
                continue
            key = (m["type"], m.get("time"), m.get("stream"), m.get("data"))
            if kept and kept[-1] == key:
                dups += 1
                continue
            kept.append(key)
        for conn, first in firsts.items():
            if first not in (2, 9):
                problems.append("%s: connection %d began with type %d, no resume first" % (guid, conn, first))
        types = [k[0] for k in kept]
        if not types or types[0] != 2 or types[-1] != 3 or any(t not in (4, 5) for t in types[1:-1]):
            problems.append("%s: received types %s, not start, data, end" % (guid, types[:8]))
        received = [(k[2], bytes.fromhex(k[3])) for k in kept if k[0] == 4]
        wanted = acked_by.get(guid, [])
        it = iter(received)
        if any(w not in it for w in wanted):  # subsequence test, order kept
            problems.append("%s: a data record acknowledged to the shell was not received in order" % guid)
        elif exact and received != wanted:
            problems.append("%s: %d data records received, %d acknowledged" % (guid, len(received), len(wanted)))
        if complete is not None:
            out = b"".join(bytes.fromhex(k[3]) for k in kept if k[0] == 4 and k[2] == 2)
            want = complete.encode().replace(b"\n", b"\r\n")
            if out != want:
                problems.append("%s: received output %r... differs from %r..." % (guid, out[:40], want[:40]))
    if sessions is not None and len(per) != sessions:
        problems.append("%d sessions received, %d expected" % (len(per), sessions))
    print("duplicates=%d" % dups)
    if max_dups is not None and dups > max_dups:
        problems.append("%d duplicates, at most %d allowed" % (dups, max_dups))
    return report(problems)


def main(argv):
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # a reader that stops early is no error
    if len(argv) == 2 and argv[0] == "bucket":
        print(bucket(argv[1]))
        return 0
    if len(argv) == 2 and argv[0] == "show":
        for rec in records(argv[1]):
            print(fmt(rec))
        return 0
    if not argv or argv[0] not in ("check-acks", "check-collector"):
        print(__doc__, file=sys.stderr)
        return 2
    p = argparse.ArgumentParser(prog="session_check.py " + argv[0])
    p.add_argument("--complete", type=lambda t: t.encode().decode("unicode_escape"))
    p.add_argument("--sessions", type=int)
    p.add_argument("--max-dups", type=int)
    p.add_argument("--exact", action="store_true")
    p.add_argument("--acks", nargs="+", default=[])
    p.add_argument("files", nargs="*")
    a = p.parse_args(argv[1:])
    if argv[0] == "check-acks":
        return check_acks(a.files, a.sessions)
    # check-collector JSONL, or --acks JSONL ACKFILE...
    jsonl, ackfiles = (a.acks[0], a.acks[1:]) if a.acks else (a.files[0], [])
    return check_collector(jsonl, a.complete, a.sessions, a.max_dups, ackfiles, a.exact)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
