// The terminal summary: headline numbers, then the findings grouped by kind, most severe
// first. Every line fits in 100 columns.
#include <algorithm>
#include <map>

#include "report/render.h"

namespace report {

namespace {

constexpr size_t width = 100;
constexpr size_t serversPerKind = 5;

// Counts character positions, not bytes, so that a UTF-8 SNI does not end a line early.
size_t columns(std::string const& text) {
    size_t n = 0;
    for (unsigned char c : text)
        if ((c & 0xc0) != 0x80) ++n;
    return n;
}

// Bytes of text that hold its first n character positions.
size_t prefixBytes(std::string const& text, size_t n) {
    size_t i = 0;
    for (size_t seen = 0; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xc0) != 0x80 && seen++ == n) break;
    return i;
}

// Words of text on lines of at most 100 columns; continuation lines get the indent. A word
// longer than a line (a long name) is broken at the line's end, never cut off.
void wrap(std::ostream& out, std::string text, size_t indent) {
    text.erase(text.find_last_not_of(' ') + 1);
    std::string line;
    bool fresh = true;  // the line holds its indent only
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        std::string word = text.substr(start, end - start);
        start = end + 1;
        if (!fresh && columns(line) + 1 + columns(word) > width) {
            out << line << '\n';
            line = std::string(indent, ' ');
            fresh = true;
        }
        if (!fresh) line += ' ';
        while (columns(line) + columns(word) > width) {
            size_t const cut = prefixBytes(word, width - columns(line));
            out << line << word.substr(0, cut) << '\n';
            word.erase(0, cut);
            line = std::string(indent, ' ');
        }
        line += word;
        fresh = false;
    }
    if (!fresh) out << line << '\n';
}

std::string number(uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string label(std::string const& name) {
    std::string padded = name;
    padded.resize(std::max<size_t>(13, name.size() + 1), ' ');
    return padded;
}

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string plural(uint64_t n, char const* one, char const* many) { return number(n) + " " + (n == 1 ? one : many); }

void headline(Summary const& s, std::ostream& out) {
    wrap(out, label("Time span") + isoTime(s.firstMs) + " to " + isoTime(s.lastMs), 13);
    wrap(out, label("Handshakes") + number(s.rows) + "   servers " + number(s.servers) + "   SNIs " + number(s.snis) +
                  "   clients " + number(s.clients), 13);
    std::string transports;
    for (auto const& t : transportLines(s))
        transports += (transports.empty() ? "" : "; ") + t.name + " " + plural(t.handshakes, "handshake", "handshakes") +
                      " (post-quantum " + percent(t.postQuantum, t.tls13) + "% of TLS 1.3)";
    wrap(out, label("Transport") + transports, 13);
    std::string versions;
    for (auto const& v : s.versions) versions += v.name + " " + percent(v.count, s.rows) + "%   ";
    wrap(out, label("Versions") + versions, 13);
    static constexpr SuiteClass order[] = {SuiteClass::Good, SuiteClass::Weak, SuiteClass::Insecure, SuiteClass::Other,
                                           SuiteClass::Unknown};
    std::string classes;
    for (SuiteClass c : order)
        if (s.suiteClasses[static_cast<int>(c)])
            classes += std::string(suiteClassName(c)) + " " + percent(s.suiteClasses[static_cast<int>(c)], s.rows) + "%   ";
    wrap(out, label("Suites") + classes, 13);
    if (s.tls13) {
        std::string groups;
        for (size_t i = 0; i < s.tls13Groups.size() && i < 4; ++i)
            groups += (i ? ", " : "") + s.tls13Groups[i].name + " " + percent(s.tls13Groups[i].count, s.tls13) + "%";
        wrap(out, label("TLS 1.3") + "post-quantum " + percent(s.postQuantum, s.tls13) + "% of " +
                      plural(s.tls13, "handshake", "handshakes") + " (" + groups + ")", 13);
    }
}

void details(Summary const& s, std::ostream& out) {
    wrap(out, label("Coverage") + coverageText(s), 13);
    if (!s.certificates.empty()) {
        std::map<FindingKind, uint64_t> flags;
        for (auto const& c : s.certificates)
            for (auto kind : c.flags) ++flags[kind];
        std::string text = number(s.certificates.size()) + " distinct; expired or not yet valid when used: " +
                           plural(s.expiredWhenUsedCertificates, "certificate", "certificates") + " in " +
                           plural(s.expiredWhenUsedHandshakes, "handshake", "handshakes");
        for (auto const& [kind, n] : flags) text += ", " + number(n) + " " + std::string(kindInfo(kind).id);
        wrap(out, label("Certificates") + text, 13);
    }
    if (s.helloRows) {
        std::string text = number(s.helloRows) + " saved, " + percent(s.pqOfferedRows, s.helloRows) +
                           "% offer a post-quantum group, " + number(s.ja4Distinct) + " JA4 fingerprints";
        if (!s.ja4.empty()) text += ", most common " + s.ja4.front().name;
        wrap(out, label("ClientHellos") + text, 13);
        wrap(out, label("ECH") + echText(s), 13);
        wrap(out, label("ML-DSA") + mlDsaText(s), 13);
    }
    if (s.clientCertificates || s.renegotiated || s.compressed)
        wrap(out, label("Also seen") + plural(s.clientCertificates, "client certificate", "client certificates") + ", " +
                      plural(s.renegotiated, "renegotiation", "renegotiations") + ", " + number(s.compressed) +
                      " compressed", 13);
}

// The server of a finding with its names and the time it was last seen.
std::string serverText(ServerSummary const& r) {
    std::string text = r.server;
    if (!r.snis.empty()) {
        std::string names;
        for (size_t i = 0; i < r.snis.size() && i < 3; ++i) names += (i ? ", " : "") + printable(r.snis[i]);
        if (r.sniCount > 3) names += ", +" + number(r.sniCount - 3);
        text += " (" + names + ")";
    }
    return text + ", last seen " + isoTime(r.lastSeenMs);
}

// One line per kind (severity, title, servers, handshakes) and its advice, then its first servers.
void findings(Summary const& s, std::ostream& out) {
    if (s.findings.empty()) {
        wrap(out, "No findings.", 0);
        return;
    }
    std::map<std::string, ServerSummary const*> rows;
    for (auto const& r : s.serverTable) rows.emplace(r.server, &r);
    wrap(out, "Findings by kind, most severe first (" + plural(s.findingGroups.size(), "kind", "kinds") + "):", 0);
    for (auto const& g : s.findingGroups) {
        FindingKindInfo const& info = kindInfo(g.kind);
        std::string sev = upper(severityName(info.severity));
        sev.resize(10, ' ');
        wrap(out, sev + std::string(info.title) + " (" + plural(g.servers, "server", "servers") + ", " +
                      plural(g.handshakes, "handshake", "handshakes") + ")", 10);
        wrap(out, std::string(10, ' ') + "Advice: " + std::string(info.advice), 10);
        for (size_t k = g.first; k < g.first + g.count && k - g.first < serversPerKind; ++k)
            wrap(out, "  " + serverText(*rows.at(s.findings[k].server)) + ": " + printable(s.findings[k].detail), 6);
        if (g.count > serversPerKind) out << "  ... and " << number(g.count - serversPerKind) << " more\n";
    }
}

void changeList(std::ostream& out, std::string const& title, std::vector<std::string> const& items,
                std::string text = {}) {
    if (items.empty()) return;
    for (size_t i = 0; i < items.size() && i < 20; ++i) text += (i ? ", " : "") + items[i];
    if (items.size() > 20) text += ", and " + number(items.size() - 20) + " more";
    wrap(out, label(title) + text, label(title).size());
}

void drift(Drift const& d, std::ostream& out) {
    out << '\n';
    wrap(out, "Since the baseline (" + plural(d.rows, "row", "rows") +
                  (d.rows ? ", " + isoTime(d.firstMs) + " to " + isoTime(d.lastMs) : std::string()) + "):", 0);
    wrap(out, label("Post-quantum") + percent(d.postQuantumThen, d.tls13Then) + "% of TLS 1.3 then, " +
                  percent(d.postQuantumNow, d.tls13Now) + "% now", 13);
    changeList(out, "New servers", d.newServers);
    changeList(out, "Gone servers", d.goneServers);
    std::vector<std::string> changed, appeared, fixed, unseen;
    for (auto const& c : d.changed)
        changed.push_back(c.server + " " + c.what + " " + (c.before.empty() ? "-" : c.before) + " -> " +
                          (c.after.empty() ? "-" : c.after));
    for (auto const& f : d.appeared) appeared.push_back(std::string(kindInfo(f.kind).id) + " on " + f.server);
    for (auto const& f : d.disappeared)
        (f.serverSeen ? fixed : unseen).push_back(std::string(kindInfo(f.kind).id) + " on " + f.server);
    changeList(out, "Changed", changed);
    changeList(out, "New findings", appeared);
    changeList(out, "Findings gone", fixed, "fixed on servers still seen: ");
    changeList(out, "Findings gone", unseen, "with servers not seen: ");
    if (d.newServers.empty() && d.goneServers.empty() && changed.empty() && appeared.empty() && d.disappeared.empty())
        wrap(out, "No server and no finding changed.", 0);
}

}  // namespace

