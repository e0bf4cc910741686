#pragma once
// Files, scratch directories and the paths of test data, for every test.
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace varno_test {

inline std::string readFile(std::filesystem::path const& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A fresh directory under the system's temporary directory, removed with the object.
class ScratchDir {
public:
    ScratchDir() {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("varno-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(ScratchDir const&) = delete;
    ScratchDir& operator=(ScratchDir const&) = delete;

    std::filesystem::path const& path() const { return path_; }
    std::string operator/(std::string const& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline void writeFile(std::filesystem::path const& path, std::string const& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

inline std::string sourcePath(std::string const& relative) { return std::string(VARNO_SOURCE_DIR) + "/" + relative; }
// A capture or other input of the project's own, in tests/data.
inline std::string dataFile(std::string const& name) { return sourcePath("tests/data/" + name); }
inline std::string sharedPath(std::string const& relative) { return std::string(VARNO_SHARED_DIR) + "/" + relative; }
inline bool haveSharedDir() { return std::filesystem::is_directory(VARNO_SHARED_DIR); }

}  // namespace varno_test

#define SKIP_WITHOUT_SHARED_DIR()                                                                         \
    if (!varno_test::haveSharedDir())                                                                     \
    GTEST_SKIP() << "shared captures not available (no directory " << VARNO_SHARED_DIR                    \
                 << "); CI provides them"
