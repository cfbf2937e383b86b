// SPDX-License-Identifier: MIT
// Brindle's socket manager as an echo server: its read and write threads, and a handler
// that queues every byte it receives back to the sender.
#include <unistd.h>

#include <brindle/net/XSocketMgr.h>

#include "EchoServers.h"

namespace {

class EchoHandler : public XSocketHandler {
  public:
    EchoHandler(sockaddr_in* address, int socket, bool udp, void* context)
        : XSocketHandler(address, socket, udp, context) {}

  private:
    uint32_t OnDataReceived(void* data, uint32_t size, sockaddr_in*) override {
        SendData(data, size);
        return size;
    }
};

XSocketHandler* MakeEcho(sockaddr_in* address, int socket, bool udp, void* context) {
    return new EchoHandler(address, socket, udp, context);
}

// Sets how many sockets the manager watches and returns how many connections the server
// can then hold: the listening socket takes one place in the read set.
uint32_t SetManagerSocketLimit() {
    XSocketMgr::SetSocketLimit(4096);
    return 4095;
}

}  // namespace

void ServeManager(ServerReady ready) {
    uint32_t connectionLimit = SetManagerSocketLimit();
    XSocketMgr::Init();
    XSocketMgr::Current()->Start();
    uint16_t port = 0;
    if (XSocketMgr::Current()->StartListening(0, false, MakeEcho, nullptr, &port) == nullptr)
        _exit(1);
    ready(port, connectionLimit);
    // The manager's own threads serve; this one only waits for the process to end.
    for (;;)
        pause();
}
