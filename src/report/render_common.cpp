#include <algorithm>
#include <ctime>
#include <cstdio>

#include "report/render.h"

namespace report {

std::string isoTime(int64_t ms) {
    std::time_t const t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string isoDate(int64_t seconds) {
    std::time_t const t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &tm);
    return text;
}

std::string printable(std::string const& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        auto const c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
        bool valid = length > 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) valid = (static_cast<unsigned char>(text[i + k]) >> 6) == 0x2;
        if (length == 2 && c < 0xc2) valid = false;  // overlong
        if (!valid) {
            out += '?';
            ++i;
        } else if (length == 1 && (c < 0x20 || c == 0x7f)) {
            out += '?';
            ++i;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

std::string counted(uint64_t n, std::string_view one, std::string_view many) {
    return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

std::string percent(uint64_t part, uint64_t whole) {
    if (whole == 0) return "0.0";
    char text[16];
    std::snprintf(text, sizeof text, "%.1f", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
    return text;
}

std::string coverageText(Summary const& s) {
    CertificateCoverage const& c = s.coverage;
    std::string text = "certificates visible in " + std::to_string(c.visible) + " of " +
                       counted(s.rows, "handshake", "handshakes") + " (" + percent(c.visible, s.rows) + "%)";
    if (c.hidden) text += "; TLS 1.3 and QUIC hide them in " + std::to_string(c.hidden);
    if (c.none)
        text += "; " + counted(c.none, "other handshake carries", "other handshakes carry") +
                " none (resumed, anonymous or cut short)";
    for (auto const& dir : c.withoutStore) text += "; no certificate store in " + printable(dir) + ": run varno with -c";
    return text;
}

std::string echText(Summary const& s) {
    return percent(s.echOfferedRows, s.helloRows) + "% (" + std::to_string(s.echOfferedRows) +
           ") offer Encrypted Client Hello; grease ECH, which clients send without a server's ECH key, looks the same "
           "on the wire as real ECH";
}

std::string mlDsaText(Summary const& s) {
    std::string text = percent(s.mlDsaOfferedRows, s.helloRows) + "% (" + std::to_string(s.mlDsaOfferedRows) +
                       ") offer ML-DSA signatures";
    static constexpr char const* names[] = {"ML-DSA-44", "ML-DSA-65", "ML-DSA-87"};
    char const* sep = ": ";
    for (size_t i = 0; i < s.mlDsaOffered.size(); ++i)
        if (s.mlDsaOffered[i]) {
            text += sep + std::string(names[i]) + " " + std::to_string(s.mlDsaOffered[i]);
            sep = ", ";
        }
    return text;
}

std::vector<TransportLine> transportLines(Summary const& s) {
    std::vector<TransportLine> lines;
    for (auto const& t : s.transports) {
        std::string const name = t.transport() == "QUIC"  ? "QUIC over UDP"
                                 : t.transport() == "UDP" ? "DTLS over UDP"
                                                          : "TLS/SSL over TCP";
        auto found = std::find_if(lines.begin(), lines.end(), [&](TransportLine const& l) { return l.name == name; });
        if (found == lines.end()) found = lines.insert(lines.end(), {name});
        found->handshakes += t.handshakes;
        found->tls13 += t.tls13;
        found->postQuantum += t.postQuantum;
    }
    return lines;
}

std::string lastComponent(std::string const& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    auto const slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

}  // namespace report
