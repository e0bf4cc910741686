#pragma once
#include <memory>

class Packet;

// What a flow's analysis drives, whatever the protocol: the TLS processor (one per direction
// of a TCP connection), the QUIC and the DTLS processor (one per UDP exchange).
class ProtocolProcessor {
public:
    virtual ~ProtocolProcessor() = default;
    virtual bool canProcess(std::shared_ptr<Packet> const& packet) const = 0;
    virtual void process(std::shared_ptr<Packet> const& packet) = 0;
    // Drops buffers and pending segments once the flow's analysis is over.
    virtual void release() {}
    // True when this direction waits, unfinished, for bytes missing from the TCP stream
    // while later segments are at hand.
    virtual bool waitsOnGap() const { return false; }
    // True once this direction's handshake is over (ChangeCipherSpec, encrypted records).
    virtual bool finishedDirection() const { return true; }
};
