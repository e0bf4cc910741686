#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "record/cells.h"

// The certificates of the rows, each stored once under the output directory where the
// record's path rule puts it, and named in the rows by the SHA-1 digest of its DER bytes.
class CertificateStore : public records::CertificateNamer {
public:
    explicit CertificateStore(std::string const& outputDir) : directory(outputDir) {}

    // The digests of the chain joined by ':', storing every certificate not stored yet.
    std::string chainCell(std::vector<std::string> const& chain);
    void appendChain(std::string& row, std::vector<std::string> const& chain) override;

    // Certificates that could not be stored and are still missing from the store.
    uint64_t missing() const { return failed.size(); }
    // The reason of the last failure to store one.
    std::string const& lastFailure() const { return failure; }

private:
    std::string digest(std::string const& der);
    void store(std::string const& der, std::string const& digest);

    // The same few certificates come back in flow after flow: their digests, and the fact
    // that they are in the store, are remembered instead of hashed and looked up each time.
    std::string const& directory;
    std::unordered_map<std::string, std::string> known;
    // Digests of certificates whose file could not be written; a later flow tries again.
    std::unordered_set<std::string> failed;
    std::string failure;
};
