#pragma once
#include <cstdint>
#include <memory>
#include <span>

#include "capture/flowkey.h"
#include "tls/handshake_stream.h"
#include "tls/protocol_processor.h"
#include "tls/record_extractor.h"
#include "tls/settings.h"
#include "tls/tls_features.h"

class Packet;

// Analyses one direction of a TLS connection: its records come from the record
// extractor, alerts and ChangeCipherSpec set flags, and handshake records feed a
// HandshakeStream whose whole messages are saved and analysed here.
class TLSProtocolProcessor : public ProtocolProcessor {
public:
    // What to keep beyond the fixed columns comes with the processor: the settings outlive it.
    TLSProtocolProcessor(TLSFeatures* features, FlowKey const& directionKey,
                         AnalysisSettings const& settings = AnalysisSettings::instance())
        : features(features), key(directionKey), settings(settings) {}

    bool canProcess(std::shared_ptr<Packet> const& packet) const override;
    void process(std::shared_ptr<Packet> const& packet) override;
    void release() override {
        extractor.release();
        stream.release();
    }
    bool waitsOnGap() const override { return !finished && extractor.pendingCount() != 0; }
    bool finishedDirection() const override { return finished; }

    FlowKey const& directionKey() const { return key; }
    // A whole handshake message that reached this direction outside TLS records (a hello
    // in QUIC CRYPTO frames), read as if a record had carried it.
    void readMessage(Packet const& packet, std::span<const uint8_t> message) { handleMessage(packet, message); }
    // Only saves a whole message (-m): one this direction may not send.
    void saveMessage(Packet const& packet, std::span<const uint8_t> message);
    // Which side this direction is, when the transport knows it before any hello.
    void setSide(bool server) { isServer = server; }
    // True while a record or a message that spans segments is being put together.
    bool holdsBuffers() const { return extractor.holdsBuffer() || stream.holdsPartialMessage(); }

private:
    // False when the record ends the call.
    bool handleRecord(TLSRecord const& record, Packet const& packet);
    void handleAlert(TLSRecord const& record, Packet const& packet);
    void handleChangeCipherSpec(Packet const& packet);
    // True for the ChangeCipherSpec a side sends between a HelloRetryRequest and its next hello.
    bool passesRetryChangeCipherSpec();
    void markChangeCipherSpec();
    void handleMessage(Packet const& packet, std::span<const uint8_t> message);
    void saveRawData(std::span<const uint8_t> message, int type);
    void setVersion(uint16_t version);
    void setAddresses(Packet const& packet, bool sourceIsClient);

    // One per message type: each reads its view and writes only its own fields.
    void parseClientHello(Packet const& packet, std::span<const uint8_t> message);
    void parseSsl2ClientHello(Packet const& packet);
    void setJa4(std::span<const uint8_t> message);
    void parseServerHello(Packet const& packet, std::span<const uint8_t> message);
    void parseServerKeyExchange(Packet const& packet, std::span<const uint8_t> message);
    void parseCertificateRequest(Packet const& packet);
    void parseCertificate(Packet const& packet, std::span<const uint8_t> message, bool capture);
    // Sets kexParameter to the modulus length of an RSA (or RSASSA-PSS) key in the given
    // DER certificate; leaves it alone when the key is of another kind or unreadable.
    void parseRSAKeyExchangeSize(std::span<const uint8_t> certificate);

    TLSFeatures* features;
    FlowKey key;
    AnalysisSettings const& settings;
    TLSRecordExtractor extractor;
    HandshakeStream stream;
    bool isServer = false;          // set by the hello this direction sent
    bool isRsaKeyExchange = false;  // this direction's ServerHello chose static RSA
    bool versionFixed = false;      // a ClientHello of this direction set the version
    bool finished = false;          // no later record of this direction is looked at
    // Around a HelloRetryRequest in middlebox compatibility mode each side sends one
    // ChangeCipherSpec before its next hello; that one does not end the direction.
    bool retryChangeCipherSpecPassed = false;
    bool helloSinceRetry = false;  // this direction sent a hello after the HelloRetryRequest
};

// True when a segment's payload starts like a record carrying a ClientHello or
// ServerHello (or an SSL 2.0-format ClientHello): the test that decides whether a
// connection is followed at all.
bool looksLikeTlsHello(std::span<const uint8_t> payload);
