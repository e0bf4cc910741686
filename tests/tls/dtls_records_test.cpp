// Putting DTLS handshake messages back together from fragments: the cases real captures
// rarely show (overlaps that disagree, fragments that contradict their message_seq, a
// retransmission after the message is whole). The oracle checks the rest on captures.
#include <gtest/gtest.h>

#include "tls/dtls_records.h"

namespace {

struct Piece {
    uint8_t type;
    uint32_t length;
    uint16_t seq;
    uint32_t offset;
    std::vector<uint8_t> bytes;
};

TEST(DtlsMessageAssembler, CompletesOnceWithTheFirstArrivalOfEachByte) {
    struct {
        char const* what;
        std::vector<Piece> pieces;
        std::vector<uint8_t> body;  // of the message completed by the last piece; empty: none
    } const cases[] = {
        {"in order", {{1, 4, 0, 0, {1, 2}}, {1, 4, 0, 2, {3, 4}}}, {1, 2, 3, 4}},
        {"reversed", {{1, 4, 0, 2, {3, 4}}, {1, 4, 0, 0, {1, 2}}}, {1, 2, 3, 4}},
        {"overlap: first wins", {{1, 4, 0, 1, {9, 9, 9}}, {1, 4, 0, 0, {1, 2, 3, 4}}}, {1, 9, 9, 9}},
        {"another length is ignored", {{1, 4, 0, 0, {1, 2}}, {1, 3, 0, 2, {3}}}, {}},
        {"another type is ignored", {{1, 4, 0, 0, {1, 2}}, {2, 4, 0, 2, {3, 4}}}, {}},
        {"past the length is ignored", {{1, 4, 0, 0, {1, 2}}, {1, 4, 0, 2, {3, 4, 5}}}, {}},
        {"retransmission of a whole message", {{1, 2, 0, 0, {1, 2}}, {1, 2, 0, 0, {1, 2}}}, {}},
        {"empty message", {{14, 0, 3, 0, {}}}, {0}},
        {"other message_seq", {{1, 4, 0, 0, {1, 2}}, {1, 4, 1, 2, {3, 4}}}, {}},
    };
    for (auto const& c : cases) {
        dtls::MessageAssembler assembler;
        std::vector<uint8_t> message;
        bool completed = false;
        for (auto const& p : c.pieces) completed = assembler.add({p.type, p.length, p.seq, p.offset, p.bytes}, message);
        if (c.body.empty()) {
            EXPECT_FALSE(completed) << c.what;
            continue;
        }
        ASSERT_TRUE(completed) << c.what;
        const Piece& last = c.pieces.back();
        std::vector<uint8_t> expected = {last.type, 0, 0, uint8_t(last.length)};
        if (last.length) expected.insert(expected.end(), c.body.begin(), c.body.end());
        EXPECT_EQ(message, expected) << c.what;
    }
}

}  // namespace
