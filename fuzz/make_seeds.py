#!/usr/bin/env python3
"""Seed corpora for the fuzz targets from capture files (standard library only).

  make_seeds.py FRAMES_DIR FLOWS_DIR [--quic QUIC_DIR] [--dtls DTLS_DIR] CAPTURE...

FRAMES_DIR gets every captured frame as one file (input of fuzz_packet). QUIC_DIR gets every
UDP datagram that starts with a QUIC long header, in the input format of fuzz_quic: a byte
with the length of the client's Destination Connection ID, that DCID (the one of the
client's latest Initial on the datagram's 4-tuple, which the server's Initial keys come
from) and the datagram. DTLS_DIR gets one file per UDP 4-tuple with DTLS datagrams
(first byte 20 to 63), in the input format of fuzz_dtls: for each datagram a control byte
(bit 7 set for the side that did not send the first one), a 2-byte big-endian length and
the payload. FLOWS_DIR gets
one file per TCP connection in the segment format of fuzz_flow: for each segment with
payload, a control byte (bit 7 set for the side that did not send the first payload, bits
0-5 the sequence shift against that side's stream position), a 2-byte big-endian length
and the payload. Classic pcap files of link types 0, 1, 12/101, 113 and 276 are read;
anything else (pcapng) is left to fuzz_engine, which takes capture files whole.
"""

import hashlib
import os
import struct
import sys

IP_OFFSETS = {0: 4, 1: 14, 12: 0, 101: 0, 113: 16, 276: 20}
MAX_SEGMENTS = 64


def read_frames(path):
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 24:
        return None, []
    for endian in ("<", ">"):
        if struct.unpack(endian + "I", data[:4])[0] in (0xA1B2C3D4, 0xA1B23C4D):
            break
    else:
        return None, []
    linktype = struct.unpack(endian + "I", data[20:24])[0] & 0xFFFF
    frames, pos = [], 24
    while pos + 16 <= len(data):
        incl = struct.unpack(endian + "I", data[pos + 8:pos + 12])[0]
        pos += 16
        frames.append(data[pos:pos + incl])
        pos += incl
    return linktype, frames


def tcp_segment(frame, offset, ethernet):
    """(src, dst, sport, dport, seq, payload) of an IPv4 TCP frame, or None."""
    if ethernet and (len(frame) < 14 or frame[12:14] != b"\x08\x00"):
        return None
    ip = frame[offset:]
    if len(ip) < 20 or ip[0] >> 4 != 4 or ip[9] != 6:
        return None
    ihl = (ip[0] & 0x0F) * 4
    total = struct.unpack(">H", ip[2:4])[0]
    tcp = ip[ihl:total]
    if len(tcp) < 20:
        return None
    sport, dport, seq = struct.unpack(">HHI", tcp[:8])
    doff = (tcp[12] >> 4) * 4
    return ip[12:16], ip[16:20], sport, dport, seq, tcp[doff:]


def udp_datagram(frame, offset, ethernet):
    """((src, sport), (dst, dport), payload) of an IPv4 or IPv6 UDP frame, or None."""
    if ethernet and (len(frame) < 14 or frame[12:14] not in (b"\x08\x00", b"\x86\xdd")):
        return None
    ip = frame[offset:]
    if len(ip) >= 20 and ip[0] >> 4 == 4 and ip[9] == 17:
        start, end, src, dst = (ip[0] & 0x0F) * 4, struct.unpack(">H", ip[2:4])[0], ip[12:16], ip[16:20]
    elif len(ip) >= 40 and ip[0] >> 4 == 6 and ip[6] == 17:
        start, end, src, dst = 40, 40 + struct.unpack(">H", ip[4:6])[0], ip[8:24], ip[24:40]
    else:
        return None
    udp = ip[start:end]
    if len(udp) < 8:
        return None
    sport, dport = struct.unpack(">HH", udp[:4])
    return (src, sport), (dst, dport), udp[8:]


