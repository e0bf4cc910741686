#pragma once
#include <boost/program_options/options_description.hpp>
#include <boost/program_options/variables_map.hpp>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#ifndef VARNO_VERSION
#define VARNO_VERSION "1.0.4"
#endif

// The range of -F: below it a busy link evicts real handshakes all the time; above it
// (1 TiB) the budget no longer bounds anything a machine has.
constexpr int32_t minFlowMemoryMiB = 16;
constexpr int32_t maxFlowMemoryMiB = 1048576;

// The option values of one run, defaults filled in.
struct CommandLineOptions {
    bool help = false;
    bool version = false;
    std::string severity = "error";
    std::optional<std::string> logDirectory;
    bool listInterfaces = false;
    std::optional<std::string> interface;
    int32_t bufferMiB = 32;            // kernel buffer of a live capture
    int32_t flowMemoryMiB = 1024;      // what the open flows may hold
    std::optional<std::string> user;  // the user to run as once the input is open
    // Capture files and directories, read as one stream; empty without -p.
    std::vector<std::string> pcap;
    std::optional<std::string> output;
    std::string prefix = "output";
    int32_t exportThreshold = 1000000;
    int32_t exportDuration = 60;
    std::string format = "csv";  // csv, json or both
    bool keyShare = false;
    bool certificates = false;
    // Set when -m/--message was given, with or without values.
    bool hasMessageTypes = false;
    std::vector<int32_t> messageTypes;
    bool listMessages = false;
    std::optional<std::string> metrics;  // [ADDR:]PORT to serve the counters at
};

// The option table, its caption naming the program as it was invoked.
boost::program_options::options_description optionsDescription(std::string const& programName);

// Parses argv against the table; throws boost::program_options::error on a parse error
// (unknown option, missing or bad value, a single-valued option given twice, an argument
// that belongs to no option).
CommandLineOptions parseCommandLine(boost::program_options::options_description const& description, int argc,
                                    char const* const argv[]);

// The first failed check, as the line to print, or empty when the options can be run.
std::string validateOptions(CommandLineOptions const& options);

// "Handshake Message Types:" followed by one line per message type that can be saved.
void writeMessageTypes(std::ostream& out);
