// SPDX-License-Identifier: MIT
// Whole flows through the socket manager on loopback, against plain POSIX peers and
// library to library.
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/resource.h>

#include <future>

#include "NetTestKit.h"

namespace {

using namespace nettest;

class SocketMgrTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { XSocketMgr::Init(); }
    static void TearDownTestSuite() { XSocketMgr::Dispose(); }
    void SetUp() override { manager_->Start(); }
    void TearDown() override {
        manager_->Stop();
        EXPECT_TRUE(WaitFor([] { return XSocketHandler::Count() == 0; }));
    }

    // Scenarios outlive the test body, so that the fixture's Stop may still call back.
    Scenario* NewScenario(bool echo = false) {
        scenarios_.emplace_back();
        scenarios_.back().behaviour.echo = echo;
        return &scenarios_.back();
    }
    XSocketListener* Listen(Scenario* scenario, uint16_t* port, bool udp = false) {
        *port = 0;
        return manager_->StartListening(0, udp, MakeRecorder, scenario, port);
    }
    int32_t Send(uint32_t reference, std::string bytes, sockaddr_in* to = nullptr) {
        XSocketHandler* handler = XSocketHandler::GetXSocketHandler(reference);
        int32_t result =
            handler == nullptr ? -1 : handler->SendData(bytes.data(), uint32_t(bytes.size()), to);
        XSocketHandler::ReleaseXSocketHandler(handler);
        return result;
    }
    // A round trip through a manager connection to an echo listener's port, closed after.
    bool EchoThroughManager(uint16_t port, const std::string& text) {
        Scenario* client = NewScenario();
        uint32_t reference = 0;
        bool echoed =
            manager_->Open(kLoopback, port, false, MakeRecorder, client, &reference) == 0 &&
            Send(reference, text) == 0 && WaitFor([&] { return client->Saw(reference, text); });
        manager_->Close(reference);
        return echoed;
    }
    static bool EchoThroughPeer(uint16_t port, const std::string& text) {
        int peer = PlainConnect(port, text);
        bool echoed = ReadSome(peer, text.size()) == text;
        close(peer);
        return echoed;
    }

    XSocketMgr* manager_ = XSocketMgr::Current();
    std::deque<Scenario> scenarios_;
};

TEST_F(SocketMgrTest, TcpEchoThroughAcceptAndOpenWithNestingReOpenAndPeerClose) {
    Scenario* server = NewScenario(true);
    Scenario* client = NewScenario();
    uint16_t port;
    XSocketListener* listener = Listen(server, &port);
    ASSERT_NE(listener, nullptr);
    manager_->Start();
    XSocketMgr::Init();
    XSocketMgr::Dispose();  // the inner Dispose keeps the manager
    EXPECT_EQ(XSocketMgr::Current(), manager_);
    uint32_t reference = 0;
    ASSERT_EQ(manager_->Open("127.0.0.1", port, false, MakeRecorder, client, &reference), 0);
    manager_->Stop();  // the inner Stop leaves the threads running
    ASSERT_EQ(Send(reference, "hello"), 0);
    ASSERT_TRUE(WaitFor([&] { return client->Saw(reference, "hello"); }));
    ASSERT_TRUE(
        WaitFor([&] { return client->Of(reference).events.find(kConnect) != std::string::npos; }));
    int peer = PlainConnect(port, "ping");
    EXPECT_EQ(ReadSome(peer, 4), "ping");

    // Accepted: OnConnect, OnReadyToWrite, then data, all on the read thread. Outgoing:
    // OnConnect on the write thread, data on the read thread.
    for (size_t i = 0; i < 2; ++i) {
        Log accepted = server->Of(server->Made(i));
        EXPECT_EQ(accepted.events.substr(0, 3), "CWD");
        EXPECT_EQ(accepted.threads[0], accepted.threads[2]);
    }
    Log outgoing = client->Of(reference);
    EXPECT_NE(outgoing.threads[outgoing.events.find(kConnect)],
              outgoing.threads[outgoing.events.find(kData)]);

    // ReOpened: the first Close leaves it connected, the second disconnects it, here.
    XSocketHandler* handler = XSocketHandler::GetXSocketHandler(reference);
    ASSERT_NE(handler, nullptr);
    EXPECT_GT(handler->IsUsed(), 0);  // the use this test holds
    handler->ReOpen();
    EXPECT_EQ(manager_->Close(reference), 0);
    EXPECT_EQ(handler->SendData("again", 5), 0);
    EXPECT_TRUE(WaitFor([&] { return client->Saw(reference, "helloagain"); }));
    handler->Close(0);
    EXPECT_EQ(client->Of(reference).events.back(), kClose);
    EXPECT_EQ(client->Of(reference).threads.back(), std::this_thread::get_id());
    EXPECT_EQ(handler->SendData("late", 4), -1);
    XSocketHandler::ReleaseXSocketHandler(handler);
    EXPECT_EQ(manager_->Close(reference), -1);

    // Both peers gone: each accepted handler gets OnClose(0) and is no longer found.
    close(peer);
    for (size_t i = 0; i < 2; ++i) {
        uint32_t accepted = server->Made(i);
        EXPECT_TRUE(WaitFor([&] { return server->Ended(accepted); }));
        EXPECT_EQ(XSocketHandler::GetXSocketHandler(accepted), nullptr);
        // Writable again once after each send, not over and over while idle.
        std::string events = server->Of(accepted).events;
        EXPECT_LE(std::count(events.begin(), events.end(), kReady),
                  1 + std::count(events.begin(), events.end(), kData));
    }
    manager_->StopListening(listener);
}

