// SPDX-License-Identifier: MIT
// ServerProcess: one echo server running in a child process of its own.
//
// A process per server keeps the servers apart (no server's threads or memory near
// another's) and lets the parent read the server's CPU time exactly: the child's process
// CPU clock counts every thread the server runs, and nothing else, with nanosecond
// resolution. The child dies with the parent.
#ifndef BRINDLE_BENCH_NET_SERVERPROCESS_H_
#define BRINDLE_BENCH_NET_SERVERPROCESS_H_

#include <sys/types.h>
#include <time.h>

#include <string>

#include "EchoServers.h"

class ServerProcess {
  public:
    // Forks a child that runs `serve`, and waits until it reports its port. Call it while
    // the parent runs no other thread: the child continues from a copy of the parent.
    // Failed() says whether the child started.
    ServerProcess(const char* name, ServeFunction serve);
    // Ends the child and waits for it.
    ~ServerProcess();

    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool Failed() const { return port_ == 0; }
    const std::string& Name() const { return name_; }
    uint16_t Port() const { return port_; }
    uint32_t ConnectionLimit() const { return connectionLimit_; }
    // The CPU time all of the child's threads have used so far, in seconds.
    double CpuSeconds() const;
    // Waits, up to a few seconds, until the child has closed every connection it accepted:
    // until it has no more descriptors open than when it reported its port. False when it
    // did not come down to that.
    bool WaitUntilClosed() const;

  private:
    // Descriptors the child has open, or -1 when they cannot be counted.
    int OpenDescriptors() const;

    const std::string name_;
    pid_t pid_ = -1;
    clockid_t cpuClock_ = CLOCK_MONOTONIC;
    uint16_t port_ = 0;
    uint32_t connectionLimit_ = 0;
    int idleDescriptors_ = -1;
};

#endif  // BRINDLE_BENCH_NET_SERVERPROCESS_H_