def quic_seeds(datagrams):
    """The long-header datagrams, each behind the DCID of its 4-tuple's latest client Initial."""
    clients = {}  # 4-tuple -> (client end, DCID)
    for source, destination, payload in datagrams:
        if len(payload) < 6 or not payload[0] & 0x80:
            continue
        key = tuple(sorted([source, destination]))
        version = struct.unpack(">I", payload[1:5])[0]
        initial = (version == 1 and payload[0] & 0x30 == 0) or (version == 0x6B3343CF and payload[0] & 0x30 == 0x10)
        client, dcid = clients.get(key, (None, b""))
        if initial and client in (None, source):
            client, dcid = source, payload[6:6 + payload[5]][:20]
            clients[key] = (client, dcid)
        yield bytes([len(dcid)]) + dcid + payload


def dtls_seeds(datagrams):
    """The DTLS datagrams of each 4-tuple, in capture order."""
    tuples = {}
    for source, destination, payload in datagrams:
        if payload and 20 <= payload[0] <= 63:
            tuples.setdefault(tuple(sorted([source, destination])), []).append((source, payload))
    for parts in tuples.values():
        first = parts[0][0]
        yield b"".join(bytes([0 if sender == first else 0x80]) + struct.pack(">H", len(payload)) + payload
                       for sender, payload in parts[:MAX_SEGMENTS])


def save(directory, content):
    name = hashlib.sha1(content).hexdigest()
    with open(os.path.join(directory, name), "wb") as f:
        f.write(content)


def flow_seeds(segments):
    """Encodes each connection's payload segments, in capture order."""
    connections = {}
    for src, dst, sport, dport, seq, payload in segments:
        if not payload:
            continue
        key = tuple(sorted([(src, sport), (dst, dport)]))
        connections.setdefault(key, []).append(((src, sport), seq, payload))
    for parts in connections.values():
        first = parts[0][0]
        position = {}
        out = bytearray()
        for sender, seq, payload in parts[:MAX_SEGMENTS]:
            side = 0 if sender == first else 1
            expected = position.get(side, seq)
            shift = (seq - expected + 2**31) % 2**32 - 2**31
            if not -32 <= shift <= 31:
                shift = 0
            position[side] = (seq + len(payload)) % 2**32
            payload = payload[:65535 - 40]
            out += bytes([side << 7 | (shift & 0x3F)]) + struct.pack(">H", len(payload)) + payload
        yield bytes(out)


def main():
    if len(sys.argv) < 4:
        raise SystemExit(__doc__)
    frames_dir, flows_dir, captures = sys.argv[1], sys.argv[2], sys.argv[3:]
    quic_dir = dtls_dir = None
    if captures[0] == "--quic" and len(captures) > 2:
        quic_dir, captures = captures[1], captures[2:]
    if captures[0] == "--dtls" and len(captures) > 2:
        dtls_dir, captures = captures[1], captures[2:]
    for directory in (frames_dir, flows_dir, quic_dir, dtls_dir):
        if directory:
            os.makedirs(directory, exist_ok=True)
    for path in captures:
        linktype, frames = read_frames(path)
        if linktype not in IP_OFFSETS:
            continue
        segments, datagrams = [], []
        for frame in frames:
            save(frames_dir, frame)
            segment = tcp_segment(frame, IP_OFFSETS[linktype], linktype == 1)
            if segment:
                segments.append(segment)
            datagram = udp_datagram(frame, IP_OFFSETS[linktype], linktype == 1)
            if datagram:
                datagrams.append(datagram)
        for seed in flow_seeds(segments):
            save(flows_dir, seed)
        if quic_dir:
            for seed in quic_seeds(datagrams):
                save(quic_dir, seed)
        if dtls_dir:
            for seed in dtls_seeds(datagrams):
                save(dtls_dir, seed)


if __name__ == "__main__":
    main()