TEST_F(SocketMgrTest, UnconsumedBytesComeAgainInFrontOfTheNextAndEachDeliveryIsTerminated) {
    Scenario* server = NewScenario();
    server->checkTerminated = true;
    server->consume = {3, -1, 1000};  // a part, a negative result, more than delivered
    uint16_t port;
    XSocketListener* listener = Listen(server, &port);
    int peer = PlainConnect(port);
    // The x's fill the buffer exactly; nothing follows, and they are delivered at once. The
    // y's fill the grown buffer, which then cannot grow: they are delivered all the same, and
    // the connection reads on.
    const std::string y(16384, 'y');
    const std::vector<std::string> sent = {"0123456789",           "AB",     "CD", "EF",
                                           std::string(8192, 'x'), y + "end"};
    for (size_t i = 0; i < sent.size(); ++i) {
        DebgFailAllocation(i == 5 ? 1 : 0);
        ASSERT_EQ(send(peer, sent[i].data(), sent[i].size(), 0), ssize_t(sent[i].size()));
        ASSERT_TRUE(WaitFor([&] { return server->Of(server->Made(0)).deliveries.size() > i; }));
    }
    const std::vector<std::string> delivered = {"0123456789", "3456789AB", "CD", "EF",
                                                sent[4],      y,           "end"};
    EXPECT_TRUE(WaitFor([&] { return server->Of(server->Made(0)).deliveries == delivered; }));
    Log log = server->Of(server->Made(0));
    EXPECT_TRUE(log.terminated);
    close(peer);
    manager_->StopListening(listener);
}

TEST_F(SocketMgrTest, BytesWaitingInBulkComeInBurstsOnConnectionsThatSendWithoutDelay) {
    Scenario* server = NewScenario();
    Scenario* client = NewScenario();
    uint16_t port;
    XSocketListener* listener = Listen(server, &port);
    uint32_t reference = 0;
    ASSERT_EQ(manager_->Open(kLoopback, port, false, MakeRecorder, client, &reference), 0);
    int peer = PlainConnect(port);
    ASSERT_TRUE(WaitFor([&] { return server->Made(1) != 0; }));
    for (int socket : {client->Of(reference).socket, server->Of(server->Made(0)).socket}) {
        int on = 0;
        socklen_t length = sizeof on;
        ASSERT_EQ(getsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, &length), 0);
        EXPECT_NE(on, 0);
    }
    // While the manager lock is held nothing is read, so the peer's bytes pile up in the
    // kernel; then they come in deliveries of at most 64 KiB.
    const std::string chunk(4096, 'p');
    size_t piled = 0;
    manager_->Lock();
    while (piled < (1u << 20) && send(peer, chunk.data(), chunk.size(), MSG_DONTWAIT) > 0)
        piled += chunk.size();
    manager_->Unlock();
    const uint32_t accepted = server->Made(1);
    ASSERT_TRUE(WaitFor([&] { return server->Saw(accepted, std::string(piled, 'p')); }));
    std::vector<std::string> deliveries = server->Of(accepted).deliveries;
    EXPECT_GE(deliveries.size(), piled / 65536);
    for (const std::string& delivery : deliveries)
        EXPECT_LE(delivery.size(), 65536u);
    close(peer);
    manager_->Close(reference);
    manager_->StopListening(listener);
}

