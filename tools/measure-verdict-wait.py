#!/usr/bin/env python3
"""The socket side of tools/measure-verdict-wait.sh, standard library only.

  peer SOCKET OUT SECONDS   a game peer (docs/hook-protocol.md) that plays a sound (0x54) every 20 ms
                            whatever the answers, and writes "sent_at wait" per verdict (seconds,
                            wall clock) to OUT; stops after SECONDS, on SIGTERM or SIGINT
  floor OUT SECONDS         the same pace over a bare socket pair answered by a second process
  catalogue OUT             a catalogue file of 65,534 entries, 20-character Japanese comments
  entities OUT              a 72 KB catalogue file whose entities expand to about 119 MB: twelve
                            comments of 9.9 MB (each under the reader's limit for one value) among
                            ordinary entries
  report SAMPLES PHASES FLOOR...
                            per phase (lines "start end label" in PHASES; a label may repeat) the
                            longest verdict wait, p50, p99, and the waits over 16 ms
"""
import collections
import os
import select
import signal
import socket
import struct
import sys
import time

INTERVAL = 0.020
EVENT, VERDICT = 2, 3
FROM_SERVER = 1424
stopping = False


def on_stop(*_):
    global stopping
    stopping = True


def frame(kind, payload):
    return struct.pack(">IB", len(payload) + 1, kind) + payload


def sound_event(number):
    packet = struct.pack(">BBHHHHH", 0x54, 1, number, 0, 1234, 567, 8)
    return frame(EVENT, struct.pack(">iI", FROM_SERVER, 0) + packet)


class Frames:
    """Splits what a socket gives into whole frames."""

    def __init__(self):
        self.data = bytearray()

    def feed(self, chunk):
        self.data += chunk
        while len(self.data) >= 5:
            length = struct.unpack(">I", self.data[:4])[0]
            if length < 1 or length > 65545:
                raise ValueError(f"bad frame length {length}")
            if len(self.data) < 4 + length:
                return
            kind = self.data[4]
            payload = bytes(self.data[5:4 + length])
            del self.data[:4 + length]
            yield kind, payload


def paced(sock, out, seconds):
    """Sends a sound every INTERVAL until `seconds` pass, whether or not the answers come (a game
    does not stop; what the program does not read waits in a buffer here); answers are matched in
    order. What is still unanswered at the end is written with its wait as it stood."""
    end = time.time() + seconds
    pending = collections.deque()
    frames = Frames()
    outbox = bytearray()
    next_send = time.time()
    number = 0x100
    sock.setblocking(False)
    while not stopping and time.time() < end:
        now = time.time()
        if now >= next_send:
            outbox += sound_event(number)
            pending.append(now)
            number = 0x100 + (number - 0x100 + 1) % 0x200
            next_send += INTERVAL
            if next_send < now:  # held up (a stop of this process): no burst to catch up
                next_send = now + INTERVAL
        if outbox:
            try:
                del outbox[:sock.send(outbox)]
            except BlockingIOError:
                pass
        readable, _, _ = select.select([sock], [sock] if outbox else [], [],
                                       max(0.0, min(next_send, end) - time.time()))
        if not readable:
            continue
        chunk = sock.recv(65536)
        if not chunk:
            print("the program closed the connection", file=sys.stderr)
            break
        got = time.time()
        for kind, _ in frames.feed(chunk):
            if kind == VERDICT and pending:
                sent = pending.popleft()
                out.write(f"{sent:.6f} {got - sent:.6f}\n")
    stopped = time.time()
    for sent in pending:
        out.write(f"{sent:.6f} {stopped - sent:.6f} unanswered\n")
    return len(pending)


def connect(path, seconds=20):
    end = time.time() + seconds
    while time.time() < end and not stopping:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.connect(path)
        except OSError:
            sock.close()
            time.sleep(0.1)
            continue
        sock.sendall(frame(1, struct.pack(">I", 0)))  # HELLO, no window
        # Taken once the program's WATCH comes; a refused peer sees the connection close.
        sock.settimeout(2)
        try:
            head = sock.recv(5)
        except socket.timeout:
            head = b""
        if len(head) == 5 and head[4] == 6:
            rest = struct.unpack(">I", head[:4])[0] - 1
            while rest > 0:
                rest -= len(sock.recv(rest))
            return sock
        sock.close()
        time.sleep(1)
    raise SystemExit(f"no program answers on {path}")


def peer(path, out_path, seconds):
    sock = connect(path)
    with open(out_path, "w", buffering=1) as out:
        paced(sock, out, float(seconds))
    sock.close()


