#include "app/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "export/output_files.h"

namespace {

// 1234567 -> "1,234,567"
std::string grouped(uint64_t value) {
    std::string digits = std::to_string(value);
    for (int at = int(digits.size()) - 3; at > 0; at -= 3) digits.insert(size_t(at), ",");
    return digits;
}

std::string bytesText(double bytes) {
    static char const* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string durationText(double seconds) {
    const uint64_t total = uint64_t(seconds + 0.5);
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(total / 3600),
                      static_cast<unsigned long long>(total / 60 % 60), static_cast<unsigned long long>(total % 60));
    else
        std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(total / 60),
                      static_cast<unsigned long long>(total % 60));
    return text;
}

// 1234567 -> "1.23M": three digits at most, for a narrow terminal.
std::string abbreviated(uint64_t value) {
    if (value < 10000) return std::to_string(value);
    static char const* const suffixes[] = {"k", "M", "G", "T"};
    double scaled = double(value) / 1000;
    int suffix = 0;
    while (scaled >= 1000 && suffix < 3) {
        scaled /= 1000;
        ++suffix;
    }
    char text[32];
    std::snprintf(text, sizeof text, scaled < 100 ? "%.3g%s" : "%.0f%s", scaled, suffixes[suffix]);
    return text;
}

int terminalColumns(int fd) {
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

}  // namespace

std::string progressText(EngineProgress const& progress, double seconds, bool finished, bool compact) {
    const double rate = seconds > 0 ? double(progress.bytesRead) / seconds : 0;
    std::string left;
    if (finished)
        left = "done in " + durationText(seconds);
    else if (rate > 0 && progress.bytesTotal >= progress.bytesRead)
        left = durationText(double(progress.bytesTotal - progress.bytesRead) / rate) + " left";
    else if (progress.bytesTotal > 0)
        left = "--:-- left";
    const std::string percent =
        progress.bytesTotal > 0
            ? std::to_string(int(100.0 * double(progress.bytesRead) / double(progress.bytesTotal))) + "%"
            : std::string();

    if (compact) {
        std::string text = (progress.bytesTotal > 0 ? percent + " of " + bytesText(double(progress.bytesTotal))
                                                     : bytesText(double(progress.bytesRead))) +
                           " " + abbreviated(progress.packets) + " pkts " + abbreviated(progress.flowsOpen) + " flows " +
                           abbreviated(progress.rows) + " rows " + bytesText(rate) + "/s";
        return left.empty() ? text : text + " " + left;
    }
    auto count = [](uint64_t value, char const* one, char const* many) {
        return grouped(value) + " " + (value == 1 ? one : many);
    };
    std::string text = bytesText(double(progress.bytesRead));
    if (progress.bytesTotal > 0) text += " of " + bytesText(double(progress.bytesTotal)) + " (" + percent + ")";
    text += ", " + count(progress.packets, "packet", "packets") + ", " +
            count(progress.flowsOpen, "flow open", "flows open") + ", " + count(progress.rows, "row", "rows") + ", " +
            bytesText(rate) + "/s";
    return left.empty() ? text : text + ", " + left;
}

ProgressLine::ProgressLine(FlowEngine const& engine, int fd)
    : engine(engine), fd(fd), started(std::chrono::steady_clock::now()) {
    thread = std::thread([this] {
        std::unique_lock<std::mutex> lock(mutex);
        while (!wake.wait_for(lock, interval, [this] { return stopping; })) draw(false);
    });
}

ProgressLine::~ProgressLine() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    thread.join();
    draw(true);
    output_files::writeAll(fd, "\n");  // a terminal gone away: the run goes on without it
}

void ProgressLine::draw(bool finished) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const EngineProgress now = engine.progress();
    // Longer than the terminal is wide, the line would wrap and "\r" would no longer
    // bring the cursor back to its start: a short form, cut if need be.
    const size_t width = size_t(terminalColumns(fd) - 1);
    std::string text = progressText(now, seconds, finished, false);
    if (text.size() > width) text = progressText(now, seconds, finished, true);
    if (text.size() > width) text.resize(width);
    output_files::writeAll(fd, "\r" + text + "\x1b[K");
}