TEST_F(SocketMgrTest, CloseLingersForQueuedDataAndAResetPeerEndsTheConnection) {
    constexpr size_t kQueued = 16 << 20;
    uint16_t port;
    int listening = PlainSocket(false, &port, 8, 4096);
    Scenario* client = NewScenario();
    XSocketHandler* handler = nullptr;
    int peer = -1;
    // Lets go of the last connection, opens one to a peer that does not read yet, queues
    // 16 MiB and holds a use of its handler; returns its socket.
    auto queue = [&] {
        XSocketHandler::ReleaseXSocketHandler(handler);
        if (peer >= 0)
            close(peer);
        uint32_t reference = 0;
        EXPECT_EQ(manager_->Open(kLoopback, port, false, MakeRecorder, client, &reference), 0);
        peer = accept(listening, nullptr, nullptr);
        handler = XSocketHandler::GetXSocketHandler(reference);
        for (size_t sent = 0; sent < kQueued; sent += 1 << 20)
            EXPECT_EQ(handler->SendAllocatedData(malloc(1 << 20), 1 << 20), 0);
        return client->Of(reference).socket;
    };
    queue();
    handler->Close(0);  // drops what the socket has not taken
    EXPECT_LT(Drain(peer), kQueued);

    int socket = queue();
    Clock::time_point closed = Clock::now();
    handler->Close(400);  // the socket stays open for the linger time while the peer is idle
    EXPECT_TRUE(WaitFor([&] { return fcntl(socket, F_GETFD) == -1; }));
    EXPECT_GE(Clock::now() - closed, milliseconds(390));
    EXPECT_LT(Drain(peer), kQueued);

    queue();
    handler->Close(60000);  // a reading peer gets everything, then the end, long before that
    EXPECT_EQ(Drain(peer), kQueued);

    socket = queue();
    handler->Close(60000);
    manager_->Stop();  // closes every closing socket at once
    EXPECT_EQ(fcntl(socket, F_GETFD), -1);
    manager_->Start();

    queue();
    linger reset = {1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(peer);  // a reset while the manager is sending: OnClose(0), and no SIGPIPE
    EXPECT_TRUE(WaitFor([&] { return client->Ended(handler->GetRef()); }));
    EXPECT_EQ(handler->SendData("x", 1), -1);
    XSocketHandler::ReleaseXSocketHandler(handler);
    close(listening);
}

TEST_F(SocketMgrTest, RefusedAndHangingConnectsFailWhileOtherConnectionsFlow) {
    Scenario* refused = NewScenario();
    uint16_t closedPort;
    close(PlainSocket(false, &closedPort));
    EXPECT_EQ(manager_->Open(kLoopback, closedPort, false, MakeRecorder, refused), -1);
    EXPECT_EQ(refused->Of(refused->Made(0)).events, "");  // deleted without a callback
    EXPECT_EQ(XSocketHandler::Count(), 0u);

    // A listener that never accepts, its backlog full: the connect hangs until the handler's
    // connect time-out ends it, while another connection echoes meanwhile.
    int before = OpenDescriptors();
    uint16_t stuckPort;
    int stuck = PlainSocket(false, &stuckPort, 0);
    int filler = PlainConnect(stuckPort);
    Scenario* hanging = NewScenario();
    hanging->connectTimeout = 200;
    Clock::time_point began = Clock::now();
    std::future<int32_t> result = std::async(std::launch::async, [&] {
        return manager_->Open(kLoopback, stuckPort, false, MakeRecorder, hanging);
    });
    uint16_t port;
    XSocketListener* listener = Listen(NewScenario(true), &port);
    EXPECT_TRUE(EchoThroughManager(port, "flowing"));
    EXPECT_EQ(result.get(), -1);
    // OnConnectFailed runs on the read thread, and may end after Open has returned.
    EXPECT_TRUE(WaitFor([&] { return hanging->Of(hanging->Made(0)).events == "F"; }));
    EXPECT_GE(Clock::now() - began, milliseconds(190));
    manager_->StopListening(listener);
    close(filler);
    close(stuck);
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptors() == before; }));
}

