#!/usr/bin/env python3
"""Hostile load for the monitor: floods that an attacker (or a scanner) can send at will.

  flood.py make OUTDIR SEED   writes OUTDIR/hellos-200k.pcap, hellos-2m.pcap,
                              quic-forged.pcap and seed-in-flood.pcap
  flood.py run VARNO OUTDIR SEED
                              runs the monitor over each and prints a table: frames, CPU
                              time per frame, peak resident memory, rows; for the seed in
                              the flood, how many of the seed's own rows came out; then
                              the info table below
  flood.py info VARNO OUTDIR  the info table alone: both hello floods at -s info with
                              -F 256, against the same without -s info and at -s debug (a
                              record per hello), so a log that grows with the flood shows
                              as memory and cost per hello that grow

Layouts (every frame its own 4-tuple, nothing ever answers; 200,000 frames a second of
capture time, the rate of a modest botnet):

  hellos-200k, hellos-2m  one 300-byte TLS ClientHello per 4-tuple (X25519 key share,
                          server name), 200,000 and 2,000,000 of them
  quic-forged             100,000 QUIC v1 Initials of 1,200 bytes with random connection
                          IDs and payload: none decrypts, so none opens a flow
  seed-in-flood           every frame of SEED (real handshakes) interleaved, at its own
                          pace, into 1,000,000 unanswered hellos spread over the seed's
                          span (at least 200,000 a second)

VARNO_FLOOD_OPTIONS adds options to every run of the monitor (for instance a memory budget).
Standard library only; the captures are a pure function of SEED.
"""

import os
import random
import re
import struct
import subprocess
import sys
import tempfile

RATE_US = 5  # 200,000 frames a second
FLOOD_BASE = (198 << 24) | (19 << 16)  # clients in 198.19.0.0/16 (set aside for benchmarks)
SERVER = bytes([203, 0, 113, 7])


def fail(message):
    raise SystemExit(f"flood.py: {message}")


def client_hello(size=300):
    """A TLS 1.3 ClientHello record of `size` bytes, padded with the padding extension."""
    sni = b"flood.example"
    server_name = struct.pack("!HBH", len(sni) + 3, 0, len(sni)) + sni
    extensions = [
        (0, server_name),
        (43, b"\x02\x03\x04"),  # supported_versions: TLS 1.3
        (10, b"\x00\x02\x00\x1d"),  # supported_groups: x25519
        (13, b"\x00\x02\x08\x04"),  # signature_algorithms
        (51, struct.pack("!HHH", 36, 0x1D, 32) + bytes(range(32))),  # key_share
    ]
    body = b"\x03\x03" + bytes(32) + b"\x20" + bytes(32) + b"\x00\x04\x13\x01\x13\x02\x01\x00"

    def record(exts):
        ext_bytes = b"".join(struct.pack("!HH", t, len(d)) + d for t, d in exts)
        hello = body + struct.pack("!H", len(ext_bytes)) + ext_bytes
        handshake = b"\x01" + struct.pack("!I", len(hello))[1:] + hello
        return b"\x16\x03\x01" + struct.pack("!H", len(handshake)) + handshake

    pad = size - len(record(extensions)) - 4
    if pad < 0:
        fail("hello template too large")
    return record(extensions + [(21, bytes(pad))])


def ipv4_checksum(header):
    total = sum(struct.unpack("!10H", header))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def frame(src, dst, sport, dport, payload, udp=False):
    """An Ethernet/IPv4 frame; transport checksums are left 0 (the monitor does not check them)."""
    if udp:
        transport = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0)
    else:
        transport = struct.pack("!HHIIBBHHH", sport, dport, 1, 0, 5 << 4, 0x18, 65535, 0, 0)
    total = 20 + len(transport) + len(payload)
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, total, 0, 0x4000, 64, 17 if udp else 6, 0, src, dst)
    header = header[:10] + struct.pack("!H", ipv4_checksum(header)) + header[12:]
    return b"\x02\x00\x00\x00\x00\x01\x02\x00\x00\x00\x00\x02\x08\x00" + header + transport + payload


def flood_frames(count, start_us, make_payload, udp=False, port=443, step_us=RATE_US):
    """(timestamp, frame) of `count` frames, each from its own client address and port."""
    for i in range(count):
        client = struct.pack("!I", FLOOD_BASE + (i >> 8) % 65536)
        sport = 1024 + (i & 0xFF) + 256 * (i >> 24)
        yield start_us + i * step_us, frame(client, SERVER, sport, port, make_payload(i), udp)


def forged_initial(rng):
    """A QUIC v1 Initial, 1,200 bytes, random IDs and protected payload."""
    dcid = rng.randbytes(8)
    head = bytes([0xC3]) + struct.pack("!I", 1) + bytes([8]) + dcid + bytes([0]) + b"\x00"
    rest = 1200 - len(head) - 2
    return head + struct.pack("!H", 0x4000 | rest) + rng.randbytes(rest)


