#include "tls/quic_initial.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <string>

namespace {

std::vector<uint8_t> hex(std::string const& text) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}
template <size_t N>
std::vector<uint8_t> bytesOf(std::array<uint8_t, N> const& a) {
    return {a.begin(), a.end()};
}

const std::vector<uint8_t> rfcDcid = hex("8394c8f03e515708");

// RFC 9001 Appendix A (version 1) and RFC 9369 Appendix A (version 2): the keys of both
// sides for the same client Destination Connection ID, and (version 1) the server's
// Initial, which holds an ACK and a CRYPTO frame with the ServerHello. Version 2 packets
// are read from a real capture below.
struct Vector {
    uint32_t version;
    std::string clientKey, clientIv, clientHp, serverKey, serverIv, serverHp, serverInitial;
};
const std::vector<Vector> vectors = {
    {quic::version1, "1f369613dd76d5467730efcbe3b1a22d", "fa044b2f42a3fd3b46fb255c", "9f50449e04a0e810283a1e9933adedd2",
     "cf3a5331653c364c88f0f379b6067e37", "0ac1493ca1905853b0bba03e", "c206b8d9b9f0f37644430b490eeaa314",
     "cf000000010008f067a5502a4262b5004075c0d95a482cd0991cd25b0aac406a5816b6394100f37a1c69797554780bb38cc5a99f5ede4c"
     "f73c3ec2493a1839b3dbcba3f6ea46c5b7684df3548e7ddeb9c3bf9c73cc3f3bded74b562bfb19fb84022f8ef4cdd93795d77d06edbb7a"
     "af2f58891850abbdca3d20398c276456cbc42158407dd074ee"},
    {quic::version2, "8b1a0bc121284290a29e0971b5cd045d", "91f73e2351d8fa91660e909f", "45b95e15235d6f45a6b19cbcb0294ba9",
     "82db637861d55e1d011f19ea71d5d2a7", "dd13c276499c0249d3310652", "edf6d05c83121201b436e16877593c3a",
     ""},
};
const std::string serverFrames =
    "02000000000600405a020000560303eefce7f7b37ba1d1632e96677825ddf73988cfc79825df566dc5430b9a045a1200130100002e00"
    "330024001d00209d3c940d89690b84d08a60993c144eca684d1081287c834d5311bcf32bb9da1a002b00020304";

// A client Initial to rfcDcid with a one-byte packet number, carrying `frames` padded to
// 1,200 bytes, sealed and header-protected as a client does (RFC 9001 5).
std::vector<uint8_t> clientInitial(uint32_t version, std::vector<uint8_t> frames, uint8_t number) {
    quic::InitialKeys keys;
    EXPECT_TRUE(quic::deriveInitialKeys(version, rfcDcid, true, keys));
    std::vector<uint8_t> packet = {uint8_t(version == quic::version2 ? 0xd0 : 0xc0), uint8_t(version >> 24),
                                   uint8_t(version >> 16), uint8_t(version >> 8), uint8_t(version), 8};
    packet.insert(packet.end(), rfcDcid.begin(), rfcDcid.end());
    const size_t headerLength = packet.size() + 5;  // SCID and token lengths, Length, number
    frames.resize(1200 - headerLength - 16);
    const size_t length = 1 + frames.size() + 16;
    packet.insert(packet.end(), {0, 0, uint8_t(0x40 | length >> 8), uint8_t(length), number});
    std::array<uint8_t, 12> nonce = keys.iv;
    nonce[11] ^= number;
    packet.resize(1200);
    int written = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex2(ctx, EVP_aes_128_gcm(), keys.key.data(), nonce.data(), nullptr);
    EVP_EncryptUpdate(ctx, nullptr, &written, packet.data(), int(headerLength));
    EVP_EncryptUpdate(ctx, packet.data() + headerLength, &written, frames.data(), int(frames.size()));
    EVP_EncryptFinal_ex(ctx, nullptr, &written);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, packet.data() + 1200 - 16);
    uint8_t mask[32];
    EVP_EncryptInit_ex2(ctx, EVP_aes_128_ecb(), keys.hp.data(), nullptr, nullptr);
    EVP_EncryptUpdate(ctx, mask, &written, packet.data() + headerLength + 3, 16);
    EVP_CIPHER_CTX_free(ctx);
    packet[0] ^= mask[0] & 0x0f;
    packet[headerLength - 1] ^= mask[1];
    return packet;
}

}  // namespace

