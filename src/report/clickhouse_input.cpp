#include "report/clickhouse_input.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <functional>

#include "record/base64.h"

namespace report {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;

namespace {

constexpr size_t maxErrorText = 2000;
// A store that stops answering ends the report with an error instead of holding it forever;
// the first bytes come only when the grouping query has ended, which takes a while on a
// large store.
constexpr std::chrono::seconds connectTimeout{30}, answerTimeout{3600};
constexpr size_t maxLine = 16u << 20;  // a certificate's line in the answer; far above any real one

// The time of a row in milliseconds, as the CSV wrote it.
constexpr char const* rowMs = "(toUInt64(ConnectionTime) * 1000 + ConnectionMilliseconds)";
// Whole hours since 1970 in UTC, whatever the server's time zone.
constexpr char const* rowHour = "intDiv(toUInt32(ConnectionTime), 3600)";

// What the store answers for each cell of the CSV row, in CSV order. The cells the
// inventory does not read carry the group instead: its count, its last time and its sensor.
struct CellQuery {
    records::Column column;
    char const* select;  // the CSV text of the cell
    bool grouped;        // the rows of a group hold the same value
};
constexpr CellQuery cellQueries[] = {
    {ConnectionTimestamp, "toString(min(toUInt64(ConnectionTime) * 1000 + ConnectionMilliseconds))", false},
    {ProtocolType, "ProtocolType", true},
    {ClientIPAddress, "''", false},  // counted apart, with uniqExact
    {ClientPortNumber, "toString(count())", false},
    {ClientMACAddress, "toString(max(toUInt64(ConnectionTime) * 1000 + ConnectionMilliseconds))", false},
    {ServerIPAddress, "ServerIPAddress", true},
    {ServerPortNumber, "toString(ServerPortNumber)", true},
    {ServerMACAddress, "Sensor", true},
    {TLSVersion, "TLSVersion", true},
    {SNI, "SNI", true},
    {CipherSuiteCodePoint, "CipherSuiteCodePoint", true},
    {TLSKEXParameter, "TLSKEXParameter", true},
    {TLS13KEXNamedGroupCodePoint, "TLS13KEXNamedGroupCodePoint", true},
    {ServerCertificateChain, "ServerCertificateChain", true},
    {IsClientAuthRequested, "toString(IsClientAuthRequested)", true},
    {ClientCertificateChain, "ClientCertificateChain", true},
    {IsRenegotiated, "toString(IsRenegotiated)", true},
    {IsCompressed, "toString(IsCompressed)", true},
    {KeyShareExtension, "''", false},
    {HandshakeMessages, "HandshakeMessages", true},
};
static_assert(std::size(cellQueries) == records::columnCount);

// A ClickHouse string literal of any bytes.
std::string sqlString(std::string_view text) {
    std::string out = "'";
    for (unsigned char c : text) {
        if (c == '\\' || c == '\'') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "'";
}

std::string whereWindow(std::string const& table, TimeWindow const& w) {
    // The DateTime bounds let ClickHouse skip whole days; the milliseconds decide.
    constexpr int64_t maxSeconds = 4294967295;
    std::string where = " FROM " + table + " WHERE 1";
    if (w.sinceMs != INT64_MIN) {
        int64_t const s = std::clamp<int64_t>(w.sinceMs / 1000, 0, maxSeconds);
        where += " AND ConnectionTime >= toDateTime(" + std::to_string(s) + ") AND " + rowMs +
                 " >= " + std::to_string(std::max<int64_t>(w.sinceMs, 0));
    }
    if (w.untilMs != INT64_MAX) {
        int64_t const s = std::clamp<int64_t>(w.untilMs / 1000, 0, maxSeconds);
        where += " AND ConnectionTime <= toDateTime(" + std::to_string(s) + ") AND " + rowMs + " < " +
                 std::to_string(std::max<int64_t>(w.untilMs, 0));
    }
    return where;
}

// One query over ClickHouse's HTTP interface; its answer goes to sink piece by piece.
// Empty when it succeeded, else why not.
std::string runQuery(StoreAddress const& store, std::string const& sql,
                     std::function<bool(std::string_view)> const& sink) {
    try {
        asio::io_context io;
        tcp::resolver resolver(io);
        beast::tcp_stream stream(io);
        stream.expires_after(connectTimeout);
        stream.connect(resolver.resolve(store.host, std::to_string(store.port)));
        // The server keeps the whole answer until the query has ended, so an error met on the
        // way comes as an error status, not as a cut answer that reads like data.
        http::request<http::string_body> request{http::verb::post,
                                                 "/?wait_end_of_query=1&database=" + store.database, 11};
        request.set(http::field::host, store.host);
        request.set(http::field::user_agent, "varno-report");
        if (!store.user.empty() || !store.password.empty())
            request.set(http::field::authorization, "Basic " + base64Text(store.user + ":" + store.password));
        request.body() = sql;
        request.prepare_payload();
        stream.expires_after(answerTimeout);
        http::write(stream, request);

        beast::flat_buffer buffer;
        http::response_parser<http::buffer_body> parser;
        parser.body_limit(boost::none);  // streamed to the sink, never held whole
        http::read_header(stream, buffer, parser);
        bool const ok = parser.get().result() == http::status::ok;
        std::string error;
        std::vector<char> piece(1u << 16);
        while (!parser.is_done()) {
            parser.get().body().data = piece.data();
            parser.get().body().size = piece.size();
            beast::error_code ec;
            stream.expires_after(answerTimeout);
            http::read(stream, buffer, parser, ec);
            if (ec && ec != http::error::need_buffer) throw beast::system_error(ec);
            std::string_view const got(piece.data(), piece.size() - parser.get().body().size);
            if (!ok)
                error.append(got.substr(0, maxErrorText - std::min(maxErrorText, error.size())));
            else if (!got.empty() && !sink(got))
                return "the answer to a query is not what was asked";
        }
        if (ok) return {};
        while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
        return "ClickHouse answers " + std::to_string(parser.get().result_int()) + ": " + error;
    } catch (std::exception const& e) {
        return "cannot query ClickHouse at " + store.host + ":" + std::to_string(store.port) + ": " + e.what();
    }
}

// Calls line for every line of the answer (TabSeparated), a line of at most maxLine bytes.
std::string queryLines(StoreAddress const& store, std::string const& sql,
                       std::function<void(std::string_view)> const& line) {
    std::string pending;
    std::string error = runQuery(store, sql + " FORMAT TabSeparated", [&](std::string_view got) {
        for (size_t nl; (nl = got.find('\n')) != std::string_view::npos; got.remove_prefix(nl + 1)) {
            pending.append(got.substr(0, nl));
            line(pending);
            pending.clear();
        }
        pending.append(got);
        return pending.size() <= maxLine;
    });
    if (error.empty() && !pending.empty()) error = "the answer to a query ends inside a line";
    return error;
}

// TabSeparated escapes undone.
std::string unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char const c = text[++i];
        out += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c == '0' ? '\0' : c == 'b' ? '\b' : c == 'f' ? '\f' : c;
    }
    return out;
}

// Digest and PEM of each certificate the query's WHERE clause keeps, one query.
std::string queryCertificates(StoreAddress const& store, std::string const& where,
                              std::function<void(std::string_view, std::string)> const& each) {
    return queryLines(store, "SELECT Digest, any(Pem) FROM certificates" + where + " GROUP BY Digest",
                      [&](std::string_view line) {
                          size_t const tab = line.find('\t');
                          if (tab != std::string_view::npos && records::isDigest(line.substr(0, tab)))
                              each(line.substr(0, tab), unescape(line.substr(tab + 1)));
                      });
}

// The certificates the window's rows name.
std::string fetchCertificates(StoreAddress const& store, TimeWindow const& window, CertificateMap& map) {
    std::string const where = " WHERE Digest IN (SELECT arrayJoin(splitByChar(':', ServerCertificateChain))" +
                              whereWindow("handshakes", window) + ")";
    return queryCertificates(store, where, [&](std::string_view digest, std::string pem) {
        map.pems.emplace(std::string(digest), std::move(pem));
    });
}

std::string countClients(StoreAddress const& store, TimeWindow const& window, uint64_t& clients) {
    bool got = false;
    std::string error = queryLines(store, "SELECT uniqExact(ClientIPAddress)" + whereWindow("handshakes", window),
                                   [&](std::string_view line) {
                                       got = std::from_chars(line.data(), line.data() + line.size(), clients).ec == std::errc();
                                   });
    if (error.empty() && !got) error = "no count of clients in the answer";
    return error;
}

std::string groupQuery(TimeWindow const& window) {
    std::string select, group = rowHour;
    for (auto const& cell : cellQueries) {
        select += std::string(select.empty() ? "" : ", ") + cell.select;
        if (cell.grouped) group += std::string(", ") + cell.select;
    }
    // First seen first: the order in which a sensor's files would show them.
    return "SELECT " + select + whereWindow("handshakes", window) + " GROUP BY " + group + " ORDER BY min(" + rowMs +
           ") FORMAT CSV";
}

// Of the rows of a group (the cells of its answer), those seen outside [notBefore, notAfter].
uint64_t countOutside(StoreAddress const& store, TimeWindow const& window, RowCells const& cells, int64_t notBefore,
                      int64_t notAfter, std::string& error) {
    uint64_t firstMs = 0;
    records::parseNumber(cells[ConnectionTimestamp], firstMs);
    std::string sql = "SELECT countIf(toInt64(toUInt32(ConnectionTime)) < " + std::to_string(notBefore) +
                      " OR toInt64(toUInt32(ConnectionTime)) > " + std::to_string(notAfter) + ")" +
                      whereWindow("handshakes", window) + " AND " + rowHour + " = " + std::to_string(firstMs / 3600000);
    for (auto const& cell : cellQueries)
        if (cell.grouped) sql += std::string(" AND ") + cell.select + " = " + sqlString(cells[cell.column]);
    uint64_t count = 0;
    bool got = false;
    std::string why = queryLines(store, sql, [&](std::string_view line) {
        got = std::from_chars(line.data(), line.data() + line.size(), count).ec == std::errc();
    });
    if (why.empty() && !got) why = "no count of rows outside a certificate's validity in the answer";
    if (!why.empty() && error.empty()) error = why;
    return count;
}

// The groups of rows, read by the record's row reader from a temporary copy of the answer.
std::string addGroups(Inventory& inventory, StoreAddress const& store, TimeWindow const& window,
                      std::shared_ptr<CertificateSource const> const& certificates) {
    std::FILE* answer = std::tmpfile();
    if (!answer) return "cannot make a temporary file for the store's answer";
    records::RowReader reader(answer, {records::FileKind::Csv, false});
    std::string error = runQuery(store, groupQuery(window), [&](std::string_view got) {
        return std::fwrite(got.data(), 1, got.size(), answer) == got.size();
    });
    if (!error.empty()) return error;
    if (std::fflush(answer) != 0 || std::fseek(answer, 0, SEEK_SET) != 0) return "cannot read back the store's answer";
    StringMap<size_t> sensors;
    std::string straddleError;
    inventory.onStraddle([&](RowCells const& cells, int64_t notBefore, int64_t notAfter) {
        return countOutside(store, window, cells, notBefore, notAfter, straddleError);
    });
    RowCells cells;
    for (records::RowReader::Result r; (r = reader.next(cells)) != records::RowReader::Result::End;) {
        RowGroup group;
        uint64_t first = 0, last = 0;
        bool const read = r == records::RowReader::Result::Row && records::parseNumber(cells[ClientPortNumber], group.count) &&
                          records::parseNumber(cells[ConnectionTimestamp], first) &&
                          records::parseNumber(cells[ClientMACAddress], last) && last <= INT64_MAX;
        if (!read) return "the store's answer holds a line that is no group of rows: " + std::string(reader.text().substr(0, 200));
        group.firstMs = static_cast<int64_t>(first);
        group.lastMs = static_cast<int64_t>(last);
        auto sensor = sensors.find(cells[ServerMACAddress]);
        if (sensor == sensors.end())
            sensor = sensors.emplace(std::string(cells[ServerMACAddress]),
                                     inventory.addSource(store.text() + " sensor " + std::string(cells[ServerMACAddress]),
                                                         certificates)).first;
        if (char const* why = inventory.addGroup(cells, sensor->second, group))
            return std::string("a group of rows in the store: ") + why;
        if (!straddleError.empty()) return straddleError;
    }
    if (reader.failed()) return "cannot read back the store's answer";
    return {};
}

}  // namespace

