// SPDX-License-Identifier: MIT

#include "Progress.h"

#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include <brindle/concurrency/OSBootTime.h>

namespace cli {
namespace {

constexpr uint64_t kIntervalMs = 200;

// The bytes this process has written so far ("wchar" in /proc/self/io); false when the
// kernel does not say.
bool BytesWritten(uint64_t* written) {
    FILE* io = fopen("/proc/self/io", "r");
    if (io == nullptr)
        return false;
    char line[128];
    unsigned long long value = 0;
    bool found = false;
    while (!found && fgets(line, sizeof line, io) != nullptr)
        found = sscanf(line, "wchar: %llu", &value) == 1;
    fclose(io);
    *written = value;
    return found;
}

// The width of the terminal on stderr in columns; 80 when it does not say.
size_t TerminalWidth() {
    struct winsize size;
    return ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col != 0 ? size.ws_col : 80;
}

// `file` as the line shows it: control characters, which would move the cursor, become '?'.
std::string Printable(const std::string& file) {
    std::string shown = file;
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    }
    return shown;
}

}  // namespace

ProgressLine::ProgressLine(const char* verb, const std::string& file, uint64_t fileSize)
    : verb_(verb), file_(Printable(file)), shown_(fileSize >= kMinFileSize && isatty(2)) {}

void ProgressLine::Finish() {
    if (follower_.joinable()) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            stopping_ = true;
        }
        stop_.notify_all();
        follower_.join();
    }
    if (drawn_) {
        fputs("\r\033[K", stderr);
        fflush(stderr);
    }
    shown_ = false;
    drawn_ = false;
}

void ProgressLine::Show(const std::string& text) {
    // A line longer than the terminal is wide would wrap, and the carriage return that
    // starts the next one would go back only to the start of its last row. The line ends a
    // column short of the edge, shortening the file name from its start.
    const size_t room = TerminalWidth() - 1;
    const std::string head = std::string(verb_) + " ";
    const std::string tail = ": " + text;
    std::string file = file_;
    if (head.size() + file.size() + tail.size() > room) {
        const size_t keep =
            room > head.size() + tail.size() + 3 ? room - head.size() - tail.size() - 3 : 0;
        size_t from = file.size() - std::min(keep, file.size());
        while (from < file.size() && (static_cast<unsigned char>(file[from]) & 0xC0) == 0x80)
            ++from;  // not into the middle of a UTF-8 sequence
        file = "..." + file.substr(from);
    }
    std::string line = (head + file + tail).substr(0, room);
    std::lock_guard<std::mutex> hold(mutex_);
    fprintf(stderr, "\r\033[K%s", line.c_str());
    fflush(stderr);
    drawn_ = true;
}

void ProgressLine::Update(uint64_t done, uint64_t total) {
    const uint64_t now = OSBootTime();
    if (!shown_ || total == 0 || now - lastShown_ < kIntervalMs)
        return;
    lastShown_ = now;
    char text[64];
    snprintf(text, sizeof text, "%3u%% of %llu MiB", static_cast<unsigned>(done * 100 / total),
             static_cast<unsigned long long>(total >> 20));
    Show(text);
}

void ProgressLine::Say(const char* phase) {
    if (shown_)
        Show(phase);
}

void ProgressLine::FollowWrites(uint64_t total, const char* phase) {
    uint64_t start = 0;
    if (!shown_ || total == 0 || follower_.joinable())
        return;
    if (BytesWritten(&start))
        follower_ = std::thread(&ProgressLine::Follow, this, start, total);
    else
        Say(phase);
}

void ProgressLine::Follow(uint64_t start, uint64_t total) {
    std::unique_lock<std::mutex> hold(mutex_);
    while (!stop_.wait_for(hold, std::chrono::milliseconds(kIntervalMs),
                           [this] { return stopping_; })) {
        uint64_t written = start;
        BytesWritten(&written);
        const uint64_t done = written - start;
        hold.unlock();
        Update(done < total ? done : total, total);
        hold.lock();
    }
}

void ProgressLine::OnCheckProgress(uint64_t done, uint64_t total, void* context) {
    static_cast<ProgressLine*>(context)->Update(done, total);
}

}  // namespace cli
