#include "export/certificate_store.h"

#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cerrno>
#include <system_error>

#include "base/log.h"
#include "record/base64.h"
#include "export/output_files.h"
#include "record/certificate_path.h"
#include "record/sha1.h"

namespace fs = boost::filesystem;
using namespace output_files;

std::string CertificateStore::chainCell(std::vector<std::string> const& chain) {
    std::string cell;
    appendChain(cell, chain);
    return cell;
}

void CertificateStore::appendChain(std::string& row, std::vector<std::string> const& chain) {
    bool first = true;
    for (std::string const& certificate : chain) {
        if (!first) row += ':';
        first = false;
        row += digest(certificate);
    }
}

std::string CertificateStore::digest(std::string const& der) {
    constexpr size_t maxKnownCertificates = 4096;
    auto found = known.find(der);
    if (found != known.end()) return found->second;

    Sha1 sha1;
    sha1.update(reinterpret_cast<const unsigned char*>(der.data()), der.size());
    std::string digest = sha1.finalHex();
    try {
        store(der, digest);
    } catch (std::exception const& e) {
        // A certificate that cannot be stored costs its file, not the row: the row still
        // names it by digest. The first failure is logged; later ones are counted and
        // reported with the rows that wait (a full disk would flood the log otherwise).
        if (failed.empty())
            VARNO_LOG(error) << "Cannot store certificate " << digest << ": " << e.what();
        failure = e.what();
        failed.insert(digest);
        return digest;
    }
    failed.erase(digest);
    if (known.size() >= maxKnownCertificates) known.clear();
    known.emplace(der, digest);
    return digest;
}

void CertificateStore::store(std::string const& der, std::string const& digest) {
    fs::path const file = fs::path(records::certificatePath(directory, digest));
    fs::path const second = file.parent_path(), first = second.parent_path();

    // Any entry under the name means stored: files of the store are never rewritten.
    if (fs::exists(fs::symlink_status(file))) return;
    if (!fs::exists(first)) fs::create_directory(first);
    if (!fs::exists(second)) fs::create_directory(second);

    int fd = createExclusive(file.string());
    if (fd < 0) {
        if (errno == EEXIST) return;
        throw std::system_error(errno, std::generic_category(), "open " + file.string());
    }
    std::string pem = "-----BEGIN CERTIFICATE-----\n" + base64Text(der) + "\n-----END CERTIFICATE-----\n";
    int error = writeAll(fd, pem);
    if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
    if (error != 0) {
        // A truncated file would pass for stored forever; it is ours, so take it back.
        ::unlink(file.c_str());
        throw std::system_error(error, std::generic_category(), "write " + file.string());
    }
}
