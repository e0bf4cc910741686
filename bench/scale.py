#!/usr/bin/env python3
"""Scales the recorded seed up to the benchmark captures (standard library only).

  scale.py count SEED                  complete handshakes in SEED, by this script's own
                                       reading and, when tshark is present, by tshark's
  scale.py make SEED OUTDIR [PACKETS]  writes OUTDIR/{sequential,sequential-half,dense,
                                       sequential-vxlan}.pcap, each with a manifest NAME.json
  scale.py count-quic QUIC_SEED        QUIC handshakes in a seed of QUIC connections
                                       (scripts/record-quic.sh), by both readings
  scale.py make-quic QUIC_SEED OUTDIR [PACKETS]
                                       writes OUTDIR/quic.pcap with its manifest quic.json

Every copy of the seed gets addresses of its own (198.18.0.0/15, one pair per copy); ports
and TCP sequence numbers are kept, the IPv4 and TCP checksums are adjusted. Layouts:

  sequential       the copies one after another in time (a gap of one second between), each
                   played at a third of the recorded pace (every gap between two packets
                   tripled, so a handshake's round trips take 3x as long), so a few
                   thousand flows are alive at once
  sequential-half  the first half of those copies (a prefix of sequential): half the
                   packets, the same flows alive at once
  dense            all copies at the recorded pace, interleaved in the same seconds (copy
                   k starts k * 1.013 ms after the first), so every flow of the capture is
                   alive at once when the seed lasts less than 10 s
  sequential-vxlan sequential with every frame inside VXLAN, as a cloud mirror delivers it
                   (outer Ethernet, IPv4 198.19.255.253 -> .254, UDP to 4789 from a port
                   taken from the inner ports, VXLAN with VNI 1): the same rows as sequential
  quic             copies of the QUIC seed one after another (a gap of one second between),
                   at the recorded pace; the Initial keys depend only on the client's
                   Destination Connection ID, so every copy stays readable

The number of copies brings the full captures to about PACKETS packets (default 1.5
million), or to more when dense would otherwise hold fewer than 102,000 flows at once
(scaled down with a smaller PACKETS, for quick trials); always an even number, so that
sequential-half holds exactly half the packets.

Output is a pure function of the seed and the packet target: the same seed always gives
byte-identical captures.

Complete handshakes are counted the way the monitor defines them, without its code: a
connection is followed from its first payload-carrying segment that starts with a TLS
handshake record holding a ClientHello or ServerHello; its first 20 payload-carrying
segments within 10 s of that one are kept; it is complete when a ClientHello, a ServerHello
and a ChangeCipherSpec record from each side were seen and no fatal alert before them.
"""

import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
from collections import defaultdict

FLOW_TIMEOUT_MS = 10000
FLOW_MAX_PACKETS = 20
SEQUENTIAL_GAP_US = 1_000_000
SEQUENTIAL_STRETCH = 3
DENSE_STEP_US = 1013
DEFAULT_PACKETS = 1_500_000
# Dense must keep at least this many handshake flows alive at once; copies are added
# (beyond the packet target) when the seed is too small for it.
DENSE_MIN_ALIVE = 102_000
ADDRESS_BASE = (198 << 24) | (18 << 16)  # 198.18.0.0/15, set aside for benchmarks
ADDRESS_SPACE = 1 << 17

ETH_HEADER = 14


def fail(message):
    raise SystemExit(f"scale.py: {message}")


# --- capture files ----------------------------------------------------------------------

class Frame:
    __slots__ = ("ts_us", "orig", "data", "src", "dst", "sport", "dport", "seq", "payload_off",
                 "payload_len", "ihl", "tcp_csum_off", "syn", "ack")


