// The HTML page in a real browser: Debian's chromium loads it headless; every section and
// chart must be in the rendered DOM, the first screen (1280 x 1000) must hold the overview with
// its coverage line and the grouped findings, no chart label may stick out of its chart and,
// with every finding group opened onto its servers, nothing may be wider than its box or the
// window (measured by a script in a copy of the page, whose screenshot must hold far more than
// a blank page's). The page must also pass tidy, Debian's HTML checker. At 50,000 servers the
// tables must still fit, page, sort and search, and a search in the address must leave one
// server's rows.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "e2e/e2e_support.h"
#include "record/base64.h"
#include "record/certificate_path.h"
#include "record/columns.h"
#include "record/sha1.h"
#include "support/certificates.h"

namespace {

using namespace e2e;

// Measures the laid-out page and writes what it found into <pre id="layout">, one item a
// line: "bad ..." for a fault, else a name and its value. Without a search in the address it
// also sorts the Servers table by handshakes and filters it by a server name; with one, it
// counts the rows each section shows and flags a row that does not name the server.
constexpr char const* measure = R"js(<script>
(() => {
  const out = [], bad = text => out.push('bad ' + text);
  const bottom = id => Math.ceil(document.getElementById(id).getBoundingClientRect().bottom + scrollY);
  out.push('first-screen ' + Math.max(bottom('overview'), bottom('findings')));
  for (const d of document.querySelectorAll('details')) d.open = true;
  const shown = t => [...t.tBodies[0].rows].filter(r => r.getClientRects().length);
  const text = r => r.textContent + [...r.querySelectorAll('[title]')].map(e => e.title).join(' ');
  const tables = [...document.querySelectorAll('table.data')], search = /#search=(.*)/.exec(location.hash);
  for (const t of tables) {
    const n = shown(t).length, more = t.nextElementSibling;
    if (n > 50) bad(t.closest('section').id + ' shows ' + n + ' rows');
    if (!search && t.tBodies[0].rows.length > 50 && (n !== 50 || more.tagName !== 'BUTTON' || more.hidden)) bad('no "show all" under a long table');
  }
  const servers = document.querySelector('#servers table.data');
  if (search) {
    const rows = {};
    for (const t of tables) {
      const id = t.closest('section').id;
      rows[id] = (rows[id] || 0) + shown(t).length;
      for (const r of shown(t)) if (!text(r).includes(search[1] + ':')) bad('the search leaves ' + text(r).slice(0, 80));
    }
    for (const id in rows) out.push('rows ' + id + ' ' + rows[id]);
  } else if (servers) {
    const th = [...servers.tHead.rows[0].cells].find(h => h.textContent === 'Handshakes'), i = th.cellIndex;
    const count = r => +r.cells[i].textContent.replace(/\D/g, '');
    const all = [...servers.tBodies[0].rows].map(count);
    for (const [order, end] of [[1, all.reduce((a, b) => Math.min(a, b))], [-1, all.reduce((a, b) => Math.max(a, b))]]) {
      th.click();
      const first = shown(servers).map(count);
      if (first.length !== Math.min(50, all.length) || first[0] !== end || first.some((c, k) => k && order * (c - first[k - 1]) < 0))
        bad('sorted by handshakes (' + order + '): ' + first.length + ' rows, ' + first.slice(0, 8));
    }
    // "Show all" on the shortest long table: laying out 50,000 rows takes a while.
    const long = tables.filter(t => t.tBodies[0].rows.length > 50).sort((a, b) => a.tBodies[0].rows.length - b.tBodies[0].rows.length)[0];
    if (long) {
      long.nextElementSibling.click();
      if (shown(long).length !== long.tBodies[0].rows.length) bad('"show all" shows ' + shown(long).length + ' rows');
      long.nextElementSibling.click();
    }
    const named = shown(servers).find(r => r.cells[1].textContent), name = named && named.cells[1].textContent.split(', ')[0];
    const box = servers.previousElementSibling.querySelector('input[type=search]');
    box.value = name;
    box.dispatchEvent(new Event('input'));
    const found = shown(servers);
    if (name && (!found.length || found.some(r => !text(r).includes(name)))) bad('the search for ' + name + ' shows ' + found.length + ' rows');
    out.push('search-rows ' + found.length);
  }
  for (const svg of document.querySelectorAll('svg.chart')) {
    const box = svg.getBoundingClientRect();
    for (const t of svg.querySelectorAll('text')) {
      const r = t.getBoundingClientRect();
      if (r.width && (r.left < box.left - 0.5 || r.right > box.right + 0.5 || r.top < box.top - 0.5 || r.bottom > box.bottom + 0.5))
        bad('clipped ' + svg.id + ': ' + t.textContent);
    }
  }
  for (const e of document.querySelectorAll('summary > span, td, th, .tile'))
    if (e.scrollWidth > e.clientWidth + 1 && e.offsetParent) bad('overflow ' + e.tagName + ': ' + e.textContent.slice(0, 60));
  out.push('page-width ' + document.documentElement.scrollWidth);
  const pre = document.createElement('pre');
  pre.id = 'layout';
  pre.textContent = out.join('\n');
  document.body.appendChild(pre);
})();
</script>)js";