TEST_F(SocketMgrTest, UdpListenerAnswersTheSenderAndOversizedDatagramsAreDropped) {
    Scenario* serving = NewScenario(true);
    uint16_t port;
    XSocketListener* listener = Listen(serving, &port, true);
    ASSERT_NE(listener, nullptr);
    uint32_t server = serving->Made(0);
    EXPECT_EQ(serving->Of(server).events, "CW");  // before StartListening returned

    uint16_t peerPort;
    int peer = PlainSocket(true, &peerPort);
    sockaddr_in to = LoopbackAddress(port);
    auto datagram = [&](const std::string& bytes, const sockaddr_in& at) {
        sendto(peer, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&at),
               sizeof at);
    };
    datagram(std::string(9000, 'b'), to);  // too large for the listener: dropped
    datagram("hi", to);
    EXPECT_EQ(ReadSome(peer, 2), "hi");
    EXPECT_EQ(serving->Of(server).deliveries, std::vector<std::string>{"hi"});
    sockaddr_in sender;
    XSocketHandler* handler = XSocketHandler::GetXSocketHandler(server);
    ASSERT_EQ(handler->GetRemoteAddress(&sender), 0);
    EXPECT_EQ(ntohs(sender.sin_port), peerPort);
    EXPECT_EQ(handler->GetRemoteAddress(nullptr), -1);
    XSocketHandler::ReleaseXSocketHandler(handler);
    Send(server, std::string(8193, 'x'));  // too large to send: dropped
    Send(server, "");                      // empty, yet a datagram that goes out
    Send(server, std::string(8192, 'y'));
    EXPECT_EQ(ReadSome(peer, 1), "");
    EXPECT_EQ(ReadSome(peer, 8192), std::string(8192, 'y'));

    // A UDP Open without a default destination sends where it is told and reads replies.
    Scenario* opened = NewScenario();
    uint32_t reference = 0;
    ASSERT_EQ(manager_->Open(0u, 0, true, MakeRecorder, opened, &reference), 0);
    EXPECT_EQ(opened->Of(reference).events, "CW");
    EXPECT_EQ(Send(reference, "yo", &to), 0);
    EXPECT_TRUE(WaitFor([&] { return opened->Saw(reference, "yo"); }));
    // A datagram larger than its receive room disconnects it.
    datagram(std::string(9000, 'z'), LoopbackAddress(PortOf(opened->Of(reference).socket)));
    EXPECT_TRUE(WaitFor([&] { return opened->Ended(reference); }));

    // The host closes the listener's handler: nothing is delivered after OnClose, and
    // StopListening still ends the listener.
    EXPECT_EQ(manager_->Close(server), 0);
    datagram("late", to);
    std::this_thread::sleep_for(milliseconds(50));
    std::string events = serving->Of(server).events;
    EXPECT_EQ(events.back(), kClose) << events;
    manager_->StopListening(listener);
    close(peer);
}

void StopCurrentManager(int32_t, void* stopped, void*, void*, void*) {
    XSocketMgr::Current()->Stop();
    static_cast<std::atomic<bool>*>(stopped)->store(true);
}

TEST_F(SocketMgrTest, StopFromASoftSignalOrFromOnDataReceivedEndsTheRunAndStartResumes) {
    Scenario* server = NewScenario(true);
    uint16_t port;
    XSocketListener* listener = Listen(server, &port);
    int peer = PlainConnect(port);
    ASSERT_TRUE(WaitFor([&] { return server->Made(0) != 0; }));
    std::atomic<bool> stopped{false};
    manager_->SignalManager()->Post(0, StopCurrentManager, &stopped, nullptr, nullptr, nullptr);
    ASSERT_TRUE(WaitFor([&] { return stopped.load(); }));
    EXPECT_TRUE(server->Ended(server->Made(0)));  // Stop disconnected it
    close(peer);
    manager_->Start();  // joins the threads the callback's Stop left ending
    EXPECT_TRUE(EchoThroughPeer(port, "resumed"));

    server->SetOnData([] { XSocketMgr::Current()->Stop(); });
    peer = PlainConnect(port, "x");
    ASSERT_TRUE(WaitFor([&] { return server->Ended(server->Made(2)); }));
    Log stopping = server->Of(server->Made(2));
    EXPECT_EQ(stopping.events, "CWDX");
    EXPECT_EQ(stopping.threads.front(), stopping.threads.back());  // all on the read thread
    close(peer);
    server->SetOnData(nullptr);
    manager_->Start();
    EXPECT_TRUE(EchoThroughManager(port, "again"));
    manager_->StopListening(listener);
}

TEST_F(SocketMgrTest, DescriptorsAbove1023CarryTraffic) {
    rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < 1100)
        GTEST_SKIP() << "the descriptor limit is " << limit.rlim_max;
    rlimit raised = limit;
    raised.rlim_cur = std::min<rlim_t>(limit.rlim_max, 2048);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    std::vector<int> fillers = {open("/dev/null", O_RDONLY)};
    while (fillers.back() >= 0 && fillers.back() < 1100)
        fillers.push_back(dup(fillers.front()));
    ASSERT_GE(fillers.back(), 1100);

    Scenario* server = NewScenario(true);
    uint16_t port;
    XSocketListener* listener = Listen(server, &port);
    EXPECT_TRUE(EchoThroughPeer(port, "high"));
    EXPECT_TRUE(EchoThroughManager(port, "higher"));
    EXPECT_GT(server->Of(server->Made(0)).socket, 1023);
    EXPECT_GT(scenarios_.back().Of(scenarios_.back().Made(0)).socket, 1023);
    manager_->StopListening(listener);
    for (int fd : fillers)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &limit);
}