TEST(QuicInitial, KeysAndServerInitialOfTheRfcVectors) {
    for (auto const& v : vectors) {
        SCOPED_TRACE(v.version);
        quic::InitialKeys client, server;
        ASSERT_TRUE(quic::deriveInitialKeys(v.version, rfcDcid, true, client));
        ASSERT_TRUE(quic::deriveInitialKeys(v.version, rfcDcid, false, server));
        EXPECT_EQ(bytesOf(client.key), hex(v.clientKey));
        EXPECT_EQ(bytesOf(client.iv), hex(v.clientIv));
        EXPECT_EQ(bytesOf(client.hp), hex(v.clientHp));
        EXPECT_EQ(bytesOf(server.key), hex(v.serverKey));
        EXPECT_EQ(bytesOf(server.iv), hex(v.serverIv));
        EXPECT_EQ(bytesOf(server.hp), hex(v.serverHp));

        if (v.serverInitial.empty()) continue;
        const std::vector<uint8_t> datagram = hex(v.serverInitial);
        auto const packets = quic::longHeaders(datagram);
        ASSERT_EQ(packets.size(), 1u);
        EXPECT_TRUE(packets[0].initial);
        std::vector<uint8_t> frames;
        ASSERT_TRUE(quic::decryptInitial(packets[0], server, frames));
        EXPECT_EQ(frames, hex(serverFrames));
        EXPECT_FALSE(quic::decryptInitial(packets[0], client, frames)) << "the wrong side's keys do not authenticate";

        // The same packet twice in one datagram (coalesced), read as the server's.
        std::vector<uint8_t> twice = datagram;
        twice.insert(twice.end(), datagram.begin(), datagram.end());
        quic::CryptoStream stream;
        std::vector<uint8_t> dcid = rfcDcid;
        EXPECT_EQ(quic::readInitials(twice, false, dcid, stream), 2u);
        ASSERT_EQ(stream.contiguous().size(), 90u);
        EXPECT_EQ(stream.contiguous()[0], 2) << "a ServerHello";
    }
    quic::InitialKeys keys;
    EXPECT_FALSE(quic::deriveInitialKeys(0xff00001d, rfcDcid, true, keys)) << "drafts are not read";
}

// A connection is followed from a datagram whose client Initial decrypts. A forged one is
// turned away by its first frame before the whole AEAD, so every frame an Initial may
// begin with must pass that look, and a packet that passes it must still authenticate.
TEST(QuicInitial, ClientInitialsThatOpenAConnection) {
    struct Case {
        std::string frames;  // the start of the payload, in hex
        uint8_t number;
        bool opens;
        size_t damaged = 0;  // a byte flipped this far from the end, when not 0
    };
    const std::vector<Case> cases = {
        {"060004010000", 0, true},            // CRYPTO
        {"0000060004010000", 7, true},        // PADDING first, as some clients scatter frames
        {"01060004010000", 1, true},          // PING
        {"0200000000", 2, true},              // ACK
        {"0300000000000000", 3, true},        // ACK with ECN counts
        {"1c00000000", 4, true},              // CONNECTION_CLOSE
        {"1d00000000", 5, false},             // the application's CONNECTION_CLOSE: not in an Initial
        {"0800", 6, false},                   // STREAM: not in an Initial
        {"060004010000", 8, false, 1},        // a tag that does not authenticate
        {"060004010000", 9, false, 600},      // a payload changed past its first block
    };
    for (uint32_t version : {quic::version1, quic::version2})
        for (Case const& c : cases) {
            std::vector<uint8_t> datagram = clientInitial(version, hex(c.frames), c.number);
            if (c.damaged) datagram[datagram.size() - c.damaged] ^= 0x01;
            EXPECT_EQ(quic::startsWithClientInitial(datagram), c.opens) << version << " " << c.frames;
        }
}
