#include "tls/client_hello.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

#include "base/hex.h"
#include "tls/handshake_views.h"
#include "tls/registry.h"

namespace tls {

namespace {

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
    // DTLS numbers its versions downwards: 1.2 is 0xFEFD, 1.3 0xFEFC.
    auto newer = [&](uint16_t a, uint16_t b) { return protocol == 'd' ? a < b : a > b; };
    uint16_t highest = 0;
    for (uint16_t v : supportedVersions)
        if (!isGrease(v) && (highest == 0 || newer(v, highest))) highest = v;
    return highest ? highest : legacyVersion;
}

namespace {
void append(U16List list, std::vector<uint16_t>& out) {
    list.forEach([&](uint16_t value) { out.push_back(value); });
}

void appendAlpn(ByteView data, std::vector<std::string>& out) {
    forEachAlpnProtocol(data, [&](ByteView name) { out.emplace_back(name.begin(), name.end()); });
}
}  // namespace

bool parseClientHello(std::span<const uint8_t> message, ClientHelloInfo& out, char protocol) {
    out.clear();
    out.protocol = protocol;
    ClientHelloView const hello = readClientHello(message, protocol == 'd');
    if (hello.type != handshake_type::CLIENT_HELLO || !hello.fixedPartRead) return false;
    out.legacyVersion = hello.legacyVersion.value_or(0);
    append(hello.cipherSuites, out.cipherSuites);
    hello.extensions.forEach([&](Extension extension) {
        out.extensions.push_back(extension.type);
        switch (extension.type) {
        case extension_type::SERVER_NAME: out.hasSni = true; break;
        case extension_type::SUPPORTED_GROUPS: append(u16ListExtension(extension.data), out.groups); break;
        case extension_type::SIGNATURE_ALGORITHMS: append(u16ListExtension(extension.data), out.signatureAlgorithms); break;
        case extension_type::ALPN: appendAlpn(extension.data, out.alpn); break;
        case extension_type::SUPPORTED_VERSIONS: append(offeredVersions(extension.data), out.supportedVersions); break;
        case extension_type::KEY_SHARE:
            forEachKeyShareGroup(extension.data, [&](uint16_t group) { out.keyShares.push_back(group); });
            break;
        default: break;
        }
    });
    return true;
}

bool parseServerHello(std::span<const uint8_t> message, ServerHelloInfo& out) {
    out = ServerHelloInfo{};
    ServerHelloView const hello = readServerHello(message);
    if (hello.type != handshake_type::SERVER_HELLO || !hello.compressionMethod) return false;
    out.version = hello.legacyVersion.value_or(0);
    out.cipherSuite = hello.cipherSuite.value_or(0);
    hello.extensions.forEach([&](Extension extension) {
        if (extension.type == extension_type::SUPPORTED_VERSIONS) {
            if (auto selected = selectedVersion(extension.data)) out.version = *selected;
        } else if (extension.type == extension_type::ALPN) {
            std::vector<std::string> picked;
            appendAlpn(extension.data, picked);
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
    key += hello.protocol;
    if (!hello.alpn.empty()) key += hello.alpn.front();
    auto found = known.find(key);
    if (found != known.end()) return found->second;
    if (known.size() > 100000) known.clear();  // bounded, whatever the clients send
    return known.emplace(key, compute(hello)).first->second;
}

std::string Ja4::compute(ClientHelloInfo const& hello) {
    std::string out(1, hello.protocol);
    switch (hello.highestVersion()) {
    case 0xfefc: out += "d3"; break;
    case 0xfefd: out += "d2"; break;
    case 0xfeff: out += "d1"; break;
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

}  // namespace tls
