#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/byte_reader.h"

// The handshake messages of one direction, out of the bodies of its handshake records in
// order: a message that spans records comes out whole, once its last byte has arrived.
// A message that declares more than `maxJoined` bytes is taken for garbage rather than
// buffered: from then on each record is read alone, and a message that runs past the end
// of its record comes out cut short, marked as not whole.
class HandshakeStream {
public:
    struct Message {
        std::span<const uint8_t> bytes;  // header included
        bool whole = true;               // false: cut by the end of its record
    };

    // The longest message joined across records, header included.
    static constexpr size_t maxJoined = 65536;

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
    bool joinsMessages() const { return joins; }

private:
    bool nextJoined(Message& message);
    bool completePartial(Message& message);
    bool nextAlone(Message& message);
    void carry(size_t wanted);
    void dropPartial() { std::vector<uint8_t>().swap(partial); }

    std::span<const uint8_t> record;  // the current record's body
    ByteReader unread;                // what of it has not come out yet
    // The bytes so far of a message that runs past its record; holds memory only then.
    std::vector<uint8_t> partial;
    // The last message joined from several records, until the next call.
    std::vector<uint8_t> joined;
    bool joins = true;
};
