#include "tls/handshake_stream.h"

#include <algorithm>
#include <utility>

#include "tls/handshake_views.h"

void HandshakeStream::addRecord(std::span<const uint8_t> body) {
    record = body;
    unread = ByteReader(body);
}

bool HandshakeStream::next(Message& message) {
    // A joined message lives only until the next one is asked for.
    if (!joined.empty()) std::vector<uint8_t>().swap(joined);
    return joins ? nextJoined(message) : nextAlone(message);
}

void HandshakeStream::carry(size_t wanted) {
    auto more = unread.bytes(std::min(wanted, unread.remaining()));
    partial.insert(partial.end(), more.begin(), more.end());
}

// Completes the message a former record began: its header first, then the rest of the
// body the header declares.
bool HandshakeStream::completePartial(Message& message) {
    if (partial.size() < HANDSHAKE_HEADER_LENGTH) carry(HANDSHAKE_HEADER_LENGTH - partial.size());
    if (partial.size() < HANDSHAKE_HEADER_LENGTH) return false;
    const size_t length = declaredMessageLength(partial);
    if (length > maxJoined) {
        // Too long to join after all: this record and the later ones are read alone.
        dropPartial();
        joins = false;
        unread = ByteReader(record);
        return nextAlone(message);
    }
    partial.reserve(length);
    carry(length - partial.size());
    if (partial.size() < length) return false;
    // Moved out, so the memory goes as soon as the message has been handled.
    joined = std::exchange(partial, {});
    message = {joined, true};
    return true;
}

bool HandshakeStream::nextJoined(Message& message) {
    if (holdsPartialMessage()) return completePartial(message);
    if (unread.empty()) return false;
    const size_t length = declaredMessageLength(unread.rest());
    if (length > maxJoined) {
        joins = false;
        return nextAlone(message);
    }
    if (length == 0 || length > unread.remaining()) {
        // A header or a message cut by the end of the record: kept for the next one.
        partial.reserve(std::max(length, HANDSHAKE_HEADER_LENGTH));
        carry(unread.remaining());
        return false;
    }
    message = {unread.bytes(length), true};
    return true;
}

// Within this record alone: a message that runs past the record's end comes out as far as
// it goes.
bool HandshakeStream::nextAlone(Message& message) {
    if (unread.empty()) return false;
    const size_t length = declaredMessageLength(unread.rest());
    if (length == 0) {  // a message header cut by the end of the record
        unread = ByteReader();
        return false;
    }
    const bool whole = unread.remaining() >= length;
    message = {unread.bytes(std::min(length, unread.remaining())), whole};
    return true;
}
