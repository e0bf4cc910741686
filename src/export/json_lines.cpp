#include "export/json_lines.h"

#include <algorithm>
#include <cstdint>
#include <ctime>

#include "record/community_id.h"
#include "record/row_reader.h"
#include "tls/registry.h"
#include "tls/tls_features.h"

using records::Column;
using records::JsonForm;

namespace {

constexpr std::string_view extraPaths[] = {
    "network.transport", "network.type", "network.community_id", "tls.version_protocol", "tls.cipher", "tls.curve",
    "tls.established", "tls.client.ja4", "tls.server.hash.sha1", "tls.client.hash.sha1",
    // The leaf certificate's facts, first the server's, then the client's.
    "tls.server.x509.version_number", "tls.server.x509.serial_number", "tls.server.x509.issuer.distinguished_name",
    "tls.server.x509.issuer.common_name", "tls.server.x509.subject.distinguished_name",
    "tls.server.x509.subject.common_name", "tls.server.x509.not_before", "tls.server.x509.not_after",
    "tls.server.x509.alternative_names", "tls.server.x509.public_key_algorithm", "tls.server.x509.public_key_size",
    "tls.server.x509.public_key_curve", "tls.server.x509.signature_algorithm",
    "tls.client.x509.version_number", "tls.client.x509.serial_number", "tls.client.x509.issuer.distinguished_name",
    "tls.client.x509.issuer.common_name", "tls.client.x509.subject.distinguished_name",
    "tls.client.x509.subject.common_name", "tls.client.x509.not_before", "tls.client.x509.not_after",
    "tls.client.x509.alternative_names", "tls.client.x509.public_key_algorithm", "tls.client.x509.public_key_size",
    "tls.client.x509.public_key_curve", "tls.client.x509.signature_algorithm",
};

// Compares dotted paths segment by segment, so that one object's members sort together.
bool bySegments(std::string_view a, std::string_view b) {
    while (true) {
        std::string_view const headA = a.substr(0, a.find('.')), headB = b.substr(0, b.find('.'));
        if (headA != headB) return headA < headB;
        if (headA.size() == a.size() || headB.size() == b.size()) return a.size() < b.size();
        a.remove_prefix(headA.size() + 1);
        b.remove_prefix(headB.size() + 1);
    }
}

bool isPlain(uint8_t c) { return c >= 0x20 && c < 0x7f && c != '"' && c != '\\'; }

// The length of a valid UTF-8 sequence at text[at], or 0.
size_t utf8Length(std::string_view text, size_t at) {
    auto const byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    uint8_t const lead = byte(at);
    size_t const length = lead < 0xc2 ? 0 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : lead < 0xf5 ? 4 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i)
        if ((byte(at + i) & 0xc0) != 0x80) return 0;
    // No overlong forms, no surrogates, nothing past U+10FFFF.
    uint8_t const second = byte(at + 1);
    if ((lead == 0xe0 && second < 0xa0) || (lead == 0xed && second >= 0xa0) || (lead == 0xf0 && second < 0x90) ||
        (lead == 0xf4 && second >= 0x90))
        return 0;
    return length;
}

std::string jsonString(std::string_view text) {
    std::string out;
    appendJsonString(out, text);
    return out;
}

std::string jsonArray(std::vector<std::string> const& items) {
    if (items.empty()) return {};
    std::string out = "[";
    for (auto const& item : items) {
        if (out.size() > 1) out += ',';
        appendJsonString(out, item);
    }
    return out + "]";
}

// Seconds since 1970 as ISO 8601 UTC ("2026-01-02T03:04:05Z"), with milliseconds when given.
// Rows come in time order, so the text of the last second is kept.
std::string isoTime(int64_t seconds, int milliseconds = -1) {
    thread_local int64_t lastSecond = INT64_MIN;
    thread_local char lastText[32];
    thread_local size_t lastLength = 0;
    if (seconds != lastSecond) {
        std::time_t const t = static_cast<std::time_t>(seconds);
        std::tm tm{};
        gmtime_r(&t, &tm);
        lastLength = std::strftime(lastText, sizeof lastText, "%Y-%m-%dT%H:%M:%S", &tm);
        lastSecond = seconds;
    }
    std::string out;
    out.reserve(lastLength + 8);
    out += '"';
    out.append(lastText, lastLength);
    if (milliseconds >= 0) {
        char const digits[] = {'.', char('0' + milliseconds / 100), char('0' + milliseconds / 10 % 10),
                               char('0' + milliseconds % 10)};
        out.append(digits, sizeof digits);
    }
    return out + "Z\"";
}

