#include "tls/tls.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "base/hex.h"
#include "base/log.h"
#include "capture/packet.h"
#include "tls/client_hello.h"
#include "tls/handshake_views.h"
#include "tls/settings.h"
#include "tls/registry.h"
#include "tls/tables.h"

namespace {

constexpr uint8_t FATAL_ALERT_LEVEL = 2;
constexpr uint16_t TLS13 = 0x0304;

// The last offered compression method decides; an empty list offers none.
bool offersCompression(ByteView methods) {
    if (methods.empty()) return false;
    ByteReader list(methods);
    list.skip(methods.size() - 1);
    return list.u8() != 0;
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
    return packet && packet->key == key;
}

void TLSProtocolProcessor::process(std::shared_ptr<Packet> const& packet) {
    if (finished || !packet) return;
    extractor.process(packet);
    while (extractor.hasMoreRecords()) {
        TLSRecord const& record = extractor.nextRecord();
        // Only handshake records continue a message cut short; anything else ends it.
        if (record.type != content_type::HANDSHAKE) stream.interrupt();
        if (!record.captured) {
            // Application data, an unknown type or an empty record: this direction's
            // handshake is over, but records already cut from this segment still count.
            finished = true;
            // A TLS 1.3 peer without middlebox compatibility mode sends no ChangeCipherSpec:
            // its first encrypted record shows that it went on with the handshake.
            if (record.type == content_type::APPLICATION_DATA) markChangeCipherSpec();
            continue;
        }
        if (record.ssl2ClientHello) {
            parseSsl2ClientHello(*packet);
            continue;
        }
        // A fatal alert or a ChangeCipherSpec ends the call; later records are not looked at.
        if (!handleRecord(record, *packet)) return;
    }
}

bool TLSProtocolProcessor::handleRecord(TLSRecord const& record, Packet const& packet) {
    switch (record.type) {
    case content_type::ALERT:
        handleAlert(record, packet);
        return !features->fatalAlertSeen;
    case content_type::CHANGE_CIPHER_SPEC:
        if (passesRetryChangeCipherSpec()) return true;
        handleChangeCipherSpec(packet);
        return false;
    case content_type::HANDSHAKE:
        stream.addRecord(record.payload());
        for (HandshakeStream::Message message; stream.next(message);) handleMessage(packet, message.bytes);
        if (stream.overflowed()) {
            // The message cannot be read whole, so nothing of this direction is trusted further.
            features->messageTooLong = true;
            finished = true;
            VARNO_LOG(debug) << "handshake message over " << HandshakeStream::maxJoined << " bytes -> [" << packet.key
                            << "]";
            return false;
        }
        return true;
    default:
        return true;
    }
}

void TLSProtocolProcessor::handleAlert(TLSRecord const& record, Packet const& packet) {
    // A captured record holds at least one byte, but the reader keeps that from mattering.
    ByteReader alert(record.payload());
    const uint8_t level = alert.u8();
    const uint8_t description = alert.u8();
    if (!alert.ok()) {
        // Too short to carry a description; never taken as fatal.
        VARNO_LOG(debug) << "alert message: level (" << unsigned(level) << "), desc () -> [" << packet.key << "]";
        return;
    }
    VARNO_LOG(debug) << "alert message: level (" << unsigned(level) << "), desc (" << unsigned(description)
                    << ") -> [" << packet.key << "]";
    if (level == FATAL_ALERT_LEVEL) features->fatalAlertSeen = true;
}

void TLSProtocolProcessor::handleChangeCipherSpec(Packet const& packet) {
    finished = true;
    markChangeCipherSpec();
    VARNO_LOG(debug) << "ChangeCipherSpec -> [" << packet.key << "]";
}

bool TLSProtocolProcessor::passesRetryChangeCipherSpec() {
    if (!features->helloRetryRequestSeen || helloSinceRetry || retryChangeCipherSpecPassed) return false;
    retryChangeCipherSpecPassed = true;
    return true;
}

void TLSProtocolProcessor::markChangeCipherSpec() {
    if (isServer)
        features->serverChangeCipherSpecSeen = true;
    else
        features->clientChangeCipherSpecSeen = true;
}

void TLSProtocolProcessor::handleMessage(Packet const& packet, std::span<const uint8_t> message) {
    ByteReader header(message);
    const uint8_t type = header.u8();
    if (!header.ok()) return;
    saveMessage(packet, message);
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
        parseCertificateRequest(packet);
        break;
    default:
        break;
    }
}

