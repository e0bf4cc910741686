#include "tls/tls.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "base/hex.h"
#include "base/log.h"
#include "capture/packet.h"
#include "tls/settings.h"
#include "tls/tables.h"

namespace {

constexpr size_t HELLO_RANDOM_LENGTH = 32;
constexpr uint8_t FATAL_ALERT_LEVEL = 2;
constexpr size_t HANDSHAKE_HEADER_LENGTH = 4;
// The longest handshake message (header included) joined across records; a longer
// declaration is taken for garbage rather than buffered.
constexpr size_t MAX_JOINED_MESSAGE = 65536;

// Length of the handshake message at the reader, header included; 0 when the 4-byte
// header itself does not fit. The reader does not move.
size_t declaredLength(ByteReader message) {
    message.skip(1);
    const uint32_t bodyLength = message.u24();
    return message.ok() ? static_cast<size_t>(bodyLength) + HANDSHAKE_HEADER_LENGTH : 0;
}

// Calls visit(type, data) for each extension of a hello, starting at the 2-byte block
// length. A block that claims more than the message holds is walked as far as it goes;
// an extension that does not fit ends the walk.
template <typename Visit>
void walkExtensions(ByteReader& hello, Visit visit) {
    if (hello.empty()) return;  // the message ends right after the fixed part: no extensions
    const uint16_t total = hello.u16();
    if (!hello.ok()) return;
    auto block = hello.rest();
    ByteReader extensions(block.first(std::min<size_t>(total, block.size())));
    while (!extensions.empty()) {
        const uint16_t type = extensions.u16();
        const uint16_t length = extensions.u16();
        ByteReader data = extensions.sub(length);
        if (!extensions.ok()) return;
        visit(type, data);
    }
}

// Bit length of the RSA modulus in a DER certificate's public key (rsaEncryption or
// RSASSA-PSS); none for any other key or a certificate libcrypto cannot read. libcrypto
// reads at most the span's bytes.
std::optional<int> rsaModulusBits(std::span<const uint8_t> der) {
    if (der.empty()) return std::nullopt;
    const unsigned char* cursor = der.data();
    std::unique_ptr<X509, decltype(&X509_free)> certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())),
                                                            &X509_free);
    std::optional<int> bits;
    if (EVP_PKEY* key = certificate ? X509_get0_pubkey(certificate.get()) : nullptr) {
        const int kind = EVP_PKEY_get_base_id(key);
        const int size = EVP_PKEY_get_bits(key);
        if ((kind == EVP_PKEY_RSA || kind == EVP_PKEY_RSA_PSS) && size > 0) bits = size;
    }
    ERR_clear_error();  // a failed parse leaves its reasons on this thread's queue
    return bits;
}
}  // namespace

bool TLSProtocolProcessor::canProcess(std::shared_ptr<Packet> const& packet) const {
    return packet && sameKey(packet->key, directionKey);
}

void TLSProtocolProcessor::process(std::shared_ptr<Packet> const& packet) {
    if (finished || !packet) return;
    extractor.process(packet);
    while (extractor.hasMoreRecords()) {
        TLSRecord const& record = extractor.nextRecord();
        // Only handshake records continue a message cut short; anything else ends it.
        if (record.type != content_type::HANDSHAKE) dropPartialMessage();
        if (!record.captured) {
            // Application data, an unknown type or an empty record: this direction's
            // handshake is over, but records already cut from this segment still count.
            finished = true;
            continue;
        }
        switch (record.type) {
        case content_type::ALERT:
            handleAlert(record, *packet);
            if (features->fatalAlertSeen) return;
            break;
        case content_type::CHANGE_CIPHER_SPEC:
            finished = true;
            if (isServer)
                features->serverChangeCipherSpecSeen = true;
            else
                features->clientChangeCipherSpecSeen = true;
            VARNO_LOG(info) << "ChangeCipherSpec -> [" << packet->key << "]";
            return;
        case content_type::HANDSHAKE:
            walkHandshakeRecord(record, *packet);
            break;
        default:
            break;
        }
    }
}

void TLSProtocolProcessor::handleAlert(TLSRecord const& record, Packet const& packet) {
    // A captured record holds at least one byte, but the reader keeps that from mattering.
    ByteReader alert(record.payload());
    const uint8_t level = alert.u8();
    const uint8_t description = alert.u8();
    if (!alert.ok()) {
        // Too short to carry a description; never taken as fatal.
        VARNO_LOG(info) << "alert message: level (" << unsigned(level) << "), desc () -> [" << packet.key << "]";
        return;
    }
    VARNO_LOG(info) << "alert message: level (" << unsigned(level) << "), desc (" << unsigned(description)
                    << ") -> [" << packet.key << "]";
    if (level == FATAL_ALERT_LEVEL) features->fatalAlertSeen = true;
}