// "TLSv1.3" -> ("tls", "1.3"); "DTLSv1.2" -> ("dtls", "1.2"); "SSLv3.0" -> ("ssl", "3.0").
std::pair<std::string, std::string> splitVersion(std::string const& text) {
    size_t const v = text.find('v');
    if (v == std::string::npos) return {};
    std::string protocol = text.substr(0, v);
    for (char& c : protocol) c = static_cast<char>(c | 0x20);
    return {protocol, text.substr(v + 1)};
}

// The value of a column's CSV text in the form the table gives it.
std::string columnValue(JsonForm form, std::string const& text) {
    if (text.empty()) return {};
    switch (form) {
    case JsonForm::Number: {
        uint64_t number = 0;
        return records::parseNumber(text, number) ? std::to_string(number) : jsonString(text);
    }
    case JsonForm::Flag: return text == "1" ? "true" : "false";
    case JsonForm::Timestamp: {
        uint64_t ms = 0;
        if (!records::parseNumber(text, ms)) return jsonString(text);
        return isoTime(static_cast<int64_t>(ms / 1000), static_cast<int>(ms % 1000));
    }
    case JsonForm::Protocol: return text == "DTLS" ? "\"dtls\"" : text == "QUIC" ? "\"quic\"" : "\"tls\"";
    case JsonForm::Mac: {
        std::string mac = text;
        for (char& c : mac) c = c == ':' ? '-' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return jsonString(mac);
    }
    case JsonForm::Version: return jsonString(splitVersion(text).second);
    case JsonForm::Digests: {
        std::vector<std::string> digests;
        for (std::string_view chain = text; !chain.empty();) digests.emplace_back(records::takeDigest(chain));
        return jsonArray(digests);
    }
    case JsonForm::Messages: return text;  // already a JSON object
    default: return jsonString(text);
    }
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
    out += '"';
    for (size_t at = 0; at < text.size();) {
        // Runs of plain printable ASCII, nearly all text, go in at once.
        size_t plain = at;
        while (plain < text.size() && isPlain(static_cast<uint8_t>(text[plain]))) ++plain;
        out.append(text.data() + at, plain - at);
        if ((at = plain) == text.size()) break;
        auto const c = static_cast<uint8_t>(text[at]);
        if (c >= 0x80) {
            size_t const length = utf8Length(text, at);
            if (length == 0) {
                out += "\xef\xbf\xbd";  // U+FFFD
                ++at;
            } else {
                out.append(text.substr(at, length));
                at += length;
            }
            continue;
        }
        ++at;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

JsonLineWriter::JsonLineWriter() {
    std::vector<std::pair<std::string_view, size_t>> fields;
    for (size_t c = 0; c < records::columnCount; ++c) fields.emplace_back(records::columns[c].json, c);
    for (size_t e = 0; e < extraCount; ++e) fields.emplace_back(extraPaths[e], records::columnCount + e);
    std::stable_sort(fields.begin(), fields.end(), [](auto const& a, auto const& b) { return bySegments(a.first, b.first); });
    for (size_t at = 0; at < fields.size(); ++at) {
        std::vector<std::string_view>& path = segments.emplace_back();
        for (std::string_view rest = fields[at].first;;) {
            size_t const dot = rest.find('.');
            path.push_back(rest.substr(0, dot));
            if (dot == std::string_view::npos) break;
            rest.remove_prefix(dot + 1);
        }
        place[fields[at].second] = at;
    }
}

void JsonLineWriter::append(std::string& out, TLSFeatures const& features,
                            std::array<std::string, records::columnCount> const& cells) {
    for (auto& value : values) value.clear();
    for (size_t c = 0; c < records::columnCount; ++c) {
        // Plain text, the most common form, is written into the kept buffer.
        if (records::columns[c].form == JsonForm::Text) {
            if (!cells[c].empty()) appendJsonString(values[place[c]], cells[c]);
        } else {
            values[place[c]] = columnValue(records::columns[c].form, cells[c]);
        }
    }
    setExtras(features, cells);
    emit(out);
}

void JsonLineWriter::setExtras(TLSFeatures const& f, std::array<std::string, records::columnCount> const& cells) {
    auto set = [&](size_t extra, std::string value) { values[place[records::columnCount + extra]] = std::move(value); };
    using Transport = TLSFeatures::Transport;
    bool const udp = f.transport != Transport::Tcp;
    set(NetworkTransport, udp ? "\"udp\"" : "\"tcp\"");
    SeenEndpoints const& ends = f.endpoints;
    if (ends.set) {
        set(NetworkType, ends.ipVersion == 6 ? "\"ipv6\"" : "\"ipv4\"");
        auto const client = ends.client.bytes(), server = ends.server.bytes();
        // An IPv4 address is held mapped into IPv6: its four bytes come last.
        size_t const from = ends.ipVersion == 6 ? 0 : 12;
        set(CommunityId, jsonString(communityId({client.data() + from, 16 - from}, {server.data() + from, 16 - from},
                                                ends.clientPort, ends.serverPort, udp ? 17 : 6)));
    }
    if (auto const version = splitVersion(cells[Column::TLSVersion]); !version.first.empty())
        set(VersionProtocol, jsonString(version.first));
    if (!f.cipherSuiteCodePoint.empty()) set(Cipher, jsonString(tls::suiteInfo(f.cipherSuite).name));
    uint16_t group = 0;
    if (records::parseCode(f.tls13KexNamedGroupCodePoint, group) ||
        (f.keyExchange == tls::KeyExchangeKind::Ecdh && records::parseCode(f.kexParameter, group)))
        set(Curve, jsonString(tls::groupName(group)));
    set(Established, "true");
    if (!f.ja4.empty()) set(Ja4, jsonString(f.ja4));
    if (!f.serverCertificateChain.empty()) {
        set(ServerSha1, jsonString(upper(cells[Column::ServerCertificateChain].substr(0, 40))));
        setCertificate(ServerX509, f.serverCertificateChain.front());
    }
    if (!f.clientCertificateChain.empty()) {
        set(ClientSha1, jsonString(upper(cells[Column::ClientCertificateChain].substr(0, 40))));
        setCertificate(ClientX509, f.clientCertificateChain.front());
    }
}

void JsonLineWriter::setCertificate(size_t first, std::string const& der) {
    records::CertificateFacts const* x = facts(der);
    if (!x) return;
    auto set = [&](size_t i, std::string value) { values[place[records::columnCount + first + i]] = std::move(value); };
    set(0, std::to_string(x->version));
    set(1, jsonString(x->serialNumber));
    set(2, jsonString(x->issuerDn));
    set(3, jsonArray(x->issuerCommonNames));
    set(4, jsonString(x->subjectDn));
    set(5, jsonArray(x->subjectCommonNames));
    set(6, isoTime(x->notBefore));
    set(7, isoTime(x->notAfter));
    set(8, jsonArray(x->alternativeNames));
    set(9, jsonString(x->keyType));
    if (x->keyBits > 0) set(10, std::to_string(x->keyBits));
    if (!x->curve.empty()) set(11, jsonString(x->curve));
    set(12, jsonString(x->signatureAlgorithm));
}

records::CertificateFacts const* JsonLineWriter::facts(std::string const& der) {
    auto found = known.find(der);
    if (found == known.end()) {
        if (known.size() >= 4096) known.clear();  // bounded, whatever the peers send
        found = known.emplace(der, records::readCertificateDer(der)).first;
    }
    return found->second ? &*found->second : nullptr;
}

// Walks the fields in order, opening and closing objects as their paths go.
void JsonLineWriter::emit(std::string& out) const {
    // The objects open, by name: paths are at most a few names deep.
    std::array<std::string_view, 8> openNames;
    size_t depth = 0;
    bool first = true;  // nothing written yet in the innermost open object
    out += '{';
    for (size_t at = 0; at < segments.size(); ++at) {
        if (values[at].empty()) continue;
        std::vector<std::string_view> const& path = segments[at];
        size_t shared = 0;
        while (shared < depth && shared + 1 < path.size() && openNames[shared] == path[shared]) ++shared;
        for (; depth > shared; --depth) {
            out += '}';
            first = false;
        }
        for (size_t level = shared; level + 1 < path.size() && depth < openNames.size(); ++level) {
            if (!first) out += ',';
            out += '"';
            out.append(path[level]);
            out += "\":{";
            openNames[depth++] = path[level];
            first = true;
        }
        if (!first) out += ',';
        out += '"';
        out.append(path.back());
        out += "\":";
        out += values[at];
        first = false;
    }
    for (; depth > 0; --depth) out += '}';
    out += "}\n";
}
