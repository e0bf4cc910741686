#include "tls/record_extractor.h"

#include <algorithm>
#include <cstring>

#include "base/byte_reader.h"
#include "capture/packet.h"

namespace {
// Signed distance from `base` to `seq` in serial-number arithmetic (RFC 1982).
int64_t serialDistance(uint32_t seq, uint32_t base) { return static_cast<int32_t>(seq - base); }

// Sequence number of a segment's first payload byte: a SYN takes one number itself, so
// data it carries (TCP Fast Open) starts one later.
uint32_t payloadSequence(Packet const& segment) { return segment.sequenceNumber() + (segment.isSyn() ? 1 : 0); }

bool isCopiedType(uint8_t type) {
    return type == content_type::CHANGE_CIPHER_SPEC || type == content_type::ALERT || type == content_type::HANDSHAKE;
}
}  // namespace

bool looksLikeSsl2ClientHello(std::span<const uint8_t> bytes) {
    if (bytes.size() < 11) return false;
    ByteReader p(bytes);
    const uint8_t lengthHigh = p.u8();
    p.skip(1);  // rest of the length
    const uint8_t messageType = p.u8();
    const uint8_t major = p.u8();
    const uint8_t minor = p.u8();
    return p.ok() && (lengthHigh & 0x80) != 0 && messageType == 1 && major == 3 && minor <= 4;
}

void TLSRecordExtractor::process(std::shared_ptr<Packet> const& packet) {
    if (!packet || packet->tcpPayloadLength() == 0) return;
    if (!nextSeqKnown) {
        // The first payload-carrying segment fixes where the stream starts.
        nextSeq = payloadSequence(*packet);
        nextSeqKnown = true;
    }
    pending.push_back(Pending{packet, arrivals++});
}

void TLSRecordExtractor::release() {
    buffer.reset();
    bufferSize = 0;
    bodySegment.reset();
    recordStarted = false;
    pending.clear();
    pending.shrink_to_fit();
    current.reset();
    cursor = nullptr;
    packetRemaining = 0;
    record.body = nullptr;
    record.captured = false;
}

void TLSRecordExtractor::prepareForNextRecord() {
    record.type = 0;
    record.version = 0;
    record.length = 0;
    record.rawHeader.fill(0);
    record.captured = false;
    record.ssl2ClientHello = false;
    record.body = nullptr;
    bodySegment.reset();
    recordStarted = true;
    headerRemaining = 5;
    dataRemaining = 0;
    rawHeaderWrite = 0;
    bodyWrite = 0;
    recordComplete = false;
}

// Picks the pending segment earliest relative to nextSeq and makes it current, skipping
// what was already consumed. False when nothing is pending or a gap comes first.
bool TLSRecordExtractor::startNextSegment() {
    while (!pending.empty()) {
        auto best = pending.begin();
        for (auto it = pending.begin() + 1; it != pending.end(); ++it) {
            int64_t d = serialDistance(payloadSequence(*it->packet), nextSeq);
            int64_t bestD = serialDistance(payloadSequence(*best->packet), nextSeq);
            if (d < bestD) {
                best = it;
            } else if (d == bestD) {
                double t = it->packet->captureTime(), bestT = best->packet->captureTime();
                if (t < bestT || (t == bestT && it->arrival < best->arrival)) best = it;
            }
        }
        const int64_t distance = serialDistance(payloadSequence(*best->packet), nextSeq);
        if (distance > 0) return false;  // a segment is missing: wait for it

        std::shared_ptr<Packet> segment = std::move(best->packet);
        pending.erase(best);
        const uint32_t length = segment->tcpPayloadLength();
        const uint64_t consumed = static_cast<uint64_t>(-distance);
        if (consumed >= length) continue;  // wholly a repeat of consumed data

        current = std::move(segment);
        cursor = current->tcpPayload() + consumed;
        packetRemaining = static_cast<uint32_t>(length - consumed);
        currentEndSeq = payloadSequence(*current) + length;
        return true;
    }
    return false;
}

void TLSRecordExtractor::finishSegment() {
    if (packetRemaining != 0 || !current) return;
    nextSeq = currentEndSeq;
    current.reset();
    cursor = nullptr;
}

uint8_t* TLSRecordExtractor::reserveBuffer(uint32_t length) {
    // Not zeroed: only bytes a record wrote are ever read back.
    if (bufferSize < length) {
        buffer = std::make_unique_for_overwrite<uint8_t[]>(length);
        bufferSize = length;
    }
    return buffer.get();
}

bool TLSRecordExtractor::hasMoreRecords() {
    if (recordComplete || !recordStarted) prepareForNextRecord();
    while (!recordComplete) {
        if (!current && !startNextSegment()) return false;
        if (!firstRecordRead && packetRemaining != 0) {
            firstRecordRead = true;
            if (looksLikeSsl2ClientHello({cursor, packetRemaining})) {
                record.ssl2ClientHello = true;
                headerRemaining = 2;
            }
        }

        if (headerRemaining != 0 && packetRemaining != 0) {
            uint32_t n = std::min(headerRemaining, packetRemaining);
            std::memcpy(record.rawHeader.data() + rawHeaderWrite, cursor, n);
            rawHeaderWrite += n;
            cursor += n;
            headerRemaining -= n;
            packetRemaining -= n;
            if (headerRemaining == 0 && record.ssl2ClientHello) {
                record.length = static_cast<uint16_t>((record.rawHeader[0] & 0x7f) << 8 | record.rawHeader[1]);
                dataRemaining = record.length;
            } else if (headerRemaining == 0) {
                record.type = record.rawHeader[0];
                record.version = static_cast<uint16_t>(record.rawHeader[1] << 8 | record.rawHeader[2]);
                record.length = static_cast<uint16_t>(record.rawHeader[3] << 8 | record.rawHeader[4]);
                dataRemaining = record.length;
            }
        }
        if (headerRemaining == 0) {
            if (dataRemaining == 0) {
                recordComplete = true;
            } else if (packetRemaining != 0) {
                uint32_t n = std::min(dataRemaining, packetRemaining);
                if (isCopiedType(record.type) || record.ssl2ClientHello) {
                    record.captured = true;
                    if (bodyWrite == 0 && n == dataRemaining) {
                        record.body = cursor;
                        bodySegment = current;
                    } else {
                        if (bodyWrite == 0) record.body = reserveBuffer(record.length);
                        std::memcpy(buffer.get() + bodyWrite, cursor, n);
                    }
                }
                cursor += n;
                bodyWrite += n;
                dataRemaining -= n;
                packetRemaining -= n;
                if (dataRemaining == 0) recordComplete = true;
            }
        }
        finishSegment();
    }
    return true;
}
