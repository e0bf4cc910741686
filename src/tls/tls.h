#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

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
    void release() override {
        extractor.release();
        dropPartialMessage();
    }

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
    // Sets kexParameter to the modulus length of an RSA (or RSASSA-PSS) key in the given
    // DER certificate; leaves it alone when the key is of another kind or unreadable.
    void parseRSAKeyExchangeSize(std::span<const uint8_t> certificate);

    TLSFeatures* features;
    FlowKey directionKey;
    TLSRecordExtractor extractor;
    bool isServer = false;
    bool isRsaKeyExchange = false;
    bool versionFixed = false;
    bool finished = false;
    // Handshake records form one stream of messages per direction until a message declares
    // more than a joined message may hold; from then on each record is walked alone.
    bool joinsMessages = true;

    // True while a handshake message cut by the end of its record waits for the rest.
    bool holdsPartialMessage() const { return !partialMessage.empty(); }

private:
    void handleAlert(TLSRecord const& record, Packet const& packet);
    void walkHandshakeRecord(TLSRecord const& record, Packet const& packet);
    void walkRecordAlone(ByteReader messages, Packet const& packet);
    void handleMessage(Packet const& packet, std::span<const uint8_t> message, bool whole);
    void dropPartialMessage() { std::vector<uint8_t>().swap(partialMessage); }
    void setAddresses(Packet const& packet, bool sourceIsClient);

    // The bytes so far of a message that runs past its record; holds memory only then.
    std::vector<uint8_t> partialMessage;
};

// True when a segment's payload starts like a record carrying a ClientHello or
// ServerHello: the test that decides whether a connection is followed at all.
bool looksLikeTlsHello(std::span<const uint8_t> payload);
