#include "report/csv_input.h"

#include <algorithm>
#include <filesystem>
#include <set>

namespace report {

namespace {

// A file's name without ".tmp" and without its format's extension.
std::string stemOf(std::string name) {
    if (records::recordFile(name).open) name.resize(name.size() - 4);
    return name.substr(0, name.rfind('.'));
}

// A sensor writing both formats writes each row twice: the CSV file is read, its JSON twin
// (the same name but for the extension) is left out.
void dropJsonTwins(std::vector<std::string>& files) {
    std::set<std::string> csvStems;
    for (auto const& file : files)
        if (records::recordFile(file).kind == records::FileKind::Csv) csvStems.insert(stemOf(file));
    std::erase_if(files, [&](std::string const& file) {
        return records::recordFile(file).kind == records::FileKind::Json && csvStems.count(stemOf(file)) != 0;
    });
}

}  // namespace

std::vector<std::string> recordFiles(std::string const& dir, std::string& error) {
    std::vector<std::string> files;
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec), end;
    if (ec) {
        error = ec.message();
        return files;
    }
    for (; it != end; it.increment(ec)) {
        if (ec) {
            error = ec.message();
            break;
        }
        auto const& path = it->path();
        if (records::recordFile(path.filename().string()).kind != records::FileKind::None && it->is_regular_file(ec))
            files.push_back(path.string());
    }
    std::sort(files.begin(), files.end());
    dropJsonTwins(files);
    return files;
}

std::vector<std::string> subdirectoriesOf(std::string const& dir, std::string& error) {
    std::vector<std::string> dirs;
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::error_code entry;  // an entry that cannot be examined is not an output directory
        if (it->is_directory(entry)) dirs.push_back(it->path().string());
    }
    if (ec) error = ec.message();
    std::sort(dirs.begin(), dirs.end());
    return dirs;
}

}  // namespace report
