#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "capture/flowkey.h"
#include "tls/registry.h"

// The endpoints as the hellos last showed them, kept raw during the analysis: both hellos
// of a flow set them, and text is made once per flow (TLSFeatures::formatAddresses).
struct SeenEndpoints {
    IpAddress client, server;
    uint16_t clientPort = 0, serverPort = 0;
    uint8_t ipVersion = 0;
    bool set = false;
    bool macsSet = false;  // only frames with an Ethernet header carry them
    std::array<uint8_t, 6> clientMac{}, serverMac{};
};

// The result record of one connection. Fields are in CSV column order (ProtocolType is
// derived at export); text fields already hold their CSV form.
struct TLSFeatures {
    uint64_t connectionTimestamp = 0;
    std::string clientIPAddress;
    std::string clientPortNumber;
    std::string clientMACAddress;
    std::string serverIPAddress;
    std::string serverPortNumber;
    std::string serverMACAddress;
    std::string tlsVersion;
    std::string sni;
    std::string cipherSuiteCodePoint;
    std::string kexParameter;
    std::string tls13KexNamedGroupCodePoint;
    std::vector<std::string> serverCertificateChain;
    bool isClientAuthRequested = false;
    std::vector<std::string> clientCertificateChain;
    bool isRenegotiated = false;
    bool isCompressed = false;
    std::string keyShareExtension;
    std::map<std::string, std::string> handshakeMessages;
    // Beyond the CSV columns, for the JSON lines: the first ClientHello's JA4 (when asked for).
    std::string ja4;

    // The numbers the analysis decides on; the text cells above are formed from them once,
    // where they are set.
    uint16_t versionCode = 0;  // of tlsVersion; 0 while no known version was seen
    uint16_t cipherSuite = 0;  // of cipherSuiteCodePoint, when it is set
    tls::KeyExchangeKind keyExchange = tls::KeyExchangeKind::Other;  // of the cipher suite

    bool clientChangeCipherSpecSeen = false;
    bool serverChangeCipherSpecSeen = false;
    bool clientHelloSeen = false;
    bool serverHelloSeen = false;
    bool fatalAlertSeen = false;
    // A handshake message declared more than the stream joins: its cells would be partial.
    bool messageTooLong = false;
    // Over TCP a HelloRetryRequest is not the ServerHello the export waits for: the real
    // one follows it (QUIC and DTLS count it as their ServerHello).
    bool helloRetryRequestSeen = false;
    // What carried the hellos: QUIC has no ChangeCipherSpec; the row's ProtocolType.
    enum class Transport : uint8_t { Tcp, Quic, Dtls };
    Transport transport = Transport::Tcp;

    SeenEndpoints endpoints;
    // Writes the address, port and MAC fields from `endpoints`, when the hellos set them.
    void formatAddresses();

    bool handshakeComplete() const {
        return !fatalAlertSeen && !messageTooLong && clientHelloSeen && serverHelloSeen &&
               (transport == Transport::Quic || (clientChangeCipherSpecSeen && serverChangeCipherSpecSeen));
    }
};