void TLSProtocolProcessor::saveMessage(Packet const& packet, std::span<const uint8_t> message) {
    if (!settings.hasMessageTypes) return;  // without -m nothing is saved: no need to look
    ByteReader header(message);
    const uint8_t type = header.u8();
    // Over TCP a HelloRetryRequest is kept apart from the ServerHello that follows it.
    const int savedAs = type == handshake_type::SERVER_HELLO && features->transport == TLSFeatures::Transport::Tcp &&
                                readServerHello(message).helloRetryRequest
                            ? handshake_type::HELLO_RETRY_REQUEST
                            : type;
    if (!header.ok() || !settings.savesMessageType(savedAs)) return;
    saveRawData(message, savedAs);
    VARNO_LOG(debug) << "saved HandshakeMessageType - (" << savedAs << ") -> [" << packet.key << "]";
}

// A code outside the version table leaves the version as it was.
void TLSProtocolProcessor::setVersion(uint16_t version) {
    const tls::Version known = tls::versionFromCode(version);
    if (known == tls::Version::Unknown) return;
    features->versionCode = version;
    features->tlsVersion = tls::versionText(known);
}

void TLSProtocolProcessor::saveRawData(std::span<const uint8_t> message, int type) {
    auto it = saveHandshakeTypes.find(type);
    if (it == saveHandshakeTypes.end()) return;
    std::string name = type == handshake_type::CERTIFICATE ? (isServer ? "ServerCertificates" : "ClientCertificates") : it->second;
    // From a pointer and a length: from a span's iterators the string copies byte by byte.
    features->handshakeMessages.try_emplace(std::move(name), reinterpret_cast<const char*>(message.data()),
                                            message.size());
}

void TLSProtocolProcessor::setAddresses(Packet const& packet, bool sourceIsClient) {
    FlowKey const& from = packet.key;
    SeenEndpoints& seen = features->endpoints;
    if (packet.ethernetHeader) {
        const uint8_t* destination = packet.ethernetHeader;
        const uint8_t* source = packet.ethernetHeader + 6;
        std::copy_n(sourceIsClient ? source : destination, 6, seen.clientMac.begin());
        std::copy_n(sourceIsClient ? destination : source, 6, seen.serverMac.begin());
        seen.macsSet = true;
    }
    seen.client = sourceIsClient ? from.srcAddress : from.dstAddress;
    seen.server = sourceIsClient ? from.dstAddress : from.srcAddress;
    seen.clientPort = sourceIsClient ? from.srcPort : from.dstPort;
    seen.serverPort = sourceIsClient ? from.dstPort : from.srcPort;
    seen.ipVersion = from.ipVersion;
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
    helloSinceRetry = features->helloRetryRequestSeen;
    features->connectionTimestamp = packet.timestamp();
    setAddresses(packet, true);

    const bool dtls = features->transport == TLSFeatures::Transport::Dtls;
    const ClientHelloView hello = readClientHello(message, dtls);
    // After a HelloRetryRequest the version is the server's: a second ClientHello leaves it.
    // DTLS takes its version from the ServerHello alone.
    if (hello.legacyVersion && !versionFixed && features->versionCode != TLS13 && !dtls) {
        setVersion(*hello.legacyVersion);
        versionFixed = true;
    }
    if (hello.fixedPartRead) {
        features->isCompressed = offersCompression(hello.compressionMethods);
        hello.extensions.forEach([this](Extension extension) {
            if (extension.type == extension_type::SERVER_NAME) {
                if (auto name = serverName(extension.data))
                    features->sni.assign(reinterpret_cast<const char*>(name->data()), name->size());
            } else if (extension.type == extension_type::RENEGOTIATION_INFO) {
                if (auto again = renegotiated(extension.data)) features->isRenegotiated = *again;
            }
        });
    }
    // JA4 describes the first hello: after a HelloRetryRequest the second one differs.
    if (settings.ja4 && features->ja4.empty()) setJa4(message);
    features->clientHelloSeen = true;
    VARNO_LOG(debug) << "processed ClientHello -> [" << packet.key << "]";
}

void TLSProtocolProcessor::setJa4(std::span<const uint8_t> message) {
    using Transport = TLSFeatures::Transport;
    // Each analysis thread keeps its own memo of the fingerprints it has seen.
    thread_local tls::ClientHelloInfo hello;
    thread_local tls::Ja4 ja4;
    const char protocol = features->transport == Transport::Quic   ? 'q'
                          : features->transport == Transport::Dtls ? 'd'
                                                                   : 't';
    if (tls::parseClientHello(message, hello, protocol)) features->ja4 = ja4.fingerprint(hello);
}

