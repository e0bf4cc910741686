// The command-line phase, seen from outside: what the binary prints and how it ends.
#include <gtest/gtest.h>

#include <boost/program_options/errors.hpp>
#include <vector>

#include "app/command_line.h"
#include "support/process.h"

using varno_test::runVarno;

namespace {

std::string const NEED_OUTPUT = "Output directory (-o/--output) is required.\n";
std::string const NEED_INPUT = "One of -p/--pcap or -i/--interface must be used.\n";
std::string const BOTH_INPUTS = "Only one of -p/--pcap and -i/--interface may be used.\n";
std::string const NEGATIVE_THRESHOLD = "Export threshold must be a positive value.\n";

struct ValidationCase {
    char const* arguments;
    std::string const* message;
};

class ValidationTest : public ::testing::TestWithParam<ValidationCase> {};

// Each case fails one check; earlier checks win when several fail.
TEST_P(ValidationTest, FirstFailedCheckIsPrintedOnStandardError) {
    auto const result = runVarno(GetParam().arguments);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err, *GetParam().message);
    EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, ValidationTest,
    ::testing::Values(ValidationCase{"", &NEED_INPUT}, ValidationCase{"-o /nowhere", &NEED_INPUT},
                      ValidationCase{"-p capture.pcap", &NEED_OUTPUT},
                      ValidationCase{"-i eth0", &NEED_OUTPUT},
                      ValidationCase{"-p capture.pcap -i eth0", &NEED_OUTPUT},
                      ValidationCase{"-p capture.pcap -i eth0 -t -1", &NEED_OUTPUT},
                      ValidationCase{"-p capture.pcap -i eth0 -o out", &BOTH_INPUTS},
                      ValidationCase{"-p capture.pcap -i eth0 -o out -t -1", &BOTH_INPUTS},
                      ValidationCase{"-t -1", &NEED_INPUT},
                      ValidationCase{"-p capture.pcap -o out -t -1", &NEGATIVE_THRESHOLD},
                      ValidationCase{"-p capture.pcap -o out --export-threshold=-1", &NEGATIVE_THRESHOLD}));

struct ParseErrorCase {
    char const* arguments;
    char const* message;
};

class ParseErrorTest : public ::testing::TestWithParam<ParseErrorCase> {};

TEST_P(ParseErrorTest, LibraryMessageAndStatus255) {
    auto const result = runVarno(GetParam().arguments);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err, std::string(GetParam().message) + "\n");
    EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, ParseErrorTest,
    ::testing::Values(
        ParseErrorCase{"-t 5 -t 6 -p x -o y", "option '--export-threshold' cannot be specified more than once"},
        ParseErrorCase{"-p a -o b -o y", "option '--output' cannot be specified more than once"},
        ParseErrorCase{"-p a -o y extra", "unexpected argument 'extra'"},
        ParseErrorCase{"-m x -p a -o y", "the argument ('x') for option '--message' is invalid"},
        ParseErrorCase{"-t many -p a -o y", "the argument ('many') for option '--export-threshold' is invalid"},
        ParseErrorCase{"--bogus", "unrecognised option '--bogus'"},
        ParseErrorCase{"--help --bogus", "unrecognised option '--bogus'"},
        ParseErrorCase{"-p", "the required argument for option '--pcap' is missing"},
        ParseErrorCase{"-l -l", "option '--list-interfaces' cannot be specified more than once"}));

