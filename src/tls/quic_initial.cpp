#include "tls/quic_initial.h"

// For KeyedHmac's copies of SHA-256 states.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

#include "base/byte_reader.h"

namespace quic {
namespace {

constexpr uint8_t saltVersion1[] = {0x38, 0x76, 0x2c, 0xf7, 0xf5, 0x59, 0x34, 0xb3, 0x4d, 0x17,
                                    0x9a, 0xe6, 0xa4, 0xc8, 0x0c, 0xad, 0xcc, 0xbb, 0x7f, 0x0a};
constexpr uint8_t saltVersion2[] = {0x0d, 0xed, 0xe3, 0xde, 0xf7, 0x00, 0xa6, 0xdb, 0x81, 0x93,
                                    0x81, 0xbe, 0x6e, 0x26, 0x9d, 0xcb, 0xf9, 0xbd, 0x2e, 0xd9};
constexpr size_t secretLength = 32;  // SHA-256
constexpr size_t tagLength = 16;
constexpr size_t sampleLength = 16;

// Packet type bits of an Initial, by version.
uint8_t initialType(uint32_t version) { return version == version2 ? 1 : 0; }

// A variable-length integer (RFC 9000 16): the two high bits of the first byte give its size.
uint64_t varint(ByteReader& r) {
    const uint8_t first = r.u8();
    const size_t more = (size_t(1) << (first >> 6)) - 1;
    uint64_t value = first & 0x3f;
    for (size_t i = 0; i < more; ++i) value = value << 8 | r.u8();
    return r.ok() ? value : 0;
}

// The algorithms are fetched once and the contexts kept per thread, keyed again for every
// packet without being rebuilt: fetching by name or rebuilding a context on every
// datagram cost far more than the few blocks of work, and forged Initials arrive at line
// rate.
struct CipherContext {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

// A thread's context of AES-128-ECB (gcm false) or AES-128-GCM with its cipher set; null
// when libcrypto fails. Callers pass no cipher when they key it, which keeps the context.
EVP_CIPHER_CTX* cipherContext(bool gcm) {
    // ECB encrypts single blocks (whole blocks pass an update, padded or not, and padding
    // is left on: turning it off costs a parameter look-up at every keying); GCM decrypts.
    auto make = [](char const* name, bool encrypt) {
        std::unique_ptr<EVP_CIPHER_CTX, CipherContext> ctx(EVP_CIPHER_CTX_new());
        EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
        if (!ctx || !cipher || EVP_CipherInit_ex2(ctx.get(), cipher, nullptr, nullptr, encrypt, nullptr) <= 0)
            ctx.reset();
        EVP_CIPHER_free(cipher);  // the context holds its own reference
        return ctx;
    };
    thread_local std::unique_ptr<EVP_CIPHER_CTX, CipherContext> const ecb = make("AES-128-ECB", true);
    thread_local std::unique_ptr<EVP_CIPHER_CTX, CipherContext> const galois = make("AES-128-GCM", false);
    return gcm ? galois.get() : ecb.get();
}

// One AES-128 block of `in` under `key`, into out.
bool aesBlock(std::array<uint8_t, 16> const& key, uint8_t const* in, uint8_t* out) {
    EVP_CIPHER_CTX* ctx = cipherContext(false);
    int written = 0;
    return ctx && EVP_EncryptInit_ex2(ctx, nullptr, key.data(), nullptr, nullptr) > 0 &&
           EVP_EncryptUpdate(ctx, out, &written, in, 16) > 0 && written == 16;
}

// HMAC-SHA-256 with its key taken in: the hash states after the inner and the outer padded
// key, plain structures that are copied for each message. A key is taken in once however
// many messages follow (the salts once per process), and nothing is allocated. The
// digest's low-level interface is the one that allows this copy without a heap context.
class KeyedHmac {
public:
    explicit KeyedHmac(std::span<const uint8_t> key) {
        uint8_t pad[blockLength] = {};
        std::memcpy(pad, key.data(), std::min(key.size(), blockLength));  // keys here are at most 32 bytes
        for (uint8_t& b : pad) b ^= 0x36;
        SHA256_Init(&inner);
        SHA256_Update(&inner, pad, blockLength);
        for (uint8_t& b : pad) b ^= 0x36 ^ 0x5c;
        SHA256_Init(&outer);
        SHA256_Update(&outer, pad, blockLength);
    }

