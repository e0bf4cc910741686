#include "tls/handshake_views.h"

#include <algorithm>

namespace {

constexpr size_t HELLO_RANDOM_LENGTH = 32;
constexpr uint8_t helloRetryRequestRandom[HELLO_RANDOM_LENGTH] = {
    0xCF, 0x21, 0xAD, 0x74, 0xE5, 0x9A, 0x61, 0x11, 0xBE, 0x1D, 0x8C, 0x02, 0x1E, 0x65, 0xB8, 0x91,
    0xC2, 0xA2, 0x11, 0x16, 0x7A, 0xBB, 0x8C, 0x5E, 0x07, 0x9E, 0x09, 0xE2, 0xC8, 0xA8, 0x33, 0x9C};

// The body of a message as far as its bytes go, within what its header declares.
ByteView messageBody(ByteView message, uint8_t& type) {
    ByteReader header(message);
    type = header.u8();
    const uint32_t declared = header.u24();
    if (!header.ok()) return {};
    ByteView rest = header.rest();
    return rest.first(std::min<size_t>(declared, rest.size()));
}

// The extensions block after its 2-byte length; none when the message ends before it.
Extensions extensionsAt(ByteReader& hello) {
    if (hello.empty()) return {};  // the message ends right after the fixed part
    const uint16_t total = hello.u16();
    if (!hello.ok()) return {};
    ByteView block = hello.rest();
    return Extensions{block.first(std::min<size_t>(total, block.size()))};
}

template <typename Number>
std::optional<Number> readIf(ByteReader& reader, Number value) {
    return reader.ok() ? std::optional<Number>(value) : std::nullopt;
}

}  // namespace

size_t declaredMessageLength(ByteView bytes) {
    ByteReader header(bytes);
    header.skip(1);
    const uint32_t bodyLength = header.u24();
    return header.ok() ? static_cast<size_t>(bodyLength) + HANDSHAKE_HEADER_LENGTH : 0;
}

ClientHelloView readClientHello(ByteView message, bool dtls) {
    ClientHelloView view;
    ByteReader hello(messageBody(message, view.type));
    view.legacyVersion = readIf(hello, hello.u16());
    hello.skip(HELLO_RANDOM_LENGTH);
    hello.skip(hello.u8());  // session_id
    if (dtls) hello.skip(hello.u8());  // cookie
    view.cipherSuites.bytes = hello.bytes(hello.u16());
    view.compressionMethods = hello.bytes(hello.u8());
    view.fixedPartRead = hello.ok();
    if (view.fixedPartRead) view.extensions = extensionsAt(hello);
    return view;
}

ServerHelloView readServerHello(ByteView message) {
    ServerHelloView view;
    ByteReader hello(messageBody(message, view.type));
    view.legacyVersion = readIf(hello, hello.u16());
    const ByteView random = hello.bytes(HELLO_RANDOM_LENGTH);
    view.helloRetryRequest = std::ranges::equal(random, helloRetryRequestRandom);
    hello.skip(hello.u8());  // session_id
    view.cipherSuite = readIf(hello, hello.u16());
    view.compressionMethod = readIf(hello, hello.u8());
    if (view.compressionMethod) view.extensions = extensionsAt(hello);
    return view;
}

CertificateView readCertificate(ByteView message) {
    uint8_t type = 0;
    return CertificateView{messageBody(message, type)};
}

ServerKeyExchangeView readServerKeyExchange(ByteView message) {
    uint8_t type = 0;
    return ServerKeyExchangeView{messageBody(message, type)};
}

CertificateRequestView readCertificateRequest(ByteView message) {
    uint8_t type = 0;
    return CertificateRequestView{messageBody(message, type)};
}

std::optional<uint16_t> ServerKeyExchangeView::namedCurve() const {
    ByteReader params(body);
    params.skip(1);  // curve type
    return readIf(params, params.u16());
}

std::optional<uint32_t> ServerKeyExchangeView::primeBits() const {
    ByteReader params(body);
    const uint16_t primeLength = params.u16();
    return readIf(params, static_cast<uint32_t>(primeLength) * 8);
}

std::optional<ByteView> serverName(ByteView data) {
    ByteReader names(data);
    names.skip(3);  // list length and name type
    ByteView name = names.bytes(names.u16());
    return names.ok() ? std::optional<ByteView>(name) : std::nullopt;
}

std::optional<bool> renegotiated(ByteView data) {
    ByteReader info(data);
    const uint8_t length = info.u8();
    return readIf(info, length != 0);
}

std::optional<uint16_t> selectedVersion(ByteView data) {
    ByteReader version(data);
    return readIf(version, version.u16());
}

std::optional<uint16_t> keyShareGroup(ByteView data) {
    ByteReader share(data);
    return readIf(share, share.u16());
}

U16List offeredVersions(ByteView data) {
    ByteReader list(data);
    return U16List{list.bytes(list.u8())};
}

U16List u16ListExtension(ByteView data) {
    ByteReader list(data);
    return U16List{list.bytes(list.u16())};
}
