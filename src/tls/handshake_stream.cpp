#include "tls/handshake_stream.h"

#include <algorithm>
#include <utility>

#include "tls/handshake_views.h"

namespace {
// Reserved ahead of a message's bytes at most: a forged length reserves no more than this
// before the bytes themselves arrive.
constexpr size_t reserveAhead = 65536;
}  // namespace

void HandshakeStream::addRecord(std::span<const uint8_t> body) {
    if (!tooLong) unread = ByteReader(body);
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
        overflow();
        return false;
    }
    partial.reserve(std::min(length, partial.size() + unread.remaining() + reserveAhead));
    carry(length - partial.size());
    if (partial.size() < length) return false;
    // Moved out, so the memory goes as soon as the message has been handled.
    joined = std::exchange(partial, {});
    message = {joined};
    return true;
}

bool HandshakeStream::next(Message& message) {
    // A joined message lives only until the next one is asked for.
    if (!joined.empty()) std::vector<uint8_t>().swap(joined);
    if (holdsPartialMessage()) return completePartial(message);
    if (unread.empty()) return false;
    const size_t length = declaredMessageLength(unread.rest());
    if (length > maxJoined) {
        overflow();
        return false;
    }
    if (length == 0 || length > unread.remaining()) {
        // A header or a message cut by the end of the record: kept for the next one.
        carry(unread.remaining());
        return false;
    }
    message = {unread.bytes(length)};
    return true;
}
