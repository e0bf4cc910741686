// The HTML page in a real browser: Debian's chromium loads it headless; every section and
// chart must be in the rendered DOM, and its screenshot must hold far more than a blank
// page's. The page must also pass tidy, Debian's HTML checker.
#include <gtest/gtest.h>

#include "e2e/e2e_support.h"

namespace {

using namespace e2e;

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
    std::string const page = work / "report.html";
    auto const report = runShell(std::string(VARNO_REPORT_BINARY) + " --now 2030-01-01 -o " + shellQuote(page) + " " +
                                 shellQuote(out.string()));
    ASSERT_EQ(report.status, 0) << report.out;
    // Nothing from elsewhere: the SVG namespace name is the only URL, and it loads nothing.
    std::string html = readFile(page);
    for (size_t at; (at = html.find("xmlns=\"http://www.w3.org/2000/svg\"")) != std::string::npos;) html.erase(at, 34);
    for (auto const* external : {"<script", "src=", "url(", "@import", "http://", "https://", "<link"})
        EXPECT_EQ(html.find(external), std::string::npos) << "the page refers to something outside: " << external;

    auto const dom = runShell(chromium(work, "--dump-dom file://" + page));
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
    EXPECT_NE(dom.out.find("127.0.0.1:47601"), std::string::npos);
    EXPECT_NE(dom.out.find("expired.test: expired"), std::string::npos);

    // A screenshot of the report against one of an empty page of the same size: PNG
    // compresses a blank page to almost nothing.
    std::string const blankPage = work / "blank.html";
    std::ofstream(blankPage) << "<!DOCTYPE html><html><head><title>blank</title></head><body></body></html>\n";
    std::string const shot = work / "report.png", blankShot = work / "blank.png";
    runShell(chromium(work, "--window-size=1200,2000 --screenshot=" + shellQuote(shot) + " file://" + page));
    runShell(chromium(work, "--window-size=1200,2000 --screenshot=" + shellQuote(blankShot) + " file://" + blankPage));
    ASSERT_TRUE(fs::exists(shot) && fs::exists(blankShot));
    EXPECT_GT(fs::file_size(shot), 20 * fs::file_size(blankShot));

    if (!haveTool("tidy -version")) GTEST_SKIP() << "tidy is not installed: the HTML check did not run";
    auto const tidy = runShell("tidy -errors -quiet " + shellQuote(page));
    EXPECT_EQ(tidy.status, 0) << tidy.out;
}

}  // namespace
