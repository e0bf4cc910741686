#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

class Packet;

constexpr size_t TLS_MAX_RECORD_LENGTH = 65535;

namespace content_type {
constexpr uint8_t CHANGE_CIPHER_SPEC = 20;
constexpr uint8_t ALERT = 21;
constexpr uint8_t HANDSHAKE = 22;
}  // namespace content_type

namespace handshake_type {
constexpr uint8_t CLIENT_HELLO = 1;
constexpr uint8_t SERVER_HELLO = 2;
constexpr uint8_t HELLO_RETRY_REQUEST = 6;
constexpr uint8_t CERTIFICATE = 11;
constexpr uint8_t SERVER_KEY_EXCHANGE = 12;
constexpr uint8_t CERTIFICATE_REQUEST = 13;
}  // namespace handshake_type

// The TLS record being assembled. Only handshake, alert and ChangeCipherSpec payloads
// are copied; `captured` tells whether `payload()` holds the record's bytes.
struct TLSRecord {
    uint8_t type = 0;
    uint16_t version = 0;
    uint16_t length = 0;
    std::array<uint8_t, 5> rawHeader{};
    const uint8_t* body = nullptr;
    bool captured = false;

    std::span<const uint8_t> payload() const {
        return captured && body ? std::span<const uint8_t>(body, length) : std::span<const uint8_t>();
    }
};

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
    bool holdsBuffer() const { return buffer != nullptr; }

private:
    struct Pending {
        std::shared_ptr<Packet> packet;
        uint64_t arrival;
    };

    bool startNextSegment();
    void finishSegment();
    void prepareForNextRecord();

    TLSRecord record;
    std::unique_ptr<uint8_t[]> buffer;  // TLS_MAX_RECORD_LENGTH bytes, allocated on first payload
    std::vector<Pending> pending;
    uint64_t arrivals = 0;

    std::shared_ptr<Packet> current;  // segment being consumed
    const uint8_t* cursor = nullptr;
    uint32_t packetRemaining = 0;
    uint32_t currentEndSeq = 0;

    size_t rawHeaderWrite = 0;
    size_t bodyWrite = 0;
    uint32_t dataRemaining = 0;
    uint32_t headerRemaining = 5;
    bool recordComplete = false;

    uint32_t nextSeq = 0;
    bool nextSeqKnown = false;
};
