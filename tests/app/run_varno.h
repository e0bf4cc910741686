#pragma once
// Runs the built varno binary in a shell and captures what it prints and how it ends.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
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
                ("varno-app-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
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

struct RunResult {
    int status = -1;  // exit status, or -1 when the process did not exit normally
    std::string out;
    std::string err;
};

// arguments and environment are shell text, quoted by the caller.
inline RunResult runVarno(std::string const& arguments, std::string const& environment = "") {
    ScratchDir capture;
    std::string const command = "cd " + capture.path().string() + " && " + environment + " " + VARNO_BINARY + " " +
                                arguments + " >stdout 2>stderr";
    int const raw = std::system(command.c_str());
    RunResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = readFile(capture.path() / "stdout");
    result.err = readFile(capture.path() / "stderr");
    return result;
}

inline std::string quoted(std::string const& text) { return "'" + text + "'"; }

}  // namespace varno_test
