// The handshake stream of one direction: record bodies in, whole messages out. Each case
// feeds records in turn (an empty body stands for a record of another type between them)
// and lists every message that comes out.
#include <gtest/gtest.h>

#include "support/builders.h"
#include "tls/handshake_stream.h"

using namespace build;

namespace {

// The records of `stream` cut every `size` bytes.
std::vector<Bytes> cut(Bytes const& stream, size_t size) {
    std::vector<Bytes> records;
    for (size_t at = 0; at < stream.size(); at += size)
        records.emplace_back(stream.begin() + static_cast<long>(at),
                             stream.begin() + static_cast<long>(std::min(stream.size(), at + size)));
    return records;
}

TEST(HandshakeStream, JoinsWholeMessagesOnly) {
    Bytes const hello = handshake(2, Bytes(70, 1));
    Bytes const done = handshake(14, {});
    Bytes const big = handshake(11, Bytes(1000, 7));
    // A chain of 92,557 bytes, as a server with 50 intermediates sends it: six full records.
    Bytes const chain = handshake(11, Bytes(92553, 9));
    Bytes oversized;  // declares one byte more than is joined, holds 396
    put8(oversized, 11);
    put24(oversized, HandshakeStream::maxJoined - 3);
    oversized.resize(400, 0);
    Bytes const other;  // a record of another type

    struct Case {
        std::string what;
        std::vector<Bytes> records;
        std::vector<Bytes> out;
        bool partialLeft = false;
        bool overflowed = false;
    };
    std::vector<Case> const cases = {
        {"several messages in one record", {concat({hello, big, done})}, {hello, big, done}},
        {"a message over many records", cut(concat({hello, big, done}), 200), {hello, big, done}},
        {"a chain over six records of 16 KiB", cut(concat({hello, chain, done}), 16384), {hello, chain, done}},
        {"a header split across records", cut(concat({hello, done}), 3), {hello, done}},
        {"a record's end cuts the last message: it waits",
         {concat({hello, Bytes(big.begin(), big.begin() + 10)})},
         {hello},
         true},
        {"a record of another type drops the cut message", {Bytes(hello.begin(), hello.begin() + 30), other, done}, {done}},
        {"a declaration over the bound ends the stream", {hello, oversized, hello, done}, {hello}, false, true},
        {"an oversized declaration found when completing a header",
         {Bytes(oversized.begin(), oversized.begin() + 2), Bytes(oversized.begin() + 2, oversized.end()), done},
         {},
         false,
         true},
    };
    for (auto const& c : cases) {
        HandshakeStream stream;
        std::vector<Bytes> out;
        for (auto const& body : c.records) {
            if (body.empty()) {
                stream.interrupt();
                continue;
            }
            stream.addRecord(body);
            for (HandshakeStream::Message message; stream.next(message);)
                out.emplace_back(message.bytes.begin(), message.bytes.end());
        }
        EXPECT_EQ(out, c.out) << c.what;
        EXPECT_EQ(stream.holdsPartialMessage(), c.partialLeft) << c.what;
        EXPECT_EQ(stream.overflowed(), c.overflowed) << c.what;
        stream.release();
        EXPECT_FALSE(stream.holdsPartialMessage()) << c.what << ": release frees the joining buffer";
    }
}

}  // namespace