void TLSProtocolProcessor::walkHandshakeRecord(TLSRecord const& record, Packet const& packet) {
    if (!joinsMessages) {
        walkRecordAlone(ByteReader(record.payload()), packet);
        return;
    }
    ByteReader body(record.payload());
    auto carry = [&](size_t wanted) {
        auto more = body.bytes(std::min(wanted, body.remaining()));
        partialMessage.insert(partialMessage.end(), more.begin(), more.end());
    };
    if (holdsPartialMessage()) {
        // The header first, then the rest of the body the header declares.
        if (partialMessage.size() < HANDSHAKE_HEADER_LENGTH) carry(HANDSHAKE_HEADER_LENGTH - partialMessage.size());
        if (partialMessage.size() < HANDSHAKE_HEADER_LENGTH) return;
        const size_t length = declaredLength(ByteReader(partialMessage));
        if (length > MAX_JOINED_MESSAGE) {
            // Too long to join after all: this record and the later ones are read alone.
            dropPartialMessage();
            joinsMessages = false;
            walkRecordAlone(ByteReader(record.payload()), packet);
            return;
        }
        partialMessage.reserve(length);
        carry(length - partialMessage.size());
        if (partialMessage.size() < length) return;
        // Moved out first, so the memory goes as soon as the message has been handled.
        const std::vector<uint8_t> joined = std::exchange(partialMessage, {});
        handleMessage(packet, joined, true);
    }
    while (!body.empty()) {
        const size_t length = declaredLength(body);
        if (length > MAX_JOINED_MESSAGE) {
            joinsMessages = false;
            walkRecordAlone(body, packet);
            return;
        }
        if (length == 0 || length > body.remaining()) {
            // A header or a message cut by the end of the record: kept for the next one.
            partialMessage.reserve(std::max(length, HANDSHAKE_HEADER_LENGTH));
            carry(body.remaining());
            return;
        }
        handleMessage(packet, body.bytes(length), true);
    }
}

// Each message read within this record alone: one that runs past the record's end is
// parsed as far as it goes, but never saved raw, since its bytes are incomplete.
void TLSProtocolProcessor::walkRecordAlone(ByteReader messages, Packet const& packet) {
    while (!messages.empty()) {
        const size_t length = declaredLength(messages);
        if (length == 0) break;  // a message header cut by the end of the record
        const bool whole = messages.remaining() >= length;
        handleMessage(packet, messages.bytes(std::min(length, messages.remaining())), whole);
    }
}

void TLSProtocolProcessor::handleMessage(Packet const& packet, std::span<const uint8_t> message, bool whole) {
    auto const& settings = AnalysisSettings::instance();
    ByteReader header(message);
    const uint8_t type = header.u8();
    if (!header.ok()) return;
    if (settings.savesMessageType(type)) {
        if (whole) saveRawData(message, type);
        VARNO_LOG(info) << "saved HandshakeMessageType - (" << unsigned(type) << ") -> [" << packet.key << "]";
    }
    switch (type) {
    case handshake_type::CLIENT_HELLO:
        parseClientHello(packet, message);
        break;
    case handshake_type::SERVER_HELLO:
    case handshake_type::HELLO_RETRY_REQUEST:
        parseServerHello(packet, message);
        break;
    case handshake_type::CERTIFICATE:
        // An RSA suite needs the leaf's key size even when certificates are not kept.
        if (isRsaKeyExchange || settings.certificates) parseCertificate(packet, message, settings.certificates);
        break;
    case handshake_type::SERVER_KEY_EXCHANGE:
        parseServerKeyExchange(packet, message);
        break;
    case handshake_type::CERTIFICATE_REQUEST:
        parseCertificateRequest(packet, message);
        break;
    default:
        break;
    }
}

void TLSProtocolProcessor::setVersion(int version) {
    auto it = tlsVersions.find(version);
    if (it != tlsVersions.end()) features->tlsVersion = it->second;
}

void TLSProtocolProcessor::saveRawData(std::span<const uint8_t> message, int type) {
    auto it = saveHandshakeTypes.find(type);
    if (it == saveHandshakeTypes.end()) return;
    std::string name = type == handshake_type::CERTIFICATE ? (isServer ? "ServerCertificates" : "ClientCertificates") : it->second;
    features->handshakeMessages.try_emplace(std::move(name), message.begin(), message.end());
}

