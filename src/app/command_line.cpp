#include "app/command_line.h"

#include <boost/program_options/parsers.hpp>
#include <boost/program_options/value_semantic.hpp>
#include <cstdio>

#include "app/metrics_server.h"
#include "tls/tables.h"

namespace po = boost::program_options;

po::options_description optionsDescription(std::string const& programName) {
    std::string const caption =
        std::string("VARNO v") + VARNO_VERSION + "\n\nUsage: " + programName + " [options]\n\nOptions";
    po::options_description description(caption, po::options_description::m_default_line_length,
                                        po::options_description::m_default_line_length / 2);
    // clang-format off
    description.add_options()
        ("help,h", "show this message")
        ("version,V", "show the version")
        ("severity,s", po::value<std::string>()->default_value("error"), "minimum log severity level")
        ("log,g", po::value<std::string>(), "log directory (output dir by default)")
        ("list-interfaces,l", po::bool_switch()->default_value(false), "list available interfaces")
        ("interface,i", po::value<std::string>(), "network interface to monitor")
        ("buffer-size,B", po::value<int32_t>()->default_value(32), "kernel buffer of a live capture in MiB")
        ("flow-memory,F", po::value<int32_t>()->default_value(1024), "memory for open flows in MiB")
        ("user,Z", po::value<std::string>(), "run as this user once the input is open")
        ("pcap,p", po::value<std::vector<std::string>>()->multitoken(),
            "PCAP files or directories to analyze")
        ("output,o", po::value<std::string>(), "output directory")
        ("prefix,P", po::value<std::string>()->default_value("output"), "output file prefix")
        ("export-threshold,t", po::value<int32_t>()->default_value(1000000), "max entries per output file")
        ("export-duration,d", po::value<int32_t>()->default_value(60), "max duration of export file (minutes)")
        ("format", po::value<std::string>()->default_value("csv"), "output format: csv, json or both")
        ("key-share,k", po::bool_switch()->default_value(false), "capture key share extension")
        ("certificates,c", po::bool_switch()->default_value(false), "capture certificate chains")
        ("message,m", po::value<std::vector<int32_t>>()->multitoken()->zero_tokens(),
            "capture specific handshake messages")
        ("list-messages,M", po::bool_switch()->default_value(false), "list supported handshake messages")
        ("metrics", po::value<std::string>()->value_name("[ADDR:]PORT"),
            "serve Prometheus metrics at /metrics");
    // clang-format on
    return description;
}

CommandLineOptions parseCommandLine(po::options_description const& description, int argc, char const* const argv[]) {
    po::variables_map values;
    po::parsed_options const parsed = po::command_line_parser(argc, argv).options(description).run();
    // The library would drop a word that belongs to no option in silence: a second capture
    // file after another option, say, which the run would then not read.
    for (po::option const& option : parsed.options)
        if (option.string_key.empty() || option.position_key >= 0)
            throw po::error("unexpected argument '" +
                            (option.original_tokens.empty() ? std::string() : option.original_tokens.front()) + "'");
    po::store(parsed, values);
    po::notify(values);

    auto text = [&](char const* name) -> std::optional<std::string> {
        if (!values.count(name)) return std::nullopt;
        return values[name].as<std::string>();
    };

    CommandLineOptions options;
    options.help = values.count("help") > 0;
    options.version = values.count("version") > 0;
    options.severity = values["severity"].as<std::string>();
    options.logDirectory = text("log");
    options.listInterfaces = values["list-interfaces"].as<bool>();
    options.interface = text("interface");
    options.bufferMiB = values["buffer-size"].as<int32_t>();
    options.flowMemoryMiB = values["flow-memory"].as<int32_t>();
    options.user = text("user");
    if (values.count("pcap")) options.pcap = values["pcap"].as<std::vector<std::string>>();
    options.output = text("output");
    options.prefix = values["prefix"].as<std::string>();
    options.exportThreshold = values["export-threshold"].as<int32_t>();
    options.exportDuration = values["export-duration"].as<int32_t>();
    options.format = values["format"].as<std::string>();
    options.keyShare = values["key-share"].as<bool>();
    options.certificates = values["certificates"].as<bool>();
    if (values.count("message")) {
        options.hasMessageTypes = true;
        options.messageTypes = values["message"].as<std::vector<int32_t>>();
    }
    options.listMessages = values["list-messages"].as<bool>();
    options.metrics = text("metrics");
    return options;
}

std::string validateOptions(CommandLineOptions const& options) {
    bool const hasInput = !options.pcap.empty() || options.interface;
    if (hasInput && !options.output) return "Output directory (-o/--output) is required.";
    if (!hasInput) return "One of -p/--pcap or -i/--interface must be used.";
    if (!options.pcap.empty() && options.interface) return "Only one of -p/--pcap and -i/--interface may be used.";
    if (options.exportThreshold < 0) return "Export threshold must be a positive value.";
    if (options.format != "csv" && options.format != "json" && options.format != "both")
        return "Output format (--format) must be csv, json or both.";
    // The prefix starts file names in the output directory; a path would write elsewhere
    // or nowhere.
    if (options.prefix.find_first_of(std::string("/\0", 2)) != std::string::npos ||
        options.prefix.find("..") != std::string::npos)
        return "Prefix (-P) must be a file name: no \"/\", \"..\" or NUL.";
    // libpcap takes the size in bytes as an int.
    if (options.bufferMiB < 1 || options.bufferMiB > 2047) return "Buffer size (-B) must be 1 to 2047 MiB.";
    if (options.flowMemoryMiB < minFlowMemoryMiB || options.flowMemoryMiB > maxFlowMemoryMiB)
        return "Flow memory (-F) must be " + std::to_string(minFlowMemoryMiB) + " to " +
               std::to_string(maxFlowMemoryMiB) + " MiB.";
    if (options.metrics && !parseMetricsAddress(*options.metrics))
        return "Metrics address (--metrics) must be PORT, ADDR:PORT or [IPv6]:PORT with a numeric address and a port "
               "of 1 to 65535.";
    return {};
}

void writeMessageTypes(std::ostream& out) {
    out << "Handshake Message Types:\n";
    for (auto const& [type, name] : saveHandshakeTypes) {
        char number[16];
        std::snprintf(number, sizeof number, "%3d", type);
        out << "  " << number << " " << name << "\n";
    }
}
