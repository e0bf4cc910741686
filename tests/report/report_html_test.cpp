// The HTML page in a real browser: Debian's chromium loads it headless; every section and
// chart must be in the rendered DOM, the first screen (1280 x 1000) must hold the overview with
// its coverage line and the grouped findings, no chart label may stick out of its chart and,
// with every finding group opened onto its servers, nothing may be wider than its box or the
// window (measured by a script in a copy of the page, whose screenshot must hold far more than
// a blank page's). The page must also pass tidy, Debian's HTML checker.
#include <gtest/gtest.h>

#include <sstream>

#include "e2e/e2e_support.h"

namespace {

using namespace e2e;

// Measures the laid-out page and writes what it found into <pre id="layout">, one item a line.
constexpr char const* measure = R"js(<script>
(() => {
  const out = [];
  const bottom = id => Math.ceil(document.getElementById(id).getBoundingClientRect().bottom + scrollY);
  out.push('first-screen ' + Math.max(bottom('overview'), bottom('findings')));
  for (const d of document.querySelectorAll('details')) d.open = true;
  for (const svg of document.querySelectorAll('svg.chart')) {
    const box = svg.getBoundingClientRect();
    for (const t of svg.querySelectorAll('text')) {
      const r = t.getBoundingClientRect();
      if (r.width && (r.left < box.left - 0.5 || r.right > box.right + 0.5 || r.top < box.top - 0.5 || r.bottom > box.bottom + 0.5))
        out.push('clipped ' + svg.id + ': ' + t.textContent);
    }
  }
  for (const e of document.querySelectorAll('summary > span, td, th, .tile'))
    if (e.scrollWidth > e.clientWidth + 1) out.push('overflow ' + e.tagName + ': ' + e.textContent.slice(0, 60));
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
    for (auto const* external : {"<script", "src=", "url(", "@import", "http://", "https://", "<link"})
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
                             "<td><code>127.0.0.1:<wbr>47601</code></td><td class=\"names\">expired.test</td><td class=\"t\">20"})
        EXPECT_NE(dom.out.find(text), std::string::npos) << text;

    // The layout as chromium lays it out at 1280 x 1000.
    std::string const measured = work / "measured.html";
    std::string withScript = readFile(page);
    withScript.insert(withScript.rfind("</body>"), measure);
    varno_test::writeFile(measured, withScript);
    auto const layout = runShell(chromium(work, "--window-size=1280,1000 --dump-dom file://" + measured));
    auto const start = layout.out.find("<pre id=\"layout\">"), end = layout.out.find("</pre>", start);
    ASSERT_NE(start, std::string::npos) << layout.out.substr(0, 300);
    std::istringstream lines(layout.out.substr(start + 17, end - start - 17));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("first-screen ", 0) == 0)
            EXPECT_LE(std::stoi(line.substr(13)), 1000) << "the overview and the grouped findings end below the first screen";
        else if (line.rfind("page-width ", 0) == 0)
            EXPECT_LE(std::stoi(line.substr(11)), 1280) << "the page is wider than the window";
        else
            ADD_FAILURE() << line;
    }

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

}  // namespace
