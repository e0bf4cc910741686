// Inputs the fuzz targets (fuzz/) once failed on, replayed through the same harness:
// tests/robustness/inputs/frame for fuzz_packet, inputs/capture for fuzz_engine, as found.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <climits>
#include <fstream>
#include <iterator>

#include "export/export_fixture.h"
#include "robustness/replay.h"
#include "support/handshake.h"

namespace fs = boost::filesystem;

namespace {

std::vector<std::pair<std::string, build::Bytes>> inputs(std::string const& target) {
    std::vector<std::pair<std::string, build::Bytes>> found;
    const fs::path directory = fs::path(VARNO_SOURCE_DIR) / "tests/robustness/inputs" / target;
    for (fs::directory_iterator it(directory), end; it != end; ++it) {
        std::ifstream in(it->path().string(), std::ios::binary);
        found.emplace_back(it->path().filename().string(),
                           build::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    }
    EXPECT_FALSE(found.empty()) << directory;
    return found;
}

struct FuzzFindings : ::testing::Test {
    SettingsGuard guard;
    export_test::LogCapture log;  // keeps the progress lines off the console

    void SetUp() override {
        guard.config.certificates = true;
        guard.config.keyShare = true;
        guard.config.hasMessageTypes = true;
        guard.config.messageTypes.clear();
        guard.output.exportDuration = 60;
    }
};

}  // namespace

TEST_F(FuzzFindings, FramesReplayCleanly) {
    for (auto const& [name, bytes] : inputs("frame")) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(replay::frame(bytes.data(), bytes.size()));
    }
}

TEST_F(FuzzFindings, CapturesReplayCleanly) {
    const fs::path directory = fs::temp_directory_path() / fs::unique_path("varno-findings-%%%%-%%%%");
    fs::create_directories(directory);
    for (auto const& [name, bytes] : inputs("capture")) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(replay::capture(directory, bytes.data(), bytes.size())) << "libpcap read the file";
    }
    fs::remove_all(directory);
}

// A capture time past what 64-bit milliseconds hold (a pcapng file may count whole seconds
// in 64 bits) used to be converted out of range, which is undefined; it now saturates.
TEST(FuzzFinding, CaptureTimeBeyondMillisecondRangeSaturates) {
    build::Segment s;
    s.payload = {1, 2, 3};
    const build::Bytes frame = build::ethernet(build::ipv4(s));
    pcap_pkthdr header{};
    header.caplen = header.len = static_cast<uint32_t>(frame.size());
    Packet packet(DLT_EN10MB);
    ASSERT_TRUE(packet.parse(&header, frame.data()));
    for (time_t seconds : {time_t(1) << 62, time_t(18446744073709551LL), time_t(LLONG_MAX)}) {
        header.ts.tv_sec = seconds;
        EXPECT_EQ(packet.timestamp(), UINT64_MAX) << seconds;
    }
    header.ts.tv_sec = time_t(1) << 40;  // far off, but in range
    EXPECT_EQ(packet.timestamp(), (uint64_t(1) << 40) * 1000);
    header.ts.tv_sec = -5;
    EXPECT_EQ(packet.timestamp(), 0u);
}

// The recipes the encapsulation target starts from (scripts/fuzz.sh): every kind once, a
// nesting of eight (followed) and of nine (too deep), nine tags; each cut in the middle
// and with a byte changed.
TEST(EncapsulationRecipes, ReplayCleanly) {
    const std::vector<build::Bytes> recipes = {
        {0x00}, {0x01}, {0x02}, {0x12}, {0x03}, {0xe3}, {0x04}, {0x05}, {0x25}, {0x06}, {0x07}, {0x17}, {0x08},
        {0x68}, {0x09}, {0x1a}, {0x3a}, {0x12, 0x08, 0x03, 0x07, 0x06, 0x01, 0x09, 0x05},
        {0x12, 0x08, 0x03, 0x07, 0x06, 0x01, 0x09, 0x05, 0x02}, build::Bytes(9, 0x00)};
    for (auto const& recipe : recipes)
        for (uint8_t cut : {0x00, 0x30, 0x60, 0xff}) {
            build::Bytes input = {0x00, cut, 0x00, 0x2a, 0x5a};
            build::append(input, recipe);
            build::append(input, {0xff, 0x16, 0x03, 0x01});
            EXPECT_TRUE(replay::encapsulation(input.data(), input.size())) << int(recipe[0]) << ", cut " << int(cut);
        }
}
