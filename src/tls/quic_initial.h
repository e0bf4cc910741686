#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// QUIC Initial packets of versions 1 (RFC 9000, 9001) and 2 (RFC 9369): the only QUIC
// packets a passive monitor can read, since their keys come from the client's Destination
// Connection ID, which travels in the clear. They carry the TLS hellos in CRYPTO frames.
namespace quic {

constexpr uint32_t version1 = 0x00000001;
constexpr uint32_t version2 = 0x6b3343cf;
constexpr size_t maxConnectionIdLength = 20;

// One direction's Initial keys: AEAD key and IV (AES-128-GCM) and header protection key
// (AES-128-ECB).
struct InitialKeys {
    std::array<uint8_t, 16> key{};
    std::array<uint8_t, 12> iv{};
    std::array<uint8_t, 16> hp{};
};

// The client's or the server's Initial keys of `version` for the client's Destination
// Connection ID. False for another version, or when libcrypto fails.
bool deriveInitialKeys(uint32_t version, std::span<const uint8_t> clientDcid, bool client, InitialKeys& keys);

// A long-header packet of a datagram, as far as it reads without keys.
struct LongHeader {
    uint32_t version = 0;
    std::span<const uint8_t> dcid;
    std::span<const uint8_t> scid;
    bool initial = false;                // an Initial of version 1 or 2
    size_t packetNumberOffset = 0;       // from the packet's first byte (Initials only)
    std::span<const uint8_t> packet;     // the whole packet, header included
};

// The long-header packets coalesced in a datagram, in order, up to the first that does not
// read (a short-header packet, a Version Negotiation or Retry packet ends the datagram,
// and so does one whose Length runs past it).
std::vector<LongHeader> longHeaders(std::span<const uint8_t> datagram);

// Removes header protection from an Initial and decrypts its payload (the frames). False
// when the packet is too short or does not authenticate under `keys`.
bool decryptInitial(LongHeader const& packet, InitialKeys const& keys, std::vector<uint8_t>& frames);

// One direction's CRYPTO data placed by offset, from any number of packets in any order.
// Bytes at or past `limit` are dropped (memory per connection stays bounded); a byte that
// is already held is kept, so an overlap cannot change what was read.
class CryptoStream {
public:
    static constexpr size_t limit = 64 * 1024;

    void add(uint64_t offset, std::span<const uint8_t> data);
    // The bytes held from offset 0 without a gap.
    std::span<const uint8_t> contiguous() const { return {bytes.data(), contiguousLength}; }

private:
    std::vector<uint8_t> bytes;
    std::vector<bool> held;
    size_t contiguousLength = 0;
};

// Places the CRYPTO frames of decrypted Initial frames in `stream`. Frames allowed in an
// Initial (PADDING, PING, ACK, CONNECTION_CLOSE) are stepped over; anything else, or a
// frame cut short, ends the walk. Returns the number of CRYPTO frames placed.
size_t collectCryptoFrames(std::span<const uint8_t> frames, CryptoStream& stream);

// Reads the Initials of one datagram sent by one side into that side's stream, with the
// keys of the connection's key DCID `clientDcid`: a client Initial that decrypts with the
// keys of its own Destination Connection ID makes that the key DCID (the first one, and
// after a Retry the new one); one that does not (sent to the server's connection ID) and
// the server's Initials decrypt with the key DCID's keys. Returns the number of Initials
// that decrypted.
size_t readInitials(std::span<const uint8_t> datagram, bool fromClient, std::vector<uint8_t>& clientDcid,
                    CryptoStream& stream);

// True when a datagram begins with a long-header Initial of version 1 or 2 (the fixed bit
// is not examined): only such datagrams carry hellos.
bool startsWithInitial(std::span<const uint8_t> datagram);
// True when a datagram's first packet is a client Initial: an Initial that decrypts with
// the client keys of its own Destination Connection ID and begins with a frame an Initial
// may carry. A connection is followed from one. Cheap for forged Initials, which are
// turned away by their first frame before the whole payload is decrypted.
bool startsWithClientInitial(std::span<const uint8_t> datagram);

}  // namespace quic