TEST(CommandLine, HelpShowsCaptionAndEveryOptionInOrder) {
    auto const result = runVarno("--help -p x -i y -l -M");
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    std::string const caption = std::string("VARNO v1.0.4\n\nUsage: ") + VARNO_BINARY + " [options]\n\nOptions:\n";
    ASSERT_EQ(result.out.substr(0, caption.size()), caption);
    // The table ends with the library's final line break plus the one written after it.
    EXPECT_EQ(result.out.substr(result.out.size() - 2), "\n\n");

    char const* const lines[] = {
        "  -h [ --help ]                         show this message\n",
        "  -V [ --version ]                      show the version\n",
        "  -s [ --severity ] arg (=error)        minimum log severity level\n",
        "  -g [ --log ] arg                      log directory (output dir by default)\n",
        "  -l [ --list-interfaces ]              list available interfaces\n",
        "  -i [ --interface ] arg                network interface to monitor\n",
        "  -B [ --buffer-size ] arg (=32)        kernel buffer of a live capture in MiB\n",
        "  -F [ --flow-memory ] arg (=1024)      memory for open flows in MiB\n",
        "  -Z [ --user ] arg                     run as this user once the input is open\n",
        "  -p [ --pcap ] arg                     PCAP files or directories to analyze\n",
        "  -o [ --output ] arg                   output directory\n",
        "  -P [ --prefix ] arg (=output)         output file prefix\n",
        "  -t [ --export-threshold ] arg (=1000000)\n"
        "                                        max entries per output file\n",
        "  -d [ --export-duration ] arg (=60)    max duration of export file (minutes)\n",
        "  --format arg (=csv)                   output format: csv, json or both\n",
        "  -k [ --key-share ]                    capture key share extension\n",
        "  -c [ --certificates ]                 capture certificate chains\n",
        "  -m [ --message ] arg                  capture specific handshake messages\n",
        "  -M [ --list-messages ]                list supported handshake messages\n",
        "  --metrics [ADDR:]PORT                 serve Prometheus metrics at /metrics\n",
    };
    std::size_t position = caption.size();
    for (char const* line : lines) {
        std::size_t const found = result.out.find(line, position);
        ASSERT_EQ(found, position) << "expected next: " << line;
        position = found + std::string(line).size();
    }
    EXPECT_EQ(result.out.substr(position), "\n");
}

TEST(CommandLine, ListMessagesPrintsSavableTypesAndSkipsValidation) {
    auto const result = runVarno("-M -t -1 -p a -i b");
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out,
              "Handshake Message Types:\n"
              "    0 HelloRequest\n    1 ClientHello\n    2 ServerHello\n    3 HelloVerifyRequest\n"
              "    4 NewSessionTicket\n    5 EndOfEarlyData\n    6 HelloRetryRequest\n"
              "    8 EncryptedExtensions\n   11 Certificate\n   12 ServerKeyExchange\n"
              "   13 CertificateRequest\n   14 ServerHelloDone\n   15 CertificateVerify\n"
              "   16 ClientKeyExchange\n   21 CertificateUrl\n   22 CertificateStatus\n"
              "   23 SupplementalData\n   24 KeyUpdate\n  254 MessageHash\n");
}

TEST(CommandLine, InterfaceListWinsOverMessageListAndValidation) {
    auto const both = runVarno("-M -l -t -1");
    auto const interfacesOnly = runVarno("-l");
    ASSERT_EQ(both.status, 0);
    EXPECT_EQ(both.err, "");
    EXPECT_EQ(both.out.find("Handshake Message Types:"), std::string::npos);
    EXPECT_EQ(both.out, interfacesOnly.out);
    // Every line is one interface: " N: name ..."
    std::istringstream lines(both.out);
    std::string line;
    int index = 0;
    while (std::getline(lines, line)) {
        std::string const prefix = (index < 10 ? " " : "") + std::to_string(index) + ": ";
        EXPECT_EQ(line.substr(0, prefix.size()), prefix) << line;
        ++index;
    }
}

// Values that only the settings see, checked on the parsed options.
CommandLineOptions parse(std::vector<char const*> arguments) {
    arguments.insert(arguments.begin(), "varno");
    auto const description = optionsDescription("varno");
    return parseCommandLine(description, static_cast<int>(arguments.size()), arguments.data());
}