void TLSProtocolProcessor::setAddresses(Packet const& packet, bool sourceIsClient) {
    FlowKey const& key = packet.key;
    SeenEndpoints& seen = features->endpoints;
    if (packet.ethernetHeader) {
        const uint8_t* destination = packet.ethernetHeader;
        const uint8_t* source = packet.ethernetHeader + 6;
        std::copy_n(sourceIsClient ? source : destination, 6, seen.clientMac.begin());
        std::copy_n(sourceIsClient ? destination : source, 6, seen.serverMac.begin());
        seen.macsSet = true;
    }
    seen.client = sourceIsClient ? key.srcAddress : key.dstAddress;
    seen.server = sourceIsClient ? key.dstAddress : key.srcAddress;
    seen.clientPort = sourceIsClient ? key.srcPort : key.dstPort;
    seen.serverPort = sourceIsClient ? key.dstPort : key.srcPort;
    seen.ipVersion = key.ipVersion;
    seen.set = true;
}

void TLSFeatures::formatAddresses() {
    if (endpoints.macsSet) {
        clientMACAddress = ethernetToString(endpoints.clientMac.data());
        serverMACAddress = ethernetToString(endpoints.serverMac.data());
    }
    if (!endpoints.set) return;
    clientIPAddress = addressToString(endpoints.client, endpoints.ipVersion);
    clientPortNumber = std::to_string(endpoints.clientPort);
    serverIPAddress = addressToString(endpoints.server, endpoints.ipVersion);
    serverPortNumber = std::to_string(endpoints.serverPort);
}

void TLSProtocolProcessor::parseClientHello(Packet const& packet, std::span<const uint8_t> message) {
    isServer = false;
    features->connectionTimestamp = packet.timestamp();
    setAddresses(packet, true);

    ByteReader hello(message);
    hello.skip(4);
    const uint16_t legacy = hello.u16();
    if (hello.ok() && !versionFixed && features->tlsVersion != "TLSv1.3") {
        setVersion(legacy);
        versionFixed = true;
    }
    hello.skip(HELLO_RANDOM_LENGTH);
    hello.skip(hello.u8());   // session_id
    hello.skip(hello.u16());  // cipher_suites
    const uint8_t methods = hello.u8();
    auto compression = hello.bytes(methods);
    if (hello.ok()) {
        // The last offered method decides; an empty list offers none.
        features->isCompressed = !compression.empty() && compression.back() != 0;
        walkExtensions(hello, [this](uint16_t type, ByteReader data) {
            if (type == extension_type::SERVER_NAME)
                parseSNIExt(data);
            else if (type == extension_type::RENEGOTIATION_INFO)
                parseRenegotiationExt(data);
        });
    }
    features->clientHelloSeen = true;
    VARNO_LOG(info) << "processed ClientHello -> [" << packet.key << "]";
}

void TLSProtocolProcessor::parseSNIExt(ByteReader extension) {
    // The first entry of the server_name list; the list length and name type are not checked.
    extension.skip(3);
    const uint16_t length = extension.u16();
    auto name = extension.bytes(length);
    if (extension.ok()) features->sni.assign(name.begin(), name.end());
}

void TLSProtocolProcessor::parseRenegotiationExt(ByteReader extension) {
    const uint8_t renegotiatedLength = extension.u8();
    if (extension.ok()) features->isRenegotiated = renegotiatedLength != 0;
}

int TLSProtocolProcessor::parseSupportedVersionsExt(ByteReader extension) {
    const uint16_t selected = extension.u16();
    return extension.ok() ? selected : 0;
}

void TLSProtocolProcessor::parseKeyShareExt(ByteReader extension, bool capture) {
    if (capture) {
        auto data = extension.rest();
        features->keyShareExtension.assign(data.begin(), data.end());
    }
    const uint16_t group = extension.u16();
    if (extension.ok()) features->tls13KexNamedGroupCodePoint = hex4(group);
}

void TLSProtocolProcessor::parseServerHello(Packet const& packet, std::span<const uint8_t> message) {
    isServer = true;
    if (features->connectionTimestamp == 0) features->connectionTimestamp = packet.timestamp();
    setAddresses(packet, false);

    ByteReader hello(message);
    hello.skip(4);
    const uint16_t legacy = hello.u16();
    const bool legacyRead = hello.ok();
    hello.skip(HELLO_RANDOM_LENGTH);
    hello.skip(hello.u8());  // session_id
    const uint16_t suite = hello.u16();
    int selected = 0;
    if (hello.ok()) {
        features->cipherSuiteCodePoint = hex4(suite);
        if (keyExchangeName(features->cipherSuiteCodePoint) == "RSA") isRsaKeyExchange = true;
        const uint8_t compression = hello.u8();
        if (hello.ok()) {
            features->isCompressed = compression != 0;
            const bool keyShare = AnalysisSettings::instance().keyShare;
            walkExtensions(hello, [&](uint16_t type, ByteReader data) {
                if (type == extension_type::KEY_SHARE)
                    parseKeyShareExt(data, keyShare);
                else if (type == extension_type::RENEGOTIATION_INFO)
                    parseRenegotiationExt(data);
                else if (type == extension_type::SUPPORTED_VERSIONS)
                    selected = parseSupportedVersionsExt(data);
            });
        }
    }
    if (legacyRead) setVersion(std::max<int>(legacy, selected));
    features->serverHelloSeen = true;
    VARNO_LOG(info) << "processed ServerHello -> [" << packet.key << "]";
}

