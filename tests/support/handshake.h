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

    std::shared_ptr<Packet> fromClient(Bytes const& payload) { return next(client, payload); }
    std::shared_ptr<Packet> fromServer(Bytes const& payload) { return next(server, payload); }

    std::shared_ptr<Flow> flow() {
        Segment s = client;
        s.payload = {0};
        return std::make_shared<Flow>(tcpPacket(s)->flowKey);
    }

private:
    std::shared_ptr<Packet> next(Segment& s, Bytes const& payload) {
        s.payload = payload;
        auto p = tcpPacket(s, seconds, micros);
        s.seq += static_cast<uint32_t>(payload.size());
        micros += 1000;
        return p;
    }
};


}  // namespace build