def floor(out_path, seconds):
    ours, theirs = socket.socketpair()
    child = os.fork()
    if child == 0:
        ours.close()
        frames = Frames()
        try:
            while True:
                chunk = theirs.recv(65536)
                if not chunk:
                    break
                for kind, _ in frames.feed(chunk):
                    if kind == EVENT:
                        theirs.sendall(frame(VERDICT, struct.pack(">I", 0)))
        finally:
            os._exit(0)
    theirs.close()
    with open(out_path, "w") as out:
        paced(ours, out, float(seconds))
    ours.close()
    os.waitpid(child, 0)


KANA = "あいうえおかきくけこさしすせそたちつてとなにぬねのはひふへほまみむめもやゆよらりるれろわをん足音扉鐘雨風"


def comment(number):
    return "".join(KANA[(number * 7 + i * 13) % len(KANA)] for i in range(20))


def catalogue(out_path):
    with open(out_path, "w", encoding="utf-8") as out:
        out.write('<?xml version="1.0" encoding="UTF-8"?>\n<mute>\n')
        for number in range(1, 0xFFFF):
            mute = "yes" if number % 5 == 0 else "no"
            out.write(f'  <sound no="0x{number:04x}" mute="{mute}" comment="{comment(number)}"/>\n')
        out.write("</mute>\n")


def entities(out_path):
    # The parser weighs each entity's expansion against the bytes read so far (one past ten times
    # that is refused as a loop) but leaves the references in the values, which the reader then
    # expands: e0 is 99 bytes, each level ten of the one below, e3 99,000 bytes; the ordinary
    # entries come first, and each of the last twelve comments is a hundred e3, 9,900,000 bytes.
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', "<!DOCTYPE mute [", f'  <!ENTITY e0 "{"x" * 99}">']
    for level in range(1, 4):
        lines.append(f'  <!ENTITY e{level} "{("&e%d;" % (level - 1)) * 10}">')
    lines += ["]>", "<mute>"]
    heavy = [f'  <sound no="0x{0x8000 + n:04x}" mute="no" comment="{"&e3;" * 100}"/>' for n in range(1, 13)]
    number = 1
    while sum(len(line.encode()) + 1 for line in lines + heavy) < 72 * 1024 - 100:
        lines.append(f'  <sound no="0x{number:04x}" mute="no" comment="{comment(number)}"/>')
        number += 1
    lines += heavy + ["</mute>"]
    with open(out_path, "w", encoding="utf-8") as out:
        out.write("\n".join(lines) + "\n")


def read_samples(path):
    samples = []
    with open(path) as source:
        for line in source:
            fields = line.split()
            if len(fields) >= 2:
                samples.append((float(fields[0]), float(fields[1]), len(fields) > 2))
    return samples


def spread(waits):
    waits = sorted(waits)
    at = lambda q: waits[min(len(waits) - 1, int(q * (len(waits) - 1) + 0.5))]  # noqa: E731
    return at(0.50), at(0.99), waits[-1]


def report(samples_path, phases_path, floors):
    samples = read_samples(samples_path)
    phases = collections.OrderedDict()
    with open(phases_path) as source:
        for line in source:
            start, end, label = line.rstrip("\n").split(" ", 2)
            phases.setdefault(label, []).append((float(start), float(end)))
    print(f"{'phase':<44} {'times':>5} {'verdicts':>8} {'>16ms':>6} {'p50 ms':>8} {'p99 ms':>8} {'max ms':>9}")

    def row(label, times, chosen):
        if not chosen:
            print(f"{label:<44} {times:>5} {0:>8}   (no verdict in it)")
            return
        p50, p99, longest = spread([w for _, w, _ in chosen])
        over = sum(1 for _, w, _ in chosen if w > 0.016)
        lost = sum(1 for _, _, u in chosen if u)
        note = f"  ({lost} unanswered at the end)" if lost else ""
        print(f"{label:<44} {times:>5} {len(chosen):>8} {over:>6} {p50 * 1e3:>8.3f} {p99 * 1e3:>8.3f} "
              f"{longest * 1e3:>9.3f}{note}")

    for floor_path in floors:
        row(f"floor: {os.path.basename(floor_path)}", 1, read_samples(floor_path))
    for label, spans in phases.items():
        chosen = [s for s in samples if any(start <= s[0] <= end for start, end in spans)]
        row(label, len(spans), chosen)
    row("the whole run", 1, samples)


def main():
    signal.signal(signal.SIGTERM, on_stop)
    signal.signal(signal.SIGINT, on_stop)
    command, args = sys.argv[1], sys.argv[2:]
    if command == "peer":
        peer(*args)
    elif command == "floor":
        floor(*args)
    elif command == "catalogue":
        catalogue(*args)
    elif command == "entities":
        entities(*args)
    elif command == "report":
        report(args[0], args[1], args[2:])
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main()
