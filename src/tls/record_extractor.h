#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

class Packet;

namespace content_type {
constexpr uint8_t CHANGE_CIPHER_SPEC = 20;
constexpr uint8_t ALERT = 21;
constexpr uint8_t HANDSHAKE = 22;
constexpr uint8_t APPLICATION_DATA = 23;
}  // namespace content_type

// The TLS record being assembled. Only handshake, alert and ChangeCipherSpec payloads
// are kept; `captured` tells whether `payload()` holds the record's bytes.
struct TLSRecord {
    uint8_t type = 0;
    uint16_t version = 0;
    uint16_t length = 0;
    std::array<uint8_t, 5> rawHeader{};
    const uint8_t* body = nullptr;
    bool captured = false;
    // A ClientHello in the SSL 2.0 record format (two-byte header): old clients and
    // scanners still open with one. Its type and version fields stay 0.
    bool ssl2ClientHello = false;

    std::span<const uint8_t> payload() const {
        return captured && body ? std::span<const uint8_t>(body, length) : std::span<const uint8_t>();
    }
};

// True when a direction's first bytes are a ClientHello in the SSL 2.0 record format
// offering SSL 3.0 to TLS 1.3.
bool looksLikeSsl2ClientHello(std::span<const uint8_t> bytes);

// Cuts the TCP segments of one direction into complete TLS records, in sequence order.
// Segments are ordered by serial-number arithmetic relative to the next expected sequence
// number, so the 2^32 wrap is harmless; bytes already consumed (retransmissions,
// duplicates, overlaps) are dropped, and only a gap makes the direction wait.
class TLSRecordExtractor {
public:
    TLSRecordExtractor() = default;

    void process(std::shared_ptr<Packet> const& packet);
    bool hasMoreRecords();
    TLSRecord const& nextRecord() const { return record; }
    // Frees the record buffer and every pending segment; the extractor then starts afresh.
    void release();

    size_t pendingCount() const { return pending.size(); }
    // True while a record that spans segments has been copied together.
    bool holdsBuffer() const { return buffer != nullptr; }

private:
    struct Pending {
        std::shared_ptr<Packet> packet;
        uint64_t arrival;
    };

    bool startNextSegment();
    void finishSegment();
    void prepareForNextRecord();
    uint8_t* reserveBuffer(uint32_t length);

    // Fields ordered so that no padding is wasted: the extractor lives inside every flow.
    TLSRecord record;
    // A record whose body lies in one segment is read in place, and that segment is held
    // until the next record; only a body that spans segments is copied together here.
    std::shared_ptr<Packet> bodySegment;
    std::unique_ptr<uint8_t[]> buffer;
    std::vector<Pending> pending;
    uint64_t arrivals = 0;

    std::shared_ptr<Packet> current;  // segment being consumed
    const uint8_t* cursor = nullptr;
    uint32_t packetRemaining = 0;
    uint32_t currentEndSeq = 0;

    uint32_t bufferSize = 0;
    uint32_t rawHeaderWrite = 0;
    uint32_t bodyWrite = 0;
    uint32_t dataRemaining = 0;
    uint32_t headerRemaining = 5;
    uint32_t nextSeq = 0;
    bool recordStarted = false;
    bool recordComplete = false;
    bool nextSeqKnown = false;
    bool firstRecordRead = false;  // only a direction's first record may be an SSL 2.0 one
};
