// SPDX-License-Identifier: MIT
#include "ServerProcess.h"

#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

// What a child tells its parent once it listens.
struct ReadyReport {
    uint32_t port;
    uint32_t connectionLimit;
};

// The child's end of the pipe to its parent.
int g_readyPipe = -1;

void ReportReady(uint16_t port, uint32_t connectionLimit) {
    ReadyReport report = {port, connectionLimit};
    if (write(g_readyPipe, &report, sizeof report) != static_cast<ssize_t>(sizeof report))
        _exit(1);
    close(g_readyPipe);
}

[[noreturn]] void RunChild(pid_t parent, int readyPipe, ServeFunction serve) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(1);
    // A server that writes to a connection its peer reset must see an error, not a signal.
    signal(SIGPIPE, SIG_IGN);
    g_readyPipe = readyPipe;
    serve(ReportReady);
    // A server that returns has failed.
    _exit(1);
}

}  // namespace

ServerProcess::ServerProcess(const char* name, ServeFunction serve) : name_(name) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return;
    // Output buffered before the fork would otherwise be written twice.
    fflush(stdout);
    fflush(stderr);
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        close(pipeEnds[0]);
        RunChild(parent, pipeEnds[1], serve);
    }
    close(pipeEnds[1]);
    ReadyReport report = {};
    bool reported = pid_ > 0 && read(pipeEnds[0], &report, sizeof report) ==
                                    static_cast<ssize_t>(sizeof report);
    close(pipeEnds[0]);
    if (!reported || clock_getcpuclockid(pid_, &cpuClock_) != 0)
        return;
    port_ = static_cast<uint16_t>(report.port);
    connectionLimit_ = report.connectionLimit;
    idleDescriptors_ = OpenDescriptors();
}

ServerProcess::~ServerProcess() {
    if (pid_ <= 0)
        return;
    // SIGTERM rather than SIGKILL lets a profiler that runs the child write its results.
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}

double ServerProcess::CpuSeconds() const {
    timespec now = {};
    clock_gettime(cpuClock_, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

bool ServerProcess::WaitUntilClosed() const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        int open = OpenDescriptors();
        if (open >= 0 && open <= idleDescriptors_)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int ServerProcess::OpenDescriptors() const {
    std::string path = "/proc/" + std::to_string(pid_) + "/fd";
    DIR* directory = opendir(path.c_str());
    if (directory == nullptr)
        return -1;
    int count = 0;
    while (dirent* entry = readdir(directory)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(directory);
    return count;
}