std::string chromium(ScratchDir const& profile, std::string const& arguments) {
    // As root the sandbox cannot start; the page is our own, loaded from a local file.
    return "chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --user-data-dir=" +
           shellQuote(profile / "profile") + " " + arguments + " 2>/dev/null";
}

// A measurement as a number, -1 when the script did not write it.
int number(std::map<std::string, std::string> const& found, std::string const& name) {
    auto const at = found.find(name);
    return at == found.end() ? -1 : std::stoi(at->second);
}

// The page with the measuring script, and what the script found in chromium at 1280 x 1000
// (with `fragment` added to its address): faults fail the test, the rest is returned by name.
std::map<std::string, std::string> layout(ScratchDir const& work, std::string const& page, std::string const& fragment = "") {
    std::string html = readFile(page);
    html.insert(html.rfind("</body>"), measure);
    varno_test::writeFile(page + ".measured.html", html);
    auto const dom = runShell(chromium(work, "--window-size=1280,1000 --dump-dom " +
                                             shellQuote("file://" + page + ".measured.html" + fragment)));
    auto const start = dom.out.find("<pre id=\"layout\">"), end = dom.out.find("</pre>", start);
    std::map<std::string, std::string> found;
    if (start == std::string::npos) {
        ADD_FAILURE() << "no measurements in " << page << fragment << ": " << dom.out.substr(0, 300);
        return found;
    }
    std::istringstream lines(dom.out.substr(start + 17, end - start - 17));
    for (std::string line; std::getline(lines, line);) {
        auto const space = line.rfind(' ');
        if (line.rfind("bad ", 0) == 0) ADD_FAILURE() << page << fragment << ": " << line.substr(4);
        else found[line.substr(0, space)] = line.substr(space + 1);
    }
    EXPECT_LE(number(found, "page-width"), 1280) << page << fragment << ": the page is wider than the window";
    return found;
}

