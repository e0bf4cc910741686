#pragma once
// Views of single handshake messages: spans into the message's bytes and numbers, nothing
// copied. The monitor fills its row from them and the report reads saved hellos through
// them, so both read the same bytes the same way. Each reader takes exactly one handshake
// message, 4-byte header first, from whatever transport carried it; a message shorter than
// its header declares is read as far as its bytes go.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "base/byte_reader.h"

namespace handshake_type {
constexpr uint8_t CLIENT_HELLO = 1;
constexpr uint8_t SERVER_HELLO = 2;
constexpr uint8_t HELLO_RETRY_REQUEST = 6;
constexpr uint8_t CERTIFICATE = 11;
constexpr uint8_t SERVER_KEY_EXCHANGE = 12;
constexpr uint8_t CERTIFICATE_REQUEST = 13;
}  // namespace handshake_type

namespace extension_type {
constexpr uint16_t SERVER_NAME = 0x0000;
constexpr uint16_t SUPPORTED_GROUPS = 0x000a;
constexpr uint16_t SIGNATURE_ALGORITHMS = 0x000d;
constexpr uint16_t ALPN = 0x0010;
constexpr uint16_t SUPPORTED_VERSIONS = 0x002b;
constexpr uint16_t KEY_SHARE = 0x0033;
constexpr uint16_t RENEGOTIATION_INFO = 0xff01;
}  // namespace extension_type

using ByteView = std::span<const uint8_t>;

constexpr size_t HANDSHAKE_HEADER_LENGTH = 4;

// Length of the handshake message at the start of `bytes`, header included, as its header
// declares; 0 when the 4-byte header itself does not fit.
size_t declaredMessageLength(ByteView bytes);

// A list of 16-bit values (cipher suites, groups, versions, signature algorithms).
struct U16List {
    ByteView bytes;
    size_t size() const { return bytes.size() / 2; }
    template <typename Visit>
    void forEach(Visit visit) const {
        ByteReader list(bytes);
        while (list.remaining() >= 2) visit(list.u16());
    }
};

struct Extension {
    uint16_t type = 0;
    ByteView data;
};

// The extensions of a hello. The one rule for a malformed block: a block that claims more
// bytes than the message holds is walked as far as it goes, and the first extension that
// does not fit ends the walk; the extensions before it count.
struct Extensions {
    ByteView block;
    template <typename Visit>
    void forEach(Visit visit) const {
        ByteReader walk(block);
        while (!walk.empty()) {
            const uint16_t type = walk.u16();
            const uint16_t length = walk.u16();
            ByteView data = walk.bytes(length);
            if (!walk.ok()) return;
            visit(Extension{type, data});
        }
    }
};

struct ClientHelloView {
    uint8_t type = 0;
    std::optional<uint16_t> legacyVersion;
    U16List cipherSuites;
    ByteView compressionMethods;
    bool fixedPartRead = false;  // everything before the extensions fits
    Extensions extensions;
};
// A DTLS ClientHello carries a cookie after its session_id.
ClientHelloView readClientHello(ByteView message, bool dtls = false);

// Also reads a HelloRetryRequest, which has the same layout.
struct ServerHelloView {
    uint8_t type = 0;
    std::optional<uint16_t> legacyVersion;
    std::optional<uint16_t> cipherSuite;
    std::optional<uint8_t> compressionMethod;
    Extensions extensions;  // walked only when the compression method was read
    bool helloRetryRequest = false;  // its random is the HelloRetryRequest value (RFC 8446 4.1.3)
};
ServerHelloView readServerHello(ByteView message);

// The certificate_list of a Certificate message (the layout before TLS 1.3, which
// encrypts it). visit(certificate, isLeaf) for each entry in order; an entry that does not
// fit ends the walk, and so does the entry that reaches the declared list length.
struct CertificateView {
    ByteView body;
    template <typename Visit>
    void forEach(Visit visit) const {
        ByteReader list(body);
        int64_t total = list.u24();
        if (!list.ok() || total == 0) return;
        for (bool leaf = true;; leaf = false) {
            const uint32_t length = list.u24();
            ByteView certificate = list.bytes(length);
            if (!list.ok()) return;
            total -= static_cast<int64_t>(length) + 3;
            visit(certificate, leaf);
            if (total <= 0) return;
        }
    }
};
CertificateView readCertificate(ByteView message);

struct ServerKeyExchangeView {
    ByteView body;
    // ECParameters: the curve type byte, then the named curve.
    std::optional<uint16_t> namedCurve() const;
    // ServerDHParams: the length of the prime p in bits.
    std::optional<uint32_t> primeBits() const;
};
ServerKeyExchangeView readServerKeyExchange(ByteView message);

// The monitor only notes that a CertificateRequest came; its body is there for readers
// that want more.
struct CertificateRequestView {
    ByteView body;
};
CertificateRequestView readCertificateRequest(ByteView message);

// --- extension data ------------------------------------------------------------------
// The first host name of server_name (the list length and name type are not checked).
std::optional<ByteView> serverName(ByteView data);
// renegotiation_info: whether renegotiated_connection is non-empty.
std::optional<bool> renegotiated(ByteView data);
// supported_versions of a ServerHello, and the named group of its key_share.
std::optional<uint16_t> selectedVersion(ByteView data);
std::optional<uint16_t> keyShareGroup(ByteView data);
// Lists of a ClientHello; a list that claims more than its extension holds is empty.
U16List offeredVersions(ByteView data);     // supported_versions
U16List u16ListExtension(ByteView data);    // supported_groups, signature_algorithms
template <typename Visit>
void forEachKeyShareGroup(ByteView data, Visit visit) {
    ByteReader entries(data);
    ByteReader list = entries.sub(entries.u16());
    while (!list.empty()) {
        const uint16_t group = list.u16();
        list.skip(list.u16());
        if (!list.ok()) break;
        visit(group);
    }
}
// application_layer_protocol_negotiation: each protocol name in order.
template <typename Visit>
void forEachAlpnProtocol(ByteView data, Visit visit) {
    ByteReader entries(data);
    ByteReader list = entries.sub(entries.u16());
    while (!list.empty()) {
        ByteView name = list.bytes(list.u8());
        if (!list.ok()) break;
        visit(name);
    }
}
