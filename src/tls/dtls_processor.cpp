#include "tls/dtls_processor.h"

#include "capture/packet.h"
#include "tls/handshake_views.h"

namespace {
constexpr uint8_t FATAL_ALERT_LEVEL = 2;
}  // namespace

DtlsProtocolProcessor::DtlsProtocolProcessor(TLSFeatures* features, FlowKey const& key,
                                             AnalysisSettings const& settings)
    : features(features), sides{Side(features, key, settings), Side(features, key.reverse(), settings)} {
    features->transport = TLSFeatures::Transport::Dtls;
}

bool DtlsProtocolProcessor::canProcess(std::shared_ptr<Packet> const& packet) const {
    return packet && packet->isUdp();
}

void DtlsProtocolProcessor::process(std::shared_ptr<Packet> const& packet) {
    if (!canProcess(packet) || features->fatalAlertSeen) return;
    const std::span<const uint8_t> payload = packet->payloadBytes();
    if (!dtls::isDtlsDatagram(payload)) return;  // a QUIC Initial on the same 4-tuple
    const size_t from = packet->key == sides[0].messages.directionKey() ? 0 : 1;
    if (!clientSide) {
        clientSide = from;
        sides[from].messages.setSide(false);
        sides[1 - from].messages.setSide(true);
    }
    const bool server = from != *clientSide;
    Side& side = sides[from];
    if (side.finished) return;
    dtls::forEachRecord(payload, [&](dtls::Record const& record) { return readRecord(side, server, record, *packet); });
}

bool DtlsProtocolProcessor::readRecord(Side& side, bool server, dtls::Record const& record, Packet const& packet) {
    if (record.encrypted() || record.type == content_type::CHANGE_CIPHER_SPEC ||
        record.type == content_type::APPLICATION_DATA) {
        side.finished = true;
        (server ? features->serverChangeCipherSpecSeen : features->clientChangeCipherSpecSeen) = true;
        return false;
    }
    if (record.type == content_type::ALERT) {
        ByteReader alert(record.body);
        const uint8_t level = alert.u8();
        alert.u8();
        if (alert.ok() && level == FATAL_ALERT_LEVEL) features->fatalAlertSeen = true;
        return !features->fatalAlertSeen;
    }
    if (record.type != content_type::HANDSHAKE) return true;
    dtls::forEachFragment(record.body, [&](dtls::Fragment const& fragment) {
        if (side.assembler.add(fragment, message)) handleMessage(side, server, packet, message);
    });
    return true;
}

// Each side reads only the messages it may send; the rest is saved (-m) and nothing more.
void DtlsProtocolProcessor::handleMessage(Side& side, bool server, Packet const& packet,
                                          std::span<const uint8_t> whole) {
    ByteReader header(whole);
    const uint8_t type = header.u8();
    bool read = true;
    switch (type) {
    case handshake_type::CLIENT_HELLO:
        // The second ClientHello (with the cookie, or after a HelloRetryRequest) changes nothing.
        read = !server && !clientHelloRead;
        clientHelloRead |= read;
        break;
    case handshake_type::SERVER_HELLO:
    case handshake_type::HELLO_RETRY_REQUEST:
    case handshake_type::SERVER_KEY_EXCHANGE:
    case handshake_type::CERTIFICATE_REQUEST: read = server; break;
    default: break;
    }
    if (!read) {
        side.messages.saveMessage(packet, whole);
        return;
    }
    side.messages.readMessage(packet, whole);
    if (type == handshake_type::SERVER_HELLO || type == handshake_type::HELLO_RETRY_REQUEST) setVersion(whole);
}

// The version of the last ServerHello: its supported_versions when present, else its
// server_version; a code that is not a DTLS version leaves the cell empty.
void DtlsProtocolProcessor::setVersion(std::span<const uint8_t> serverHello) {
    const ServerHelloView hello = readServerHello(serverHello);
    std::optional<uint16_t> code = hello.legacyVersion;
    hello.extensions.forEach([&](Extension extension) {
        if (extension.type == extension_type::SUPPORTED_VERSIONS) code = selectedVersion(extension.data);
    });
    features->versionCode = code.value_or(0);
    features->tlsVersion = dtls::versionText(features->versionCode);
}

void DtlsProtocolProcessor::release() {
    for (Side& side : sides) {
        side.messages.release();
        side.assembler.release();
    }
    std::vector<uint8_t>().swap(message);
}
