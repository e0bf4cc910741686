// One self-contained HTML page: inline CSS, inline SVG charts, a short inline script and
// nothing loaded from elsewhere, so that it opens on an air-gapped machine and prints well.
// Every table holds all its rows; the script sorts, filters and pages them, and without it
// the page reads the same with every row shown.
#include <algorithm>
#include <functional>
#include <map>
#include <sstream>

#include "report/render.h"

namespace report {

namespace {

constexpr size_t pageRows = 50;  // rows a table shows before "show all", the script's PAGE

std::string esc(std::string const& raw) {
    std::string const text = printable(raw);
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string num(uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += "&#8239;";  // narrow no-break space
        out += digits[i];
    }
    return out;
}

// A count and the noun that agrees with it.
std::string count(uint64_t n, char const* one, char const* many) { return num(n) + " " + (n == 1 ? one : many); }

std::string join(std::vector<std::string> const& items, size_t max = 6) {
    std::string out;
    for (size_t i = 0; i < items.size() && i < max; ++i) out += (i ? ", " : "") + items[i];
    if (items.size() > max) out += ", +" + std::to_string(items.size() - max);
    return out;
}

// A cell with a list cut to its first few items, the whole list in its title so that the
// cell stays short and a search still finds every item. A line may break after `breakAfter`
// (the dots of a server name, the underscores of a suite's) rather than anywhere.
std::string listCell(std::vector<std::string> const& items, size_t max, char const* cls = "", char breakAfter = 0) {
    std::string out = "<td";
    if (*cls) out += std::string(" class=\"") + cls + "\"";
    if (items.size() > max) out += " title=\"" + esc(join(items, items.size())) + "\"";
    out += ">";
    for (char c : esc(join(items, max))) out += c == breakAfter ? c + std::string("<wbr>") : std::string(1, c);
    return out + "</td>";
}

// Finding ids, each kept whole on its line: the list wraps between ids, never at a hyphen.
std::string idList(std::vector<FindingKind> const& kinds) {
    std::string out;
    for (size_t i = 0; i < kinds.size(); ++i)
        out += (i ? ", " : "") + std::string("<code class=\"id\">") + std::string(kindInfo(kinds[i]).id) + "</code>";
    return out;
}

// A date or time that never breaks across lines.
std::string timeTag(std::string const& text) { return "<time>" + text + "</time>"; }

// "address:port" in code, free to break before the port and after each colon of an IPv6
// address, to fit its column.
std::string serverCode(std::string const& server) {
    std::string const text = esc(server);
    size_t const port = text.rfind(':');
    bool const ipv6 = server.find('[') != std::string::npos;
    std::string out = "<code>";
    for (size_t i = 0; i < text.size(); ++i)
        out += i == port && !ipv6 ? "<wbr>:" : text[i] == ':' && ipv6 ? ":<wbr>" : std::string(1, text[i]);
    return out + "</code>";
}

std::string severityBadge(Severity s) {
    return "<span class=\"sev sev-" + std::string(severityName(s)) + "\">" + std::string(severityName(s)) + "</span>";
}

struct Bar {
    std::string label;
    uint64_t value = 0;
    std::string cls;  // colour class of the bar
};

// A label cut into lines that fit a column of the given width at the chart's 12 px font:
// after "_", "-", " " or "," where it can, else anywhere. A wide capital is about 8.5 px, so
// that is what every character is given.
std::vector<std::string> labelLines(std::string const& label, int columnWidth) {
    size_t const perLine = static_cast<size_t>(std::max(8, columnWidth * 2 / 17));
    std::vector<std::string> lines;
    std::string rest = label;
    while (rest.size() > perLine) {
        size_t cut = rest.find_last_of("_- ,", perLine - 1);
        cut = cut == std::string::npos || cut < perLine / 3 ? perLine : cut + 1;
        lines.push_back(rest.substr(0, cut));
        rest.erase(0, cut);
    }
    lines.push_back(rest);
    return lines;
}

// A right-aligned label of one or more lines, its first line's baseline at y.
std::string labelText(std::string const& label, int x, int y, int columnWidth) {
    std::ostringstream out;
    out << "<text class=\"label\" x=\"" << x << "\" y=\"" << y << "\">";
    auto const lines = labelLines(label, columnWidth);
    for (size_t i = 0; i < lines.size(); ++i)
        out << "<tspan x=\"" << x << "\" dy=\"" << (i ? 14 : 0) << "\">" << esc(lines[i]) << "</tspan>";
    out << "</text>";
    return out.str();
}

std::string svgOpen(std::string const& id, std::string const& title, int width, int height) {
    std::ostringstream svg;
    svg << "<figure class=\"chart-box\"><svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" id=\"" << id
        << "\" width=\"" << width << "\" height=\"" << height << "\" viewBox=\"0 0 " << width << ' ' << height
        << "\" role=\"img\" aria-label=\"" << esc(title) << "\"><title>" << esc(title)
        << "</title><text class=\"chart-title\" x=\"0\" y=\"16\">" << esc(title) << "</text>";
    return svg.str();
}

// Horizontal bars, one per row, with the count and share at the right. A long label takes
// several lines and its row grows with it.
std::string barChart(std::string const& id, std::string const& title, std::vector<Bar> const& bars, uint64_t whole = 0) {
    int const lineHeight = 14, top = 28, labelWidth = 330, barWidth = 250, width = 720;
    std::vector<int> rowHeights;
    int height = top + 8 + (bars.empty() ? 22 : 0);
    for (auto const& b : bars) {
        rowHeights.push_back(std::max(22, static_cast<int>(labelLines(b.label, labelWidth - 12).size()) * lineHeight + 8));
        height += rowHeights.back();
    }
    uint64_t max = 0, total = 0;
    for (auto const& b : bars) {
        max = std::max(max, b.value);
        total += b.value;
    }
    if (whole == 0) whole = total;
    std::ostringstream svg;
    svg << svgOpen(id, title, width, height);
    if (bars.empty()) svg << "<text class=\"empty\" x=\"0\" y=\"" << top + 14 << "\">none seen</text>";
    int y = top;
    for (size_t i = 0; i < bars.size(); ++i) {
        auto const& b = bars[i];
        int const w = max ? static_cast<int>(static_cast<double>(b.value) / static_cast<double>(max) * barWidth) : 0;
        svg << labelText(b.label, labelWidth - 6, y + 15, labelWidth - 12) << "<rect class=\"bar "
            << (b.cls.empty() ? "neutral" : b.cls) << "\" x=\"" << labelWidth << "\" y=\"" << y + 3 << "\" width=\""
            << std::max(w, b.value ? 1 : 0) << "\" height=\"16\"/><text class=\"value\" x=\"" << labelWidth + w + 6
            << "\" y=\"" << y + 15 << "\">" << num(b.value) << " (" << percent(b.value, whole) << "%)</text>";
        y += rowHeights[i];
    }
    svg << "</svg></figure>";
    return svg.str();
}

// Several series per row (offered, key share, picked), as thin bars under each other.
std::string groupedChart(std::string const& id, std::string const& title, std::vector<std::string> const& labels,
                         std::vector<std::vector<uint64_t>> const& values, std::vector<std::string> const& series) {
    int const barHeight = 7, labelWidth = 250, barWidth = 380, width = 720, top = 44;
    int const rowHeight = static_cast<int>(series.size()) * (barHeight + 1) + 8;
    int const height = top + std::max<int>(1, static_cast<int>(labels.size())) * rowHeight + 8;
    uint64_t max = 0;
    for (auto const& row : values)
        for (auto v : row) max = std::max(max, v);
    std::ostringstream svg;
    svg << svgOpen(id, title, width, height);
    for (size_t k = 0; k < series.size(); ++k)
        svg << "<rect class=\"bar series" << k << "\" x=\"" << labelWidth + 130 * k << "\" y=\"24\" width=\"10\" height=\"10\"/>"
            << "<text class=\"legend\" x=\"" << labelWidth + 130 * k + 14 << "\" y=\"33\">" << esc(series[k]) << "</text>";
    if (labels.empty()) svg << "<text class=\"empty\" x=\"0\" y=\"" << top + 14 << "\">none seen</text>";
    int y = top;
    for (size_t i = 0; i < labels.size(); ++i) {
        svg << labelText(labels[i], labelWidth - 6, y + rowHeight / 2 + 3, labelWidth - 12);
        for (size_t k = 0; k < series.size(); ++k) {
            uint64_t const v = values[i][k];
            int const w = max ? static_cast<int>(static_cast<double>(v) / static_cast<double>(max) * barWidth) : 0;
            int const by = y + 2 + static_cast<int>(k) * (barHeight + 1);
            svg << "<rect class=\"bar series" << k << "\" x=\"" << labelWidth << "\" y=\"" << by << "\" width=\""
                << std::max(w, v ? 1 : 0) << "\" height=\"" << barHeight << "\"/><text class=\"value small\" x=\""
                << labelWidth + w + 4 << "\" y=\"" << by + barHeight << "\">" << num(v) << "</text>";
        }
        y += rowHeight;
    }
    svg << "</svg></figure>";
    return svg.str();
}

// Post-quantum share of TLS 1.3 handshakes per time bucket, as columns with a 0-100 % axis.
std::string trendChart(std::string const& id, Summary const& s) {
    int const width = 720, height = 230, left = 40, bottom = 190, top = 30, plot = width - left - 10;
    std::ostringstream svg;
    std::string const title = "Post-quantum share of TLS 1.3 handshakes over time (per " +
                              (s.trendBucketHours % 24 == 0 ? std::to_string(s.trendBucketHours / 24) + " d"
                                                            : std::to_string(s.trendBucketHours) + " h") + ")";
    svg << svgOpen(id, title, width, height);
    for (int p : {0, 50, 100}) {
        int const y = bottom - (bottom - top) * p / 100;
        svg << "<line class=\"grid\" x1=\"" << left << "\" y1=\"" << y << "\" x2=\"" << width - 10 << "\" y2=\"" << y
            << "\"/><text class=\"axis\" x=\"" << left - 4 << "\" y=\"" << y + 4 << "\">" << p << "%</text>";
    }
    if (s.trend.empty()) svg << "<text class=\"empty\" x=\"" << left + 8 << "\" y=\"" << bottom - 8 << "\">no TLS 1.3 handshakes</text>";
    size_t const n = s.trend.size();
    double const step = n ? static_cast<double>(plot) / static_cast<double>(n) : 0;
    for (size_t i = 0; i < n; ++i) {
        auto const& p = s.trend[i];
        double const share = p.tls13 ? static_cast<double>(p.postQuantum) / static_cast<double>(p.tls13) : 0;
        int const h = static_cast<int>(share * (bottom - top));
        int const x = left + static_cast<int>(step * static_cast<double>(i)) + 1;
        svg << "<rect class=\"bar " << (p.tls13 ? "pq" : "neutral") << "\" x=\"" << x << "\" y=\"" << bottom - h
            << "\" width=\"" << std::max(1, static_cast<int>(step) - 2) << "\" height=\"" << std::max(h, p.tls13 ? 1 : 0)
            << "\"><title>" << isoTime(p.startMs) << ": " << p.postQuantum << " of " << p.tls13 << "</title></rect>";
    }
    if (n) {
        svg << "<text class=\"axis start\" x=\"" << left << "\" y=\"" << bottom + 16 << "\">" << isoTime(s.trend.front().startMs)
            << "</text><text class=\"axis\" x=\"" << width - 10 << "\" y=\"" << bottom + 16 << "\">"
            << isoTime(s.trend.back().startMs) << "</text>";
    }
    svg << "</svg></figure>";
    return svg.str();
}

std::string groupClass(std::string const& kind) {
    if (kind == "hybrid-pq" || kind == "pure-pq") return "pq";
    if (kind == "obsolete-pq") return "weak";
    if (kind == "unknown") return "unknown";
    return "neutral";
}

std::vector<Bar> bars(std::vector<Tally> const& list, size_t max = 20) {
    std::vector<Bar> out;
    for (size_t i = 0; i < list.size() && i < max; ++i) {
        std::string cls = list[i].cls;
        if (cls == "flagged" || cls == "legacy") cls = "weak";
        if (cls == "hybrid-pq" || cls == "pure-pq" || cls == "obsolete-pq" || cls == "classical") cls = groupClass(cls);
        out.push_back({list[i].name, list[i].count, cls});
    }
    return out;
}

constexpr char const* css = R"css(
:root { --insecure: #b3261e; --weak: #d9730d; --good: #2e7d32; --other: #6b7280; --unknown: #9ca3af; --pq: #1565c0; }
body { font-family: "DejaVu Sans", Helvetica, Arial, sans-serif; margin: 0 auto; max-width: 1200px; padding: 1em 1.5em;
       color: #1f2328; background: #fff; font-size: 14px; line-height: 1.4; }
h1 { font-size: 1.7em; margin-bottom: 0.2em; } h2 { border-bottom: 2px solid #d0d7de; padding-bottom: 0.2em; margin-top: 1.6em; }
h3 { font-size: 1.05em; margin-top: 1.2em; }
nav ul { list-style: none; padding: 0; display: flex; flex-wrap: wrap; gap: 0.4em 1.2em; }
nav a { color: #0b57d0; text-decoration: none; }
.tiles { display: flex; flex-wrap: wrap; gap: 0.6em; padding: 0; margin: 0.5em 0; }
.tile { border: 1px solid #d0d7de; border-radius: 6px; padding: 0.4em 0.7em; min-width: 6em; }
.tile .k { display: block; color: #57606a; font-size: 0.85em; } .tile .v { display: block; font-size: 1.3em; font-weight: bold; }
table { border-collapse: collapse; margin: 0.6em 0; width: 100%; font-size: 0.92em; }
th, td { border: 1px solid #d0d7de; padding: 0.25em 0.5em; text-align: left; vertical-align: top; }
th { background: #f6f8fa; } td.n { text-align: right; white-space: nowrap; } td.t { white-space: nowrap; }
td.names { overflow-wrap: anywhere; min-width: 12em; } /* a 60-character server name wraps inside its column */
code { font-family: "DejaVu Sans Mono", monospace; font-size: 0.95em; }
.sev { display: inline-block; padding: 0 0.45em; border-radius: 4px; color: #fff; font-size: 0.85em; font-weight: bold; }
.sev-critical { background: var(--insecure); } .sev-high { background: #e8590c; } .sev-medium { background: #b08800; }
.sev-low { background: var(--pq); } .sev-info { background: var(--other); }
.cls-insecure { color: var(--insecure); font-weight: bold; } .cls-weak, .cls-legacy, .cls-flagged { color: var(--weak); font-weight: bold; }
.cls-good { color: var(--good); } .cls-other, .cls-unknown { color: var(--other); }
.note { color: #57606a; }
figure.chart-box { margin: 0.8em 0; }
svg.chart { max-width: 100%; height: auto; font-family: "DejaVu Sans", Helvetica, Arial, sans-serif; }
svg .chart-title { font-size: 14px; font-weight: bold; fill: #1f2328; }
svg .label { font-size: 12px; text-anchor: end; fill: #1f2328; }
svg .value, svg .legend { font-size: 12px; fill: #444; } svg .small { font-size: 9px; }
svg .axis { font-size: 11px; text-anchor: end; fill: #57606a; } svg .axis.start { text-anchor: start; }
svg .empty { font-size: 12px; fill: #57606a; font-style: italic; } svg .grid { stroke: #d0d7de; }
svg .bar.insecure { fill: var(--insecure); } svg .bar.weak { fill: var(--weak); } svg .bar.good { fill: var(--good); }
svg .bar.other, svg .bar.neutral { fill: #57606a; } svg .bar.unknown { fill: var(--unknown); } svg .bar.pq { fill: var(--pq); }
svg .bar.series0 { fill: #57606a; } svg .bar.series1 { fill: #8b5cf6; } svg .bar.series2 { fill: var(--good); }
.sevline .sev { margin-left: 0.8em; } .sevline .sev:first-child { margin-left: 0; }
.groups { margin: 0.6em 0; border-top: 1px solid #d0d7de; }
.group-head, details.group > summary { display: grid; grid-template-columns: 1.1em 6em minmax(0, 1fr) 6em 7em;
       gap: 0.6em; align-items: baseline; padding: 0.3em 0.5em; }
.group-head { font-weight: bold; background: #f6f8fa; border: 1px solid #d0d7de; border-top: none; }
.group-head .n, details.group > summary .n { text-align: right; }
details.group { border: 1px solid #d0d7de; border-top: none; }
details.group > summary { cursor: pointer; list-style: none; }
details.group > summary::-webkit-details-marker { display: none; }
details.group > summary::before { content: "\25B8"; color: #57606a; }
details.group[open] > summary::before { content: "\25BE"; }
details.group > table { margin: 0 0 0.4em 0; border-left: none; border-right: none; }
details.group code.id { color: #57606a; font-size: 0.85em; }
details.group > p.advice, details.group > p.tools, details.group > button.show-all { margin: 0.3em 0.5em; }
header h1 { margin-top: 0.2em; } header p { margin: 0.2em 0; } nav ul { margin: 0.4em 0; }
section#overview h2, section#findings h2 { margin-top: 0.8em; }
.js-only { display: none; } .js .js-only { display: block; }
html:not(.js) tr[hidden] { display: table-row; } /* rows past the first page: the script pages them */
table.data { table-layout: fixed; } table.data td { overflow-wrap: anywhere; }
table.data th, table.data td { box-sizing: border-box; } /* a column's share of the width holds its padding */
table.data th { cursor: pointer; user-select: none; overflow-wrap: anywhere; }
th[aria-sort=ascending]::after { content: " \25B4"; } th[aria-sort=descending]::after { content: " \25BE"; }
time, code.id { white-space: nowrap; hyphens: none; } td code.id { font-size: 0.85em; }
input[type=search] { font: inherit; padding: 0.15em 0.4em; width: 24em; max-width: 60%; }
section, details.group { scroll-margin-top: 3em; } /* a link to a section lands below the sticky search */
p.find-all { position: sticky; top: 0; z-index: 1; background: #fff; margin: 0; padding: 0.3em 0; border-bottom: 1px solid #d0d7de; }
p.tools { display: flex; gap: 1em; align-items: center; margin: 0.6em 0 -0.3em; } p.tools span { color: #57606a; }
button.show-all { font: inherit; margin: 0 0 0.6em; } details.group.miss > summary { opacity: 0.45; }
@media print {
  p.find-all, p.tools, button.show-all { display: none; }
  body { max-width: none; padding: 0; font-size: 11px; } nav { display: none; }
  details.group > summary::before { content: ""; }
  h2 { break-after: avoid; } figure.chart-box, tr { break-inside: avoid; }
  * { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
}
)css";

// Sorts every table by a click on a header, filters it by its own search box and by the
// page-wide one (also given as #search= or ?search= in the address), and shows the first
// rows of a long table until "show all".
constexpr char const* script = R"js(
(() => {
  const PAGE = 50, all = document.getElementById('search'), collator = new Intl.Collator('en', {numeric: true});
  // A term that starts or ends with a digit matches whole numbers only: 10.1.2.3 finds
  // neither 10.1.2.30 nor 110.1.2.3.
  const matcher = query => {
    const terms = query.toLowerCase().split(/\s+/).filter(Boolean).map(term => new RegExp((/^\d/.test(term) ? '(?<![\\d.])' : '') +
      term.replace(/[.*+?^${}()|[\]\\]/g, '\\$&') + (/\d$/.test(term) ? '(?!\\d)' : '')));
    return terms.length ? text => terms.every(re => re.test(text)) : null;
  };
  const rowText = row => (row.textContent + ' ' + [...row.querySelectorAll('[title]')].map(e => e.title).join(' ')).toLowerCase();
  const show = t => {
    const match = matcher(all.value + ' ' + t.query);
    if (match && !t.text) t.text = new Map(t.rows.map(row => [row, rowText(row)]));
    let n = 0;
    for (const row of t.order) {
      const hit = !match || match(t.text.get(row)), visible = hit && (t.whole || n < PAGE);
      n += hit;
      if (row.hidden === visible) row.hidden = !visible;
    }
    const rows = t.rows.length.toLocaleString('en') + (t.rows.length === 1 ? ' row' : ' rows');
    t.count.textContent = match ? n.toLocaleString('en') + ' of ' + rows + ' match' : rows;
    t.more.hidden = n <= PAGE;
    t.more.textContent = t.whole ? 'Show the first ' + PAGE : 'Show all ' + n.toLocaleString('en');
    return n;
  };
  // Numbers (thousands separated by a narrow space, hex codes, percentages) sort as numbers;
  // a cell's data-k stands for text that would not sort right, such as a range of dates.
  const sortKey = cell => {
    const text = (cell ? cell.dataset.k ?? cell.textContent : '').trim(), n = text.replace(/[\u202f,%]/g, '');
    return n !== '' && !isNaN(n) ? +n : text;
  };
  const cellAt = (row, i) => { for (const cell of row.cells) if ((i -= cell.colSpan) < 0) return cell; };
  const compare = (a, b) => typeof a !== typeof b ? (typeof a === 'number' ? -1 : 1) : typeof a === 'number' ? a - b : collator.compare(a, b);
  const sort = (t, th, i) => {
    const up = th.getAttribute('aria-sort') !== 'ascending', keys = new Map(t.rows.map(row => [row, sortKey(cellAt(row, i))]));
    for (const h of th.parentNode.cells) h.removeAttribute('aria-sort');
    th.setAttribute('aria-sort', up ? 'ascending' : 'descending');
    t.order = [...t.rows].sort((a, b) => (up ? 1 : -1) * compare(keys.get(a), keys.get(b)));
    // Rows move while their body is out of the page, which then lays them out once.
    const body = t.table.tBodies[0];
    body.remove();
    for (const row of t.order) body.append(row);
    t.table.append(body);
    show(t);
  };
  const tables = [...document.querySelectorAll('table.data')].map(table => {
    const t = {table, rows: [...table.tBodies[0].rows], query: '', whole: false, text: null}, tools = document.createElement('p');
    t.order = t.rows;
    tools.className = 'tools';
    tools.innerHTML = '<input type="search" placeholder="Filter this table" aria-label="Filter this table"> <span></span>';
    tools.firstChild.oninput = e => { t.query = e.target.value; t.whole = false; show(t); };
    t.count = tools.lastChild;
    t.more = document.createElement('button');
    t.more.type = 'button';
    t.more.className = 'show-all';
    t.more.onclick = () => { t.whole = !t.whole; show(t); };
    table.before(tools);
    table.after(t.more);
    [...table.tHead.rows[0].cells].forEach((th, i) => {
      th.tabIndex = 0;
      th.onclick = () => sort(t, th, i);
      th.onkeydown = e => e.key === 'Enter' && sort(t, th, i);
    });
    return t;
  });
  // A page-wide search opens the finding groups it finds rows in and dims the others.
  const searchAll = () => {
    const searching = all.value.trim() !== '';
    for (const t of tables) {
      const n = show(t), group = t.table.closest('details');
      if (!group) continue;
      group.dataset.open ??= group.open;
      group.open = searching ? n > 0 : group.dataset.open === 'true';
      group.classList.toggle('miss', searching && !n);
    }
  };
  const fromAddress = () => {
    const found = /[#&]search=([^&]*)/.exec(location.hash) || /[?&]search=([^&]*)/.exec(location.search);
    if (found) {
      try { all.value = decodeURIComponent(found[1].replace(/\+/g, ' ')); } catch { all.value = found[1]; }
    }
    searchAll();
  };
  // The address follows the page-wide search, so that it can be passed on as a link.
  all.oninput = () => {
    try { history.replaceState(null, '', all.value ? '#search=' + encodeURIComponent(all.value) : location.pathname + location.search); } catch {}
    searchAll();
  };
  addEventListener('hashchange', fromAddress);
  fromAddress();
})();
)js";

void tile(std::ostream& out, std::string const& name, std::string const& value) {
    out << "<div class=\"tile\"><span class=\"k\">" << name << "</span><span class=\"v\">" << value << "</span></div>";
}

// A column's header and its share of the table's width ("" shares what the others leave);
// a plain header names a column of no set width.
struct Column {
    Column(char const* name, char const* width = "") : name(name), width(width) {}
    char const* name;
    char const* width;
};

// The header of a table the script sorts and filters; the fixed layout keeps a table of
// 50,000 rows as wide as the page, whatever its longest cell.
void tableHead(std::ostream& out, std::vector<Column> const& columns) {
    out << "<table class=\"data\"><thead><tr>";
    for (auto const& c : columns) out << "<th" << (*c.width ? std::string(" style=\"width:") + c.width + "\"" : "") << ">" << c.name << "</th>";
    out << "</tr></thead><tbody>";
}

// Rows past the first page come hidden, as the script would leave them; without the script
// the style sheet shows them.
char const* rowOpen(size_t index) { return index < pageRows ? "<tr>" : "<tr hidden>"; }

template <typename Row>
void table(std::ostream& out, std::vector<Column> const& columns, std::vector<Row> const& rows,
           std::function<void(std::ostream&, Row const&)> const& cells) {
    if (rows.empty()) {
        out << "<p>None.</p>";
        return;
    }
    tableHead(out, columns);
    for (size_t i = 0; i < rows.size(); ++i) {
        out << rowOpen(i);
        cells(out, rows[i]);
        out << "</tr>";
    }
    out << "</tbody></table>";
}

void pageHead(Summary const& s, std::ostream& out) {
    out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        << "<title>VARNO TLS inventory</title>\n<style>" << css << "</style>\n"
        // Set before the body is read: the page-wide search shows, rows past the first page stay hidden.
        << "<script>document.documentElement.classList.add('js');</script>\n</head>\n<body>\n";
    out << "<header><h1>TLS inventory</h1><p class=\"note\">" << count(s.rows, "handshake", "handshakes") << " from ";
    if (s.store.empty())
        out << count(s.files, "file", "files") << " in " << esc(join(s.directories, 4));
    else
        out << "the ClickHouse store " << esc(s.store) << " (sensors " << esc(join(s.directories, 4)) << ")";
    out << "; certificate validity judged at the time of each "
        << "handshake and on " << isoDate(s.nowSeconds) << ".";
    for (auto const& p : s.parents) {
        std::vector<std::string> below;
        for (auto const& b : p.below) below.push_back(lastComponent(b));
        out << " " << esc(p.directory) << " holds no CSV file: read the output "
            << (below.size() == 1 ? "directory" : "directories") << " below it (" << esc(join(below, 20)) << ").";
    }
    out << "</p></header>\n";
    std::vector<std::pair<char const*, char const*>> sections = {
        {"overview", "Overview"}, {"findings", "Findings"}, {"versions", "Protocol versions"},
        {"cipher-suites", "Cipher suites"}, {"key-exchange", "Key exchange"}, {"tls13-groups", "TLS 1.3 groups"},
        {"certificates", "Certificates"}, {"servers", "Servers"}, {"client-features", "Client certificates, renegotiation, compression"},
        {"client-hellos", "What clients offer"}, {"input", "Input"}};
    if (s.drift) sections.insert(sections.begin() + 2, std::pair<char const*, char const*>("drift", "What changed"));
    out << "<nav><ul>";
    for (auto const& [id, title] : sections) out << "<li><a href=\"#" << id << "\">" << title << "</a></li>";
    out << "</ul></nav>\n<p class=\"js-only find-all\"><label>Search every table: <input type=\"search\" id=\"search\" "
           "placeholder=\"address, server name, suite, finding\"></label></p>\n";
}

void overviewSection(Summary const& s, std::ostream& out) {
    out << "<section id=\"overview\"><h2>Overview</h2><div class=\"tiles\">";
    tile(out, "Handshakes", num(s.rows));
    tile(out, "Servers", num(s.servers));
    tile(out, "SNIs", num(s.snis));
    tile(out, "Clients", num(s.clients));
    tile(out, "Certificates", num(s.certificates.size()));
    tile(out, "Certificates expired when used",
         num(s.expiredWhenUsedCertificates) + " in " + count(s.expiredWhenUsedHandshakes, "handshake", "handshakes"));
    tile(out, "Post-quantum TLS 1.3", percent(s.postQuantum, s.tls13) + "%");
    out << "</div><p>Time span: " << (s.rows ? isoTime(s.firstMs) + " to " + isoTime(s.lastMs) : std::string("none"));
    auto const transports = transportLines(s);
    if (!transports.empty()) {
        out << ". Transport:";
        for (size_t i = 0; i < transports.size(); ++i) {
            auto const& t = transports[i];
            out << (i ? ";" : "") << ' ' << t.name << ' ' << count(t.handshakes, "handshake", "handshakes") << " (post-quantum "
                << percent(t.postQuantum, t.tls13) << "% of TLS 1.3)";
        }
    }
    out << ".</p><p id=\"coverage\">Coverage: " << esc(coverageText(s));
    std::map<Severity, size_t> worst;
    size_t clean = 0;
    for (auto const& r : s.serverTable) r.anyFinding ? ++worst[r.worst] : ++clean;
    out << ".</p><p class=\"sevline\">Servers by worst finding: ";
    for (int sev = static_cast<int>(Severity::Critical); sev >= 0; --sev)
        out << severityBadge(static_cast<Severity>(sev)) << ' ' << num(worst[static_cast<Severity>(sev)]) << ' ';
    out << "&#183; none " << num(clean) << "</p></section>\n";
}

// One line per kind, each opening onto its servers.
void findingsSection(Summary const& s, std::ostream& out) {
    out << "<section id=\"findings\"><h2>Findings</h2>";
    if (s.findings.empty()) {
        out << "<p>No findings.</p></section>\n";
        return;
    }
    std::map<std::string, ServerSummary const*> rows;
    for (auto const& r : s.serverTable) rows.emplace(r.server, &r);
    out << "<div class=\"groups\"><div class=\"group-head\"><span>&#160;</span><span>Severity</span><span>Finding</span>"
           "<span class=\"n\">Servers</span><span class=\"n\">Handshakes</span></div>";
    for (auto const& g : s.findingGroups) {
        auto const& info = kindInfo(g.kind);
        out << "<details class=\"group\" id=\"finding-" << info.id << "\"><summary><span>" << severityBadge(info.severity)
            << "</span><span>" << esc(std::string(info.title)) << " <code class=\"id\">" << info.id
            << "</code></span><span class=\"n\">" << num(g.servers) << "</span><span class=\"n\">" << num(g.handshakes)
            << "</span></summary><p class=\"advice\">Advice: " << esc(std::string(info.advice))
            << ".</p>";
        tableHead(out, {{"Server", "18%"}, {"Server names", "22%"}, {"Last seen", "15%"}, {"Detail"}, {"Handshakes", "9%"}});
        for (size_t k = g.first; k < g.first + g.count; ++k) {
            auto const& f = s.findings[k];
            ServerSummary const& r = *rows.at(f.server);
            out << rowOpen(k - g.first) << "<td>" << serverCode(f.server) << "</td>" << listCell(r.snis, 3, "names", '.')
                << "<td>" << timeTag(isoTime(r.lastSeenMs)) << "</td><td>" << esc(f.detail) << "</td><td class=\"n\">"
                << num(r.kindHandshakes[static_cast<size_t>(f.kind)]) << "</td></tr>";
        }
        out << "</tbody></table>";
        out << "</details>";
    }
    out << "</div><p class=\"note\">Open a line for its servers; every server's findings are also in "
           "<a href=\"#servers\">Servers</a>.</p></section>\n";
}

void driftSection(Drift const& d, std::ostream& out) {
    out << "<section id=\"drift\"><h2>What changed</h2><p>Baseline: " << count(d.rows, "handshake", "handshakes") << " in "
        << esc(join(d.directories, 4));
    if (d.rows) out << ", " << isoTime(d.firstMs) << " to " << isoTime(d.lastMs);
    out << ".</p><div class=\"tiles\">";
    tile(out, "New servers", num(d.newServers.size()));
    tile(out, "Gone servers", num(d.goneServers.size()));
    tile(out, "Servers changed", num(d.changed.size()));
    tile(out, "Findings new / gone", num(d.appeared.size()) + " / " + num(d.disappeared.size()));
    tile(out, "Post-quantum then / now", percent(d.postQuantumThen, d.tls13Then) + "% / " + percent(d.postQuantumNow, d.tls13Now) + "%");
    out << "</div>";
    // Tables rather than lists, so that a search for a server finds it here too.
    auto servers = [&](char const* title, std::vector<std::string> const& list) {
        out << "<h3>" << title << "</h3>";
        table<std::string>(out, {{"Server"}}, list, [](std::ostream& o, std::string const& server) {
            o << "<td>" << serverCode(server) << "</td>";
        });
    };
    servers("New servers", d.newServers);
    servers("Gone servers", d.goneServers);
    out << "<h3>Servers that changed</h3>";
    table<ServerChange>(out, {{"Server", "25%"}, {"What", "15%"}, {"Before"}, {"Now"}}, d.changed, [](std::ostream& o, ServerChange const& c) {
        o << "<td>" << serverCode(c.server) << "</td><td>" << c.what << "</td><td>" << esc(c.before) << "</td><td>"
          << esc(c.after) << "</td>";
    });
    std::vector<FindingChange> fixed, unseen;
    for (auto const& f : d.disappeared) (f.serverSeen ? fixed : unseen).push_back(f);
    std::pair<char const*, std::vector<FindingChange> const*> const lists[] = {
        {"Findings that appeared", &d.appeared},
        {"Findings gone: fixed on servers still seen", &fixed},
        {"Findings gone: servers not seen", &unseen}};
    for (auto const& [title, list] : lists) {
        out << "<h3>" << title << "</h3>";
        table<FindingChange>(out, {{"Severity", "12%"}, {"Finding"}, {"Server", "30%"}}, *list, [](std::ostream& o, FindingChange const& f) {
            Severity const severity = kindInfo(f.kind).severity;
            o << "<td data-k=\"" << static_cast<int>(severity) << "\">" << severityBadge(severity) << "</td><td>" << esc(std::string(kindInfo(f.kind).title))
              << "</td><td>" << serverCode(f.server) << "</td>";
        });
    }
    out << "</section>\n";
}

void versionsSection(Summary const& s, std::ostream& out) {
    out << "<section id=\"versions\"><h2>Protocol versions</h2>" << barChart("chart-versions", "Negotiated versions", bars(s.versions), s.rows);
    std::vector<ServerSummary> old;
    for (auto const& r : s.serverTable)
        for (auto const& v : r.versions)
            if (v == "SSL 3.0" || v == "TLS 1.0" || v == "TLS 1.1" || v == "DTLS 1.0") {
                old.push_back(r);
                break;
            }
    out << "<h3>Servers still on SSL 3.0, TLS 1.0, TLS 1.1 or DTLS 1.0</h3>";
    if (old.empty()) out << "<p>None.</p>";
    else
        table<ServerSummary>(out, {{"Server", "25%"}, {"Versions", "25%"}, {"SNIs"}}, old, [](std::ostream& o, ServerSummary const& r) {
            o << "<td>" << serverCode(r.server) << "</td>" << listCell(r.versions, 6) << listCell(r.snis, 3, "names", '.');
        });
    out << "</section>\n";
}

void suitesSection(Summary const& s, std::ostream& out) {
    std::vector<Bar> classBars;
    for (SuiteClass c : {SuiteClass::Good, SuiteClass::Weak, SuiteClass::Insecure, SuiteClass::Other, SuiteClass::Unknown})
        classBars.push_back({std::string(suiteClassName(c)), s.suiteClasses[static_cast<int>(c)], std::string(suiteClassName(c))});
    std::vector<Bar> suiteBars;
    for (size_t i = 0; i < s.suites.size() && i < 20; ++i)
        suiteBars.push_back({s.suites[i].info->name, s.suites[i].count, std::string(suiteClassName(s.suites[i].info->cls))});
    out << "<section id=\"cipher-suites\"><h2>Cipher suites</h2><p class=\"note\">Insecure: NULL, EXPORT, anonymous, RC4, DES, "
           "3DES (and IDEA, RC2, Kerberos). Weak: static RSA or other key exchange without forward secrecy, CBC. "
           "Good: AEAD with forward secrecy, and every TLS 1.3 suite.</p>"
        << barChart("chart-suite-classes", "Handshakes by suite class", classBars, s.rows)
        << barChart("chart-suites", "Most used cipher suites", suiteBars, s.rows);
    table<SuiteTally>(out, {{"Code", "8%"}, {"Name", "36%"}, {"Class", "9%"}, {"Why"}, {"Handshakes", "10%"}}, s.suites,
                      [](std::ostream& o, SuiteTally const& t) {
        std::vector<std::string> reasons(t.info->reasons.begin(), t.info->reasons.end());
        o << "<td><code>" << hexCode(t.code) << "</code></td>" << listCell({t.info->name}, 1, "", '_') << "<td class=\"cls-"
          << suiteClassName(t.info->cls) << "\">" << suiteClassName(t.info->cls) << "</td>" << listCell(reasons, 6)
          << "<td class=\"n\">" << num(t.count) << "</td>";
    });
    out << "</section>\n";
}

void keyExchangeSection(Summary const& s, std::ostream& out) {
    out << "<section id=\"key-exchange\"><h2>Key exchange</h2>"
        << barChart("chart-curves", "TLS 1.2 and older: named curves", bars(s.curves))
        << barChart("chart-dh", "Diffie-Hellman prime sizes (under 2048 bits flagged)", bars(s.dhBits))
        << barChart("chart-rsa", "RSA key exchange: key sizes (under 2048 bits flagged)", bars(s.rsaBits))
        << "<p class=\"note\">RSA key sizes of handshakes with static RSA key exchange: the key of the "
           "server's leaf certificate.</p></section>\n";
}

void groupsSection(Summary const& s, std::ostream& out) {
    out << "<section id=\"tls13-groups\"><h2>TLS 1.3 groups</h2><p>" << num(s.postQuantum) << " of "
        << count(s.tls13, "TLS 1.3 handshake", "TLS 1.3 handshakes") << " (" << percent(s.postQuantum, s.tls13)
        << "%) use a post-quantum group: hybrid SecP256r1MLKEM768, X25519MLKEM768, SecP384r1MLKEM1024 or pure ML-KEM. "
        << num(s.obsoletePostQuantum) << " use an obsolete pre-standard Kyber draft.</p>";
    table<TransportTally>(out, {"Transport", "Handshakes", "TLS 1.3", "Post-quantum", "Share"}, s.transports,
                          [](std::ostream& o, TransportTally const& t) {
                              o << "<td>" << esc(t.protocolType) << (t.transport() == "TCP" ? " over TCP" : "")
                                << "</td><td class=\"n\">" << num(t.handshakes) << "</td><td class=\"n\">" << num(t.tls13)
                                << "</td><td class=\"n\">" << num(t.postQuantum) << "</td><td class=\"n\">"
                                << percent(t.postQuantum, t.tls13) << "%</td>";
                          });
    out << barChart("chart-tls13-groups", "TLS 1.3 key exchange groups", bars(s.tls13Groups), s.tls13)
        << trendChart("chart-pq-trend", s) << "</section>\n";
}

void certificateRow(std::ostream& out, CertificateSummary const& c) {
    std::string const seen = c.firstSeenMs ? timeTag(isoDate(c.firstSeenMs / 1000)) + " to " + timeTag(isoDate(c.lastSeenMs / 1000)) : "";
    std::string const seenCell = "<td data-k=\"" + std::to_string(c.lastSeenMs) + "\">" + seen + "</td>";
    if (!c.facts) {
        out << "<td colspan=\"4\"><code>" << c.digest << "</code></td><td>" << (c.missing ? "missing" : "unreadable")
            << "</td>" << seenCell << listCell(c.servers, 3) << "<td></td>";
        return;
    }
    auto const& f = *c.facts;
    out << "<td>" << esc(f.subject) << "</td><td>" << esc(f.issuer) << "</td><td>" << esc(f.keyType) << ' ' << f.keyBits
        << "</td><td>" << esc(f.signatureAlgorithm) << "</td><td data-k=\"" << f.notAfter << "\">"
        << timeTag(isoDate(f.notBefore)) << " to " << timeTag(isoDate(f.notAfter)) << "</td>" << seenCell
        << listCell(c.servers, 3) << "<td class=\"cls-flagged\">" << idList(c.flags) << "</td>";
}

void certificatesSection(Summary const& s, std::ostream& out) {
    out << "<section id=\"certificates\"><h2>Certificates</h2><p>"
        << count(s.certificates.size(), "distinct server certificate", "distinct server certificates");
    if (s.missingCertificates) out << ", " << num(s.missingCertificates) << " of them missing from the store";
    if (s.unreadableCertificates) out << ", " << num(s.unreadableCertificates) << " unreadable";
    out << "; " << count(s.distinctClientCertificates, "distinct client certificate", "distinct client certificates")
        << ". <strong>"
        << num(s.expiredWhenUsedCertificates) << "</strong> were expired or not yet valid when a server presented them, in "
        << count(s.expiredWhenUsedHandshakes, "handshake", "handshakes")
        << ". Coverage: " << esc(coverageText(s)) << ".</p>"
        << barChart("chart-cert-keys", "Key type and size", bars(s.certificateKeys))
        << barChart("chart-signatures", "Signature algorithm (SHA-1 and MD5 flagged)", bars(s.signatureAlgorithms))
        << barChart("chart-validity", "Expiry, as of " + isoDate(s.nowSeconds), bars(s.validity));
    table<CertificateSummary>(out, {{"Subject", "12%"}, {"Issuer", "11%"}, {"Key", "7%"}, {"Signature", "14%"}, {"Valid", "10%"},
                                    {"Seen", "10%"}, {"Servers"}, {"Findings", "20%"}},
                              s.certificates, certificateRow);
    out << "</section>\n";
}

void serversSection(Summary const& s, std::ostream& out) {
    out << "<section id=\"servers\"><h2>Servers</h2><p class=\"note\">Worst first.</p>";
    table<ServerSummary>(out, {{"Server", "11%"}, {"SNIs", "12%"}, {"Versions", "7%"}, {"Cipher suites"}, {"Groups", "7%"},
                               {"Key", "8%"}, {"Leaf expires", "8%"}, {"Findings", "20%"}, {"Handshakes", "9%"}},
                         s.serverTable, [](std::ostream& o, ServerSummary const& r) {
                             o << "<td>" << serverCode(r.server);
                             if (r.anyFinding) o << "<br>" << severityBadge(r.worst);
                             o << "</td>" << listCell(r.snis, 3, "names", '.') << listCell(r.versions, 6)
                               << listCell(r.suites, 4, "", '_') << listCell(r.groups, 4) << "<td>" << esc(r.key) << "</td><td>"
                               << (r.leafNotAfter ? timeTag(isoDate(r.leafNotAfter)) : "") << "</td><td>" << idList(r.findings)
                               << "</td><td class=\"n\">" << num(r.handshakes) << "</td>";
                         });
    out << "</section>\n";
}

void clientFeaturesSection(Summary const& s, std::ostream& out) {
    out << "<section id=\"client-features\"><h2>Client certificates, renegotiation, compression</h2>";
    tableHead(out, {{"What", "30%"}, {"Handshakes", "12%"}, {"Servers"}});
    auto featureRow = [&](char const* name, uint64_t total, uint64_t ServerSummary::*field) {
        std::vector<std::string> names;
        for (auto const& r : s.serverTable)
            if (r.*field) names.push_back(r.server);
        out << "<tr><td>" << name << "</td><td class=\"n\">" << num(total) << "</td>" << listCell(names, 8) << "</tr>";
    };
    featureRow("Client certificate requested", s.clientAuthRequested, &ServerSummary::clientAuthRequested);
    featureRow("Client certificate sent", s.clientCertificates, &ServerSummary::clientCertificates);
    featureRow("Renegotiation", s.renegotiated, &ServerSummary::renegotiated);
    featureRow("Compression", s.compressed, &ServerSummary::compressed);
    out << "</tbody></table></section>\n";
}

void offeredCharts(Summary const& s, std::ostream& out) {
    std::vector<std::string> groupLabels;
    std::vector<std::vector<uint64_t>> groupValues;
    for (size_t i = 0; i < s.groupOffers.size() && i < 16; ++i) {
        groupLabels.push_back(s.groupOffers[i].name);
        groupValues.push_back({s.groupOffers[i].offered, s.groupOffers[i].keyShare, s.groupOffers[i].picked});
    }
    out << groupedChart("chart-offered-groups", "Groups: offered, sent as key share, picked by the server", groupLabels,
                        groupValues, {"offered", "key share", "picked"});
    std::vector<std::string> versionLabels;
    std::vector<std::vector<uint64_t>> versionValues;
    for (auto const& t : s.offeredVersions) {
        uint64_t picked = 0;
        for (auto const& p : s.pickedVersionsOfHellos)
            if (p.code == t.code) picked = p.count;
        versionLabels.push_back(t.name);
        versionValues.push_back({t.count, picked});
    }
    out << groupedChart("chart-offered-versions", "Versions: offered and picked", versionLabels, versionValues,
                        {"offered", "picked"})
        << barChart("chart-alpn", "ALPN protocols offered", bars(s.alpnOffered), s.helloRows);
}

void clientHellosSection(Summary const& s, std::ostream& out) {
    out << "<section id=\"client-hellos\"><h2>What clients offer</h2>";
    if (!s.helloRows)
        out << "<p class=\"note\">No row carries a ClientHello; run the monitor with <code>-m 1</code> to save them.</p>";
    else
        out << "<p>" << count(s.helloRows, "handshake carries", "handshakes carry") << " its ClientHello ("
            << num(s.helloUnreadable)
            << " unreadable). " << num(s.pqOfferedRows) << " offer a post-quantum group; " << num(s.pqPickedRows)
            << " got one.</p><p id=\"ech\">" << esc(echText(s)) << ".</p><p id=\"ml-dsa\">" << esc(mlDsaText(s)) << ".</p>";
    offeredCharts(s, out);
    if (!s.alpnPicked.empty()) {
        std::vector<std::string> picked;
        for (auto const& t : s.alpnPicked) picked.push_back(t.name + " (" + std::to_string(t.count) + ")");
        out << "<p>ALPN picked in TLS 1.2 ServerHellos: " << esc(join(picked, 10)) << ".</p>";
    }
    out << "<h3>Servers whose clients offer a post-quantum group they do not pick</h3>";
    std::vector<Finding> pq;
    for (auto const& f : s.findings)
        if (f.kind == FindingKind::PqNotPicked) pq.push_back(f);
    if (pq.empty()) out << "<p>None.</p>";
    else
        table<Finding>(out, {{"Server", "30%"}, {"Detail"}}, pq, [](std::ostream& o, Finding const& f) {
            o << "<td>" << serverCode(f.server) << "</td><td>" << esc(f.detail) << "</td>";
        });
    out << barChart("chart-ja4", "Most common JA4 client fingerprints", bars(s.ja4), s.helloRows)
        << "<p class=\"note\">" << count(s.ja4Distinct, "distinct JA4 fingerprint", "distinct JA4 fingerprints") << " (JA4 by FoxIO, BSD 3-Clause).</p></section>\n";
}

void inputSection(Summary const& s, std::ostream& out) {
    out << "<section id=\"input\"><h2>Input</h2><table>";
    if (!s.store.empty())
        out << "<tr><th>ClickHouse store</th><td>" << esc(s.store) << "</td></tr><tr><th>Sensors</th><td>";
    else
        out << "<tr><th>Directories</th><td>";
    out << esc(join(s.directories, 50)) << "</td></tr><tr><th>CSV files</th><td class=\"n\">" << num(s.files - s.jsonFiles)
        << "</td></tr><tr><th>JSON lines files</th><td class=\"n\">" << num(s.jsonFiles)
        << "</td></tr><tr><th>Rows</th><td class=\"n\">" << num(s.rows)
        << "</td></tr><tr><th>Rows from files still being written</th><td class=\"n\">" << num(s.openRows) << " (of "
        << count(s.openFiles, "file", "files") << ")</td></tr><tr><th>Malformed lines</th><td class=\"n\">" << num(s.malformedLines)
        << "</td></tr><tr><th>Certificates missing from the store</th><td class=\"n\">" << num(s.missingCertificates)
        << "</td></tr><tr><th>Unreadable certificates</th><td class=\"n\">" << num(s.unreadableCertificates)
        << "</td></tr></table>";
    if (!s.problems.empty()) {
        out << "<ul class=\"note\">";
        for (auto const& p : s.problems) out << "<li><code>" << esc(p) << "</code></li>";
        out << "</ul>";
    }
    out << "</section>\n";
}

}  // namespace

void renderHtml(Summary const& s, std::ostream& out) {
    pageHead(s, out);
    overviewSection(s, out);
    findingsSection(s, out);
    if (s.drift) driftSection(*s.drift, out);
    versionsSection(s, out);
    suitesSection(s, out);
    keyExchangeSection(s, out);
    groupsSection(s, out);
    certificatesSection(s, out);
    serversSection(s, out);
    clientFeaturesSection(s, out);
    clientHellosSection(s, out);
    inputSection(s, out);
    out << "<footer class=\"note\"><p>Made by varno-report. Names of code points from the IANA TLS "
           "registries; unregistered values shown in hex.</p></footer>\n<script>" << script << "</script>\n</body>\n</html>\n";
}

}  // namespace report
