#pragma once
#include <string>

// A directory a run writes in (output or log): made when missing, checked for writing at
// start, and taken away again when this run made it and could not start.
class RunDirectory {
public:
    explicit RunDirectory(std::string path) : path(std::move(path)) {}
    ~RunDirectory();
    RunDirectory(RunDirectory const&) = delete;
    RunDirectory& operator=(RunDirectory const&) = delete;

    // Makes the directory when missing (with missing parents when `parents`); returns why
    // it could not be made, or empty. `made` tells whether it was missing.
    std::string make(bool parents);
    // Why no file can be made in it, or `activeFile` there (when it exists) not appended
    // to; empty when it can be written.
    std::string writeProblem(std::string const& activeFile = {}) const;
    // Takes an exclusive lock for the life of this object; false when another process holds one.
    bool lock();
    // After a start that failed: removes what this run made, the log it wrote included.
    void removeIfMade();
    // After a run: removes the directories this run made, from the innermost out, as long
    // as they are empty.
    void removeIfMadeAndEmpty();

    std::string const path;
    bool made = false;

private:
    std::string topMade;       // the outermost directory this run made
    std::string absolutePath;  // as found at start (with -Z the run moves elsewhere)
    int lockFd = -1;
};
