#include "app/metrics_server.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <charconv>
#include <sstream>
#include <thread>

#include "base/log.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// Taken when the program is loaded, before main: the process's start as a scraper sees it.
auto const processStart = std::chrono::system_clock::now();

// Label values of the reasons a connection gave no row, in the order of NoRowReason.
constexpr char const* noRowLabels[] = {
    "flow_memory_full",  "analysis_failed", "fatal_alert",     "message_too_long",
    "segment_limit",     "tcp_gap",         "no_client_hello",
    "no_server_hello",   "no_client_change_cipher_spec", "no_server_change_cipher_spec",
};
static_assert(std::size(noRowLabels) == noRowReasonCount);

// A client that sends nothing, or reads nothing, holds a connection no longer than this.
constexpr std::chrono::seconds sessionTimeout{10};
// Connections served at once; more are closed at once, so a flood of connections to the
// port costs the process neither its file descriptors nor more than this thread's time.
constexpr size_t maxSessions = 16;
// After a failed accept (descriptors exhausted), the next waits this long.
constexpr std::chrono::milliseconds acceptRetry{250};

void family(std::ostream& out, char const* name, char const* type, char const* help) {
    out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

void sample(std::ostream& out, char const* name, char const* type, char const* help, uint64_t value) {
    family(out, name, type, help);
    out << name << ' ' << value << '\n';
}

}  // namespace

std::optional<MetricsAddress> parseMetricsAddress(std::string const& text) {
    MetricsAddress result;
    std::string port = text;
    if (size_t const colon = text.rfind(':'); colon != std::string::npos) {
        result.address = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (result.address.size() > 2 && result.address.front() == '[' && result.address.back() == ']')
            result.address = result.address.substr(1, result.address.size() - 2);
        else if (result.address.find(':') != std::string::npos)
            return std::nullopt;  // an IPv6 address goes in brackets
        boost::system::error_code failure;
        asio::ip::make_address(result.address, failure);
        if (failure) return std::nullopt;
    }
    unsigned value = 0;
    auto const [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || error != std::errc() || end != port.data() + port.size() || value < 1 || value > 65535)
        return std::nullopt;
    result.port = static_cast<uint16_t>(value);
    return result;
}