def read_pcap(path):
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 24:
        fail(f"{path}: not a capture")
    magic = struct.unpack("<I", data[:4])[0]
    if magic not in (0xA1B2C3D4, 0xA1B23C4D):
        fail(f"{path}: a little-endian pcap with Ethernet frames is needed")
    nano = magic == 0xA1B23C4D
    frames, at = [], 24
    while at + 16 <= len(data):
        sec, frac, incl, _ = struct.unpack("<IIII", data[at:at + 16])
        frames.append((sec * 1_000_000 + (frac // 1000 if nano else frac), data[at + 16:at + 16 + incl]))
        at += 16 + incl
    return frames


def write_pcap(path, records):
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for ts, data in records:
            out.write(struct.pack("<IIII", ts // 1_000_000, ts % 1_000_000, len(data), len(data)))
            out.write(data)


def merge(a, b):
    """Two time-ordered record streams, merged by time."""
    a, b = iter(a), iter(b)
    x, y = next(a, None), next(b, None)
    while x is not None or y is not None:
        if y is None or (x is not None and x[0] <= y[0]):
            yield x
            x = next(a, None)
        else:
            yield y
            y = next(b, None)


def make(outdir, seed):
    os.makedirs(outdir, exist_ok=True)
    start = 1_700_000_000 * 1_000_000
    hello = client_hello()
    for name, count in (("hellos-200k", 200_000), ("hellos-2m", 2_000_000)):
        write_pcap(os.path.join(outdir, name + ".pcap"), flood_frames(count, start, lambda i: hello))
    rng = random.Random(26)
    write_pcap(os.path.join(outdir, "quic-forged.pcap"),
               flood_frames(100_000, start, lambda i: forged_initial(rng), udp=True))
    seed_frames = read_pcap(seed)
    shift = start - seed_frames[0][0] + 1000
    real = ((ts + shift, data) for ts, data in seed_frames)
    # The flood lasts as long as the seed, so every handshake meets it.
    span = seed_frames[-1][0] - seed_frames[0][0]
    step = max(RATE_US, span // 1_000_000 + 1)
    write_pcap(os.path.join(outdir, "seed-in-flood.pcap"),
               merge(flood_frames(1_000_000, start, lambda i: hello, step_us=step), real))


def run_monitor(varno, capture, extra):
    """(cpu seconds, wall seconds, peak KiB, rows as a list of CSV lines)."""
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "out")
        timing = os.path.join(work, "time")
        command = ["/usr/bin/time", "-o", timing, "-f", "%U %S %e %M", varno, "-p", capture, "-o", out] + extra
        result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if result.returncode != 0:
            fail(f"{capture}: status {result.returncode}: {result.stderr.strip()}")
        user, system, wall, peak = open(timing).read().split()[-4:]
        rows = []
        for name in sorted(os.listdir(out)) if os.path.isdir(out) else []:
            if name.endswith(".csv"):
                rows += open(os.path.join(out, name)).read().splitlines()[1:]
        return float(user) + float(system), float(wall), int(peak), rows


def run(varno, outdir, seed):
    extra = os.environ.get("VARNO_FLOOD_OPTIONS", "").split()
    _, _, _, seed_rows = run_monitor(varno, seed, extra)
    # A row without its timestamp: the flood shifts the seed in time.
    expected = sorted(r.split(",", 1)[1] for r in seed_rows)
    print(f"{'layout':<16}{'frames':>11}{'CPU s':>9}{'wall s':>9}{'CPU us/frame':>14}{'peak MiB':>10}"
          f"{'rows':>8}  real handshakes")
    for name in ("hellos-200k", "hellos-2m", "quic-forged", "seed-in-flood"):
        capture = os.path.join(outdir, name + ".pcap")
        frames = len(read_pcap(capture)) if name != "hellos-2m" else 2_000_000
        cpu, wall, peak, rows = run_monitor(varno, capture, extra)
        real = ""
        if name == "seed-in-flood":
            got = sorted(r.split(",", 1)[1] for r in rows if ",flood.example," not in r)
            real = f"{sum(1 for r in expected if r in set(got))} of {len(expected)} rows of the seed"
        print(f"{name:<16}{frames:>11}{cpu:>9.2f}{wall:>9.2f}{cpu / frames * 1e6:>14.2f}{peak / 1024:>10.0f}"
              f"{len(rows):>8}  {real}")


def info(varno, outdir):
    """Hello floods with a log at info severity: per-hello cost and peak memory stay flat."""
    print(f"\n{'layout, -F 256':<28}{'hellos':>10}{'CPU s':>9}{'CPU us/hello':>14}{'peak MiB':>10}{'log KiB':>9}"
          f"{'log records dropped':>21}")
    dropped_note = re.compile(rb" \((\d+) log records dropped before this one")
    for severity in (["-s", "info"], [], ["-s", "debug"]):
        cost = {}
        for name, count in (("hellos-200k", 200_000), ("hellos-2m", 2_000_000)):
            with tempfile.TemporaryDirectory() as logs:
                cpu, _, peak, _ = run_monitor(varno, os.path.join(outdir, name + ".pcap"),
                                              ["-F", "256", "-g", logs] + severity)
                log = sum(os.path.getsize(os.path.join(logs, f)) for f in os.listdir(logs))
                dropped = sum(int(n) for f in os.listdir(logs)
                              for n in dropped_note.findall(open(os.path.join(logs, f), "rb").read()))
            cost[name] = cpu / count * 1e6
            label = f"{name} {' '.join(severity) or '-s error'}"
            print(f"{label:<28}{count:>10}{cpu:>9.2f}{cost[name]:>14.2f}{peak / 1024:>10.0f}{log / 1024:>9.0f}"
                  f"{dropped:>21}")
        print(f"{'':<28}2m/200k cost per hello: {cost['hellos-2m'] / cost['hellos-200k']:.2f}x")


def main(argv):
    if len(argv) == 4 and argv[1] == "make":
        make(argv[2], argv[3])
    elif len(argv) == 5 and argv[1] == "run":
        run(argv[2], argv[3], argv[4])
        info(argv[2], argv[3])
    elif len(argv) == 4 and argv[1] == "info":
        info(argv[2], argv[3])
    else:
        fail(__doc__.split("\n\n")[1])


if __name__ == "__main__":
    main(sys.argv)
