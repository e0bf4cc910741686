// SHA-1 and Base64: standard vectors, block-boundary lengths, and agreement with the
// openssl and coreutils tools over many lengths.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include "record/base64.h"
#include "export/export_fixture.h"
#include "record/sha1.h"

namespace fs = boost::filesystem;

namespace {

std::string sha1(std::string const& bytes) { return export_test::sha1Hex(bytes); }

std::string b64(std::string const& bytes) {
    return base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), uint32_t(bytes.size()));
}

std::string randomBytes(size_t length, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(length, '\0');
    for (char& c : bytes) c = char(generator() & 0xff);
    return bytes;
}

std::string runCommand(std::string const& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return {};
    std::string out;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe.get())) > 0) out.append(chunk, n);
    return out;
}

}  // namespace

TEST(Sha1, StandardVectors) {
    EXPECT_EQ(sha1(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(sha1("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(sha1("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmn"
                   "opqrstnopqrstu"),
              "a49b2446a02c645bf419f995b67091253a04a259");
    EXPECT_EQ(sha1(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(sha1(std::string("\0\0\0", 3)), sha1(std::string("\0\0\0", 3)));
    EXPECT_NE(sha1(std::string("\0\0\0", 3)), sha1(std::string("\0\0", 2)));
}

TEST(Sha1, PaddingBoundaries) {
    // 55 leaves room for the length in the last block; 56..63 need an extra block.
    struct Case { size_t length; const char* digest; };
    for (Case c : {Case{55, "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
                   Case{56, "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
                   Case{57, "f08f24908d682555111be7ff6f004e78283d989a"},
                   Case{63, "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
                   Case{64, "0098ba824b5c16427bd7a1122a5a442a25ec644d"},  // leading zero digits kept
                   Case{65, "11655326c708d70319be2610e8a57d9a5b959d3b"}})
        EXPECT_EQ(sha1(std::string(c.length, 'a')), c.digest) << c.length;
}

TEST(Sha1, PiecewiseInputAndReuse) {
    std::string data = randomBytes(1000, 7);
    Sha1 whole;
    whole.update(reinterpret_cast<const unsigned char*>(data.data()), data.size());
    std::string expected = whole.finalHex();
    // The same object, reset by finalHex, fed in uneven pieces across block edges.
    for (size_t step : {size_t(1), size_t(63), size_t(65), size_t(200)}) {
        for (size_t at = 0; at < data.size(); at += step)
            whole.update(reinterpret_cast<const unsigned char*>(data.data()) + at, std::min(step, data.size() - at));
        EXPECT_EQ(whole.finalHex(), expected) << step;
    }
}

TEST(Base64, Rfc4648Vectors) {
    EXPECT_EQ(b64(""), "");
    EXPECT_EQ(b64("f"), "Zg==");
    EXPECT_EQ(b64("fo"), "Zm8=");
    EXPECT_EQ(b64("foo"), "Zm9v");
    EXPECT_EQ(b64("foob"), "Zm9vYg==");
    EXPECT_EQ(b64("fooba"), "Zm9vYmE=");
    EXPECT_EQ(b64("foobar"), "Zm9vYmFy");
    EXPECT_EQ(b64(std::string("\0\0\0\xff", 4)), "AAAA/w==");
    EXPECT_EQ(b64("\xfb\xff\xbf"), "+/+/");
    EXPECT_EQ(base64_chars.size(), 64u);
    std::string longText = b64(std::string(300, 'x'));
    EXPECT_EQ(longText.size(), 400u);
    EXPECT_EQ(longText.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(base64Text(std::string("\0f", 2)), "AGY=");
}

// Lengths 0..200 and two large inputs, each compared with `openssl dgst -sha1` and
// `base64 -w0` run on the same bytes written to a file.
TEST(Codecs, AgreeWithSystemTools) {
    if (runCommand("command -v openssl >/dev/null && command -v base64 >/dev/null && echo yes") != "yes\n")
        GTEST_SKIP() << "openssl or base64 not installed";
    fs::path dir = fs::temp_directory_path() / fs::unique_path("varno-codec-%%%%-%%%%");
    fs::create_directories(dir);
    std::vector<std::string> inputs;
    for (size_t n = 0; n <= 200; ++n) inputs.push_back(randomBytes(n, unsigned(n)));
    inputs.push_back(randomBytes(1 << 20, 1));
    inputs.push_back(randomBytes((1 << 20) + 59, 2));
    for (size_t i = 0; i < inputs.size(); ++i) {
        std::ofstream out((dir / std::to_string(i)).string(), std::ios::binary);
        out.write(inputs[i].data(), std::streamsize(inputs[i].size()));
    }
    std::string script = "cd '" + dir.string() + "' && i=0; while [ $i -lt " + std::to_string(inputs.size()) +
                         " ]; do openssl dgst -sha1 -r $i | cut -c1-40; base64 -w0 $i; echo; i=$((i+1)); done";
    std::istringstream lines(runCommand(script));
    fs::remove_all(dir);

    for (size_t i = 0; i < inputs.size(); ++i) {
        std::string digest, encoded;
        ASSERT_TRUE(std::getline(lines, digest) && std::getline(lines, encoded)) << "tool output ended at " << i;
        EXPECT_EQ(sha1(inputs[i]), digest) << "length " << inputs[i].size();
        EXPECT_EQ(b64(inputs[i]), encoded) << "length " << inputs[i].size();
    }
}

TEST(Base64, DecodeRoundTripAndRejects) {
    std::string decoded;
    for (size_t length = 0; length < 70; ++length) {
        std::string const bytes = randomBytes(length, static_cast<unsigned>(length));
        std::string const text = b64(bytes);
        ASSERT_TRUE(base64_decode(text.data(), text.size(), decoded)) << length;
        EXPECT_EQ(decoded, bytes);
    }
    for (std::string bad : {"A", "AB=C", "A===", "=AAA", "AA==AAAA", "AB*D", "AB\nC"})
        EXPECT_FALSE(base64_decode(bad.data(), bad.size(), decoded)) << bad;
}
