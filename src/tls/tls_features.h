#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

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

    bool clientChangeCipherSpecSeen = false;
    bool serverChangeCipherSpecSeen = false;
    bool clientHelloSeen = false;
    bool serverHelloSeen = false;
    bool fatalAlertSeen = false;

    bool handshakeComplete() const {
        return !fatalAlertSeen && clientChangeCipherSpecSeen && serverChangeCipherSpecSeen && clientHelloSeen &&
               serverHelloSeen;
    }
};
