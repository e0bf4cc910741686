#include "tls/quic_initial.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

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

// The algorithms are fetched once and the contexts kept per thread: fetching by name on
// every datagram cost far more than the few blocks of work, and forged Initials arrive at
// line rate.
struct MacContext {
    void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
};
struct CipherContext {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

EVP_CIPHER const* aes128(bool gcm) {
    static EVP_CIPHER* const ecb = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
    static EVP_CIPHER* const galois = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
    return gcm ? galois : ecb;
}

EVP_CIPHER_CTX* cipherContext(bool gcm) {
    thread_local std::unique_ptr<EVP_CIPHER_CTX, CipherContext> const ecb(EVP_CIPHER_CTX_new());
    thread_local std::unique_ptr<EVP_CIPHER_CTX, CipherContext> const galois(EVP_CIPHER_CTX_new());
    return gcm ? galois.get() : ecb.get();
}

// HMAC-SHA-256, its digest set once per thread.
EVP_MAC_CTX* hmacContext() {
    static EVP_MAC* const hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    thread_local std::unique_ptr<EVP_MAC_CTX, MacContext> const ctx = [] {
        std::unique_ptr<EVP_MAC_CTX, MacContext> made(hmac ? EVP_MAC_CTX_new(hmac) : nullptr);
        char digest[] = "SHA256";
        OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
        if (made && EVP_MAC_CTX_set_params(made.get(), params) <= 0) made.reset();
        return made;
    }();
    return ctx.get();
}

// HMAC-SHA-256 of the parts, one after the other, into out (32 bytes).
bool hmacSha256(std::span<const uint8_t> key, std::initializer_list<std::span<const uint8_t>> parts, uint8_t* out) {
    EVP_MAC_CTX* ctx = hmacContext();
    size_t length = 0;
    if (ctx == nullptr || EVP_MAC_init(ctx, key.data(), key.size(), nullptr) <= 0) return false;
    for (std::span<const uint8_t> part : parts)
        if (EVP_MAC_update(ctx, part.data(), part.size()) <= 0) return false;
    return EVP_MAC_final(ctx, out, &length, secretLength) > 0 && length == secretLength;
}

// HKDF-Expand-Label of TLS 1.3 (RFC 8446 7.1) with an empty context. Every output here is
// at most one SHA-256 block, so HKDF-Expand is one HMAC over the info and the counter 1.
bool expandLabel(std::span<const uint8_t> secret, std::string const& label, uint8_t* out, size_t length) {
    const std::string full = "tls13 " + label;
    uint8_t info[3 + 32 + 2] = {uint8_t(length >> 8), uint8_t(length), uint8_t(full.size())};
    if (length > secretLength || full.size() > 32) return false;
    std::memcpy(info + 3, full.data(), full.size());
    info[3 + full.size()] = 0;     // no context
    info[4 + full.size()] = 0x01;  // the block counter
    uint8_t block[secretLength];
    if (!hmacSha256(secret, {std::span<const uint8_t>(info, 5 + full.size())}, block)) return false;
    std::memcpy(out, block, length);
    return true;
}

}  // namespace

bool deriveInitialKeys(uint32_t version, std::span<const uint8_t> clientDcid, bool client, InitialKeys& keys) {
    if (version != version1 && version != version2) return false;
    const std::span<const uint8_t> salt = version == version1 ? std::span<const uint8_t>(saltVersion1)
                                                              : std::span<const uint8_t>(saltVersion2);
    uint8_t initialSecret[secretLength], secret[secretLength];
    // HKDF-Extract: the salt is the HMAC key.
    if (!hmacSha256(salt, {clientDcid}, initialSecret) ||
        !expandLabel(initialSecret, client ? "client in" : "server in", secret, secretLength))
        return false;
    const std::string prefix = version == version1 ? "quic " : "quicv2 ";
    return expandLabel(secret, prefix + "key", keys.key.data(), keys.key.size()) &&
           expandLabel(secret, prefix + "iv", keys.iv.data(), keys.iv.size()) &&
           expandLabel(secret, prefix + "hp", keys.hp.data(), keys.hp.size());
}

