#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "record/certificate.h"
#include "record/columns.h"

struct TLSFeatures;

// Appends text as a JSON string: quotes, backslashes and control characters escaped, valid
// UTF-8 kept as it is and every byte that is not part of it written as U+FFFD, so that any
// server name a client sends still makes a line every JSON reader takes.
void appendJsonString(std::string& out, std::string_view text);

// One handshake as one JSON object on one line, named after the Elastic Common Schema where
// it has a field (source, destination, network, tls, with x509 facts of the leaf
// certificates) and under "varno" where it has none. The record's columns come from their
// CSV text, in the form the column table gives each; the fields only JSON carries (Community
// ID, JA4, names of the suite and group, certificate facts) are derived here.
class JsonLineWriter {
public:
    JsonLineWriter();
    // Appends the object and its line break; `cells` are the row's cells as text, unquoted.
    void append(std::string& out, TLSFeatures const& features, std::array<std::string, records::columnCount> const& cells);

private:
    // Fields only the JSON object has.
    enum Extra : size_t {
        NetworkTransport, NetworkType, CommunityId, VersionProtocol, Cipher, Curve, Established, Ja4,
        ServerSha1, ClientSha1, ServerX509, ClientX509 = ServerX509 + 13, extraCount = ClientX509 + 13
    };
    static constexpr size_t fieldCount = size_t{records::columnCount} + size_t{extraCount};

    void setExtras(TLSFeatures const& features, std::array<std::string, records::columnCount> const& cells);
    void setCertificate(size_t first, std::string const& der);
    void emit(std::string& out) const;
    records::CertificateFacts const* facts(std::string const& der);

    // The fields' paths as their names, ordered so that the members of each object are next to
    // each other, and each field's place in that order.
    std::vector<std::vector<std::string_view>> segments;
    std::array<size_t, fieldCount> place{};
    // Each field's value as JSON text, by place; empty: not written.
    std::array<std::string, fieldCount> values;
    // Certificate facts by DER bytes: servers send the same few chains again and again.
    std::unordered_map<std::string, std::optional<records::CertificateFacts>> known;
};
