// SPDX-License-Identifier: MIT
// The one client that drives every echo server of the network benchmark, on loopback, with
// Nagle's algorithm off. Each workload connects, warms up, measures for a given time, and
// closes its connections with a reset (so no TIME_WAIT piles up over many repetitions).
// The server's CPU time is read right at the start and at the end of the measured part.
#ifndef BRINDLE_BENCH_NET_ECHOCLIENT_H_
#define BRINDLE_BENCH_NET_ECHOCLIENT_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "ServerProcess.h"

// What one workload measured.
struct Measurement {
    // The wall time of the measured part, and the server's CPU time in it.
    double seconds = 0;
    double serverCpuSeconds = 0;
    // Ping-pong workloads: round trips completed.
    uint64_t roundTrips = 0;
    // Bulk echo: bytes that came back.
    uint64_t bytesEchoed = 0;
    // Ping-pong on one connection: the time of each round trip, in seconds.
    std::vector<double> roundTripTimes;
    // Why the workload failed; empty when it did not.
    std::string error;
};

// One connection, one byte at a time: send it, wait for it to come back, again. A blocking
// socket, so that the client waits in the kernel as a plain synchronous client would.
Measurement PingPong(const ServerProcess& server, double seconds);
// One connection echoing 64 KiB messages, two of them on their way at any time so that the
// server can read and write at once; few enough that the kernel's socket buffers hold them,
// which a blocking client needs.
Measurement BulkEcho(const ServerProcess& server, double seconds);
// `connections` connections, each with one byte on its way at any time, served by one
// epoll loop on non-blocking sockets: the server's aggregate rate of round trips.
Measurement ManyPingPongs(const ServerProcess& server, uint32_t connections, double seconds);

#endif  // BRINDLE_BENCH_NET_ECHOCLIENT_H_