TEST(ReportHtml, RendersInChromium) {
    if (!haveTool("chromium --version"))
        GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh installs it)";
    ScratchDir work;
    fs::path const out = work.path() / "out";
    fs::create_directories(out);
    auto const varno = runVarno("-p " + shellQuote(sourcePath("tests/data/report/weak_servers.pcap")) + " -o " +
                                shellQuote(out.string()) + " -c -m 1");
    ASSERT_EQ(varno.status, 0) << varno.err;
    // Rows with the longest suite names the registry has and 60-character server names on a
    // legacy IPv6 server, which must wrap rather than clip; TLS 1.3 rows whose certificate is hidden.
    std::string const longName = std::string(50, 'n') + ".long.test", ipv6 = "2001:db8:1234:5678:9abc:def0:1234:5678";
    std::string rows = std::string(csvHeader) + "\n" +
        "1700000000000,TLS,192.0.2.1,50000,,192.0.2.9,443,,TLSv1.2,long.test,0xc072,0x0017,,,0,,0,0,,\"{}\"\n"
        "1700000000000,TLS,192.0.2.1,50001,,192.0.2.9,443,,TLSv1.2,long.test,0xcca9,0x0017,,,0,,0,0,,\"{}\"\n"
        "1700000000000,TLS,192.0.2.1,50002,,192.0.2.9,443,,TLSv1.2,long.test,0xc100,,,,0,,0,0,,\"{}\"\n";
    for (char c : std::string("abcd"))
        rows += "1700000000000,TLS,192.0.2.1,50003,," + ipv6 + ",443,,TLSv1.0," + c + longName +
                ",0xc013,0x0017,,,0,,0,0,,\"{}\"\n";
    rows += "1700000000000,QUIC,192.0.2.1,50004,,192.0.2.9,443,,TLSv1.3,long.test,0x1301,,0x001d,,0,,0,0,,\"{}\"\n";
    varno_test::writeFile(out / "long_names.csv", rows);
    std::string const page = work / "report.html";
    auto const report = runShell(std::string(VARNO_REPORT_BINARY) + " --now 2030-01-01 -o " + shellQuote(page) + " " +
                                 shellQuote(out.string()));
    ASSERT_EQ(report.status, 0) << report.out;
    // Nothing from elsewhere: the SVG namespace name is the only URL, and it loads nothing.
    std::string html = readFile(page);
    for (size_t at; (at = html.find("xmlns=\"http://www.w3.org/2000/svg\"")) != std::string::npos;) html.erase(at, 34);
    for (auto const* external : {"<script src", "src=", "url(", "@import", "http://", "https://", "<link"})
        EXPECT_EQ(html.find(external), std::string::npos) << "the page refers to something outside: " << external;

    auto const dom = runShell(chromium(work, "--window-size=1280,1000 --dump-dom file://" + page));
    if (dom.status != 0 || dom.out.find("<body") == std::string::npos)
        GTEST_SKIP() << "chromium is installed but cannot run here: " << dom.out.substr(0, 300);
    for (auto const* section : {"overview", "findings", "versions", "cipher-suites", "key-exchange", "tls13-groups",
                                "certificates", "servers", "client-features", "client-hellos", "input"})
        EXPECT_NE(dom.out.find("<section id=\"" + std::string(section) + "\""), std::string::npos) << section;
    for (auto const* chart : {"chart-versions", "chart-suite-classes", "chart-suites", "chart-curves", "chart-dh",
                              "chart-rsa", "chart-tls13-groups", "chart-pq-trend", "chart-cert-keys", "chart-signatures",
                              "chart-validity", "chart-offered-groups", "chart-offered-versions", "chart-alpn", "chart-ja4"})
        EXPECT_NE(dom.out.find("<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" id=\"" + std::string(chart)),
                  std::string::npos)
            << chart;
    for (auto const* text : {"): expired 2029-06-01, last seen", "Transport: TLS/SSL over TCP 17 handshakes",
                             "QUIC over UDP 1 handshake (", "Coverage: certificates visible in 8 of 18 handshakes",
                             "TLS 1.3 and QUIC hide them in 2", "Advice: disable TLS 1.0/1.1 on this server.",
                             "<td><code>127.0.0.1<wbr>:47601</code></td><td class=\"names\">expired.<wbr>test</td><td><time>20"})
        EXPECT_NE(dom.out.find(text), std::string::npos) << text;

    // The layout as chromium lays it out at 1280 x 1000.
    EXPECT_LE(number(layout(work, page), "first-screen"), 1000)
        << "the overview and the grouped findings end below the first screen";
    std::string const measured = page + ".measured.html";

    // A screenshot of the measured page (its finding groups open) against one of an empty page
    // of the same size: PNG compresses a blank page to almost nothing.
    std::string const blankPage = work / "blank.html";
    std::ofstream(blankPage) << "<!DOCTYPE html><html><head><title>blank</title></head><body></body></html>\n";
    std::string const shot = work / "report.png", blankShot = work / "blank.png";
    runShell(chromium(work, "--window-size=1280,1000 --screenshot=" + shellQuote(shot) + " file://" + measured));
    if (char const* keep = std::getenv("VARNO_KEEP_SCREENSHOT")) fs::copy_file(shot, keep, fs::copy_options::overwrite_existing);
    runShell(chromium(work, "--window-size=1280,1000 --screenshot=" + shellQuote(blankShot) + " file://" + blankPage));
    ASSERT_TRUE(fs::exists(shot) && fs::exists(blankShot));
    EXPECT_GT(fs::file_size(shot), 20 * fs::file_size(blankShot));
    // Printing: the page goes to PDF with every section (closed findings print their lines).
    std::string const pdf = work / "report.pdf";
    runShell(chromium(work, "--no-pdf-header-footer --print-to-pdf=" + shellQuote(pdf) + " file://" + page));
    ASSERT_TRUE(fs::exists(pdf));
    EXPECT_EQ(readFile(pdf).substr(0, 5), "%PDF-");

    if (!haveTool("tidy -version")) GTEST_SKIP() << "tidy is not installed: the HTML check did not run";
    auto const tidy = runShell("tidy -errors -quiet " + shellQuote(page));
    EXPECT_EQ(tidy.status, 0) << tidy.out;
}

// A certificate in the store of an output directory, as the exporter keeps it; its digest.
std::string storeCertificate(fs::path const& dir, build::Bytes const& der) {
    Sha1 sha1;
    sha1.update(der.data(), der.size());
    std::string const digest = sha1.finalHex(), path = records::certificatePath(dir.string(), digest);
    fs::create_directories(fs::path(path).parent_path());
    varno_test::writeFile(path, "-----BEGIN CERTIFICATE-----\n" + base64_encode(der.data(), static_cast<uint32_t>(der.size())) +
                                    "\n-----END CERTIFICATE-----\n");
    return digest;
}

