#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/byte_reader.h"

// The handshake messages of one direction, out of the bodies of its handshake records in
// order: a message that spans records comes out whole, once its last byte has arrived, and
// a message never comes out cut short. A message that declares more than `maxJoined` bytes
// ends the stream: nothing of it or after it comes out, and `overflowed()` says so.
class HandshakeStream {
public:
    struct Message {
        std::span<const uint8_t> bytes;  // header included
    };

    // The longest message joined across records, header included: a body of 1 MiB, ten
    // times the certificate list OpenSSL accepts by default, so only a peer no client would
    // talk to meets it. A message's bytes come from the flow's kept segments, which the flow
    // memory budget has already charged, so joining at most doubles them for the one flow
    // being analysed.
    static constexpr size_t maxJoined = (size_t(1) << 20) + 4;

    // Starts on the body of the next handshake record; next() then yields its messages.
    void addRecord(std::span<const uint8_t> body);
    // The next message out of the records so far; false when the current record holds no
    // more whole ones. The bytes stay valid until the next call.
    bool next(Message& message);
    // A record of another type came between: a message cut short is dropped.
    void interrupt() { dropPartial(); }
    // Frees the joining buffer.
    void release() {
        dropPartial();
        std::vector<uint8_t>().swap(joined);
    }

    bool holdsPartialMessage() const { return !partial.empty(); }
    // True once a message declared more than maxJoined bytes.
    bool overflowed() const { return tooLong; }

private:
    bool completePartial(Message& message);
    void carry(size_t wanted);
    void dropPartial() { std::vector<uint8_t>().swap(partial); }
    void overflow() {
        tooLong = true;
        dropPartial();
        unread = ByteReader();
    }

    ByteReader unread;  // what of the current record has not come out yet
    // The bytes so far of a message that runs past its record; holds memory only then.
    std::vector<uint8_t> partial;
    // The last message joined from several records, until the next call.
    std::vector<uint8_t> joined;
    bool tooLong = false;
};