TEST(CommandLine, MessageOptionForms) {
    EXPECT_FALSE(parse({"-p", "a", "-o", "b"}).hasMessageTypes);

    auto const alone = parse({"-p", "a", "-m", "-o", "b"});
    EXPECT_TRUE(alone.hasMessageTypes);
    EXPECT_TRUE(alone.messageTypes.empty());
    EXPECT_EQ(alone.output, "b");

    auto const atEnd = parse({"-p", "a", "-o", "b", "-m"});
    EXPECT_TRUE(atEnd.hasMessageTypes);
    EXPECT_TRUE(atEnd.messageTypes.empty());

    EXPECT_EQ(parse({"-m", "1", "2", "11", "-p", "a"}).messageTypes, (std::vector<int32_t>{1, 2, 11}));
    EXPECT_EQ(parse({"-m", "1", "-k", "-m", "2"}).messageTypes, (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(parse({"--message", "254", "--message=3"}).messageTypes, (std::vector<int32_t>{254, 3}));
    EXPECT_THROW(parse({"-m", "1", "x"}), boost::program_options::error);
}

TEST(CommandLine, DefaultsAndUncheckedValues) {
    auto const defaults = parse({});
    EXPECT_EQ(defaults.severity, "error");
    EXPECT_EQ(defaults.prefix, "output");
    EXPECT_EQ(defaults.exportThreshold, 1000000);
    EXPECT_EQ(defaults.exportDuration, 60);
    EXPECT_FALSE(defaults.keyShare || defaults.certificates || defaults.listInterfaces || defaults.listMessages);
    EXPECT_FALSE(defaults.logDirectory || defaults.output || !defaults.pcap.empty() || defaults.interface);

    auto const given = parse({"-t", "0", "-d", "-5", "-k", "-c", "-P", "", "-s", "loud", "-g", "logs"});
    EXPECT_EQ(given.exportThreshold, 0);
    EXPECT_EQ(given.exportDuration, -5);
    EXPECT_TRUE(given.keyShare && given.certificates);
    EXPECT_EQ(given.prefix, "");
    EXPECT_EQ(given.severity, "loud");
    EXPECT_EQ(given.logDirectory, "logs");

    EXPECT_EQ(validateOptions(parse({"-p", "a", "-o", "b", "-t", "0", "-d", "-5"})), "");
    EXPECT_EQ(parse({}).bufferMiB, 32);
    EXPECT_EQ(parse({"-B", "8", "-Z", "nobody"}).user, "nobody");
    for (char const* size : {"1", "8", "2047"}) EXPECT_EQ(validateOptions(parse({"-i", "a", "-o", "b", "-B", size})), "");
    for (char const* size : {"0", "-1", "2048"})
        EXPECT_EQ(validateOptions(parse({"-i", "a", "-o", "b", "-B", size})), "Buffer size (-B) must be 1 to 2047 MiB.");
    EXPECT_EQ(parse({}).flowMemoryMiB, 1024);
    for (char const* size : {"16", "256", "1048576"})
        EXPECT_EQ(validateOptions(parse({"-i", "a", "-o", "b", "-F", size})), "") << size;
    for (char const* size : {"15", "0", "-1", "1048577"})
        EXPECT_EQ(validateOptions(parse({"-p", "a", "-o", "b", "--flow-memory", size})),
                  "Flow memory (-F) must be 16 to 1048576 MiB.") << size;
    EXPECT_THROW(parse({"-t", "2147483648"}), boost::program_options::error);
    EXPECT_FALSE(parse({}).metrics);
    for (char const* address : {"9187", "0.0.0.0:9187", "[::1]:1", "127.0.0.1:65535"})
        EXPECT_EQ(validateOptions(parse({"-i", "a", "-o", "b", "--metrics", address})), "") << address;
    for (char const* address : {"0", "65536", "http", "::1:9187", "localhost:9187", "1.2.3:80", ":80", "9187:", "[::1]"})
        EXPECT_EQ(validateOptions(parse({"-i", "a", "-o", "b", "--metrics", address})),
                  "Metrics address (--metrics) must be PORT, ADDR:PORT or [IPv6]:PORT with a numeric address and a "
                  "port of 1 to 65535.")
            << address;
}

}  // namespace
