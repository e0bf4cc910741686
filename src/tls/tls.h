#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "capture/flowkey.h"
#include "base/byte_reader.h"
#include "tls/record_extractor.h"
#include "tls/tls_features.h"

class Packet;

// A per-direction protocol analyser.
class ProtocolProcessor {
public:
    virtual ~ProtocolProcessor() = default;
    virtual bool canProcess(std::shared_ptr<Packet> const& packet) const = 0;
    virtual void process(std::shared_ptr<Packet> const& packet) = 0;
    // Drops buffers and pending segments once the flow's analysis is over.
    virtual void release() {}
};

// Analyses one direction of a TLS connection: reassembles its records, flags alerts and
// ChangeCipherSpec, splits handshake records into messages, saves and parses them.
class TLSProtocolProcessor : public ProtocolProcessor {
public:
    TLSProtocolProcessor(TLSFeatures* features, FlowKey const& directionKey)
        : features(features), directionKey(directionKey) {}

    bool canProcess(std::shared_ptr<Packet> const& packet) const override;
    void process(std::shared_ptr<Packet> const& packet) override;
    void release() override { extractor.release(); }

    void setVersion(int version);
    void saveRawData(std::span<const uint8_t> message, int type);

    // Each parser reads exactly one handshake message (type byte first), cut to what the
    // record holds; a field that does not fit ends the parse, fields read before it stay.
    void parseClientHello(Packet const& packet, std::span<const uint8_t> message);
    void parseServerHello(Packet const& packet, std::span<const uint8_t> message);
    void parseServerKeyExchange(Packet const& packet, std::span<const uint8_t> message);
    void parseCertificateRequest(Packet const& packet, std::span<const uint8_t> message);
    void parseCertificate(Packet const& packet, std::span<const uint8_t> message, bool capture);
    void parseSNIExt(ByteReader extension);
    void parseKeyShareExt(ByteReader extension, bool capture);
    void parseRenegotiationExt(ByteReader extension);
    int parseSupportedVersionsExt(ByteReader extension);
    void parseRSAKeyExchangeSize(std::span<const uint8_t> certificate);

    TLSFeatures* features;
    FlowKey directionKey;
    TLSRecordExtractor extractor;
    bool isServer = false;
    bool isRsaKeyExchange = false;
    bool versionFixed = false;
    bool finished = false;

private:
    void handleAlert(TLSRecord const& record, Packet const& packet);
    void walkHandshakeRecord(TLSRecord const& record, Packet const& packet);
    void setAddresses(Packet const& packet, bool sourceIsClient);
};

// True when a segment's payload starts like a record carrying a ClientHello or
// ServerHello: the test that decides whether a connection is followed at all.
bool looksLikeTlsHello(std::span<const uint8_t> payload);