std::string MetricsAddress::text() const {
    bool const v6 = address.find(':') != std::string::npos;
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

std::string metricsText(LiveCounts const& c, double startSeconds) {
    std::ostringstream out;
    sample(out, "varno_frames_read_total", "counter", "Frames the capture filter let through.", c.framesRead);
    sample(out, "varno_frame_bytes_read_total", "counter", "Bytes of those frames, as captured.", c.bytesRead);
    sample(out, "varno_kernel_drops_total", "counter", "Frames the kernel dropped (libpcap ps_drop, sampled).",
           c.kernelDrops);
    sample(out, "varno_interface_drops_total", "counter",
           "Frames the interface dropped (libpcap ps_ifdrop, sampled).", c.interfaceDrops);
    sample(out, "varno_flows_held", "gauge", "Flows collecting packets.", c.flowsHeld);
    sample(out, "varno_flow_memory_bytes", "gauge", "Memory the flows collecting packets hold.", c.flowBytes);
    sample(out, "varno_flow_memory_budget_bytes", "gauge", "Memory the flows may hold (-F).", c.flowBudget);
    sample(out, "varno_flows_evicted_total", "counter", "Flows evicted unanalysed to stay within the budget.",
           c.flowsEvicted);
    sample(out, "varno_rows_written_total", "counter", "Rows written to output files.", c.rowsWritten);
    sample(out, "varno_rows_lost_total", "counter", "Rows that could not be written.", c.rowsLost);
    family(out, "varno_connections_without_row_total", "counter", "Connections analysed without a row, by reason.");
    for (size_t reason = 0; reason < noRowReasonCount; ++reason)
        out << "varno_connections_without_row_total{reason=\"" << noRowLabels[reason] << "\"} " << c.noRow[reason]
            << '\n';
    sample(out, "varno_quic_initials_undecrypted_total", "counter",
           "QUIC Initials on no followed connection that did not decrypt.", c.quicInitialsRefused);
    sample(out, "varno_output_files_finished_total", "counter", "Output files published under their final name.",
           c.filesFinished);
    family(out, "process_start_time_seconds", "gauge", "Start time of the process since the epoch in seconds.");
    out.precision(15);
    out << "process_start_time_seconds " << startSeconds << '\n';
    return out.str();
}

std::string summaryText(LiveCounts const& c) {
    std::ostringstream out;
    uint64_t withoutRow = 0;
    for (uint64_t count : c.noRow) withoutRow += count;
    out << "Running: frames read " << c.framesRead << " (" << c.bytesRead << " bytes), dropped by the kernel "
        << c.kernelDrops << ", by the interface " << c.interfaceDrops << "; flows held " << c.flowsHeld << " ("
        << (c.flowBytes >> 20) << " of " << (c.flowBudget >> 20) << " MiB), evicted " << c.flowsEvicted
        << "; rows written " << c.rowsWritten << ", lost " << c.rowsLost << "; connections without a row "
        << withoutRow;
    char const* separator = " (";
    for (size_t reason = 0; reason < noRowReasonCount; ++reason) {
        if (c.noRow[reason] == 0) continue;
        out << separator << noRowReasonText(static_cast<NoRowReason>(reason)) << ' ' << c.noRow[reason];
        separator = ", ";
    }
    if (withoutRow != 0) out << ')';
    out << "; QUIC Initials that did not decrypt " << c.quicInitialsRefused << "; output files finished "
        << c.filesFinished;
    return out.str();
}

struct Monitoring::State {
    explicit State(FlowEngine const& engine) : engine(engine) {}

    FlowEngine const& engine;
    size_t sessions = 0;  // open; outlives the context, whose destruction ends the last ones
    asio::io_context context;
    std::optional<tcp::acceptor> acceptor;
    asio::steady_timer timer{context};
    asio::steady_timer retry{context};
    std::thread thread;

    void accept();
    void summarise();
};

namespace {

// One client connection: requests answered one after the other until it closes or idles.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, FlowEngine const& engine, size_t& open)
        : stream(std::move(socket)), engine(engine), open(open) {
        ++open;
    }
    ~Session() { --open; }

    void read() {
        request = {};
        stream.expires_after(sessionTimeout);
        http::async_read(stream, buffer, request,
                         [self = shared_from_this()](beast::error_code failure, size_t) {
                             if (!failure) self->answer();
                         });
    }

private:
    void answer() {
        response = {};
        response.version(request.version());
        response.keep_alive(request.keep_alive());
        response.set(http::field::server, "varno");
        beast::string_view target = request.target();
        target = target.substr(0, target.find('?'));
        if (request.method() != http::verb::get && request.method() != http::verb::head) {
            response.result(http::status::method_not_allowed);
            response.set(http::field::allow, "GET, HEAD");
        } else if (target != "/metrics") {
            response.result(http::status::not_found);
            response.body() = "Not found: the counters are at /metrics\n";
        } else {
            response.result(http::status::ok);
            response.set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
            double const start = std::chrono::duration<double>(processStart.time_since_epoch()).count();
            response.body() = metricsText(engine.liveCounts(), start);
        }
        response.prepare_payload();
        if (request.method() == http::verb::head) response.body().clear();
        http::async_write(stream, response, [self = shared_from_this()](beast::error_code failure, size_t) {
            if (failure) return;
            if (self->response.keep_alive()) return self->read();
            beast::error_code ignored;
            self->stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        });
    }

    beast::tcp_stream stream;
    FlowEngine const& engine;
    size_t& open;
    beast::flat_buffer buffer;
    http::request<http::empty_body> request;
    http::response<http::string_body> response;
};

}  // namespace

void Monitoring::State::accept() {
    acceptor->async_accept([this](beast::error_code failure, tcp::socket socket) {
        if (failure == asio::error::operation_aborted) return;
        if (failure) {
            retry.expires_after(acceptRetry);
            retry.async_wait([this](beast::error_code stopped) {
                if (!stopped) accept();
            });
            return;
        }
        if (sessions < maxSessions) std::make_shared<Session>(std::move(socket), engine, sessions)->read();
        accept();
    });
}

void Monitoring::State::summarise() {
    timer.expires_after(summaryInterval);
    timer.async_wait([this](beast::error_code failure) {
        if (failure) return;
        VARNO_LOG(info) << summaryText(engine.liveCounts());
        summarise();
    });
}

Monitoring::Monitoring(FlowEngine const& engine) : state(std::make_unique<State>(engine)) {}

Monitoring::~Monitoring() {
    state->context.stop();
    if (state->thread.joinable()) state->thread.join();
}

std::string Monitoring::listen(MetricsAddress const& address) {
    try {
        tcp::endpoint const endpoint(asio::ip::make_address(address.address), address.port);
        state->acceptor.emplace(state->context);
        state->acceptor->open(endpoint.protocol());
        state->acceptor->set_option(asio::socket_base::reuse_address(true));
        state->acceptor->bind(endpoint);
        state->acceptor->listen();
    } catch (boost::system::system_error const& error) {
        state->acceptor.reset();
        return error.code().message();
    }
    return {};
}

void Monitoring::start() {
    if (state->acceptor) state->accept();
    if (summaries) state->summarise();
    if (!state->acceptor && !summaries) return;
    state->thread = std::thread([this] {
        // A failure here (out of memory in a handler) ends the metrics, never the capture.
        try {
            state->context.run();
        } catch (std::exception const& error) {
            VARNO_LOG(error) << "Metrics stopped: " << error.what();
        }
    });
}
