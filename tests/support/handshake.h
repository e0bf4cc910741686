#pragma once
// Drives a Flow with hand-built segments of both directions of one connection.
#include <memory>

#include "support/settings.h"
#include "flow/flow.h"
#include "support/builders.h"

namespace build {

struct Connection {
    Segment client;  // client -> server
    Segment server;  // server -> client
    long seconds = 1700000000;
    long micros = 0;

    Connection() {
        client.src = "192.168.1.10";
        client.dst = "10.1.2.3";
        client.srcPort = 51000;
        client.dstPort = 443;
        client.seq = 1000;
        server.src = client.dst;
        server.dst = client.src;
        server.srcPort = client.dstPort;
        server.dstPort = client.srcPort;
        server.seq = 900000;
    }

    // tcpFlags 0x02 (SYN) or 0x12 (SYN-ACK) for data on a SYN, which takes a number itself.
    std::shared_ptr<Packet> fromClient(Bytes const& payload, uint8_t tcpFlags = 0x18) {
        return next(client, payload, tcpFlags);
    }
    std::shared_ptr<Packet> fromServer(Bytes const& payload, uint8_t tcpFlags = 0x18) {
        return next(server, payload, tcpFlags);
    }

    std::shared_ptr<Flow> flow() {
        Segment s = client;
        s.payload = {0};
        return std::make_shared<Flow>(tcpPacket(s)->flowKey());
    }

private:
    std::shared_ptr<Packet> next(Segment& s, Bytes const& payload, uint8_t tcpFlags) {
        s.payload = payload;
        s.tcpFlags = tcpFlags;
        auto p = tcpPacket(s, seconds, micros);
        s.seq += static_cast<uint32_t>(payload.size()) + ((tcpFlags & 0x02) ? 1 : 0);
        micros += 1000;
        return p;
    }
};


}  // namespace build
