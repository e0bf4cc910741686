#!/usr/bin/env python3
"""Makes a QUIC capture whose ClientHello ends in an Initial sent to the server's new ID.

  quic_new_dcid.py IN OUT [SPLIT]

IN: an Ethernet/IPv4 capture of QUIC version 1 whose first four frames are one connection
as ngtcp2 records it (client Initial with the whole ClientHello, the server's Initial and
Handshake, then the client's Handshake packets), e.g. fuzz/quic_ngtcp2.pcap.
OUT: the same connection, with the client's ClientHello cut at byte SPLIT (default 150)
into two Initials: the first as before, the second sent after the server's first datagram
to the server's Source Connection ID (RFC 9000 7.2) but sealed with the keys of the
client's first Destination Connection ID (RFC 9001 5.2), as a browser does when the
server's acknowledgement arrives before its whole ClientHello is out.
Needs python3-cryptography.
"""

import hashlib
import hmac
import struct
import sys
from pathlib import Path

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

sys.path.insert(0, str(Path(__file__).resolve().parent))
import pcap_tool  # noqa: E402

SALT_V1 = bytes.fromhex("38762cf7f55934b34d179ae6a4c80cadccbb7f0a")
HEADERS = 14 + 20 + 8  # Ethernet, IPv4 without options, UDP
DATAGRAM = 1200


def expand_label(secret, label, length):
    full = b"tls13 " + label
    info = struct.pack("!HB", length, len(full)) + full + b"\0"
    out, block, i = b"", b"", 1
    while len(out) < length:
        block = hmac.new(secret, block + info + bytes([i]), hashlib.sha256).digest()
        out += block
        i += 1
    return out[:length]


def initial_keys(dcid, side):
    initial = hmac.new(SALT_V1, dcid, hashlib.sha256).digest()
    secret = expand_label(initial, side + b" in", 32)
    return (expand_label(secret, b"quic key", 16), expand_label(secret, b"quic iv", 12),
            expand_label(secret, b"quic hp", 16))


def mask(hp, sample):
    encryptor = Cipher(algorithms.AES(hp), modes.ECB()).encryptor()
    return encryptor.update(sample) + encryptor.finalize()


def varint(data, pos):
    first = data[pos]
    size = 1 << (first >> 6)
    value = first & 0x3F
    for b in data[pos + 1:pos + size]:
        value = value << 8 | b
    return value, pos + size


def open_initial(quic, keys):
    """(dcid, scid, frames, bytes after the packet) of the Initial that starts `quic`."""
    pos = 5
    dcid = quic[pos + 1:pos + 1 + quic[pos]]
    pos += 1 + len(dcid)
    scid = quic[pos + 1:pos + 1 + quic[pos]]
    pos += 1 + len(scid)
    token, pos = varint(quic, pos)
    pos += token
    length, pos = varint(quic, pos)
    key, iv, hp = keys
    m = mask(hp, quic[pos + 4:pos + 20])
    first = quic[0] ^ (m[0] & 0x0F)
    pn_len = (first & 3) + 1
    pn = bytes(b ^ m[1 + i] for i, b in enumerate(quic[pos:pos + pn_len]))
    header = bytes([first]) + quic[1:pos] + pn
    nonce = (int.from_bytes(iv, "big") ^ int.from_bytes(pn, "big")).to_bytes(12, "big")
    frames = AESGCM(key).decrypt(nonce, quic[pos + pn_len:pos + length], header)
    return dcid, scid, frames, quic[pos + length:]


def crypto_data(frames):
    """The data of the CRYPTO frame at offset 0 that opens `frames`."""
    if frames[0] != 0x06:
        raise SystemExit("the client's first Initial does not start with a CRYPTO frame")
    offset, p = varint(frames, 1)
    size, p = varint(frames, p)
    if offset != 0:
        raise SystemExit("the client's first CRYPTO frame does not start at offset 0")
    return frames[p:p + size]


