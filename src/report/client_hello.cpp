#include "report/client_hello.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

#include "report/registry.h"
#include "base/byte_reader.h"
#include "base/hex.h"
#include "tls/record_extractor.h"

namespace report {

namespace {
constexpr size_t RANDOM_LENGTH = 32;

// A list of 16-bit values behind a length prefix of prefixBytes bytes.
void readU16List(ByteReader& r, size_t prefixBytes, std::vector<uint16_t>& out) {
    ByteReader list = r.sub(prefixBytes == 1 ? r.u8() : r.u16());
    while (list.remaining() >= 2) out.push_back(list.u16());
}

void readAlpn(ByteReader data, std::vector<std::string>& out) {
    ByteReader list = data.sub(data.u16());
    while (!list.empty()) {
        auto name = list.bytes(list.u8());
        if (!list.ok()) break;
        out.emplace_back(name.begin(), name.end());
    }
}

void readKeyShares(ByteReader data, std::vector<uint16_t>& out) {
    ByteReader list = data.sub(data.u16());
    while (!list.empty()) {
        uint16_t const group = list.u16();
        list.skip(list.u16());
        if (!list.ok()) break;
        out.push_back(group);
    }
}

// Calls visit(type, data) for each extension of the block that starts at the reader.
template <typename Visit>
void walkExtensions(ByteReader& hello, Visit visit) {
    if (hello.empty()) return;
    ByteReader block = hello.sub(hello.u16());
    while (!block.empty()) {
        uint16_t const type = block.u16();
        ByteReader data = block.sub(block.u16());
        if (!block.ok()) return;
        visit(type, data);
    }
}

bool isAlphanumeric(uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

void appendHex4(std::string& text, uint16_t value) {
    appendHexByte(text, static_cast<uint8_t>(value >> 8));
    appendHexByte(text, static_cast<uint8_t>(value));
}

void appendCount(std::string& text, size_t count) {
    count = std::min<size_t>(count, 99);
    text += static_cast<char>('0' + count / 10);
    text += static_cast<char>('0' + count % 10);
}
}  // namespace

void ClientHelloInfo::clear() {
    legacyVersion = 0;
    hasSni = false;
    cipherSuites.clear();
    extensions.clear();
    supportedVersions.clear();
    groups.clear();
    keyShares.clear();
    signatureAlgorithms.clear();
    alpn.clear();
}

uint16_t ClientHelloInfo::highestVersion() const {
    uint16_t highest = 0;
    for (uint16_t v : supportedVersions)
        if (!isGrease(v)) highest = std::max(highest, v);
    return highest ? highest : legacyVersion;
}

bool parseClientHello(std::span<const uint8_t> message, ClientHelloInfo& out) {
    out.clear();
    ByteReader hello(message);
    if (hello.u8() != 1) return false;
    hello = hello.sub(hello.u24());
    out.legacyVersion = hello.u16();
    hello.skip(RANDOM_LENGTH);
    hello.skip(hello.u8());  // session_id
    readU16List(hello, 2, out.cipherSuites);
    hello.skip(hello.u8());  // compression methods
    if (!hello.ok()) return false;
    walkExtensions(hello, [&](uint16_t type, ByteReader data) {
        out.extensions.push_back(type);
        switch (type) {
        case extension_type::SERVER_NAME: out.hasSni = true; break;
        case extension_type::SUPPORTED_GROUPS: readU16List(data, 2, out.groups); break;
        case extension_type::SIGNATURE_ALGORITHMS: readU16List(data, 2, out.signatureAlgorithms); break;
        case extension_type::ALPN: readAlpn(data, out.alpn); break;
        case extension_type::SUPPORTED_VERSIONS: readU16List(data, 1, out.supportedVersions); break;
        case extension_type::KEY_SHARE: readKeyShares(data, out.keyShares); break;
        default: break;
        }
    });
    return true;
}

bool parseServerHello(std::span<const uint8_t> message, ServerHelloInfo& out) {
    out = ServerHelloInfo{};
    ByteReader hello(message);
    if (hello.u8() != 2) return false;
    hello = hello.sub(hello.u24());
    out.version = hello.u16();
    hello.skip(RANDOM_LENGTH);
    hello.skip(hello.u8());
    out.cipherSuite = hello.u16();
    hello.skip(1);  // compression method
    if (!hello.ok()) return false;
    walkExtensions(hello, [&](uint16_t type, ByteReader data) {
        if (type == extension_type::SUPPORTED_VERSIONS) {
            uint16_t const selected = data.u16();
            if (data.ok()) out.version = selected;
        } else if (type == extension_type::ALPN) {
            std::vector<std::string> picked;
            readAlpn(data, picked);
            if (!picked.empty()) out.alpn = picked.front();
        }
    });
    return true;
}

std::string const& Ja4::truncatedSha256(std::string const& text) {
    static std::string const none = "000000000000";
    if (text.empty()) return none;
    auto found = digests.find(text);
    if (found != digests.end()) return found->second;
    if (digests.size() > 100000) digests.clear();  // bounded, whatever the clients send
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    std::string truncated;
    for (int i = 0; i < 6; ++i) appendHexByte(truncated, digest[i]);
    return digests.emplace(text, std::move(truncated)).first->second;
}

std::string const& Ja4::fingerprint(ClientHelloInfo const& hello) {
    // Clients send the same few hellos again and again; only their GREASE values, random
    // and key shares differ, and JA4 ignores those.
    key.clear();
    auto put = [&](std::vector<uint16_t> const& values) {
        size_t at = key.size();
        key.resize(at + 2 + 2 * values.size());
        key[at++] = static_cast<char>(values.size() & 0xff);
        key[at++] = static_cast<char>(values.size() >> 8);
        for (uint16_t v : values) {
            uint16_t const w = isGrease(v) ? 0x0a0a : v;
            key[at++] = static_cast<char>(w >> 8);
            key[at++] = static_cast<char>(w & 0xff);
        }
    };
    put(hello.cipherSuites);
    put(hello.extensions);
    put(hello.signatureAlgorithms);
    put(hello.supportedVersions);
    key += static_cast<char>(hello.legacyVersion >> 8);
    key += static_cast<char>(hello.legacyVersion & 0xff);
    key += hello.hasSni ? 'd' : 'i';
    if (!hello.alpn.empty()) key += hello.alpn.front();
    auto found = known.find(key);
    if (found != known.end()) return found->second;
    if (known.size() > 100000) known.clear();  // bounded, whatever the clients send
    return known.emplace(key, compute(hello)).first->second;
}

std::string Ja4::compute(ClientHelloInfo const& hello) {
    std::string out = "t";
    switch (hello.highestVersion()) {
    case 0x0304: out += "13"; break;
    case 0x0303: out += "12"; break;
    case 0x0302: out += "11"; break;
    case 0x0301: out += "10"; break;
    case 0x0300: out += "s3"; break;
    case 0x0002: out += "s2"; break;
    default: out += "00"; break;
    }
    out += hello.hasSni ? 'd' : 'i';

    scratch.clear();
    for (uint16_t s : hello.cipherSuites)
        if (!isGrease(s)) scratch.push_back(s);
    appendCount(out, scratch.size());
    std::sort(scratch.begin(), scratch.end());
    cipherText.clear();
    for (uint16_t s : scratch) {
        if (!cipherText.empty()) cipherText += ',';
        appendHex4(cipherText, s);
    }

    size_t extensionCount = 0;
    scratch.clear();
    for (uint16_t e : hello.extensions) {
        if (isGrease(e)) continue;
        ++extensionCount;
        if (e != extension_type::SERVER_NAME && e != extension_type::ALPN) scratch.push_back(e);
    }
    appendCount(out, extensionCount);

    if (hello.alpn.empty() || hello.alpn.front().empty()) {
        out += "00";
    } else {
        auto const& first = hello.alpn.front();
        auto const a = static_cast<uint8_t>(first.front()), z = static_cast<uint8_t>(first.back());
        if (isAlphanumeric(a) && isAlphanumeric(z)) {
            out += static_cast<char>(a);
            out += static_cast<char>(z);
        } else {
            out += HEX_DIGITS[a >> 4];
            out += HEX_DIGITS[z & 0x0f];
        }
    }

    std::sort(scratch.begin(), scratch.end());
    extensionText.clear();
    for (uint16_t e : scratch) {
        if (!extensionText.empty()) extensionText += ',';
        appendHex4(extensionText, e);
    }
    bool first = true;
    for (uint16_t a : hello.signatureAlgorithms) {
        if (isGrease(a)) continue;
        extensionText += first ? '_' : ',';
        first = false;
        appendHex4(extensionText, a);
    }

    out += '_';
    out += truncatedSha256(cipherText);
    out += '_';
    out += scratch.empty() ? std::string("000000000000") : truncatedSha256(extensionText);
    return out;
}

}  // namespace report