void renderText(Summary const& s, std::ostream& out) {
    wrap(out, "VARNO TLS inventory (validity judged on " + isoDate(s.nowSeconds) + ")", 0);
    std::string input = plural(s.files - s.jsonFiles, "CSV file", "CSV files");
    if (!s.store.empty()) input = "ClickHouse store " + printable(s.store);
    if (s.jsonFiles) input += ", " + plural(s.jsonFiles, "JSON lines file", "JSON lines files");
    input += ", " + plural(s.rows, "row", "rows");
    if (s.openFiles)
        input += " (" + number(s.openRows) + " from " + plural(s.openFiles, "file", "files") + " still being written)";
    input += ", " + plural(s.malformedLines, "malformed line", "malformed lines");
    if (s.missingCertificates)
        input += ", " + plural(s.missingCertificates, "certificate", "certificates") + " missing from the store";
    if (s.unreadableCertificates)
        input += ", " + plural(s.unreadableCertificates, "unreadable certificate", "unreadable certificates");
    wrap(out, label("Input") + input, 13);
    for (auto const& p : s.parents) {
        std::string below;
        for (size_t i = 0; i < p.below.size() && i < 20; ++i) below += (i ? ", " : "") + printable(lastComponent(p.below[i]));
        if (p.below.size() > 20) below += ", and " + number(p.below.size() - 20) + " more";
        wrap(out, label("Directories") + printable(p.directory) + " holds no CSV file: read the " +
                      plural(p.below.size(), "output directory", "output directories") + " below it (" + below + ")", 13);
    }
    if (s.rows == 0) {
        wrap(out, "No handshakes found.", 0);
    } else {
        headline(s, out);
        details(s, out);
        out << '\n';
        findings(s, out);
    }
    if (s.drift) drift(*s.drift, out);
}

}  // namespace report
