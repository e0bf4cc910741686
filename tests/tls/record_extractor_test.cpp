#include <gtest/gtest.h>

#include "support/builders.h"
#include "tls/record_extractor.h"

using namespace build;

namespace {
std::shared_ptr<Packet> segment(uint32_t seq, Bytes const& payload, long micros = 0) {
    Segment s;
    s.seq = seq;
    s.payload = payload;
    return tcpPacket(s, 1700000000, micros);
}

Bytes slice(Bytes const& b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

std::vector<std::pair<uint8_t, uint16_t>> drain(TLSRecordExtractor& x) {
    std::vector<std::pair<uint8_t, uint16_t>> out;
    while (x.hasMoreRecords()) out.emplace_back(x.nextRecord().type, x.nextRecord().length);
    return out;
}
}  // namespace

TEST(RecordExtractor, RecordSpanningSegmentsWithSplitHeader) {
    Bytes rec = record(22, Bytes(512, 0x42));
    TLSRecordExtractor x;
    x.process(segment(100, slice(rec, 0, 3)));
    EXPECT_FALSE(x.hasMoreRecords());
    x.process(segment(103, slice(rec, 3, 300)));
    EXPECT_FALSE(x.hasMoreRecords());
    x.process(segment(400, slice(rec, 300, rec.size())));
    ASSERT_TRUE(x.hasMoreRecords());
    EXPECT_EQ(x.nextRecord().length, 512);
    EXPECT_TRUE(x.nextRecord().captured);
    EXPECT_EQ(x.nextRecord().payload().size(), 512u);
    EXPECT_EQ(x.nextRecord().payload()[511], 0x42);
    EXPECT_FALSE(x.hasMoreRecords());
}

TEST(RecordExtractor, SeveralRecordsInOneSegmentAndSkippedApplicationData) {
    Bytes b = concat({record(22, Bytes(10, 1)), record(23, Bytes(16000, 2)), record(21, {1, 0}), record(22, {})});
    TLSRecordExtractor x;
    x.process(segment(1, b));
    auto records = drain(x);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[1], (std::pair<uint8_t, uint16_t>{23, 16000}));
    EXPECT_EQ(records[2].first, 21);
    EXPECT_EQ(records[3], (std::pair<uint8_t, uint16_t>{22, 0}));

    TLSRecordExtractor y;
    y.process(segment(1, record(23, Bytes(100, 2))));
    ASSERT_TRUE(y.hasMoreRecords());
    EXPECT_FALSE(y.nextRecord().captured) << "application data is passed over, not copied";
}

TEST(RecordExtractor, OutOfOrderSegmentsWaitForTheGap) {
    Bytes rec = concat({record(22, Bytes(20, 1)), record(22, Bytes(20, 2)), record(22, Bytes(20, 3))});
    TLSRecordExtractor x;
    x.process(segment(5000, slice(rec, 0, 25)));
    EXPECT_EQ(drain(x).size(), 1u);
    x.process(segment(5050, slice(rec, 50, 75)));
    EXPECT_TRUE(drain(x).empty());
    x.process(segment(5025, slice(rec, 25, 50)));
    auto records = drain(x);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(x.pendingCount(), 0u);
}

TEST(RecordExtractor, RetransmittedAndOverlappingSegmentsDoNotBlock) {
    Bytes first = record(22, Bytes(30, 1));
    Bytes second = record(22, Bytes(30, 2));
    TLSRecordExtractor x;
    x.process(segment(1, first));
    EXPECT_EQ(drain(x).size(), 1u);
    x.process(segment(1, first));  // whole repeat of consumed data
    EXPECT_TRUE(drain(x).empty());
    // Overlap: resends the last 10 bytes of the first record together with the second.
    x.process(segment(1 + 25, concat({slice(first, 25, 35), second})));
    ASSERT_TRUE(x.hasMoreRecords());
    EXPECT_EQ(x.nextRecord().payload().front(), 2) << "the second record, not a rerun of the first";
    EXPECT_FALSE(x.hasMoreRecords());
}

TEST(RecordExtractor, DuplicateSegmentsPendingTogetherAreReadOnce) {
    Bytes rec = concat({record(22, Bytes(8, 1)), record(20, {1})});
    TLSRecordExtractor x;
    x.process(segment(70, slice(rec, 0, 13)));
    x.process(segment(83, slice(rec, 13, rec.size()), 5));
    x.process(segment(83, slice(rec, 13, rec.size()), 9));
    EXPECT_EQ(drain(x).size(), 2u);
    EXPECT_EQ(x.pendingCount(), 0u);
}

TEST(RecordExtractor, SequenceNumbersWrapAround) {
    Bytes rec = concat({record(22, Bytes(40, 1)), record(20, {1})});
    const uint32_t start = 0xffffffffu - 20;
    // The segment after the wrap arrives first and is held until its predecessor is read.
    TLSRecordExtractor y;
    y.process(segment(start, slice(rec, 0, 21)));
    EXPECT_EQ(drain(y).size(), 0u);
    y.process(segment(start + 21, slice(rec, 21, rec.size())));
    EXPECT_EQ(drain(y).size(), 2u);

    TLSRecordExtractor z;
    z.process(segment(start, slice(rec, 0, 10)));
    z.process(segment(start + 21, slice(rec, 21, rec.size())));  // after the wrap: 0x00000000
    z.process(segment(start + 10, slice(rec, 10, 21)));
    EXPECT_EQ(drain(z).size(), 2u);
}

TEST(RecordExtractor, EmptySegmentsAreIgnoredAndBufferIsReleased) {
    TLSRecordExtractor x;
    x.process(segment(10, {}));
    EXPECT_EQ(x.pendingCount(), 0u);
    x.process(segment(10, record(22, Bytes(3, 5))));
    ASSERT_TRUE(x.hasMoreRecords());
    EXPECT_EQ(x.nextRecord().payload()[2], 5);
    EXPECT_FALSE(x.holdsBuffer()) << "a record within one segment is read in place";
    const Bytes rec = record(22, Bytes(300, 7));
    x.process(segment(18, slice(rec, 0, 100)));
    EXPECT_FALSE(x.hasMoreRecords());
    x.process(segment(118, slice(rec, 100, rec.size())));
    ASSERT_TRUE(x.hasMoreRecords());
    EXPECT_TRUE(x.holdsBuffer()) << "a record across segments is copied together";
    EXPECT_EQ(x.nextRecord().payload().size(), 300u);
    EXPECT_EQ(x.nextRecord().payload()[299], 7);
    x.process(segment(500, record(22, Bytes(3, 0))));
    x.release();
    EXPECT_FALSE(x.holdsBuffer());
    EXPECT_EQ(x.pendingCount(), 0u);
    EXPECT_FALSE(x.hasMoreRecords());
}