// Nothing is read from an SSL 2.0-format hello (it has no extensions, so no SNI): the
// version and the suite come from the server's answer.
void TLSProtocolProcessor::parseSsl2ClientHello(Packet const& packet) {
    isServer = false;
    features->connectionTimestamp = packet.timestamp();
    setAddresses(packet, true);
    features->clientHelloSeen = true;
    VARNO_LOG(debug) << "processed SSL 2.0 ClientHello -> [" << packet.key << "]";
}

void TLSProtocolProcessor::parseServerHello(Packet const& packet, std::span<const uint8_t> message) {
    isServer = true;
    if (features->connectionTimestamp == 0) features->connectionTimestamp = packet.timestamp();
    setAddresses(packet, false);

    const ServerHelloView hello = readServerHello(message);
    if (hello.cipherSuite) {
        features->cipherSuite = *hello.cipherSuite;
        features->cipherSuiteCodePoint = hex4(*hello.cipherSuite);
        features->keyExchange = tls::keyExchangeKind(*hello.cipherSuite);
        if (features->keyExchange == tls::KeyExchangeKind::Rsa) isRsaKeyExchange = true;
    }
    uint16_t selected = 0;
    if (hello.compressionMethod) {
        features->isCompressed = *hello.compressionMethod != 0;
        const bool keepKeyShare = settings.keyShare;
        // When an extension comes twice, the later one wins.
        hello.extensions.forEach([&](Extension extension) {
            if (extension.type == extension_type::KEY_SHARE) {
                if (keepKeyShare)
                    features->keyShareExtension.assign(reinterpret_cast<const char*>(extension.data.data()),
                                                       extension.data.size());
                if (auto group = keyShareGroup(extension.data)) features->tls13KexNamedGroupCodePoint = hex4(*group);
            } else if (extension.type == extension_type::RENEGOTIATION_INFO) {
                if (auto again = renegotiated(extension.data)) features->isRenegotiated = *again;
            } else if (extension.type == extension_type::SUPPORTED_VERSIONS) {
                selected = selectedVersion(extension.data).value_or(0);
            }
        });
    }
    if (hello.legacyVersion) setVersion(std::max(*hello.legacyVersion, selected));
    if (hello.helloRetryRequest && features->transport == TLSFeatures::Transport::Tcp) {
        features->helloRetryRequestSeen = true;  // the ServerHello the export waits for comes next
    } else {
        helloSinceRetry = features->helloRetryRequestSeen;
        features->serverHelloSeen = true;
    }
    VARNO_LOG(debug) << "processed ServerHello -> [" << packet.key << "]";
}

void TLSProtocolProcessor::parseServerKeyExchange(Packet const& packet, std::span<const uint8_t> message) {
    // The kind comes from the suite the ServerHello chose; without one nothing is measured.
    const ServerKeyExchangeView params = readServerKeyExchange(message);
    if (features->keyExchange == tls::KeyExchangeKind::Ecdh) {
        if (auto curve = params.namedCurve()) features->kexParameter = hex4(*curve);
    } else if (features->keyExchange == tls::KeyExchangeKind::FiniteField) {
        if (auto bits = params.primeBits()) features->kexParameter = std::to_string(*bits);
    }
    VARNO_LOG(debug) << "processed ServerKeyExchange -> [" << packet.key << "]";
}

void TLSProtocolProcessor::parseCertificateRequest(Packet const& packet) {
    features->isClientAuthRequested = true;
    VARNO_LOG(debug) << "processed CertificateRequest -> [" << packet.key << "]";
}

void TLSProtocolProcessor::parseCertificate(Packet const& packet, std::span<const uint8_t> message, bool capture) {
    readCertificate(message).forEach([&](ByteView certificate, bool leaf) {
        // The key exchanged under an RSA suite is the leaf's, the first certificate's.
        if (leaf && isRsaKeyExchange) parseRSAKeyExchangeSize(certificate);
        if (!capture) return;
        auto& chain = isServer ? features->serverCertificateChain : features->clientCertificateChain;
        chain.emplace_back(reinterpret_cast<const char*>(certificate.data()), certificate.size());
        VARNO_LOG(debug) << "processed " << (isServer ? "server" : "client") << " certificate -> [" << packet.key
                        << "]";
    });
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
    if (looksLikeSsl2ClientHello(payload)) return true;
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
