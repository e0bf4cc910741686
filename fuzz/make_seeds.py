#!/usr/bin/env python3
"""Seed corpora for the fuzz targets from capture files (standard library only).

  make_seeds.py FRAMES_DIR FLOWS_DIR CAPTURE...

FRAMES_DIR gets every captured frame as one file (input of fuzz_packet). FLOWS_DIR gets
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
    frames_dir, flows_dir = sys.argv[1], sys.argv[2]
    os.makedirs(frames_dir, exist_ok=True)
    os.makedirs(flows_dir, exist_ok=True)
    for path in sys.argv[3:]:
        linktype, frames = read_frames(path)
        if linktype not in IP_OFFSETS:
            continue
        segments = []
        for frame in frames:
            save(frames_dir, frame)
            segment = tcp_segment(frame, IP_OFFSETS[linktype], linktype == 1)
            if segment:
                segments.append(segment)
        for seed in flow_seeds(segments):
            save(flows_dir, seed)


if __name__ == "__main__":
    main()
