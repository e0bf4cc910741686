#!/usr/bin/env python3
"""Small capture-file rewriter and checker for the test captures (standard library only).

  pcap_tool.py to-null   IN OUT [FAMILY6]  Ethernet -> BSD loopback (link type 0, 4-byte address
                                       family: AF_INET 2 for IPv4, FAMILY6 for IPv6, default
                                       10 as Linux writes it)
  pcap_tool.py to-raw    IN OUT        Ethernet -> raw IP (link type 101)
  pcap_tool.py add-fcs   IN OUT        append the Ethernet CRC-32 (4 bytes) to every frame
  pcap_tool.py add-vlan  IN OUT TPID[,TPID...]
                                       put VLAN tags (outermost first, hexadecimal TPIDs,
                                       VLAN ids 100, 101, ...) in every frame of an Ethernet
                                       or Linux cooked (v1) capture
  pcap_tool.py zero-ip-length IN OUT   set the IPv4 total length of every Ethernet frame
                                       with TCP payload to 0, as a capture on the sending
                                       host shows a segmentation-offload frame
  pcap_tool.py split-ccs IN OUT PORT   move the first ChangeCipherSpec record sent to TCP port
                                       PORT into a segment of its own without TCP options
  pcap_tool.py no-answer IN OUT        keep the frames up to the first one with TCP payload (the
                                       ClientHello): a server that never answers
  pcap_tool.py drop-server-segment IN OUT N
                                       drop the N-th segment with payload that the server (the
                                       side the first payload goes to) sends: data missing
                                       from the capture
  pcap_tool.py cut-before-server-ccs IN OUT
                                       end the capture before the server's segment that holds
                                       its ChangeCipherSpec record
  pcap_tool.py ssl2-hello IN OUT       rewrite the client's first segment, a TLS ClientHello
                                       record, as an SSL 2.0-format CLIENT-HELLO offering the
                                       same version and suites (no extensions, so no SNI);
                                       later sequence and acknowledgement numbers follow
  pcap_tool.py wrap      IN OUT SPEC [SPEC2]
                                       wrap every frame of an Ethernet capture in
                                       encapsulations. SPEC is a comma-separated list of
                                       chains used frame after frame in turn; a chain is
                                       kinds joined by "+", outermost first (see WRAPPERS).
                                       With SPEC2 every frame is written twice, the second
                                       copy wrapped by SPEC2 40 us later (a connection
                                       mirrored at two points)
  pcap_tool.py wrap-connections IN OUT SPEC
                                       as wrap, but the chains of SPEC are used TCP
                                       connection after connection (in the order of their
                                       first frames): each connection in a tunnel of its own
  pcap_tool.py check     FILE PORT...  dissect FILE with tshark and print one line per TCP
                                       connection plus a summary (see check())

Input files are classic pcap (either byte order, micro- or nanosecond stamps); the output
keeps the input's byte order and time resolution.
"""

import struct
import subprocess
import sys
import zlib
from collections import OrderedDict

LINKTYPE_NULL = 0
LINKTYPE_ETHERNET = 1
LINKTYPE_RAW = 101
LINKTYPE_LINUX_SLL = 113
ETH_HEADER = 14
SLL_HEADER = 16
AF_INET = 2
AF_INET6_LINUX = 10
ETHERTYPE_IPV4 = 0x0800


class Capture:
    def __init__(self, linktype, snaplen, frames, endian="<", magic=0xA1B2C3D4):
        self.linktype = linktype
        self.snaplen = snaplen
        self.frames = frames  # list of [ts_sec, ts_frac, orig_len, bytes]
        self.endian = endian
        self.magic = magic


def read_pcap(path):
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 24:
        raise SystemExit(f"{path}: too short for a pcap header")
    for endian in ("<", ">"):
        magic = struct.unpack(endian + "I", data[:4])[0]
        if magic in (0xA1B2C3D4, 0xA1B23C4D):
            break
    else:
        raise SystemExit(f"{path}: not a classic pcap file")
    _, _, _, _, _, snaplen, linktype = struct.unpack(endian + "IHHiIII", data[:24])
    frames = []
    pos = 24
    while pos + 16 <= len(data):
        sec, frac, incl, orig = struct.unpack(endian + "IIII", data[pos:pos + 16])
        pos += 16
        frames.append([sec, frac, orig, data[pos:pos + incl]])
        pos += incl
    return Capture(linktype & 0xFFFF, snaplen, frames, endian, magic)