std::string StoreAddress::text() const {
    std::string const h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return h + ":" + std::to_string(port) + "/" + database;
}

bool parseStoreHost(std::string const& text, StoreAddress& address) {
    std::string host = text, port;
    if (!text.empty() && text.front() == '[') {
        size_t const close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        std::string const rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') return false;
        if (!rest.empty()) port = rest.substr(1);
    } else if (size_t const colon = text.find(':'); colon != std::string::npos) {
        if (text.find(':', colon + 1) != std::string::npos) return false;  // an IPv6 address wants brackets
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty()) return false;
    address.host = host;
    if (text.find(':') != std::string::npos && (text.front() != '[' || text.find("]:") != std::string::npos)) {
        unsigned value = 0;
        auto const [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (ec != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535) return false;
        address.port = static_cast<uint16_t>(value);
    }
    return true;
}

std::string storedCertificates(StoreAddress const& store,
                               std::function<void(std::string_view digest, std::string pem)> const& each) {
    return queryCertificates(store, "", each);
}

std::string addStore(Inventory& inventory, StoreAddress const& store, TimeWindow const& window) {
    uint64_t clients = 0;
    if (std::string error = countClients(store, window, clients); !error.empty()) return error;
    inventory.setDistinctClients(clients);
    auto certificates = std::make_shared<CertificateMap>();
    if (std::string error = fetchCertificates(store, window, *certificates); !error.empty())
        return "reading the certificates table (the loader makes it with --create): " + error;
    return addGroups(inventory, store, window, certificates);
}

}  // namespace report
