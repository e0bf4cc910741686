#include "export/output_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace output_files {

int probe(std::string const& path) {
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0) return EEXIST;
    return errno == ENOENT ? 0 : errno;
}

int createExclusive(std::string const& path) {
    int fd;
    do fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
}

int writeAll(int fd, std::string const& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;  // nothing taken: trying again would never end
        done += size_t(n);
    }
    return 0;
}

int publish(std::string const& from, std::string const& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    int error = errno;
    if (error != EINVAL && error != ENOSYS && error != EOPNOTSUPP) return error;
    // File systems without RENAME_NOREPLACE: check first; this process is the only one
    // naming files of this pattern.
    if (int state = probe(to)) return state;
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

}  // namespace output_files
