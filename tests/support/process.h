#pragma once
// Runs the built varno binary, in a shell or as a child process with a deadline, and
// captures what it prints and how it ends.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"

namespace varno_test {

struct RunResult {
    int status = -1;  // exit status, or -1 when the process did not exit normally
    std::string out;
    std::string err;
};

// arguments and environment are shell text, quoted by the caller. The run's working
// directory is a scratch directory, or workingDirectory when given.
inline RunResult runVarno(std::string const& arguments, std::string const& environment = "",
                          std::string const& workingDirectory = "") {
    ScratchDir capture;
    std::string const where = workingDirectory.empty() ? capture.path().string() : workingDirectory;
    std::string const command = "cd '" + where + "' && " + environment + " " + VARNO_BINARY + " " + arguments +
                                " >" + capture / "stdout" + " 2>" + capture / "stderr";
    int const raw = std::system(command.c_str());
    RunResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = readFile(capture.path() / "stdout");
    result.err = readFile(capture.path() / "stderr");
    return result;
}

// Every log file the run left in a directory, in name order, as one text.
inline std::string logText(std::filesystem::path const& directory) {
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(directory))
        for (auto const& entry : std::filesystem::directory_iterator(directory))
            if (entry.path().filename().string().rfind("varno", 0) == 0 && entry.path().extension() == ".log")
                files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::string text;
    for (auto const& file : files) text += readFile(file);
    return text;
}

inline std::string quoted(std::string const& text) { return "'" + text + "'"; }

// A child process with its standard output and error in files and its standard input from
// `inputFd` (/dev/null without one); killed if still running when the object goes.
class ChildProcess {
public:
    ChildProcess(std::vector<std::string> arguments, std::string const& outputFile, int inputFd = -1) {
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (inputFd >= 0)
            posix_spawn_file_actions_adddup2(&actions, inputFd, 0);
        else
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ChildProcess() {
        if (running()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ChildProcess(ChildProcess const&) = delete;
    ChildProcess& operator=(ChildProcess const&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0 && !reaped_; }
    bool signal(int number) const { return running() && ::kill(pid_, number) == 0; }

    static constexpr int stillRunning = -2;
    // Exit status; stillRunning after the timeout; -1 after an end by signal.
    int wait(std::chrono::milliseconds timeout) {
        if (!running()) return status_;
        auto const deadline = std::chrono::steady_clock::now() + timeout;
        do {
            int raw = 0;
            if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
                reaped_ = true;
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
                return status_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } while (std::chrono::steady_clock::now() < deadline);
        return stillRunning;
    }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = stillRunning;
};


}  // namespace varno_test
