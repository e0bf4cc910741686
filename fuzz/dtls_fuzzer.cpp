// DTLS datagrams of one UDP 4-tuple: read alone (records, fragments, reassembly) and then
// through a Flow with every optional column on. Input: a sequence of datagrams,
//
//   control (1 byte, bit 7: sent by the server) | length (2 bytes, big-endian) | payload
//
// (make_seeds.py --dtls makes seeds from captures). At most 40 datagrams are used.
#include <set>

#include "flow/flow.h"
#include "fuzz_support.h"
#include "support/builders.h"
#include "tls/dtls_records.h"
#include "tls/settings.h"

namespace {

bool configure() {
    AnalysisSettings& config = AnalysisSettings::instance();
    config.certificates = true;
    config.keyShare = true;
    config.hasMessageTypes = true;  // with no types listed: every message is saved
    config.messageTypes.clear();
    return fuzz::quietLog();
}

bool within(std::span<const uint8_t> part, std::span<const uint8_t> whole) {
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

// Records lie in the datagram and fragments in their record; a completed message is as long
// as its header says, and no message_seq completes twice (the first arrival wins).
unsigned readAlone(std::span<const uint8_t> datagram, dtls::MessageAssembler& assembler, std::set<uint16_t>& done) {
    unsigned sink = 0;
    std::vector<uint8_t> message;
    dtls::forEachRecord(datagram, [&](dtls::Record const& record) {
        fuzz::require(within(record.body, datagram));
        dtls::forEachFragment(record.body, [&](dtls::Fragment const& fragment) {
            fuzz::require(within(fragment.bytes, record.body));
            if (!assembler.add(fragment, message)) return;
            fuzz::require(done.insert(fragment.messageSeq).second);
            fuzz::require(message.size() == 4 + size_t(fragment.length) && message[0] == fragment.msgType);
            for (uint8_t byte : message) sink += byte;
        });
        return true;
    });
    return sink;
}

std::shared_ptr<Packet> udpPacket(bool fromServer, std::span<const uint8_t> payload, long micros) {
    build::Segment ends;
    ends.src = fromServer ? "10.1.2.3" : "192.168.1.10";
    ends.dst = fromServer ? "192.168.1.10" : "10.1.2.3";
    ends.protocol = 17;
    build::Bytes ip = build::ipv4(ends);
    ip.resize(20);
    build::append(ip, build::wrap::udp(fromServer ? 51000 : 4433, build::Bytes(payload.begin(), payload.end()),
                                       fromServer ? 4433 : 51000));
    ip[2] = static_cast<uint8_t>(ip.size() >> 8);
    ip[3] = static_cast<uint8_t>(ip.size());
    return build::packet(build::ethernet(ip), DLT_EN10MB, 1700000000, micros);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = configure();
    (void)ready;
    constexpr size_t maxDatagrams = 40, maxPayload = 65535 - 28;
    dtls::MessageAssembler assemblers[2];
    std::set<uint16_t> done[2];
    std::vector<std::shared_ptr<Packet>> packets;
    unsigned sink = 0;
    size_t pos = 0;
    while (pos + 3 <= size && packets.size() < maxDatagrams) {
        const bool fromServer = (data[pos] & 0x80) != 0;
        size_t length = std::min<size_t>(static_cast<size_t>(data[pos + 1]) << 8 | data[pos + 2], size - pos - 3);
        length = std::min(length, maxPayload);
        const std::span<const uint8_t> payload(data + pos + 3, length);
        pos += 3 + length;
        sink += readAlone(payload, assemblers[fromServer], done[fromServer]);
        sink += dtls::startsWithClientHello(payload);
        auto packet = udpPacket(fromServer, payload, static_cast<long>(packets.size()) * 1000);
        fuzz::require(packet != nullptr);
        packets.push_back(packet);
    }
    if (!packets.empty()) {
        Flow flow(packets.front()->flowKey());
        for (auto const& packet : packets)
            if (flow.keptPackets() < Flow::maxPackets) flow.enqueuePacket(*packet);
        const bool complete = flow.processPackets();
        fuzz::require(!complete || (flow.features().clientHelloSeen && flow.features().serverHelloSeen));
        sink += static_cast<unsigned>(flow.features().tlsVersion.size() + flow.features().handshakeMessages.size());
        flow.releaseAnalysis();
    }
    volatile unsigned keep = sink;
    (void)keep;
    return 0;
}