def write_pcap(path, cap, linktype=None):
    e = cap.endian
    out = [struct.pack(e + "IHHiIII", cap.magic, 2, 4, 0, 0, cap.snaplen,
                       cap.linktype if linktype is None else linktype)]
    for sec, frac, orig, frame in cap.frames:
        out.append(struct.pack(e + "IIII", sec, frac, len(frame), orig))
        out.append(frame)
    with open(path, "wb") as f:
        f.write(b"".join(out))


def require_ethernet(cap, what):
    if cap.linktype != LINKTYPE_ETHERNET:
        raise SystemExit(f"{what} needs an Ethernet capture, got link type {cap.linktype}")


def to_null(cap, family6=AF_INET6_LINUX):
    require_ethernet(cap, "to-null")
    # The family word is in the byte order of the machine that wrote the file, which is
    # the byte order of the file header.
    for fr in cap.frames:
        ipv4 = fr[3][12:14] == struct.pack("!H", ETHERTYPE_IPV4)
        family = struct.pack(cap.endian + "I", AF_INET if ipv4 else family6)
        fr[3] = family + fr[3][ETH_HEADER:]
        fr[2] += 4 - ETH_HEADER
    cap.linktype = LINKTYPE_NULL


def to_raw(cap):
    require_ethernet(cap, "to-raw")
    for fr in cap.frames:
        fr[3] = fr[3][ETH_HEADER:]
        fr[2] -= ETH_HEADER
    cap.linktype = LINKTYPE_RAW


def add_fcs(cap):
    require_ethernet(cap, "add-fcs")
    for fr in cap.frames:
        fr[3] = fr[3] + struct.pack("<I", zlib.crc32(fr[3]) & 0xFFFFFFFF)
        fr[2] += 4
    cap.snaplen = max(cap.snaplen, 262144)


def add_vlan(cap, tpids):
    """The link header's type field names the first tag; each tag (tag control, next type)
    follows the link header."""
    if cap.linktype == LINKTYPE_ETHERNET:
        type_at, header_end = 12, ETH_HEADER
    elif cap.linktype == LINKTYPE_LINUX_SLL:
        type_at, header_end = 14, SLL_HEADER
    else:
        raise SystemExit(f"add-vlan needs an Ethernet or Linux cooked capture, got link type {cap.linktype}")
    for fr in cap.frames:
        frame = fr[3]
        original = frame[type_at:type_at + 2]
        tags = b""
        for i, tpid in enumerate(tpids):
            following = struct.pack("!H", tpids[i + 1]) if i + 1 < len(tpids) else original
            tags += struct.pack("!H", 100 + i) + following
        head = frame[:type_at] + struct.pack("!H", tpids[0]) + frame[type_at + 2:header_end]
        fr[3] = head + tags + frame[header_end:]
        fr[2] += len(tags)


