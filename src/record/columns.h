#pragma once
// The handshake record's columns, defined once: their order and CSV names, the name and
// form of each in a JSON object, and the ClickHouse columns it is stored in. The CSV header,
// the row writer and the readers all follow this table.
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace records {

enum Column : size_t {
    ConnectionTimestamp, ProtocolType, ClientIPAddress, ClientPortNumber, ClientMACAddress,
    ServerIPAddress, ServerPortNumber, ServerMACAddress, TLSVersion, SNI, CipherSuiteCodePoint,
    TLSKEXParameter, TLS13KEXNamedGroupCodePoint, ServerCertificateChain, IsClientAuthRequested,
    ClientCertificateChain, IsRenegotiated, IsCompressed, KeyShareExtension, HandshakeMessages,
    columnCount
};

// How a column's value stands in a JSON object, beside its CSV text.
enum class JsonForm {
    Text,        // the CSV text as a string
    Number,      // the CSV decimal as a number
    Flag,        // CSV "0"/"1" as false/true
    Timestamp,   // CSV milliseconds since 1970 as ISO 8601 UTC with milliseconds and "Z"
    Protocol,    // CSV TLS/SSL/DTLS/QUIC as "tls", "dtls" or "quic"
    Mac,         // CSV aa:bb:cc:dd:ee:ff as AA-BB-CC-DD-EE-FF
    Version,     // CSV "TLSv1.3" as "1.3" (the protocol goes under tls.version_protocol)
    Digests,     // CSV digests joined by ':' as an array of digests
    Messages,    // CSV JSON object text as that object
};

struct ColumnInfo {
    std::string_view name;        // the CSV header's
    std::string_view json;        // dotted path in a JSON object (Elastic Common Schema, else varno.*)
    JsonForm form;
    std::string_view clickHouse;  // its columns in the handshakes table: "Name Type", comma separated
};

inline constexpr std::array<ColumnInfo, columnCount> columns{{
    {"ConnectionTimestamp", "@timestamp", JsonForm::Timestamp,
     "ConnectionTime DateTime, ConnectionMilliseconds UInt16"},
    {"ProtocolType", "network.protocol", JsonForm::Protocol, "ProtocolType String"},
    {"ClientIPAddress", "source.ip", JsonForm::Text, "ClientIPAddress String"},
    {"ClientPortNumber", "source.port", JsonForm::Number, "ClientPortNumber UInt16"},
    {"ClientMACAddress", "source.mac", JsonForm::Mac, "ClientMACAddress String"},
    {"ServerIPAddress", "destination.ip", JsonForm::Text, "ServerIPAddress String"},
    {"ServerPortNumber", "destination.port", JsonForm::Number, "ServerPortNumber UInt16"},
    {"ServerMACAddress", "destination.mac", JsonForm::Mac, "ServerMACAddress String"},
    {"TLSVersion", "tls.version", JsonForm::Version, "TLSVersion String"},
    {"SNI", "tls.client.server_name", JsonForm::Text, "SNI String"},
    {"CipherSuiteCodePoint", "varno.cipher_suite", JsonForm::Text, "CipherSuiteCodePoint String"},
    {"TLSKEXParameter", "varno.kex_parameter", JsonForm::Text, "TLSKEXParameter String"},
    {"TLS13KEXNamedGroupCodePoint", "varno.named_group", JsonForm::Text, "TLS13KEXNamedGroupCodePoint String"},
    {"ServerCertificateChain", "varno.server.certificate_digests", JsonForm::Digests,
     "ServerCertificateChain String"},
    {"IsClientAuthRequested", "varno.client_auth_requested", JsonForm::Flag, "IsClientAuthRequested UInt8"},
    {"ClientCertificateChain", "varno.client.certificate_digests", JsonForm::Digests,
     "ClientCertificateChain String"},
    {"IsRenegotiated", "varno.renegotiated", JsonForm::Flag, "IsRenegotiated UInt8"},
    {"IsCompressed", "varno.compressed", JsonForm::Flag, "IsCompressed UInt8"},
    {"KeyShareExtension", "varno.key_share", JsonForm::Text, "KeyShareExtension String"},
    {"HandshakeMessages", "varno.handshake_messages", JsonForm::Messages, "HandshakeMessages String"},
}};

// The first line of every CSV file, without its line break.
std::string const& csvHeader();

}  // namespace records