void TLSProtocolProcessor::parseServerKeyExchange(Packet const& packet, std::span<const uint8_t> message) {
    std::string const& name = keyExchangeName(features->cipherSuiteCodePoint);
    ByteReader params(message);
    params.skip(4);
    if (name == "ECDHE" || name == "ECDH") {
        params.skip(1);  // curve type
        const uint16_t curve = params.u16();
        if (params.ok()) features->kexParameter = hex4(curve);
    } else if (name == "DHE_RSA" || name == "DH_anon" || name == "DHE_DSS" || name == "FFDH") {
        const uint16_t primeLength = params.u16();
        if (params.ok()) features->kexParameter = std::to_string(static_cast<unsigned>(primeLength) * 8);
    }
    VARNO_LOG(info) << "processed ServerKeyExchange -> [" << packet.key << "]";
}

void TLSProtocolProcessor::parseCertificateRequest(Packet const& packet, std::span<const uint8_t>) {
    features->isClientAuthRequested = true;
    VARNO_LOG(info) << "processed CertificateRequest -> [" << packet.key << "]";
}

void TLSProtocolProcessor::parseCertificate(Packet const& packet, std::span<const uint8_t> message, bool capture) {
    ByteReader list(message);
    list.skip(4);
    int64_t total = list.u24();
    if (!list.ok() || total == 0) return;
    for (bool leaf = true;; leaf = false) {
        const uint32_t length = list.u24();
        auto certificate = list.bytes(length);
        if (!list.ok()) return;  // an entry that does not fit ends the walk
        total -= static_cast<int64_t>(length) + 3;
        // The key exchanged under an RSA suite is the leaf's, the first certificate's.
        if (leaf && isRsaKeyExchange) parseRSAKeyExchangeSize(certificate);
        if (capture) {
            auto& chain = isServer ? features->serverCertificateChain : features->clientCertificateChain;
            chain.emplace_back(certificate.begin(), certificate.end());
            VARNO_LOG(info) << "processed " << (isServer ? "server" : "client") << " certificate -> ["
                            << packet.key << "]";
        }
        if (total <= 0) return;
    }
}

void TLSProtocolProcessor::parseRSAKeyExchangeSize(std::span<const uint8_t> certificate) {
    // The same few server certificates come back in connection after connection, and a
    // full X.509 parse costs more than the rest of a flow's analysis: each analysis
    // thread remembers the answers for the certificates it has read.
    // Looked up by a view of the bytes: a hit copies nothing.
    struct ViewHash {
        using is_transparent = void;
        size_t operator()(std::string_view bytes) const { return std::hash<std::string_view>{}(bytes); }
    };
    constexpr size_t remembered = 1024;
    thread_local std::unordered_map<std::string, std::optional<int>, ViewHash, std::equal_to<>> known;
    const std::string_view der(reinterpret_cast<const char*>(certificate.data()), certificate.size());
    auto found = known.find(der);
    if (found == known.end()) {
        if (known.size() >= remembered) known.clear();
        found = known.emplace(std::string(der), rsaModulusBits(certificate)).first;
    }
    if (found->second) features->kexParameter = std::to_string(*found->second);
}

bool looksLikeTlsHello(std::span<const uint8_t> payload) {
    if (payload.size() <= 10) return false;
    ByteReader p(payload);
    const uint8_t contentType = p.u8();
    const uint8_t recordMajor = p.u8();
    const uint8_t recordMinor = p.u8();
    p.skip(2);  // record length, not examined
    const uint8_t handshakeType = p.u8();
    p.skip(3);  // handshake length, not examined
    const uint8_t helloMajor = p.u8();
    const uint8_t helloMinor = p.u8();
    return p.ok() && contentType == content_type::HANDSHAKE && recordMajor == 3 && helloMajor == 3 &&
           (handshakeType == handshake_type::CLIENT_HELLO || handshakeType == handshake_type::SERVER_HELLO) &&
           recordMinor <= 4 && helloMinor <= 4;
}
