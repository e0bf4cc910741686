#include "tls/quic_processor.h"

#include "capture/packet.h"
#include "tls/handshake_views.h"

QuicProtocolProcessor::QuicProtocolProcessor(TLSFeatures* features, FlowKey const& key,
                                             AnalysisSettings const& settings)
    : sides{Side(features, key, settings), Side(features, key.reverse(), settings)} {
    features->transport = TLSFeatures::Transport::Quic;
}

bool QuicProtocolProcessor::canProcess(std::shared_ptr<Packet> const& packet) const {
    return packet && packet->isUdp();
}

void QuicProtocolProcessor::process(std::shared_ptr<Packet> const& packet) {
    if (!canProcess(packet)) return;
    const size_t from = packet->key == sides[0].hellos.directionKey() ? 0 : 1;
    if (!clientSide) clientSide = from;
    const bool fromClient = from == *clientSide;
    Side& side = sides[from];
    quic::readInitials(packet->payloadBytes(), fromClient, clientDcid, side.crypto);
    if (!side.read) readFirstMessage(side, fromClient, *packet);
}

void QuicProtocolProcessor::readFirstMessage(Side& side, bool client, Packet const& packet) {
    const std::span<const uint8_t> held = side.crypto.contiguous();
    const size_t length = declaredMessageLength(held);
    if (length == 0 || held.size() < length) return;
    side.read = true;
    if (held.front() != (client ? handshake_type::CLIENT_HELLO : handshake_type::SERVER_HELLO)) return;
    side.hellos.readMessage(packet, held.first(length));
}

void QuicProtocolProcessor::release() {
    for (Side& side : sides) {
        side.hellos.release();
        side.crypto = {};
    }
    clientDcid = {};
}