std::vector<LongHeader> longHeaders(std::span<const uint8_t> datagram) {
    std::vector<LongHeader> packets;
    ByteReader rest(datagram);
    while (!rest.empty()) {
        const std::span<const uint8_t> start = rest.rest();
        ByteReader r(start);
        LongHeader h;
        const uint8_t first = r.u8();
        h.version = r.u32();
        h.dcid = r.bytes(r.u8());
        h.scid = r.bytes(r.u8());
        if (!r.ok() || (first & 0x80) == 0 || h.version == 0 || h.dcid.size() > maxConnectionIdLength ||
            h.scid.size() > maxConnectionIdLength)
            break;
        const uint8_t type = (first >> 4) & 0x03;
        const bool known = h.version == version1 || h.version == version2;
        // A Retry (type 3 in version 1, 0 in version 2) has no Length and ends the datagram;
        // so does a packet of an unknown version, whose layout past the IDs is unknown.
        if (!known || type == (h.version == version2 ? 0 : 3)) break;
        h.initial = type == initialType(h.version);
        if (h.initial) r.skip(varint(r));  // the token
        const uint64_t length = varint(r);
        if (!r.ok() || length > r.remaining()) break;
        h.packetNumberOffset = start.size() - r.remaining();
        const size_t size = h.packetNumberOffset + static_cast<size_t>(length);
        h.packet = rest.bytes(size);
        packets.push_back(h);
    }
    return packets;
}

bool decryptInitial(LongHeader const& packet, InitialKeys const& keys, std::vector<uint8_t>& frames) {
    frames.clear();
    // The sample starts 4 bytes after the packet number's first byte, whatever its length.
    ByteReader sampleReader(packet.packet);
    sampleReader.skip(packet.packetNumberOffset + 4);
    const std::span<const uint8_t> sample = sampleReader.bytes(sampleLength);
    if (!packet.initial || sample.empty()) return false;

    EVP_CIPHER_CTX* ctx = cipherContext(false);
    uint8_t mask[sampleLength + 16];
    int written = 0;
    if (!ctx || !aes128(false) || EVP_EncryptInit_ex2(ctx, aes128(false), keys.hp.data(), nullptr, nullptr) <= 0 ||
        EVP_CIPHER_CTX_set_padding(ctx, 0) <= 0 ||
        EVP_EncryptUpdate(ctx, mask, &written, sample.data(), int(sampleLength)) <= 0 || written != int(sampleLength))
        return false;

    // The unprotected header is the associated data.
    ByteReader numberReader(packet.packet);
    const std::span<const uint8_t> head = numberReader.bytes(packet.packetNumberOffset);
    if (head.empty()) return false;
    std::vector<uint8_t> header(head.begin(), head.end());
    header[0] ^= mask[0] & 0x0f;
    const size_t numberLength = (header[0] & 0x03) + 1;
    const std::span<const uint8_t> protectedNumber = numberReader.bytes(numberLength);
    if (protectedNumber.empty() || numberReader.remaining() < tagLength) return false;
    uint64_t number = 0;
    for (size_t i = 0; i < numberLength; ++i) {
        header.push_back(protectedNumber[i] ^ mask[1 + i]);
        number = number << 8 | header.back();
    }
    // A passive reader has no largest packet number to expand against; Initials start at 0
    // and are few, so the truncated number is the number.
    std::array<uint8_t, 12> nonce = keys.iv;
    for (size_t i = 0; i < 8; ++i) nonce[nonce.size() - 1 - i] ^= uint8_t(number >> (8 * i));

    const std::span<const uint8_t> sealed = numberReader.bytes(numberReader.remaining());
    const std::span<const uint8_t> ciphertext = sealed.first(sealed.size() - tagLength);
    const std::span<const uint8_t> tag = sealed.last(tagLength);
    frames.resize(ciphertext.size() + 16);
    int plain = 0, ignored = 0;
    EVP_CIPHER_CTX* gcm = cipherContext(true);
    const bool ok =
        gcm && aes128(true) && EVP_DecryptInit_ex2(gcm, aes128(true), keys.key.data(), nonce.data(), nullptr) > 0 &&
        EVP_DecryptUpdate(gcm, nullptr, &ignored, header.data(), int(header.size())) > 0 &&
        EVP_DecryptUpdate(gcm, frames.data(), &plain, ciphertext.data(), int(ciphertext.size())) > 0 &&
        EVP_CIPHER_CTX_ctrl(gcm, EVP_CTRL_GCM_SET_TAG, int(tagLength), const_cast<uint8_t*>(tag.data())) > 0 &&
        EVP_DecryptFinal_ex(gcm, frames.data() + plain, &ignored) > 0;
    frames.resize(ok ? size_t(plain) : 0);
    return ok;
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
    const std::vector<LongHeader> packets = longHeaders(datagram);
    InitialKeys keys;
    std::vector<uint8_t> frames;
    return !packets.empty() && packets.front().initial &&
           deriveInitialKeys(packets.front().version, packets.front().dcid, true, keys) &&
           decryptInitial(packets.front(), keys, frames);
}

}  // namespace quic