    // The MAC of the parts, one after the other, into out (32 bytes).
    void mac(std::initializer_list<std::span<const uint8_t>> parts, uint8_t* out) const {
        SHA256_CTX ctx = inner;
        for (std::span<const uint8_t> part : parts) SHA256_Update(&ctx, part.data(), part.size());
        uint8_t innerHash[secretLength];
        SHA256_Final(innerHash, &ctx);
        ctx = outer;
        SHA256_Update(&ctx, innerHash, secretLength);
        SHA256_Final(out, &ctx);
    }

private:
    static constexpr size_t blockLength = 64;
    SHA256_CTX inner, outer;
};

std::span<const uint8_t> text(std::string_view s) { return {reinterpret_cast<uint8_t const*>(s.data()), s.size()}; }

// HKDF-Expand-Label of TLS 1.3 (RFC 8446 7.1) with an empty context, the label given as
// prefix and rest. Every output here is at most one SHA-256 block, so HKDF-Expand is one
// HMAC over the info and the counter 1.
void expandLabel(KeyedHmac const& secret, std::string_view prefix, std::string_view label, uint8_t* out,
                 size_t length) {
    constexpr std::string_view tls13 = "tls13 ";
    uint8_t const labelLength = uint8_t(tls13.size() + prefix.size() + label.size());
    uint8_t const head[3] = {uint8_t(length >> 8), uint8_t(length), labelLength};
    uint8_t const tail[2] = {0, 0x01};  // no context, the block counter
    uint8_t block[secretLength];
    secret.mac({head, text(tls13), text(prefix), text(label), tail}, block);
    std::memcpy(out, block, std::min(length, secretLength));
}

}  // namespace

bool deriveInitialKeys(uint32_t version, std::span<const uint8_t> clientDcid, bool client, InitialKeys& keys) {
    if (version != version1 && version != version2) return false;
    // HKDF-Extract: the salt is the HMAC key.
    static KeyedHmac const salt1(saltVersion1), salt2(saltVersion2);
    uint8_t initialSecret[secretLength], secret[secretLength];
    (version == version1 ? salt1 : salt2).mac({clientDcid}, initialSecret);
    expandLabel(KeyedHmac(initialSecret), "", client ? "client in" : "server in", secret, secretLength);
    KeyedHmac const keyed(secret);
    std::string_view const prefix = version == version1 ? "quic " : "quicv2 ";
    expandLabel(keyed, prefix, "key", keys.key.data(), keys.key.size());
    expandLabel(keyed, prefix, "iv", keys.iv.data(), keys.iv.size());
    expandLabel(keyed, prefix, "hp", keys.hp.data(), keys.hp.size());
    return true;
}

namespace {

// The next long-header packet of a datagram, as longHeaders reads it; false at its end.
bool readLongHeader(ByteReader& rest, LongHeader& h) {
    if (rest.empty()) return false;
    const std::span<const uint8_t> start = rest.rest();
    ByteReader r(start);
    const uint8_t first = r.u8();
    h.version = r.u32();
    h.dcid = r.bytes(r.u8());
    h.scid = r.bytes(r.u8());
    if (!r.ok() || (first & 0x80) == 0 || h.version == 0 || h.dcid.size() > maxConnectionIdLength ||
        h.scid.size() > maxConnectionIdLength)
        return false;
    const uint8_t type = (first >> 4) & 0x03;
    const bool known = h.version == version1 || h.version == version2;
    // A Retry (type 3 in version 1, 0 in version 2) has no Length and ends the datagram;
    // so does a packet of an unknown version, whose layout past the IDs is unknown.
    if (!known || type == (h.version == version2 ? 0 : 3)) return false;
    h.initial = type == initialType(h.version);
    if (h.initial) r.skip(varint(r));  // the token
    const uint64_t length = varint(r);
    if (!r.ok() || length > r.remaining()) return false;
    h.packetNumberOffset = start.size() - r.remaining();
    h.packet = rest.bytes(h.packetNumberOffset + static_cast<size_t>(length));
    return true;
}

// An Initial's header with its protection removed (RFC 9001 5.4): the first byte, the
// packet number, and the payload's nonce.
struct OpenHeader {
    uint8_t first = 0;
    size_t numberLength = 0;
    std::array<uint8_t, 4> number{};
    std::array<uint8_t, 12> nonce{};
};

// False when the packet is too short for a sample and a tag.
bool openHeader(LongHeader const& packet, InitialKeys const& keys, OpenHeader& open) {
    // The sample starts 4 bytes after the packet number's first byte, whatever its length.
    ByteReader sampleReader(packet.packet);
    sampleReader.skip(packet.packetNumberOffset + 4);
    const std::span<const uint8_t> sample = sampleReader.bytes(sampleLength);
    uint8_t mask[16];
    if (!packet.initial || sample.empty() || !aesBlock(keys.hp, sample.data(), mask)) return false;
    ByteReader r(packet.packet);
    open.first = r.u8() ^ (mask[0] & 0x0f);
    r.skip(packet.packetNumberOffset - 1);
    open.numberLength = (open.first & 0x03) + 1;
    const std::span<const uint8_t> protectedNumber = r.bytes(open.numberLength);
    if (protectedNumber.empty() || r.remaining() < tagLength) return false;
    // A passive reader has no largest packet number to expand against; Initials start at 0
    // and are few, so the truncated number is the number.
    open.nonce = keys.iv;
    for (size_t i = 0; i < open.numberLength; ++i) {
        open.number[i] = protectedNumber[i] ^ mask[1 + i];
        open.nonce[open.nonce.size() - open.numberLength + i] ^= open.number[i];
    }
    return true;
}

// Whether the payload's first frame is one an Initial may carry (RFC 9000 12.4: PADDING,
// PING, ACK, CRYPTO, CONNECTION_CLOSE), read from the payload's first block alone (GCM's
// counter mode starts the payload at counter 2): a forged Initial nearly always fails here,
// before the whole AEAD is paid for.
bool firstFrameAllowed(LongHeader const& packet, InitialKeys const& keys, OpenHeader const& open) {
    ByteReader r(packet.packet);
    r.skip(packet.packetNumberOffset + open.numberLength);
    const uint8_t sealed = r.u8();
    uint8_t counter[16] = {};
    std::memcpy(counter, open.nonce.data(), open.nonce.size());
    counter[15] = 2;
    uint8_t stream[16];
    if (!r.ok() || !aesBlock(keys.key, counter, stream)) return false;
    switch (sealed ^ stream[0]) {
    case 0x00: case 0x01: case 0x02: case 0x03: case 0x06: case 0x1c: return true;
    default: return false;
    }
}

// Decrypts the payload of an Initial whose header is open; the header as it was before
// protection is the associated data.
bool openPayload(LongHeader const& packet, InitialKeys const& keys, OpenHeader const& open,
                 std::vector<uint8_t>& frames) {
    ByteReader r(packet.packet);
    r.skip(1);
    const std::span<const uint8_t> head = r.bytes(packet.packetNumberOffset - 1);
    r.skip(open.numberLength);
    const std::span<const uint8_t> sealed = r.bytes(r.remaining());
    if (head.empty() || sealed.size() < tagLength) return false;
    const std::span<const uint8_t> ciphertext = sealed.first(sealed.size() - tagLength);
    const std::span<const uint8_t> tag = sealed.last(tagLength);
    frames.resize(ciphertext.size() + 16);
    int plain = 0, ignored = 0;
    EVP_CIPHER_CTX* gcm = cipherContext(true);
    const bool ok =
        gcm && EVP_DecryptInit_ex2(gcm, nullptr, keys.key.data(), open.nonce.data(), nullptr) > 0 &&
        EVP_DecryptUpdate(gcm, nullptr, &ignored, &open.first, 1) > 0 &&
        EVP_DecryptUpdate(gcm, nullptr, &ignored, head.data(), int(head.size())) > 0 &&
        EVP_DecryptUpdate(gcm, nullptr, &ignored, open.number.data(), int(open.numberLength)) > 0 &&
        EVP_DecryptUpdate(gcm, frames.data(), &plain, ciphertext.data(), int(ciphertext.size())) > 0 &&
        EVP_CIPHER_CTX_ctrl(gcm, EVP_CTRL_GCM_SET_TAG, int(tagLength), const_cast<uint8_t*>(tag.data())) > 0 &&
        EVP_DecryptFinal_ex(gcm, frames.data() + plain, &ignored) > 0;
    frames.resize(ok ? size_t(plain) : 0);
    return ok;
}

}  // namespace

std::vector<LongHeader> longHeaders(std::span<const uint8_t> datagram) {
    std::vector<LongHeader> packets;
    ByteReader rest(datagram);
    for (LongHeader h; readLongHeader(rest, h); h = {}) packets.push_back(h);
    return packets;
}

bool decryptInitial(LongHeader const& packet, InitialKeys const& keys, std::vector<uint8_t>& frames) {
    frames.clear();
    OpenHeader open;
    return openHeader(packet, keys, open) && openPayload(packet, keys, open, frames);
}

void CryptoStream::add(uint64_t offset, std::span<const uint8_t> data) {
    if (offset >= limit) return;
    const size_t begin = static_cast<size_t>(offset);
    const size_t end = std::min(limit, begin + std::min(data.size(), limit));
    if (end > bytes.size()) {
        bytes.resize(end);
        held.resize(end);
    }
    for (size_t i = begin; i < end; ++i) {
        if (held[i]) continue;
        bytes[i] = data[i - begin];
        held[i] = true;
    }
    while (contiguousLength < held.size() && held[contiguousLength]) ++contiguousLength;
}

size_t collectCryptoFrames(std::span<const uint8_t> frames, CryptoStream& stream) {
    ByteReader r(frames);
    size_t placed = 0;
    while (!r.empty()) {
        const uint64_t type = varint(r);
        switch (type) {
        case 0x00:  // PADDING
        case 0x01:  // PING
            break;
        case 0x02:  // ACK
        case 0x03: {  // ACK with ECN counts
            varint(r);  // largest acknowledged
            varint(r);  // delay
            const uint64_t ranges = varint(r);
            varint(r);  // first range
            for (uint64_t i = 0; i < ranges && r.ok(); ++i) {
                varint(r);
                varint(r);
            }
            if (type == 0x03)
                for (int i = 0; i < 3; ++i) varint(r);
            break;
        }
        case 0x06: {  // CRYPTO
            const uint64_t offset = varint(r);
            const std::span<const uint8_t> data = r.bytes(varint(r));
            if (!r.ok()) return placed;
            stream.add(offset, data);
            ++placed;
            break;
        }
        case 0x1c:  // CONNECTION_CLOSE, transport
        case 0x1d:  // CONNECTION_CLOSE, application
            varint(r);
            if (type == 0x1c) varint(r);
            r.skip(varint(r));
            break;
        default: return placed;
        }
        if (!r.ok()) return placed;
    }
    return placed;
}

size_t readInitials(std::span<const uint8_t> datagram, bool fromClient, std::vector<uint8_t>& clientDcid,
                    CryptoStream& stream) {
    size_t decrypted = 0;
    std::vector<uint8_t> frames;
    for (LongHeader const& packet : longHeaders(datagram)) {
        if (!packet.initial) continue;
        InitialKeys keys;
        const bool ownKeys = fromClient && deriveInitialKeys(packet.version, packet.dcid, true, keys) &&
                             decryptInitial(packet, keys, frames);
        // A client that took the server's connection ID as its DCID keeps the keys of the
        // DCID it began with (RFC 9001 5.2): its later Initials decrypt only with those.
        if (!ownKeys && (clientDcid.empty() || !deriveInitialKeys(packet.version, clientDcid, fromClient, keys) ||
                         !decryptInitial(packet, keys, frames)))
            continue;
        ++decrypted;
        if (ownKeys) clientDcid.assign(packet.dcid.begin(), packet.dcid.end());
        collectCryptoFrames(frames, stream);
    }
    return decrypted;
}

bool startsWithInitial(std::span<const uint8_t> datagram) {
    ByteReader r(datagram);
    const uint8_t first = r.u8();
    const uint32_t version = r.u32();
    return r.ok() && (first & 0x80) != 0 && (version == version1 || version == version2) &&
           ((first >> 4) & 0x03) == initialType(version);
}

bool startsWithClientInitial(std::span<const uint8_t> datagram) {
    if (!startsWithInitial(datagram)) return false;
    ByteReader rest(datagram);
    LongHeader packet;
    InitialKeys keys;
    OpenHeader open;
    if (!readLongHeader(rest, packet) || !packet.initial ||
        !deriveInitialKeys(packet.version, packet.dcid, true, keys) || !openHeader(packet, keys, open) ||
        !firstFrameAllowed(packet, keys, open))
        return false;
    // Kept per thread: its size settles at the largest Initial, with no allocation after.
    thread_local std::vector<uint8_t> frames;
    return openPayload(packet, keys, open, frames);
}

}  // namespace quic
