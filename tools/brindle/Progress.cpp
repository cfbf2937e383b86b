#include "Progress.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <brindle/concurrency/OSBootTime.h>

namespace cli {
namespace {

constexpr uint64_t kIntervalMs = 200;

// The bytes this process has written so far ("wchar" in /proc/self/io); 0 when unknown.
uint64_t BytesWritten() {
    FILE* io = fopen("/proc/self/io", "r");
    if (io == nullptr)
        return 0;
    char line[128];
    unsigned long long written = 0;
    while (fgets(line, sizeof line, io) != nullptr) {
        if (sscanf(line, "wchar: %llu", &written) == 1)
            break;
    }
    fclose(io);
    return written;
}

}  // namespace

ProgressLine::ProgressLine(const char* verb, const std::string& file, uint64_t fileSize)
    : verb_(verb), file_(file), shown_(fileSize >= kMinFileSize && isatty(2)) {}

void ProgressLine::Finish() {
    if (follower_.joinable()) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            stopping_ = true;
        }
        stop_.notify_all();
        follower_.join();
    }
    if (shown_)
        fputs("\r\033[K", stderr);
    shown_ = false;
}

void ProgressLine::Show(const std::string& text) {
    std::lock_guard<std::mutex> hold(mutex_);
    fprintf(stderr, "\r\033[K%s %s: %s", verb_, file_.c_str(), text.c_str());
    fflush(stderr);
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

void ProgressLine::FollowWrites(uint64_t total) {
    if (shown_ && total != 0 && !follower_.joinable())
        follower_ = std::thread(&ProgressLine::Follow, this, total);
}

void ProgressLine::Follow(uint64_t total) {
    const uint64_t start = BytesWritten();
    std::unique_lock<std::mutex> hold(mutex_);
    while (!stop_.wait_for(hold, std::chrono::milliseconds(kIntervalMs),
                           [this] { return stopping_; })) {
        const uint64_t done = BytesWritten() - start;
        hold.unlock();
        Update(done < total ? done : total, total);
        hold.lock();
    }
}

void ProgressLine::OnCheckProgress(uint64_t done, uint64_t total, void* context) {
    static_cast<ProgressLine*>(context)->Update(done, total);
}

}  // namespace cli
