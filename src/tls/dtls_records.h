#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string_view>
#include <vector>

#include "base/byte_reader.h"

// DTLS datagrams (RFC 6347 for 1.0 and 1.2, RFC 9147 for 1.3) as far as a passive reader
// can read them: the records before the first encrypted one, and the handshake messages
// their fragments carry, put back together.
namespace dtls {

// RFC 7983/9443: a UDP payload whose first byte is 20 to 63 is DTLS. STUN, ZRTP, TURN
// channels and RTP on the same 4-tuple fall outside that range.
bool isDtlsDatagram(std::span<const uint8_t> payload);

struct Record {
    uint8_t type = 0;    // content type; 0 for a DTLS 1.3 unified header
    uint16_t epoch = 0;
    std::span<const uint8_t> body;
    bool encrypted() const;  // a unified header, or any record of a later epoch
};

// The records of a datagram in order, each with its 13-byte header; a unified header (first
// byte 32 to 63) is encrypted and ends the datagram, since without its connection ID's
// length its end cannot be found. An unknown first byte, or a record that runs past the
// datagram, also ends it. Returns false when `visit` stopped the walk.
template <typename Visit>
bool forEachRecord(std::span<const uint8_t> datagram, Visit visit);

struct Fragment {
    uint8_t msgType = 0;
    uint32_t length = 0;  // of the whole message's body
    uint16_t messageSeq = 0;
    uint32_t offset = 0;
    std::span<const uint8_t> bytes;
};

// The fragments of an epoch-0 handshake record, in order; one cut short ends the record.
template <typename Visit>
void forEachFragment(std::span<const uint8_t> body, Visit visit);

// True when a datagram may open a DTLS flow: its first record is a handshake record of
// epoch 0 whose version's first byte is 0xFE (so not OpenSSL's pre-standard 0x0100) and
// whose first fragment is a ClientHello at offset 0.
bool startsWithClientHello(std::span<const uint8_t> datagram);

// TLSVersion text of a DTLS version code; empty for any other.
std::string_view versionText(uint16_t code);

// One direction's handshake messages out of their fragments. The first fragment of a
// message_seq fixes its type and length; fragments that disagree, or reach past that
// length, are ignored, and so is every fragment of a message already complete (a
// retransmission). A byte already held is kept. Memory grows with the bytes received
// only: fragments are kept as they came, and a message is laid out once it is whole.
class MessageAssembler {
public:
    // Adds a fragment; true when it completed its message, which `message` then holds in
    // the TLS form (4-byte header, then the body) until the next call.
    bool add(Fragment const& fragment, std::vector<uint8_t>& message);
    void release() { std::map<uint16_t, Pending>().swap(pending); }

private:
    struct Piece {
        uint32_t offset;
        std::vector<uint8_t> bytes;
    };
    struct Pending {
        uint8_t msgType = 0;
        uint32_t length = 0;
        bool complete = false;
        std::vector<Piece> pieces;
        std::map<uint32_t, uint32_t> held;  // ranges held: first byte -> one past the last
    };
    static void hold(std::map<uint32_t, uint32_t>& held, uint32_t begin, uint32_t end);
    static void layOut(Pending const& entry, std::vector<uint8_t>& message);

    std::map<uint16_t, Pending> pending;
};

// --- template definitions ---------------------------------------------------------------

constexpr size_t recordHeaderLength = 13;
constexpr size_t fragmentHeaderLength = 12;

template <typename Visit>
bool forEachRecord(std::span<const uint8_t> datagram, Visit visit) {
    ByteReader rest(datagram);
    while (!rest.empty()) {
        ByteReader header(rest.rest());
        const uint8_t first = header.u8();
        if ((first & 0xE0) == 0x20) return visit(Record{0, 0, {}});
        if (first < 20 || first > 25) return true;
        header.skip(2);  // version
        Record record{first, header.u16(), {}};
        header.skip(6);  // sequence number
        record.body = header.bytes(header.u16());
        if (!header.ok()) return true;
        rest.skip(recordHeaderLength + record.body.size());
        if (!visit(record)) return false;
    }
    return true;
}

template <typename Visit>
void forEachFragment(std::span<const uint8_t> body, Visit visit) {
    ByteReader rest(body);
    while (rest.remaining() >= fragmentHeaderLength) {
        Fragment fragment;
        fragment.msgType = rest.u8();
        fragment.length = rest.u24();
        fragment.messageSeq = rest.u16();
        fragment.offset = rest.u24();
        fragment.bytes = rest.bytes(rest.u24());
        if (!rest.ok()) return;
        visit(fragment);
    }
}

}  // namespace dtls
