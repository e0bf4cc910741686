#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// The certificates of the rows, each stored once as DIR/ab/cd/<sha1>.pem under the output
// directory and named in the rows by that SHA-1 digest of its DER bytes.
class CertificateStore {
public:
    // The digests of the chain joined by ':', storing every certificate not stored yet.
    std::string chainCell(std::vector<std::string> const& chain);

    // Certificates that could not be stored and are still missing from the store.
    uint64_t missing() const { return failed.size(); }
    // The reason of the last failure to store one.
    std::string const& lastFailure() const { return failure; }

private:
    std::string digest(std::string const& der);
    void store(std::string const& der, std::string const& digest);

    // The same few certificates come back in flow after flow: their digests, and the fact
    // that they are in the store, are remembered instead of hashed and looked up each time.
    std::unordered_map<std::string, std::string> known;
    // Digests of certificates whose file could not be written; a later flow tries again.
    std::unordered_set<std::string> failed;
    std::string failure;
};
