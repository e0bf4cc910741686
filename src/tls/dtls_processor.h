#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "capture/flowkey.h"
#include "tls/dtls_records.h"
#include "tls/tls.h"

// Both directions of a DTLS connection (one UDP 4-tuple). Each side's handshake fragments
// are put back together by message_seq; its whole messages are read by that side's TLS
// processor, as over TCP. A side's handshake ends at its ChangeCipherSpec or first
// encrypted record, which counts as its ChangeCipherSpec. Datagrams of other protocols on
// the same 4-tuple (STUN, SRTP, QUIC) are not read.
class DtlsProtocolProcessor : public ProtocolProcessor {
public:
    // The first datagram processed comes from the client: a flow opens at a ClientHello.
    DtlsProtocolProcessor(TLSFeatures* features, FlowKey const& key,
                          AnalysisSettings const& settings = AnalysisSettings::instance());

    bool canProcess(std::shared_ptr<Packet> const& packet) const override;
    void process(std::shared_ptr<Packet> const& packet) override;
    void release() override;
    bool finishedDirection() const override { return sides[0].finished && sides[1].finished; }

private:
    struct Side {
        Side(TLSFeatures* features, FlowKey const& key, AnalysisSettings const& settings)
            : messages(features, key, settings) {}
        TLSProtocolProcessor messages;
        dtls::MessageAssembler assembler;
        bool finished = false;  // its ChangeCipherSpec or an encrypted record came
    };
    // False when the record ends the datagram's reading.
    bool readRecord(Side& side, bool server, dtls::Record const& record, Packet const& packet);
    void handleMessage(Side& side, bool server, Packet const& packet, std::span<const uint8_t> message);
    void setVersion(std::span<const uint8_t> serverHello);

    TLSFeatures* features;
    Side sides[2];
    std::optional<size_t> clientSide;  // index into sides
    bool clientHelloRead = false;      // only the client's first ClientHello fills the row
    std::vector<uint8_t> message;      // the message just completed
};
