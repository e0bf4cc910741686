// One UDP datagram read as QUIC Initials. Input: a byte whose value (mod 21) is the length
// of the client's Destination Connection ID, that DCID, then the datagram. The datagram is
// read as the client's and as the server's, and its bytes as decrypted frames too, since a
// mutated packet rarely authenticates (make_seeds.py --quic makes seeds from captures).
#include <algorithm>
#include <vector>

#include "fuzz_support.h"
#include "tls/quic_initial.h"

namespace {

bool within(std::span<const uint8_t> part, std::span<const uint8_t> whole) {
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

// Every byte held is read, so a sanitizer sees one that the stream does not own.
unsigned touch(quic::CryptoStream const& stream) {
    auto const held = stream.contiguous();
    fuzz::require(held.size() <= quic::CryptoStream::limit);
    unsigned sum = 0;
    for (uint8_t byte : held) sum += byte;
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t dcidLength = std::min<size_t>(data[0] % (quic::maxConnectionIdLength + 1), size - 1);
    const std::span<const uint8_t> dcid(data + 1, dcidLength);
    const std::span<const uint8_t> datagram(data + 1 + dcidLength, size - 1 - dcidLength);

    // The packets lie within the datagram, one after the other, their IDs within them.
    auto const packets = quic::longHeaders(datagram);
    size_t initials = 0;
    const uint8_t* next = datagram.data();
    for (auto const& packet : packets) {
        fuzz::require(!packet.packet.empty() && packet.packet.data() == next && within(packet.packet, datagram));
        fuzz::require(within(packet.dcid, packet.packet) && within(packet.scid, packet.packet));
        fuzz::require(packet.dcid.size() <= quic::maxConnectionIdLength);
        next = packet.packet.data() + packet.packet.size();
        initials += packet.initial;
    }

    // A datagram that opens a connection starts with an Initial and decrypts as the client's.
    const bool clientInitial = quic::startsWithClientInitial(datagram);
    fuzz::require(!clientInitial || quic::startsWithInitial(datagram));

    unsigned sink = 0;
    for (bool fromClient : {true, false}) {
        quic::CryptoStream stream;
        std::vector<uint8_t> clientDcid(dcid.begin(), dcid.end());
        const size_t decrypted = quic::readInitials(datagram, fromClient, clientDcid, stream);
        fuzz::require(decrypted <= initials && (!fromClient || !clientInitial || decrypted > 0));
        fuzz::require(clientDcid.size() <= quic::maxConnectionIdLength);
        const std::vector<uint8_t> held(stream.contiguous().begin(), stream.contiguous().end());
        sink += touch(stream);
        // A retransmitted datagram changes nothing that was held.
        quic::readInitials(datagram, fromClient, clientDcid, stream);
        fuzz::require(std::equal(held.begin(), held.end(), stream.contiguous().begin(), stream.contiguous().end()));
    }

    quic::CryptoStream frames;
    quic::collectCryptoFrames(datagram, frames);
    sink += touch(frames);
    volatile unsigned keep = sink;
    (void)keep;
    return 0;
}
