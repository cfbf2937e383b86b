// SPDX-License-Identifier: MIT

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include <brindle/brindle.h>

#include "Tour.h"

namespace {

// Both ends of the tour's connection: the server side echoes what it receives; the client
// side remembers the echo.
class EchoEnd : public XSocketHandler {
  public:
    EchoEnd(sockaddr_in* address, int socket, bool udp, void* context)
        : XSocketHandler(address, socket, udp, context) {}

    static std::atomic<bool> s_echoed;

  private:
    bool IsServer() const { return Context() != nullptr; }
    int32_t OnConnect() override {
        printf("  %s: connected\n", IsServer() ? "server" : "client");
        return 0;
    }
    uint32_t OnDataReceived(void* data, uint32_t size, sockaddr_in*) override {
        printf("  %s: received \"%.*s\"\n", IsServer() ? "server" : "client",
               static_cast<int>(size), static_cast<char*>(data));
        if (IsServer())
            SendData(data, size);
        else
            s_echoed.store(true);
        return size;
    }
    void OnClose(uint32_t) override { printf("  %s: closed\n", IsServer() ? "server" : "client"); }
};

std::atomic<bool> EchoEnd::s_echoed{false};

XSocketHandler* MakeEnd(sockaddr_in* address, int socket, bool udp, void* context) {
    return new EchoEnd(address, socket, udp, context);
}

}  // namespace

void TourNetwork() {
    printf("\n== socket manager ==\n");
    XSocketMgr::Init();
    XSocketMgr* manager = XSocketMgr::Current();
    manager->Start();
    static int serverTag;
    uint16_t port = 0;
    XSocketListener* listener = manager->StartListening(0, false, MakeEnd, &serverTag, &port);
    printf("listening on port %u of every interface\n", port);

    uint32_t reference = 0;
    if (listener != nullptr &&
        manager->Open("127.0.0.1", port, false, MakeEnd, nullptr, &reference) == 0) {
        XSocketHandler* client = XSocketHandler::GetXSocketHandler(reference);
        char text[] = "hello over loopback";
        client->SendData(text, static_cast<uint32_t>(strlen(text)));
        for (int waited = 0; !EchoEnd::s_echoed.load() && waited < 5000; ++waited)
            usleep(1000);
        client->Close(0);
        XSocketHandler::ReleaseXSocketHandler(client);
    }
    // The server side sees its peer close on the read thread.
    for (int waited = 0; XSocketHandler::Count() > 0 && waited < 5000; ++waited)
        usleep(1000);
    manager->StopListening(listener);
    manager->Stop();
    XSocketMgr::Dispose();
    printf("echo %s; handlers left: %u\n", EchoEnd::s_echoed.load() ? "came back" : "missing",
           XSocketHandler::Count());
}
