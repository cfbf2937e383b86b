// SPDX-License-Identifier: MIT
// The echo servers that the network benchmark compares: each one written the way its event
// loop's own examples write it, sending every byte it reads back to where it came from.
//
// A server function runs in a process of its own (see ServerProcess.h) and never returns:
// it listens on an ephemeral port, reports that port and the most connections it can hold
// through `ready`, then serves until the process is killed. Every server turns Nagle's
// algorithm off on the connections it accepts, as the client does on its own side.
#ifndef BRINDLE_BENCH_NET_ECHOSERVERS_H_
#define BRINDLE_BENCH_NET_ECHOSERVERS_H_

#include <stddef.h>
#include <stdint.h>

// Reports that the server listens on `port` (host byte order) and can hold
// `connectionLimit` connections at once.
using ServerReady = void (*)(uint16_t port, uint32_t connectionLimit);
// Runs one echo server in the calling process; never returns.
using ServeFunction = void (*)(ServerReady ready);

// The read buffer of each connection, where a server has one: the most one read takes.
constexpr size_t kEchoBufferSize = 64 * 1024;
// The connection limit of a server that has none of its own.
constexpr uint32_t kNoConnectionLimit = UINT32_MAX;

#ifdef NET_BENCH_WITH_LIBUV
// libuv: one loop; each read is written back with uv_try_write, and a reply the socket did
// not take whole is finished by uv_write while reading pauses.
[[noreturn]] void ServeLibuv(ServerReady ready);
#endif
#ifdef NET_BENCH_WITH_ASIO
// Asio: one io_context run by one thread; each connection alternates async_read_some and
// async_write of what it read.
[[noreturn]] void ServeAsio(ServerReady ready);
#endif
// A minimal epoll loop on one thread: level-triggered, non-blocking sockets, a connection
// with bytes left to write waits for EPOLLOUT and reads nothing meanwhile.
[[noreturn]] void ServeEpoll(ServerReady ready);
// Brindle's socket manager: a handler that queues what OnDataReceived receives with
// SendData and consumes it all.
[[noreturn]] void ServeManager(ServerReady ready);

#endif  // BRINDLE_BENCH_NET_ECHOSERVERS_H_
