#include "app/run_directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <cerrno>

#include "base/error_text.h"

namespace fs = boost::filesystem;

RunDirectory::~RunDirectory() {
    if (lockFd >= 0) ::close(lockFd);
}

std::string RunDirectory::make(bool parents) {
    boost::system::error_code failure;
    if (!fs::is_directory(path, failure)) {
        // The outermost missing directory, so a failed start takes away all it made.
        fs::path outermost = fs::absolute(path, failure);
        while (outermost.has_parent_path() && !fs::exists(outermost.parent_path(), failure))
            outermost = outermost.parent_path();
        made = parents ? fs::create_directories(path, failure) : fs::create_directory(path, failure);
        if (failure) return failure.message();
        if (made) {
            topMade = outermost.string();
            absolutePath = fs::absolute(path, failure).lexically_normal().string();
        }
    }
    return {};
}

std::string RunDirectory::writeProblem(std::string const& activeFile) const {
    boost::system::error_code failure;
    if (!fs::is_directory(path, failure)) return failure ? failure.message() : "Not a directory";
    // The active file when it is there; otherwise a file made and removed again, so a run
    // that writes nothing leaves nothing behind.
    int fd = -1;
    errno = ENOENT;
    if (!activeFile.empty()) fd = ::open((path + "/" + activeFile).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        std::string const probe = path + "/.varno-write-check-" + std::to_string(::getpid());
        fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) ::unlink(probe.c_str());
    }
    if (fd < 0) return errorText(errno);
    ::close(fd);
    return {};
}

bool RunDirectory::lock() {
    // A lock on the directory itself leaves no file behind, and the kernel lets it go when
    // the process ends however it ends.
    lockFd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return lockFd >= 0 && ::flock(lockFd, LOCK_EX | LOCK_NB) == 0;
}

void RunDirectory::removeIfMade() {
    if (topMade.empty()) return;
    boost::system::error_code failure;
    fs::remove_all(topMade, failure);
}

void RunDirectory::removeIfMadeAndEmpty() {
    if (topMade.empty()) return;
    boost::system::error_code failure;
    std::string const top = fs::path(topMade).lexically_normal().string();
    for (fs::path directory = absolutePath; directory.string().size() >= top.size();
         directory = directory.parent_path()) {
        if (directory.filename_is_dot()) continue;  // a path given with a trailing "/"
        if (directory.string().compare(0, top.size(), top) != 0) return;
        if (!fs::is_directory(directory, failure) || !fs::is_empty(directory, failure) || failure) return;
        if (!fs::remove(directory, failure)) return;
    }
}
