// The handshake stream of one direction: record bodies in, whole messages out. Each case
// feeds records in turn (an empty body stands for a record of another type between them)
// and lists every message that comes out.
#include <gtest/gtest.h>

#include "support/builders.h"
#include "tls/handshake_stream.h"

using namespace build;

namespace {

struct Out {
    Bytes bytes;
    bool whole = true;
    bool operator==(Out const&) const = default;
};

std::ostream& operator<<(std::ostream& os, Out const& out) {
    return os << out.bytes.size() << " bytes" << (out.whole ? "" : " (cut)");
}

// The records of `stream` cut every `size` bytes.
std::vector<Bytes> cut(Bytes const& stream, size_t size) {
    std::vector<Bytes> records;
    for (size_t at = 0; at < stream.size(); at += size)
        records.emplace_back(stream.begin() + static_cast<long>(at),
                             stream.begin() + static_cast<long>(std::min(stream.size(), at + size)));
    return records;
}

TEST(HandshakeStream, JoinsCutsAndFallsBack) {
    Bytes const hello = handshake(2, Bytes(70, 1));
    Bytes const done = handshake(14, {});
    Bytes const big = handshake(11, Bytes(1000, 7));
    Bytes oversized;  // declares 70,000 bytes, holds 396
    put8(oversized, 11);
    put24(oversized, 70000);
    oversized.resize(400, 0);
    Bytes const other;  // a record of another type

    struct Case {
        std::string what;
        std::vector<Bytes> records;
        std::vector<Out> out;
        bool partialLeft = false;
        bool joins = true;
    };
    std::vector<Case> const cases = {
        {"several messages in one record", {concat({hello, big, done})}, {{hello}, {big}, {done}}},
        {"a message over many records", cut(concat({hello, big, done}), 200), {{hello}, {big}, {done}}},
        {"a header split across records", cut(concat({hello, done}), 3), {{hello}, {done}}},
        {"a record's end cuts the last message: it waits",
         {concat({hello, Bytes(big.begin(), big.begin() + 10)})},
         {{hello}},
         true},
        {"a record of another type drops the cut message",
         {Bytes(hello.begin(), hello.begin() + 30), other, done},
         {{done}}},
        {"a declaration over 64 KiB: this record and the later ones are read alone",
         {oversized, hello, concat({done, Bytes(hello.begin(), hello.begin() + 50)})},
         {{oversized, false}, {hello}, {done}, {Bytes(hello.begin(), hello.begin() + 50), false}},
         false,
         false},
        {"an oversized declaration found when completing a header",
         {Bytes(oversized.begin(), oversized.begin() + 2), Bytes(oversized.begin() + 2, oversized.end())},
         {{Bytes(oversized.begin() + 2, oversized.end()), false}},
         false,
         false},
        {"read alone, a header cut by the record's end gives nothing",
         {oversized, Bytes(done.begin(), done.begin() + 3)},
         {{oversized, false}},
         false,
         false},
    };
    for (auto const& c : cases) {
        HandshakeStream stream;
        std::vector<Out> out;
        for (auto const& body : c.records) {
            if (body.empty()) {
                stream.interrupt();
                continue;
            }
            stream.addRecord(body);
            for (HandshakeStream::Message message; stream.next(message);)
                out.push_back({Bytes(message.bytes.begin(), message.bytes.end()), message.whole});
        }
        EXPECT_EQ(out, c.out) << c.what;
        EXPECT_EQ(stream.holdsPartialMessage(), c.partialLeft) << c.what;
        EXPECT_EQ(stream.joinsMessages(), c.joins) << c.what;
        stream.release();
        EXPECT_FALSE(stream.holdsPartialMessage()) << c.what << ": release frees the joining buffer";
    }
}

}  // namespace
