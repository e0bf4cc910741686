#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "capture/flowkey.h"
#include "tls/quic_initial.h"
#include "tls/tls.h"

// Both directions of a QUIC connection (one UDP 4-tuple). The CRYPTO frames of each side's
// Initial packets are placed by offset; once a side holds its first handshake message
// whole, that side's TLS processor reads it: the client's must be a ClientHello, the
// server's a ServerHello (or HelloRetryRequest), else the connection gets no row. Nothing
// past the hellos can be read: the later messages travel under keys a monitor never has.
class QuicProtocolProcessor : public ProtocolProcessor {
public:
    // The first datagram processed comes from the client: a flow opens at a client Initial.
    QuicProtocolProcessor(TLSFeatures* features, FlowKey const& key,
                          AnalysisSettings const& settings = AnalysisSettings::instance());

    bool canProcess(std::shared_ptr<Packet> const& packet) const override;
    void process(std::shared_ptr<Packet> const& packet) override;
    void release() override;
    // Both hellos whole: nothing more to wait for.
    bool finishedDirection() const override { return sides[0].read && sides[1].read; }

private:
    struct Side {
        Side(TLSFeatures* features, FlowKey const& key, AnalysisSettings const& settings)
            : hellos(features, key, settings) {}
        TLSProtocolProcessor hellos;
        quic::CryptoStream crypto;
        bool read = false;  // its first message was whole and has been looked at
    };
    // Reads the side's first message once it is whole.
    void readFirstMessage(Side& side, bool client, Packet const& packet);

    Side sides[2];
    std::optional<size_t> clientSide;  // index into sides
    std::vector<uint8_t> clientDcid;   // the key DCID: both sides' Initial keys come from it
};