def read_seed(path):
    """Ethernet/IPv4/TCP frames of a classic pcap file, with microsecond time stamps."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 24:
        fail(f"{path}: too short for a pcap header")
    for endian in ("<", ">"):
        magic = struct.unpack(endian + "I", data[:4])[0]
        if magic in (0xA1B2C3D4, 0xA1B23C4D):
            break
    else:
        fail(f"{path}: not a classic pcap file")
    nano = magic == 0xA1B23C4D
    linktype = struct.unpack(endian + "I", data[20:24])[0] & 0xFFFF
    if linktype != 1:
        fail(f"{path}: link type {linktype}, expected Ethernet")
    frames = []
    pos = 24
    while pos + 16 <= len(data):
        sec, frac, incl, orig = struct.unpack(endian + "IIII", data[pos:pos + 16])
        pos += 16
        raw = data[pos:pos + incl]
        pos += incl
        fr = Frame()
        fr.ts_us = sec * 1_000_000 + (frac // 1000 if nano else frac)
        fr.orig = orig
        fr.data = raw
        if len(raw) < ETH_HEADER + 40 or raw[12:14] != b"\x08\x00" or raw[14] >> 4 != 4 or raw[23] != 6:
            fail(f"{path}: frame {len(frames) + 1} is not Ethernet/IPv4/TCP")
        ihl = (raw[14] & 0x0F) * 4
        total = struct.unpack(">H", raw[16:18])[0]
        tcp = ETH_HEADER + ihl
        doff = (raw[tcp + 12] >> 4) * 4
        fr.ihl = ihl
        fr.src = raw[26:30]
        fr.dst = raw[30:34]
        fr.sport, fr.dport, fr.seq = struct.unpack(">HHI", raw[tcp:tcp + 8])
        fr.payload_off = tcp + doff
        fr.payload_len = total - ihl - doff
        fr.tcp_csum_off = tcp + 16
        flags = raw[tcp + 13]
        fr.syn = bool(flags & 0x02)
        fr.ack = bool(flags & 0x10)
        if fr.payload_len < 0 or ETH_HEADER + total > len(raw):
            fail(f"{path}: frame {len(frames) + 1} is cut short")
        frames.append(fr)
    return frames


def renumber_reused_ports(frames):
    """Gives a connection that reuses an earlier connection's addresses and ports a client
    port of its own. Clients that close with a reset leave no TIME_WAIT, so the kernel may
    hand the same port out again within seconds; on a real link that is rare, and the
    monitor would rightly see the two connections as one. Returns how many were renumbered."""
    used = defaultdict(set)
    for fr in frames:
        used[fr.src].add(fr.sport)
        used[fr.dst].add(fr.dport)
    last_syn = {}  # key -> initial sequence number of the latest connection on it
    active = {}
    renumbered = 0
    for fr in frames:
        key = canonical(fr)
        if fr.syn and not fr.ack:
            if last_syn.get(key, fr.seq) != fr.seq:  # a new connection, not a retransmitted SYN
                port = 65535
                while port in used[fr.src]:
                    port -= 1
                used[fr.src].add(port)
                active[key] = ((fr.src, fr.sport), port)
                renumbered += 1
            last_syn[key] = fr.seq
        mapping = active.get(key)
        if mapping is None:
            continue
        client, port = mapping
        data = bytearray(fr.data)
        offset = fr.tcp_csum_off - 16 + (0 if (fr.src, fr.sport) == client else 2)
        old = data[offset] << 8 | data[offset + 1]
        csum = data[fr.tcp_csum_off] << 8 | data[fr.tcp_csum_off + 1]
        struct.pack_into(">H", data, offset, port)
        struct.pack_into(">H", data, fr.tcp_csum_off, adjust(csum, old, port))
        fr.data = bytes(data)
        if (fr.src, fr.sport) == client:
            fr.sport = port
        else:
            fr.dport = port
    return renumbered


def pcap_header():
    return struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, 1)


# --- complete handshakes ------------------------------------------------------------------

def hello_signature(payload):
    return (len(payload) > 10 and payload[0] == 0x16 and payload[1] == 3 and payload[2] <= 4
            and payload[5] in (1, 2) and payload[9] == 3 and payload[10] <= 4)


def direction_records(segments):
    """TLS records (type, body) of one direction, from its segments in sequence order."""
    if not segments:
        return []
    base = segments[0].seq
    ordered = sorted(segments, key=lambda fr: ((fr.seq - base) & 0xFFFFFFFF))
    stream = bytearray()
    for fr in ordered:
        start = (fr.seq - base) & 0xFFFFFFFF
        body = fr.data[fr.payload_off:fr.payload_off + fr.payload_len]
        if start > len(stream):
            break  # a gap: nothing after it can be read
        stream += body[len(stream) - start:]
    records = []
    pos = 0
    while pos + 5 <= len(stream):
        rtype = stream[pos]
        length = stream[pos + 3] << 8 | stream[pos + 4]
        if pos + 5 + length > len(stream):
            break
        records.append((rtype, bytes(stream[pos + 5:pos + 5 + length])))
        pos += 5 + length
    return records


def handshake_complete(flow_frames):
    """True when the flow (its kept segments in capture order) shows a complete handshake."""
    directions = defaultdict(list)
    for fr in flow_frames:
        directions[(fr.src, fr.sport)].append(fr)
    client_hello = server_hello = False
    ccs_sides = 0
    for segments in directions.values():
        for rtype, body in direction_records(segments):
            if rtype == 20:
                ccs_sides += 1
                break  # the rest of this direction is encrypted
            if rtype == 21:
                if len(body) >= 2 and body[0] == 2:
                    return False
            elif rtype == 22:
                pos = 0
                while pos + 4 <= len(body):
                    mtype = body[pos]
                    client_hello |= mtype == 1
                    server_hello |= mtype in (2, 6)
                    pos += 4 + (body[pos + 1] << 16 | body[pos + 2] << 8 | body[pos + 3])
            else:
                break  # application data: this direction's handshake is over
    return client_hello and server_hello and ccs_sides == 2


def canonical(fr):
    a = (fr.src, fr.sport)
    b = (fr.dst, fr.dport)
    return (a, b) if a <= b else (b, a)


def follow_flows(frames, pace=1):
    """The flows the monitor would follow: (first time in us, [kept frames]) in file order,
    with the seed played at 1/pace of its recorded speed."""
    t0 = frames[0].ts_us
    table = {}
    flows = []
    expiry = []  # (deadline_ms, key), deadlines arrive in non-decreasing order
    head = 0
    for fr in frames:
        if fr.payload_len <= 0:
            continue
        now_us = t0 + (fr.ts_us - t0) * pace
        now_ms = now_us // 1000
        key = canonical(fr)
        flow = table.get(key)
        if flow is not None:
            if len(flow[1]) < FLOW_MAX_PACKETS:
                flow[1].append(fr)
        elif hello_signature(fr.data[fr.payload_off:fr.payload_off + fr.payload_len]):
            flow = (now_us, [fr])
            table[key] = flow
            flows.append(flow)
            expiry.append((now_ms + FLOW_TIMEOUT_MS, key, flow))
        while head < len(expiry) and expiry[head][0] <= now_ms:
            _, old_key, old_flow = expiry[head]
            head += 1
            if table.get(old_key) is old_flow:
                del table[old_key]
    return flows


def tshark_complete(path, ports):
    """Complete handshakes in path as tshark dissects them, or None without tshark. The TLS
    server ports are named, or tshark's port heuristics take some connections for other
    protocols (an ephemeral client port can be some protocol's registered port)."""
    if shutil.which("tshark") is None:
        return None
    decode = [arg for port in sorted(ports) for arg in ("-d", f"tcp.port=={port},tls")]
    out = subprocess.run(
        ["tshark", "-r", path, *decode, "-Y", "tls", "-T", "fields", "-E", "separator=;", "-e", "tcp.stream",
         "-e", "ip.src", "-e", "tcp.srcport", "-e", "tls.record.content_type", "-e", "tls.handshake.type",
         "-e", "tls.alert_message.level"],
        check=True, capture_output=True, text=True).stdout
    streams = defaultdict(lambda: {"hello": set(), "ccs": set(), "fatal": False})
    for line in out.splitlines():
        stream, src, sport, ctypes, htypes, levels = (line.split(";") + [""] * 6)[:6]
        s = streams[stream]
        for t in filter(None, htypes.split(",")):
            if t in ("1", "2"):
                s["hello"].add(t)
        if "20" in ctypes.split(","):
            s["ccs"].add((src, sport))
        if "2" in levels.split(",") and len(s["ccs"]) < 2:
            s["fatal"] = True
    return sum(1 for s in streams.values() if len(s["hello"]) == 2 and len(s["ccs"]) == 2 and not s["fatal"])


def seed_summary(seed_path, frames, renumbered):
    flows = follow_flows(frames)
    complete = sum(1 for _, kept in flows if handshake_complete(kept))
    slowed = follow_flows(frames, SEQUENTIAL_STRETCH)
    if len(slowed) != len(flows) or sum(1 for _, kept in slowed if handshake_complete(kept)) != complete:
        fail(f"the seed played at 1/{SEQUENTIAL_STRETCH} of its pace has other complete handshakes")
    syns = defaultdict(set)
    for fr in frames:
        if fr.syn and not fr.ack:
            syns[canonical(fr)].add(fr.seq)
    connections = len(syns)
    if any(len(n) > 1 for n in syns.values()):
        fail("a 4-tuple still opens more than one connection")
    with open(seed_path, "rb") as f:
        digest = hashlib.sha1(f.read()).hexdigest()
    return {
        "seed_sha1": digest,
        "seed_packets": len(frames),
        "seed_payload_packets": sum(1 for fr in frames if fr.payload_len > 0),
        "seed_span_us": frames[-1].ts_us - frames[0].ts_us,
        "seed_connections": connections,
        "seed_renumbered_connections": renumbered,
        "seed_followed_flows": len(flows),
        "seed_complete": complete,
        "flow_starts_us": [first - frames[0].ts_us for first, _ in flows],
    }


# --- layouts ------------------------------------------------------------------------------

def ones_sum(data):
    total = 0
    for i in range(0, len(data), 2):
        total += data[i] << 8 | data[i + 1]
    return total


def adjust(checksum, old_sum, new_sum):
    """RFC 1624 incremental update of a ones' complement checksum."""
    value = (~checksum & 0xFFFF) + (~old_sum % 0xFFFF) + new_sum
    while value >> 16:
        value = (value & 0xFFFF) + (value >> 16)
    return ~value & 0xFFFF


class Template:
    """One seed frame cut around the bytes a copy rewrites."""
    __slots__ = ("ts_us", "head", "middle", "tail", "src_role", "dst_role", "ip_csum", "tcp_csum", "orig", "udp")

    def __init__(self, fr, roles, t0):
        d = fr.data
        self.ts_us = fr.ts_us - t0
        self.head = d[:24]                      # Ethernet header and IPv4 header up to its checksum
        self.middle = d[34:fr.tcp_csum_off]     # IPv4 options, TCP header up to its checksum
        self.tail = d[fr.tcp_csum_off + 2:]     # rest of the TCP header and the payload
        self.src_role = roles[fr.src]
        self.dst_role = roles[fr.dst]
        self.ip_csum = struct.unpack(">H", d[24:26])[0]
        self.tcp_csum = struct.unpack(">H", d[fr.tcp_csum_off:fr.tcp_csum_off + 2])[0]
        self.orig = fr.orig
        self.udp = d[23] == 17


class Copier:
    def __init__(self, frames):
        addresses = sorted({fr.src for fr in frames} | {fr.dst for fr in frames})
        self.roles = {a: i for i, a in enumerate(addresses)}
        self.old = addresses
        self.t0 = frames[0].ts_us
        self.templates = [Template(fr, self.roles, self.t0) for fr in frames]
        self.cache = {}

    def max_copies(self):
        return (ADDRESS_SPACE - 2) // len(self.old)

    def addresses(self, copy):
        """The address of each seed role in this copy: consecutive from 198.18.0.1."""
        n = len(self.old)
        return [struct.pack(">I", ADDRESS_BASE + 1 + copy * n + r) for r in range(n)]

    def rewriter(self, copy):
        new = self.addresses(copy)
        table = {}
        for t in self.templates:
            pair = (t.src_role, t.dst_role)
            if pair not in table:
                addrs = new[pair[0]] + new[pair[1]]
                table[pair] = (addrs, ones_sum(self.old[pair[0]] + self.old[pair[1]]), ones_sum(addrs))
        return table

    def record(self, t, table, ts_us):
        addrs, old_sum, new_sum = table[(t.src_role, t.dst_role)]
        key = (t.ip_csum, t.tcp_csum, old_sum, new_sum)
        sums = self.cache.get(key)
        if sums is None:
            l4 = adjust(t.tcp_csum, old_sum, new_sum)
            if t.udp:  # a UDP checksum of 0 means none, and a computed 0 is sent as 0xFFFF
                l4 = (l4 or 0xFFFF) if t.tcp_csum else 0
            sums = struct.pack(">H", adjust(t.ip_csum, old_sum, new_sum)), struct.pack(">H", l4)
            self.cache[key] = sums
        length = 24 + 2 + 8 + len(t.middle) + 2 + len(t.tail)
        return b"".join((struct.pack("<IIII", ts_us // 1_000_000, ts_us % 1_000_000, length, t.orig), t.head,
                         sums[0], addrs, t.middle, sums[1], t.tail))


def max_alive(starts_us, end_us):
    """Most flows inside the monitor's table at once: a flow stays from its first packet
    until FLOW_TIMEOUT_MS later or the end of the capture."""
    starts = sorted(starts_us)
    best = 0
    lo = 0
    for hi, s in enumerate(starts):
        while starts[lo] + FLOW_TIMEOUT_MS * 1000 <= s and starts[lo] + FLOW_TIMEOUT_MS * 1000 <= end_us:
            lo += 1
        best = max(best, hi - lo + 1)
    return best


# --- VXLAN ---------------------------------------------------------------------------------

VXLAN_OUTER = bytes.fromhex("020000000a02" "020000000a01") + b"\x08\x00"
VTEP_SRC = struct.pack(">I", ADDRESS_BASE + ADDRESS_SPACE - 3)
VTEP_DST = struct.pack(">I", ADDRESS_BASE + ADDRESS_SPACE - 2)
VXLAN_HEADER = struct.pack(">II", 0x08000000, 1 << 8)
VXLAN_OVERHEAD = 14 + 20 + 8 + 8


def vxlan_wrapper():
    """Wraps one pcap record (16-byte header and an Ethernet frame) in VXLAN."""
    ip_headers = {}

    def wrap(record):
        frame = record[16:]
        ip_len = 20 + 8 + 8 + len(frame)
        ip = ip_headers.get(ip_len)
        if ip is None:
            hdr = bytearray(struct.pack(">BBHHHBBH4s4s", 0x45, 0, ip_len, 0, 0x4000, 64, 17, 0, VTEP_SRC, VTEP_DST))
            hdr[10:12] = struct.pack(">H", ~ones_fold(ones_sum(hdr)) & 0xFFFF)
            ip = ip_headers[ip_len] = bytes(hdr)
        ports = frame[34:38]
        sport = 49152 | ((ports[0] << 8 | ports[1]) ^ (ports[2] << 8 | ports[3])) & 0x3FFF
        sec, frac, incl, orig = struct.unpack("<IIII", record[:16])
        return b"".join((struct.pack("<IIII", sec, frac, incl + VXLAN_OVERHEAD, orig + VXLAN_OVERHEAD), VXLAN_OUTER,
                         ip, struct.pack(">HHHH", sport, 4789, ip_len - 20, 0), VXLAN_HEADER, frame))
    return wrap


def ones_fold(value):
    while value >> 16:
        value = (value & 0xFFFF) + (value >> 16)
    return value


# --- QUIC ---------------------------------------------------------------------------------

QUIC_V1 = 1


def read_quic_seed(path):
    """Ethernet/IPv4/UDP frames of a classic pcap file (scripts/record-quic.sh)."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 24 or struct.unpack("<I", data[:4])[0] not in (0xA1B2C3D4, 0xA1B23C4D):
        fail(f"{path}: not a little-endian classic pcap file")
    nano = struct.unpack("<I", data[:4])[0] == 0xA1B23C4D
    if struct.unpack("<I", data[20:24])[0] & 0xFFFF != 1:
        fail(f"{path}: expected Ethernet")
    frames = []
    pos = 24
    while pos + 16 <= len(data):
        sec, frac, incl, orig = struct.unpack("<IIII", data[pos:pos + 16])
        raw = data[pos + 16:pos + 16 + incl]
        pos += 16 + incl
        if len(raw) < ETH_HEADER + 28 or raw[12:14] != b"\x08\x00" or raw[14] >> 4 != 4 or raw[23] != 17:
            fail(f"{path}: frame {len(frames) + 1} is not Ethernet/IPv4/UDP")
        fr = Frame()
        fr.ts_us = sec * 1_000_000 + (frac // 1000 if nano else frac)
        fr.orig = orig
        fr.data = raw
        fr.ihl = (raw[14] & 0x0F) * 4
        udp = ETH_HEADER + fr.ihl
        fr.src, fr.dst = raw[26:30], raw[30:34]
        fr.sport, fr.dport = struct.unpack(">HH", raw[udp:udp + 4])
        fr.payload_off = udp + 8
        fr.payload_len = len(raw) - fr.payload_off
        fr.tcp_csum_off = udp + 6  # the UDP checksum, adjusted like TCP's
        fr.syn = fr.ack = False
        frames.append(fr)
    return frames


def quic_initial(fr):
    """(DCID, token length) when the datagram starts with a version 1 Initial, else None."""
    p = fr.data[fr.payload_off:]
    if len(p) < 7 or not p[0] & 0x80 or p[0] & 0x30 or struct.unpack(">I", p[1:5])[0] != QUIC_V1:
        return None
    dcid = p[6:6 + p[5]]
    pos = 6 + p[5]
    if pos >= len(p):
        return None
    pos += 1 + p[pos]  # the source connection ID
    if pos >= len(p):
        return None
    token = p[pos] & 0x3F
    for _ in range((1 << (p[pos] >> 6)) - 1):
        pos += 1
        token = token << 8 | (p[pos] if pos < len(p) else 0)
    return dcid, token


def quic_connections(frames):
    """Splits the seed into QUIC connections and gives one that reuses an earlier one's
    4-tuple (the kernel may hand a client port out again) a client port of its own, so
    every connection is its own flow. A new connection is a client Initial without a token
    with another DCID; the Initial after a Retry carries the Retry's token. Returns a list
    of [client end, first time in us, server sent an Initial, renumbered] per connection."""
    used = defaultdict(set)
    for fr in frames:
        used[fr.src].add(fr.sport)
        used[fr.dst].add(fr.dport)
    current = {}  # canonical 4-tuple -> [connection index, client end, DCID, new client port]
    connections = []
    for fr in frames:
        key = canonical(fr)
        initial = quic_initial(fr)
        state = current.get(key)
        sender = (fr.src, fr.sport)
        if initial and (state is None or (sender == state[1] and initial[1] == 0 and initial[0] != state[2])):
            port = None
            if state is not None:
                port = 65535
                while port in used[fr.src]:
                    port -= 1
                used[fr.src].add(port)
            state = current[key] = [len(connections), sender, initial[0], port]
            connections.append([sender, fr.ts_us, False, port is not None])
        if state is None:
            continue
        if initial and sender != state[1]:
            connections[state[0]][2] = True
        if state[3] is not None:
            data = bytearray(fr.data)
            offset = ETH_HEADER + fr.ihl + (0 if sender == state[1] else 2)
            old = data[offset] << 8 | data[offset + 1]
            csum = data[fr.tcp_csum_off] << 8 | data[fr.tcp_csum_off + 1]
            struct.pack_into(">H", data, offset, state[3])
            if csum:
                struct.pack_into(">H", data, fr.tcp_csum_off, adjust(csum, old, state[3]) or 0xFFFF)
            fr.data = bytes(data)
            if sender == state[1]:
                fr.sport = state[3]
            else:
                fr.dport = state[3]
    return connections


def tshark_quic_handshakes(path):
    """QUIC connections in which tshark reads a ClientHello and a ServerHello, or None."""
    if shutil.which("tshark") is None:
        return None
    out = subprocess.run(["tshark", "-r", path, "-Y", "tls.handshake.type", "-T", "fields", "-E", "separator=;",
                          "-e", "udp.stream", "-e", "tls.handshake.type"],
                         check=True, capture_output=True, text=True).stdout
    hellos = defaultdict(set)
    for line in out.splitlines():
        stream, types = (line.split(";") + [""])[:2]
        hellos[stream].update(t for t in types.split(",") if t in ("1", "2"))
    return sum(1 for h in hellos.values() if h == {"1", "2"})


def quic_summary(path, frames, connections):
    with open(path, "rb") as f:
        digest = hashlib.sha1(f.read()).hexdigest()
    return {
        "seed_sha1": digest,
        "seed_packets": len(frames),
        "seed_span_us": frames[-1].ts_us - frames[0].ts_us,
        "seed_connections": len(connections),
        "seed_renumbered_connections": sum(1 for c in connections if c[3]),
        "seed_quic_handshakes": sum(1 for c in connections if c[2]),
    }


def write_quic(seed_path, outdir, target):
    frames = read_quic_seed(seed_path)
    connections = quic_connections(frames)
    summary = quic_summary(seed_path, frames, connections)
    copier = Copier(frames)
    span = summary["seed_span_us"]
    copies = max(2, round(target / len(frames)))
    if copies > copier.max_copies():
        fail(f"{copies} copies do not fit in 198.18.0.0/15")
    os.makedirs(outdir, exist_ok=True)
    offsets = [k * (span + SEQUENTIAL_GAP_US) for k in range(copies)]
    path = os.path.join(outdir, "quic.pcap")
    with open(path + ".tmp", "wb", buffering=1 << 22) as out:
        out.write(pcap_header())
        for k in range(copies):
            table = copier.rewriter(k)
            out.write(b"".join(copier.record(t, table, copier.t0 + offsets[k] + t.ts_us) for t in copier.templates))
    os.replace(path + ".tmp", path)
    end_us = offsets[-1] + copier.templates[-1].ts_us
    starts = [offsets[k] + first - copier.t0 for k in range(copies) for _, first, done, _ in connections if done]
    manifest = dict(summary)
    manifest.update({
        "layout": "quic",
        "copies": copies,
        "packets": copies * len(frames),
        "payload_packets": copies * len(frames),
        "quic_connections": copies * len(connections),
        "expected_rows": copies * summary["seed_quic_handshakes"],
        "alive_at_once": max_alive(starts, end_us),
        "span_seconds": round(end_us / 1e6, 3),
        "pace": "recorded",
    })
    with open(os.path.join(outdir, "quic.json"), "w") as f:
        json.dump(manifest, f, indent=1, sort_keys=True)
        f.write("\n")
    print(f"scale.py: quic: {copies} copies, {manifest['packets']} packets, {manifest['expected_rows']} QUIC "
          f"handshakes, {manifest['alive_at_once']} flows alive at once, {manifest['span_seconds']} s", file=sys.stderr)


def write_layouts(seed_path, outdir, target):
    frames = read_seed(seed_path)
    summary = seed_summary(seed_path, frames, renumber_reused_ports(frames))
    copier = Copier(frames)
    flow_starts = summary.pop("flow_starts_us")
    span = summary["seed_span_us"]

    copies = max(2, round(target / len(frames)))
    while copies * len(flow_starts) < DENSE_MIN_ALIVE * target // DEFAULT_PACKETS and copies < copier.max_copies():
        copies += 1
    copies += copies % 2  # the half capture then holds exactly half the packets
    if copies > copier.max_copies():
        fail(f"{copies} copies do not fit in 198.18.0.0/15")
    os.makedirs(outdir, exist_ok=True)

    # name -> (start of each copy, copies, pace factor)
    layouts = {}
    seq_offsets = [k * (span * SEQUENTIAL_STRETCH + SEQUENTIAL_GAP_US) for k in range(copies)]
    dense_offsets = [k * DENSE_STEP_US for k in range(copies)]
    layouts["sequential"] = (seq_offsets, copies, SEQUENTIAL_STRETCH)
    layouts["sequential-half"] = (seq_offsets, copies // 2, SEQUENTIAL_STRETCH)
    layouts["dense"] = (dense_offsets, copies, 1)
    layouts["sequential-vxlan"] = (seq_offsets, copies, SEQUENTIAL_STRETCH)

    base = copier.t0
    manifests = {}
    for name, (offsets, n, pace) in layouts.items():
        order = [(offsets[k] + t.ts_us * pace, k, i) for k in range(n) for i, t in enumerate(copier.templates)]
        if name == "dense":
            order.sort()
        tables = [copier.rewriter(k) for k in range(n)]
        path = os.path.join(outdir, name + ".pcap")
        tmp = path + ".tmp"
        with open(tmp, "wb", buffering=1 << 22) as out:
            out.write(pcap_header())
            templates = copier.templates
            record = copier.record
            if name == "sequential-vxlan":
                wrap = vxlan_wrapper()
                record = lambda t, table, ts: wrap(copier.record(t, table, ts))  # noqa: E731
            chunk = []
            for ts, k, i in order:
                chunk.append(record(templates[i], tables[k], base + ts))
                if len(chunk) >= 4096:
                    out.write(b"".join(chunk))
                    chunk.clear()
            out.write(b"".join(chunk))
        os.replace(tmp, path)
        end_us = order[-1][0]
        starts = [offsets[k] + s * pace for k in range(n) for s in flow_starts]
        manifest = dict(summary)
        manifest.update({
            "layout": name,
            "copies": n,
            "packets": n * len(frames),
            "payload_packets": n * summary["seed_payload_packets"],
            "tcp_connections": n * summary["seed_connections"],
            "followed_flows": n * len(flow_starts),
            "expected_rows": n * summary["seed_complete"],
            "alive_at_once": max_alive(starts, end_us),
            "span_seconds": round(end_us / 1e6, 3),
            "pace": f"1/{pace}" if pace != 1 else "recorded",
        })
        if name == "sequential-vxlan":
            manifest["encapsulation"] = "VXLAN (Ethernet, IPv4, UDP 4789, VNI 1)"
        with open(os.path.join(outdir, name + ".json"), "w") as f:
            json.dump(manifest, f, indent=1, sort_keys=True)
            f.write("\n")
        manifests[name] = manifest
        print(f"scale.py: {name}: {n} copies, {manifest['packets']} packets, {manifest['expected_rows']} "
              f"complete handshakes, {manifest['alive_at_once']} flows alive at once, "
              f"{manifest['span_seconds']} s", file=sys.stderr)
    return manifests


def as_renumbered(seed, frames, count):
    """count(path) on the seed as the copies carry it (with the renumbered ports): tshark
    reads a temporary file of the frames."""
    tmp = seed + ".renumbered.tmp"
    try:
        with open(tmp, "wb") as out:
            out.write(pcap_header())
            for fr in frames:
                out.write(struct.pack("<IIII", fr.ts_us // 1_000_000, fr.ts_us % 1_000_000, len(fr.data), fr.orig))
                out.write(fr.data)
        return count(tmp)
    finally:
        os.unlink(tmp)


def main():
    args = sys.argv[1:]
    if len(args) == 2 and args[0] == "count":
        frames = read_seed(args[1])
        summary = seed_summary(args[1], frames, renumber_reused_ports(frames))
        summary.pop("flow_starts_us")
        ports = {fr.dport for fr in frames
                 if fr.payload_len > 10 and fr.data[fr.payload_off] == 0x16 and fr.data[fr.payload_off + 5] == 1}
        summary["tshark_complete"] = as_renumbered(args[1], frames, lambda path: tshark_complete(path, ports))
        json.dump(summary, sys.stdout, indent=1, sort_keys=True)
        print()
        return
    if len(args) in (3, 4) and args[0] == "make":
        write_layouts(args[1], args[2], int(args[3]) if len(args) == 4 else DEFAULT_PACKETS)
        return
    if len(args) == 2 and args[0] == "count-quic":
        frames = read_quic_seed(args[1])
        connections = quic_connections(frames)
        summary = quic_summary(args[1], frames, connections)
        summary["tshark_quic_handshakes"] = as_renumbered(args[1], frames, tshark_quic_handshakes)
        json.dump(summary, sys.stdout, indent=1, sort_keys=True)
        print()
        return
    if len(args) in (3, 4) and args[0] == "make-quic":
        write_quic(args[1], args[2], int(args[3]) if len(args) == 4 else DEFAULT_PACKETS)
        return
    raise SystemExit(__doc__)


if __name__ == "__main__":
    main()