TEST_F(SocketMgrTest, ThousandConnectionsFromFourThreadsLeaveNoHandlerAndNoDescriptor) {
    int afterStart = OpenDescriptors();
    Scenario* server = NewScenario(true);
    // Each echo closes its end while the client closes its own.
    server->behaviour.closeLinger = 1000;
    uint16_t port;
    XSocketListener* listener = Listen(server, &port);
    std::vector<Scenario*> clients = {NewScenario(), NewScenario(), NewScenario(), NewScenario()};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (Scenario* client : clients) {
        threads.emplace_back([&, client] {
            for (int done = 0; done < 250; done += 4) {  // at most 4 open at a time
                uint32_t references[4] = {};
                for (uint32_t& reference : references) {
                    failures += manager_->Open(kLoopback, port, false, MakeRecorder, client,
                                               &reference) != 0 ||
                                Send(reference, "c") != 0;
                }
                for (uint32_t reference : references) {
                    if (!WaitFor([&] { return client->Saw(reference, "c"); }))
                        ++failures;
                    manager_->Close(reference);
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    manager_->StopListening(listener);
    EXPECT_TRUE(
        WaitFor([&] { return XSocketHandler::Count() == 0 && OpenDescriptors() == afterStart; }));
    for (Scenario* client : clients)
        EXPECT_TRUE(client->EachEndedOnce());
    EXPECT_TRUE(server->EachEndedOnce());
}

TEST_F(SocketMgrTest, RefusingFactoriesBadArgumentsAndAddresses) {
    int before = OpenDescriptors();
    Scenario* refusing = NewScenario(true);
    refusing->refuse = 2;
    uint16_t port;
    EXPECT_EQ(Listen(refusing, &port, true), nullptr);
    int plain = PlainSocket(false, &port);
    EXPECT_EQ(manager_->Open(kLoopback, port, false, MakeRecorder, refusing), -1);
    close(plain);
    EXPECT_EQ(OpenDescriptors(), before);

    // The first accepted connection is refused and closed; the next one is served.
    refusing->refuse = 1;
    XSocketListener* listener = Listen(refusing, &port);
    int first = PlainConnect(port);
    EXPECT_EQ(Drain(first), 0u);
    close(first);
    EXPECT_TRUE(EchoThroughPeer(port, "next"));
    EXPECT_EQ(manager_->StartListening(port, false, MakeRecorder, refusing), nullptr);
    EXPECT_EQ(manager_->Open(0u, port, false, MakeRecorder, refusing), -1);
    EXPECT_EQ(manager_->Open("1.2.3.x", port, false, MakeRecorder, refusing), -1);
    EXPECT_EQ(manager_->Close(0x7FFF1234), -1);
    EXPECT_EQ(manager_->StartListening(0, false, nullptr, nullptr), nullptr);
    EXPECT_EQ(manager_->Open(kLoopback, port, false, nullptr, nullptr), -1);
    manager_->StopListening(listener);
}

TEST(SocketMgrWithoutThreads, AddressesResolveWithoutANameServerAndDisposeClosesWhatInitOpened) {
    int before = OpenDescriptors();
    XSocketMgr::Init();
    EXPECT_EQ(XSocketMgr::ResolveAddress(nullptr), 0u);
    EXPECT_EQ(XSocketMgr::ResolveAddress("127.0.0.1"), kLoopback);
    EXPECT_EQ(XSocketMgr::ResolveAddress("localhost"), kLoopback);
    EXPECT_EQ(XSocketMgr::ResolveAddress("1.2.3.x"), INADDR_NONE);
    EXPECT_STREQ(XSocketMgr::IPString(kLoopback), "127.0.0.1");
    // Once looked up, the local address's text is known: a second lookup allocates nothing.
    const std::string local = XSocketMgr::IPString(XSocketMgr::GetCurrentIP());
    for (uint32_t nth : {0u, 1u}) {
        DebgFailAllocation(nth);
        EXPECT_EQ(XSocketMgr::ResolveAddress(local.c_str()), XSocketMgr::GetCurrentIP());
        EXPECT_EQ(DebgPendingAllocationFailure(), nth);
    }
    DebgFailAllocation(0);
    XSocketMgr::Dispose();
    EXPECT_EQ(OpenDescriptors(), before);  // the manager's own are closed
}

}  // namespace