def zero_ip_length(cap):
    require_ethernet(cap, "zero-ip-length")
    changed = 0
    for fr in cap.frames:
        frame = bytearray(fr[3])
        if len(frame) < ETH_HEADER + 40 or frame[12:14] != b"\x08\x00" or frame[ETH_HEADER + 9] != 6:
            continue
        ip = frame[ETH_HEADER:]
        ihl = (ip[0] & 0x0F) * 4
        thl = (ip[ihl + 12] >> 4) * 4
        if struct.unpack("!H", ip[2:4])[0] <= ihl + thl:
            continue
        struct.pack_into("!H", frame, ETH_HEADER + 2, 0)
        fr[3] = bytes(frame)
        changed += 1
    if not changed:
        raise SystemExit("no IPv4 frame with TCP payload")


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def build_ipv4_tcp(ip_hdr, tcp_hdr, seq, payload):
    """One IPv4/TCP datagram from template headers, with fresh lengths and checksums."""
    tcp = bytearray(tcp_hdr)
    struct.pack_into("!I", tcp, 4, seq)
    tcp[12] = (len(tcp) // 4) << 4 | (tcp[12] & 0x0F)
    struct.pack_into("!H", tcp, 16, 0)
    ip = bytearray(ip_hdr)
    struct.pack_into("!H", ip, 2, len(ip) + len(tcp) + len(payload))
    struct.pack_into("!H", ip, 10, 0)
    struct.pack_into("!H", ip, 10, checksum(bytes(ip)))
    pseudo = ip[12:20] + struct.pack("!BBH", 0, 6, len(tcp) + len(payload))
    struct.pack_into("!H", tcp, 16, checksum(bytes(pseudo) + bytes(tcp) + payload))
    return bytes(ip) + bytes(tcp) + payload


def split_ccs(cap, port):
    """Split the first segment to PORT that carries a ChangeCipherSpec record into up to three
    segments (records before, the CCS record alone, records after).  The CCS segment has a
    20-byte TCP header without options, so its IPv4 total length is 46; the other two keep
    the original options.  Sequence numbers follow the bytes, so the stream stays intact."""
    require_ethernet(cap, "split-ccs")
    for index, (sec, frac, orig, frame) in enumerate(cap.frames):
        if len(frame) < ETH_HEADER + 40 or frame[12:14] != b"\x08\x00":
            continue
        ip = frame[ETH_HEADER:]
        ihl = (ip[0] & 0x0F) * 4
        if ip[9] != 6:
            continue
        total = struct.unpack("!H", ip[2:4])[0]
        tcp = ip[ihl:]
        if struct.unpack("!H", tcp[2:4])[0] != port:
            continue
        thl = (tcp[12] >> 4) * 4
        payload = ip[ihl + thl:total]
        # Walk the records of the segment; it must start on a record boundary.
        pos, ccs_at = 0, None
        while pos + 5 <= len(payload):
            rtype = payload[pos]
            rlen = struct.unpack("!H", payload[pos + 3:pos + 5])[0]
            if rtype == 20:
                ccs_at = (pos, pos + 5 + rlen)
                break
            pos += 5 + rlen
        if ccs_at is None:
            continue
        seq = struct.unpack("!I", tcp[4:8])[0]
        ip_hdr, tcp_hdr = ip[:ihl], tcp[:thl]
        parts = [(payload[:ccs_at[0]], tcp_hdr), (payload[ccs_at[0]:ccs_at[1]], tcp_hdr[:20]),
                 (payload[ccs_at[1]:], tcp_hdr)]
        new_frames, offset, ip_id = [], 0, struct.unpack("!H", ip_hdr[4:6])[0]
        for step, (chunk, header) in enumerate(p for p in parts if p[0]):
            hdr = bytearray(ip_hdr)
            struct.pack_into("!H", hdr, 4, (ip_id + step) & 0xFFFF)
            datagram = build_ipv4_tcp(hdr, header, (seq + offset) & 0xFFFFFFFF, chunk)
            offset += len(chunk)
            # One microsecond apart, so that the frames keep their order by time as well.
            per_sec = 1000000000 if cap.magic == 0xA1B23C4D else 1000000
            frac_new = frac + step * (per_sec // 1000000)
            new_frames.append([sec + frac_new // per_sec, frac_new % per_sec,
                               ETH_HEADER + len(datagram), frame[:ETH_HEADER] + datagram])
        cap.frames[index:index + 1] = new_frames
        return len(new_frames)
    raise SystemExit(f"no segment to port {port} carries a ChangeCipherSpec record")


def tcp_segment(frame):
    """(source port, destination port, sequence number, payload) of an Ethernet IPv4 TCP
    frame, or None."""
    if len(frame) < ETH_HEADER + 40 or frame[12:14] != b"\x08\x00":
        return None
    ip = frame[ETH_HEADER:]
    ihl = (ip[0] & 0x0F) * 4
    if ip[9] != 6:
        return None
    total = struct.unpack("!H", ip[2:4])[0]
    tcp = ip[ihl:]
    sport, dport, seq = struct.unpack("!HHI", tcp[:8])
    thl = (tcp[12] >> 4) * 4
    return sport, dport, seq, ip[ihl + thl:total]


def payload_frames(cap):
    """Indexes and segments of the frames with TCP payload, and the server's port (where
    the first payload goes)."""
    require_ethernet(cap, "this rewrite")
    found = [(i, tcp_segment(fr[3])) for i, fr in enumerate(cap.frames)]
    found = [(i, seg) for i, seg in found if seg and seg[3]]
    if not found:
        raise SystemExit("no TCP payload in the capture")
    return found, found[0][1][1]


def no_answer(cap):
    found, _ = payload_frames(cap)
    del cap.frames[found[0][0] + 1:]


def drop_server_segment(cap, n):
    found, server = payload_frames(cap)
    sent = [i for i, seg in found if seg[0] == server]
    if n < 1 or n > len(sent) - 1:
        raise SystemExit(f"the server sends {len(sent)} segments; N must leave one after it")
    del cap.frames[sent[n - 1]]


def cut_before_server_ccs(cap):
    found, server = payload_frames(cap)
    stream, start = b"", None
    for i, (sport, _, seq, payload) in found:
        if sport != server:
            continue
        if start is None:
            start = seq
        stream += payload
        # Walk the server's records from the start of its stream up to this segment's end.
        pos = 0
        while pos + 5 <= len(stream):
            if stream[pos] == 20:
                if pos >= len(stream) - len(payload):
                    del cap.frames[i:]
                    return
                break
            pos += 5 + struct.unpack("!H", stream[pos + 3:pos + 5])[0]
    raise SystemExit("the server sends no ChangeCipherSpec record")


def ssl2_hello(cap):
    found, server = payload_frames(cap)
    index, (_, _, hello_seq, record) = found[0]
    if record[0] != 22 or record[5] != 1:
        raise SystemExit("the first segment is not a ClientHello record")
    body = record[9:]
    version, random = body[0:2], body[2:34]
    session_len = body[34]
    suites_len = struct.unpack("!H", body[35 + session_len:37 + session_len])[0]
    suites = body[37 + session_len:37 + session_len + suites_len]
    specs = b"".join(b"\0" + suites[i:i + 2] for i in range(0, len(suites), 2))
    message = b"\x01" + version + struct.pack("!HHH", len(specs), 0, len(random)) + specs + random
    new = struct.pack("!H", 0x8000 | len(message)) + message
    delta = len(new) - len(record)
    after = hello_seq + len(record)
    for i, fr in enumerate(cap.frames):
        seg = tcp_segment(fr[3])
        if seg is None:
            continue
        ip = fr[3][ETH_HEADER:]
        ihl, tcp = (ip[0] & 0x0F) * 4, bytearray(ip[(ip[0] & 0x0F) * 4:])
        thl = (tcp[12] >> 4) * 4
        sport, dport, seq, payload = seg
        ack = struct.unpack("!I", tcp[8:12])[0]
        if i == index:
            payload = new
        elif dport == server and ((seq - after) & 0xFFFFFFFF) < 0x80000000:
            seq = (seq + delta) & 0xFFFFFFFF
        if sport == server and tcp[13] & 0x10 and ((ack - after) & 0xFFFFFFFF) < 0x80000000:
            struct.pack_into("!I", tcp, 8, (ack + delta) & 0xFFFFFFFF)
        datagram = build_ipv4_tcp(ip[:ihl], bytes(tcp[:thl]), seq, payload)
        fr[2], fr[3] = ETH_HEADER + len(datagram), fr[3][:ETH_HEADER] + datagram


TSHARK_FIELDS = ["tcp.stream", "ip.src", "tcp.srcport", "tcp.dstport", "tls.record.content_type",
                 "tls.handshake.type", "tls.alert_message.level", "tls.handshake.version",
                 "tls.handshake.extensions.supported_version", "ipv6.src",
                 "tls.record.opaque_type"]
VERSION_NAMES = {0x0300: "SSLv3.0", 0x0301: "TLSv1.0", 0x0302: "TLSv1.1", 0x0303: "TLSv1.2",
                 0x0304: "TLSv1.3"}


# --- encapsulations (wrap) -------------------------------------------------------------
# Each wrapper takes an Ethernet frame and returns an Ethernet frame carrying it (or its
# IP datagram) one encapsulation deeper. Outer headers get MAC addresses 02:00:00:00:0a:0x
# and documentation addresses, so a row tells which header it took its MACs from.
OUTER_DST = bytes.fromhex("02000000 0a01".replace(" ", ""))
OUTER_SRC = bytes.fromhex("02000000 0a02".replace(" ", ""))


def _split(frame):
    """(MAC addresses, EtherType, rest) of an Ethernet frame."""
    return frame[:12], struct.unpack("!H", frame[12:14])[0], frame[14:]


def _datagram(frame):
    macs, etype, rest = _split(frame)
    if etype not in (0x0800, 0x86DD):
        raise SystemExit(f"wrap: a frame of EtherType {etype:#06x} is not plain IP")
    return etype, rest


def _outer(typed):
    return OUTER_DST + OUTER_SRC + typed


def _ipv4_header(protocol, payload_len):
    hdr = bytearray(struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + payload_len, 0, 0, 64, protocol, 0,
                                bytes([192, 0, 2, 1]), bytes([192, 0, 2, 2])))
    hdr[10:12] = struct.pack("!H", checksum(bytes(hdr)))
    return bytes(hdr)


def _ipv6_header(next_header, payload_len):
    return struct.pack("!IHBB16s16s", 0x60000000, payload_len, next_header, 64,
                       bytes.fromhex("20010db8" + "0" * 22 + "0a"), bytes.fromhex("20010db8" + "0" * 22 + "0b"))


def _over_ip(protocol, payload, v6=False):
    if v6:
        return struct.pack("!H", 0x86DD) + _ipv6_header(protocol, len(payload)) + payload
    return struct.pack("!H", 0x0800) + _ipv4_header(protocol, len(payload)) + payload


def _udp(port, payload):
    return struct.pack("!HHHH", 49152, port, 8 + len(payload), 0) + payload


def _ip_in_ip(frame, v6):
    etype, ip = _datagram(frame)
    return _outer(_over_ip(4 if etype == 0x0800 else 41, ip, v6))


def _gre_ip(frame):
    etype, ip = _datagram(frame)
    return _outer(_over_ip(47, struct.pack("!HHI", 0x2000, etype, 7) + ip))


def _vlan3(frame):
    macs, etype, rest = _split(frame)
    return macs + struct.pack("!HHHHHHH", 0x88A8, 100, 0x8100, 101, 0x8100, 102, etype) + rest


def _qinq(frame):
    macs, etype, rest = _split(frame)
    return macs + struct.pack("!HHHHH", 0x88A8, 100, 0x8100, 101, etype) + rest


def _sgt(frame):
    macs, etype, rest = _split(frame)
    return macs + struct.pack("!HBBHHH", 0x8909, 1, 1, 1, 2748, etype) + rest


def _mpls(frame):
    _, ip = _datagram(frame)
    return _outer(struct.pack("!HII", 0x8847, 16 << 12, (17 << 12) | 0x100 | 64) + ip)


def _pppoe(frame):
    etype, ip = _datagram(frame)
    ppp = 0x0021 if etype == 0x0800 else 0x0057
    return _outer(struct.pack("!HBBHHH", 0x8864, 0x11, 0, 0x1234, len(ip) + 2, ppp) + ip)


def _ipv6_hop_by_hop(frame):
    etype, ip = _datagram(frame)
    if etype != 0x86DD:
        return frame
    next_header = ip[6]
    ext = bytes([next_header, 0, 1, 4, 0, 0, 0, 0])  # PadN
    payload_len = struct.unpack("!H", ip[4:6])[0] + len(ext)
    return frame[:14] + ip[:4] + struct.pack("!HB", payload_len, 0) + ip[7:40] + ext + ip[40:]


WRAPPERS = {
    "vlan3": _vlan3,                                    # 0x88a8, 0x8100, 0x8100 tags
    "qinq": _qinq,                                      # 0x88a8, 0x8100 tags
    "sgt": _sgt,                                        # Cisco MetaData 0x8909
    "mpls": _mpls,                                      # two labels
    "pppoe": _pppoe,                                    # PPPoE session, PPP IPv4/IPv6
    "ipip": lambda f: _ip_in_ip(f, False),              # IPv4 outer, protocol 4 or 41
    "ip6ip": lambda f: _ip_in_ip(f, True),              # IPv6 outer, next header 4 or 41
    "gre": _gre_ip,                                     # GRE with key, IP inside
    "gre-eth": lambda f: _outer(_over_ip(47, struct.pack("!HH", 0, 0x6558) + f)),
    "erspan1": lambda f: _outer(_over_ip(47, struct.pack("!HH", 0, 0x88BE) + f)),
    "erspan2": lambda f: _outer(_over_ip(47, struct.pack("!HHI", 0x1000, 0x88BE, 1)
                                         + struct.pack("!II", 0x10010000, 7) + f)),
    "erspan3": lambda f: _outer(_over_ip(47, struct.pack("!HH", 0, 0x22EB) + b"\x20" + bytes(10) + b"\x01"
                                         + bytes(8) + f, True)),
    "vxlan": lambda f: _outer(_over_ip(17, _udp(4789, struct.pack("!II", 0x08000000, 1 << 8) + f))),
    "vxlan6": lambda f: _outer(_over_ip(17, _udp(4789, struct.pack("!II", 0x08000000, 2 << 8) + f), True)),
    "geneve": lambda f: _outer(_over_ip(17, _udp(6081, struct.pack("!BBHI", 1, 0, 0x6558, 7 << 8)
                                                 + struct.pack("!HBBI", 0x0103, 0x80, 1, 0)[:4] + f))),
    "ipv6-hbh": _ipv6_hop_by_hop,                       # hop-by-hop options in IPv6 frames
}


def _connection(frame):
    """The TCP connection of a plain Ethernet IPv4/IPv6 frame: its two ends, sorted."""
    etype, ip = _datagram(frame)
    if etype == 0x0800:
        start, addresses = (ip[0] & 0x0F) * 4, (ip[12:16], ip[16:20])
    else:
        start, addresses = 40, (ip[8:24], ip[24:40])
    ports = struct.unpack("!HH", ip[start:start + 4])
    return tuple(sorted(zip(addresses, ports)))


def wrap(cap, spec, mirror=None, per_connection=False):
    require_ethernet(cap, "wrap")

    def chains(text):
        out = []
        for chain in text.split(","):
            kinds = chain.split("+")
            for kind in kinds:
                if kind not in WRAPPERS:
                    raise SystemExit(f"wrap: unknown kind {kind} (known: {', '.join(WRAPPERS)})")
            out.append(kinds)
        return out

    def apply(chain, frame):
        for kind in reversed(chain):
            frame = WRAPPERS[kind](frame)
        return frame

    first, second = chains(spec), chains(mirror) if mirror else None
    frames = []
    connections = OrderedDict()
    for i, (sec, frac, orig, frame) in enumerate(cap.frames):
        if per_connection:
            i = connections.setdefault(_connection(frame), len(connections))
        for n, spec_chains in enumerate([first] + ([second] if second else [])):
            wrapped = apply(spec_chains[i % len(spec_chains)], frame)
            step = 40 if cap.magic == 0xA1B2C3D4 else 40000
            frames.append([sec, frac + n * step, orig + len(wrapped) - len(frame), wrapped])
    cap.frames = frames
    cap.snaplen = max(cap.snaplen, 262144)


def check(path, ports):
    """Per TCP connection: both hellos, a ChangeCipherSpec in each direction (or, from a TLS
    1.3 peer without middlebox compatibility mode, an encrypted record), fatal alerts and
    the version the server chose.  Prints one line per connection and a last line
    "connections=N complete=M versions=V1;V2" (complete = hellos + both CCS + no fatal alert).
    """
    cmd = ["tshark", "-n", "-r", path]
    for p in ports:
        cmd += ["-d", f"tcp.port=={p},tls"]
    cmd += ["-T", "fields", "-E", "separator=\t", "-E", "occurrence=a", "-E", "aggregator=,"]
    for field in TSHARK_FIELDS:
        cmd += ["-e", field]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    conns = OrderedDict()
    for line in out.splitlines():
        cols = (line.split("\t") + [""] * len(TSHARK_FIELDS))[:len(TSHARK_FIELDS)]
        stream, src, sport, dport, ctypes, htypes, levels, hvers, svers, src6, opaque = cols
        if not stream:
            continue
        # Inside a tunnel the address fields list every IP header; within one TCP
        # connection the ports tell the two ends apart.
        c = conns.setdefault(stream, {"client": None, "ch": False, "sh": 0,
                                      "ccs": set(), "fatal": False, "version": 0,
                                      "server_port": None})
        ends = sport
        htypes = [int(t) for t in htypes.split(",") if t]
        if 1 in htypes and c["client"] is None:
            c["client"] = ends
            c["server_port"] = dport
            c["ch"] = True
        if 2 in htypes:
            c["sh"] += htypes.count(2)  # a HelloRetryRequest is a second ServerHello
            c["server_port"] = sport
            for v in (hvers + "," + svers).split(","):
                if v:
                    c["version"] = max(c["version"], int(v, 16) if v.startswith("0x") else int(v))
        # tshark names the type of a TLS 1.3 encrypted record its opaque type.
        if {"20", "23"} & set(ctypes.split(",") + opaque.split(",")):
            c["ccs"].add("client" if ends == c["client"] else "server")
        if "2" in levels.split(","):
            c["fatal"] = True
    complete, versions = 0, []
    for stream, c in conns.items():
        done = c["ch"] and c["sh"] and c["ccs"] == {"client", "server"} and not c["fatal"]
        complete += done
        name = VERSION_NAMES.get(c["version"], "-")
        if c["ch"] or c["sh"]:
            versions.append(name)
        print(f"stream={stream} server_port={c['server_port']} client_hello={int(c['ch'])} "
              f"server_hellos={c['sh']} ccs={','.join(sorted(c['ccs'])) or '-'} "
              f"fatal_alert={int(c['fatal'])} version={name} complete={int(done)}")
    uniq = list(OrderedDict.fromkeys(versions))
    print(f"connections={len(conns)} complete={complete} versions={';'.join(uniq) or '-'}")


def main(argv):
    if len(argv) < 3:
        raise SystemExit(__doc__)
    cmd = argv[1]
    if cmd == "check":
        check(argv[2], argv[3:])
        return
    if len(argv) < 4:
        raise SystemExit(__doc__)
    cap = read_pcap(argv[2])
    if cmd == "to-null":
        to_null(cap, *(int(a) for a in argv[4:5]))
    elif cmd == "to-raw":
        to_raw(cap)
    elif cmd == "add-fcs":
        add_fcs(cap)
    elif cmd == "add-vlan" and len(argv) > 4:
        add_vlan(cap, [int(t, 16) for t in argv[4].split(",")])
    elif cmd == "zero-ip-length":
        zero_ip_length(cap)
    elif cmd == "split-ccs":
        split_ccs(cap, int(argv[4]))
    elif cmd == "no-answer":
        no_answer(cap)
    elif cmd == "drop-server-segment" and len(argv) > 4:
        drop_server_segment(cap, int(argv[4]))
    elif cmd == "cut-before-server-ccs":
        cut_before_server_ccs(cap)
    elif cmd == "ssl2-hello":
        ssl2_hello(cap)
    elif cmd == "wrap" and len(argv) > 4:
        wrap(cap, argv[4], argv[5] if len(argv) > 5 else None)
    elif cmd == "wrap-connections" and len(argv) > 4:
        wrap(cap, argv[4], per_connection=True)
    else:
        raise SystemExit(__doc__)
    write_pcap(argv[3], cap)


if __name__ == "__main__":
    main(sys.argv)