def seal_initial(keys, dcid, scid, number, frames):
    """An Initial (2-byte packet number) carrying `frames`."""
    key, iv, hp = keys
    pn = struct.pack("!H", number)
    header = (bytes([0xC1]) + struct.pack("!I", 1) + bytes([len(dcid)]) + dcid + bytes([len(scid)]) + scid +
              b"\0" + struct.pack("!H", 0x4000 | (2 + len(frames) + 16)) + pn)
    nonce = (int.from_bytes(iv, "big") ^ number).to_bytes(12, "big")
    sealed = AESGCM(key).encrypt(nonce, frames, header)
    m = mask(hp, sealed[2:18])
    packet = bytearray(header + sealed)
    packet[0] ^= m[0] & 0x0F
    pn_at = len(header) - 2
    for i in range(2):
        packet[pn_at + i] ^= m[1 + i]
    return bytes(packet)


def padded(dcid, scid, frames):
    """Frames padded so that a client Initial fills a datagram of 1200 bytes."""
    head = 1 + 4 + 1 + len(dcid) + 1 + len(scid) + 1 + 2 + 2
    return frames + bytes(DATAGRAM - head - 16 - len(frames))


def crypto_frame(offset, data):
    return bytes([0x06]) + struct.pack("!HH", 0x4000 | offset, 0x4000 | len(data)) + data


def udp_frame(template, payload):
    frame = bytearray(template[:HEADERS])
    struct.pack_into("!H", frame, 16, 20 + 8 + len(payload))
    struct.pack_into("!H", frame, 24, 0)
    struct.pack_into("!H", frame, 24, pcap_tool.checksum(bytes(frame[14:34])))
    struct.pack_into("!HH", frame, 38, 8 + len(payload), 0)  # UDP checksum 0: none
    return bytes(frame) + payload


def main(argv):
    if len(argv) < 3:
        raise SystemExit(__doc__)
    split = int(argv[3]) if len(argv) > 3 else 150
    cap = pcap_tool.read_pcap(argv[1])
    pcap_tool.require_ethernet(cap, "quic_new_dcid")
    client_frame, server_frame, *rest = cap.frames[:4]
    quic = client_frame[3][HEADERS:]
    first_dcid = quic[6:6 + quic[5]]
    client, server = initial_keys(first_dcid, b"client"), initial_keys(first_dcid, b"server")
    dcid, scid, frames, _ = open_initial(quic, client)
    hello = crypto_data(frames)
    # The server's datagram: its Initial moves to packet number 1, after an Initial that
    # only acknowledges the client's first one and gives the server's connection ID.
    to_client, server_scid, server_frames, coalesced = open_initial(server_frame[3][HEADERS:], server)
    ack = bytes([0x02, 0, 0, 0, 0])

    def at(frame, micros):
        sec, frac = frame[0], frame[1] + micros
        return sec + frac // 1000000, frac % 1000000

    datagrams = [
        (at(client_frame, 0), client_frame, seal_initial(client, dcid, scid, 0,
                                                         padded(dcid, scid, crypto_frame(0, hello[:split])))),
        (at(client_frame, 200), server_frame, seal_initial(server, to_client, server_scid, 0,
                                                           padded(to_client, server_scid, ack))),
        (at(client_frame, 300), client_frame,
         seal_initial(client, server_scid, scid, 1, padded(server_scid, scid, crypto_frame(split, hello[split:])))),
        (at(server_frame, 400), server_frame,
         seal_initial(server, to_client, server_scid, 1, server_frames) + coalesced),
    ]
    cap.frames = [[sec, frac, 0, udp_frame(template[3], payload)] for (sec, frac), template, payload in datagrams]
    for frame in cap.frames:
        frame[2] = len(frame[3])
    cap.frames += [[*at(frame, 400), frame[2], frame[3]] for frame in rest]
    pcap_tool.write_pcap(argv[2], cap)


if __name__ == "__main__":
    main(sys.argv)