// Handshakes of `servers` servers (10.0.x.y:443), written as the exporter writes its rows:
// versions, suites and groups vary with the server, TLS 1.2 and older ones show one of four
// certificates, and every seventh server answers three handshakes.
void writeFleet(fs::path const& dir, size_t servers) {
    std::vector<std::string> chains;
    for (auto const& [kind, bits] : std::vector<std::pair<std::string, size_t>>{{"EC", 0}, {"RSA", 2048}, {"RSA", 1024}, {"RSA-PSS", 2048}})
        chains.push_back(storeCertificate(dir, build::selfSignedCertificate(kind, bits)));
    static constexpr char const* versions[] = {"TLSv1.3", "TLSv1.2", "TLSv1.3", "TLSv1.0", "TLSv1.2", "TLSv1.1"};
    static constexpr std::pair<char const*, char const*> suites[] = {
        {"0xc02f", "0x0017"}, {"0xc013", "0x0017"}, {"0x009c", ""}, {"0xcca8", "0x001d"}, {"0x000a", ""}, {"0xc030", "0x0018"}};
    static constexpr char const* tls13[][2] = {{"0x1301", "0x001d"}, {"0x1302", "0x11ec"}, {"0x1303", "0x0017"}};
    std::ofstream out(dir / "output_20240101000000.csv");
    out << records::csvHeader() << '\n';
    for (size_t i = 0; i < servers; ++i) {
        std::array<std::string, records::columnCount> cells;
        bool const modern = i % 6 == 0 || i % 6 == 2;
        cells[records::ProtocolType] = "TLS";
        cells[records::ClientIPAddress] = "192.0.2.1";
        cells[records::ServerIPAddress] = "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256);
        cells[records::ServerPortNumber] = "443";
        cells[records::TLSVersion] = versions[i % 6];
        cells[records::SNI] = "host" + std::to_string(i) + ".example.test";
        cells[records::CipherSuiteCodePoint] = modern ? tls13[i / 6 % 3][0] : suites[i / 6 % 6].first;
        cells[records::TLSKEXParameter] = modern ? "" : suites[i / 6 % 6].second;
        cells[records::TLS13KEXNamedGroupCodePoint] = modern ? tls13[i / 6 % 3][1] : "";
        cells[records::ServerCertificateChain] = modern ? "" : chains[i / 6 % 4];
        cells[records::IsClientAuthRequested] = cells[records::IsRenegotiated] = cells[records::IsCompressed] = "0";
        cells[records::HandshakeMessages] = "\"{}\"";
        for (size_t k = 0; k < (i % 7 ? 1u : 3u); ++k) {
            cells[records::ConnectionTimestamp] = std::to_string(1704067200000 + i * 1000 + k);
            cells[records::ClientPortNumber] = std::to_string(1024 + (i + k) % 60000);
            for (size_t c = 0; c < cells.size(); ++c) out << (c ? "," : "") << cells[c];
            out << '\n';
        }
    }
}

TEST(ReportHtml, TablesAtFiftyThousandServers) {
    if (!haveTool("chromium --version"))
        GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh installs it)";
    ScratchDir work;
    writeFleet(work.path() / "fleet", 50000);
    std::string const page = work / "fleet.html";
    auto const report = runShell(std::string(VARNO_REPORT_BINARY) + " --now 2024-01-02 -o " + shellQuote(page) + " " +
                                 shellQuote((work.path() / "fleet").string()));
    ASSERT_EQ(report.status, 0) << report.out;
    // Paging, sorting, the table's own search box and the width, then a search in the address.
    EXPECT_EQ(number(layout(work, page), "search-rows"), 1);
    auto const rows = layout(work, page, "#search=10.0.1.5");
    EXPECT_EQ(number(rows, "rows servers"), 1);
    EXPECT_EQ(number(rows, "rows certificates"), 1);
    EXPECT_EQ(number(rows, "rows versions"), 1) << "10.0.1.5 speaks TLS 1.0";
    EXPECT_GE(number(rows, "rows findings"), 3) << "legacy TLS, a weak suite, a self-signed certificate";
    EXPECT_EQ(number(rows, "rows cipher-suites"), 0);
}

// Real traffic with every column the monitor can keep.
TEST(ReportHtml, PublicCapturesFitTheWindow) {
    SKIP_WITHOUT_SHARED_DIR();
    if (!haveTool("chromium --version")) GTEST_SKIP() << "chromium is not installed";
    ScratchDir work;
    auto const varno = runVarno("-p " + shellQuote(sharedPath("captures/public")) + " -o " + shellQuote(work / "out") + " -c -k -m");
    ASSERT_EQ(varno.status, 0) << varno.err;
    std::string const page = work / "public.html";
    auto const report = runShell(std::string(VARNO_REPORT_BINARY) + " -o " + shellQuote(page) + " " + shellQuote(work / "out"));
    ASSERT_EQ(report.status, 0) << report.out;
    layout(work, page);
}

}  // namespace
