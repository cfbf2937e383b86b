// SPDX-License-Identifier: MIT
// The progress line that long passes over big block files keep up to date on stderr.
#ifndef BRINDLE_TOOLS_BRINDLE_PROGRESS_H_
#define BRINDLE_TOOLS_BRINDLE_PROGRESS_H_

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace cli {

class ProgressLine {
  public:
    // Files at least this large get a progress line.
    static constexpr uint64_t kMinFileSize = uint64_t{64} << 20;

    // A line "`verb` FILE: ..." that shows only when stderr is a terminal and the file is
    // at least kMinFileSize bytes.
    ProgressLine(const char* verb, const std::string& file, uint64_t fileSize);
    ~ProgressLine() { Finish(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    bool Shown() const { return shown_; }
    // Stops following writes and clears the line, for good; call it before anything else is
    // written to the terminal.
    void Finish();
    // Shows `done` of `total` bytes as a percentage, at most a few times a second.
    void Update(uint64_t done, uint64_t total);
    // Shows a phase without a percentage.
    void Say(const char* phase);
    // Until Finish, shows the bytes this process writes against `total`, from a thread of
    // its own: for work inside the library that reports no progress. Shows `phase` instead
    // when the kernel does not count the bytes a process writes.
    void FollowWrites(uint64_t total, const char* phase);

    // A progress function for XBlockFileCheck::SetProgress; `context` is the line.
    static void OnCheckProgress(uint64_t done, uint64_t total, void* context);

  private:
    void Show(const std::string& text);
    void Follow(uint64_t start, uint64_t total);

    const char* verb_;
    std::string file_;
    bool shown_;
    bool drawn_ = false;  // a line is on the terminal
    uint64_t lastShown_ = 0;
    std::mutex mutex_;
    std::condition_variable stop_;
    bool stopping_ = false;
    std::thread follower_;
};

}  // namespace cli

#endif  // BRINDLE_TOOLS_BRINDLE_PROGRESS_H_
