#pragma once
// A small tmpfs mounted for a test's life: a real file system that fills up. Mounting
// needs root; tests skip without it.
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

namespace varno_test {

class Tmpfs {
public:
    Tmpfs(std::filesystem::path directory, size_t bytes, bool readOnly = false) : directory_(std::move(directory)) {
        std::filesystem::create_directories(directory_);
        std::string const options = "size=" + std::to_string(bytes) + ",mode=0755";
        mounted_ = ::geteuid() == 0 && ::mount("tmpfs", directory_.c_str(), "tmpfs", readOnly ? MS_RDONLY : 0,
                                               options.c_str()) == 0;
    }
    ~Tmpfs() {
        if (mounted_) ::umount2(directory_.c_str(), MNT_DETACH);
    }
    Tmpfs(Tmpfs const&) = delete;
    Tmpfs& operator=(Tmpfs const&) = delete;

    bool mounted() const { return mounted_; }
    static constexpr char const* skipReason = "mounting a tmpfs needs root; CI runs as root";

    // Takes every free byte with one file, so the next write of anyone fails with ENOSPC.
    void fill() {
        int const fd = ::open(filler().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        std::vector<char> block(4096, 'x');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        while (::write(fd, block.data(), 1) > 0) {
        }
        ::close(fd);
    }
    // Gives the space back.
    void free() { std::filesystem::remove(filler()); }

private:
    std::filesystem::path filler() const { return directory_ / ".filler"; }

    std::filesystem::path directory_;
    bool mounted_ = false;
};

}  // namespace varno_test
