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
        // Deleted right after its OnClose returns.
        EXPECT_TRUE(WaitFor([&] {
            XSocketHandler* found = XSocketHandler::GetXSocketHandler(accepted);
            XSocketHandler::ReleaseXSocketHandler(found);
            return found == nullptr;
        }));
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
    // Whenever queued data is dropped, the peer gets a reset, not an end of stream that
    // would pass for a complete one.
    End end = End::kOpen;
    queue();
    handler->Close(0);  // drops what the socket has not taken
    EXPECT_LT(Drain(peer, &end), kQueued);
    EXPECT_EQ(end, End::kReset);

    int socket = queue();
    Clock::time_point closed = Clock::now();
    handler->Close(400);  // the socket stays open for the linger time while the peer is idle
    EXPECT_TRUE(WaitFor([&] { return fcntl(socket, F_GETFD) == -1; }));
    EXPECT_GE(Clock::now() - closed, milliseconds(390));
    EXPECT_LT(Drain(peer, &end), kQueued);
    EXPECT_EQ(end, End::kReset);

    queue();
    handler->Close(60000);  // a reading peer gets everything, then the end, long before that
    EXPECT_EQ(Drain(peer, &end), kQueued);
    EXPECT_EQ(end, End::kFin);

    socket = queue();
    handler->Close(60000);
    manager_->Stop();  // closes every closing socket at once
    EXPECT_EQ(fcntl(socket, F_GETFD), -1);
    EXPECT_LT(Drain(peer, &end), kQueued);
    EXPECT_EQ(end, End::kReset);
    manager_->Start();

    // A peer that sends a request and then ends its side still gets every reply queued
    // before the end was read, and OnClose comes at once, not after the replies.
    Scenario* echo = NewScenario(true);
    uint16_t echoPort;
    XSocketListener* listener = Listen(echo, &echoPort);
    const std::string request(100000, 'q');
    int asker = PlainConnect(echoPort, request, 4096);
    shutdown(asker, SHUT_WR);
    EXPECT_TRUE(WaitFor([&] { return echo->Ended(echo->Made(0)); }));
    EXPECT_EQ(ReadSome(asker, SIZE_MAX, &end), request);
    EXPECT_EQ(end, End::kFin);
    close(asker);
    manager_->StopListening(listener);

    queue();
    linger reset = {1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(peer);  // a reset while the manager is sending: OnClose(0), and no SIGPIPE
    EXPECT_TRUE(WaitFor([&] { return client->Ended(handler->GetRef()); }));
    EXPECT_EQ(handler->SendData("x", 1), -1);
    XSocketHandler::ReleaseXSocketHandler(handler);
    close(listening);
}

// An Open to be made from a soft signal, on the read thread, and what became of it.
struct TimedOpen {
    uint16_t port;
    Scenario* scenario;
    std::atomic<int32_t> result{1};
    std::atomic<int64_t> millis{0};
};

void OpenAndTime(int32_t, void* open, void*, void*, void*) {
    TimedOpen* timed = static_cast<TimedOpen*>(open);
    Clock::time_point began = Clock::now();
    int32_t result =
        XSocketMgr::Current()->Open(kLoopback, timed->port, false, MakeRecorder, timed->scenario);
    timed->millis = std::chrono::duration_cast<milliseconds>(Clock::now() - began).count();
    timed->result = result;
}

TEST_F(SocketMgrTest, RefusedAndHangingConnectsFailWhileOtherConnectionsFlow) {
    Scenario* refused = NewScenario();
    // A port held by a socket that is bound but does not listen: a connect to it is refused,
    // and no other socket can take the port meanwhile.
    const int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = LoopbackAddress(0);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(manager_->Open(kLoopback, PortOf(holder), false, MakeRecorder, refused), -1);
    close(holder);
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

    // The same connect made on the read thread, where no soft signal fires while it waits:
    // Open ends it itself once the time-out is due, long before the system would give up on
    // it (about two minutes).
    Scenario* onReadThread = NewScenario();
    onReadThread->connectTimeout = 300;
    TimedOpen timed{stuckPort, onReadThread};
    manager_->SignalManager()->Post(0, OpenAndTime, &timed, nullptr, nullptr, nullptr);
    ASSERT_TRUE(WaitFor([&] { return timed.result.load() != 1; }));
    EXPECT_EQ(timed.result.load(), -1);
    EXPECT_GE(timed.millis.load(), 290);
    EXPECT_TRUE(WaitFor([&] { return onReadThread->Of(onReadThread->Made(0)).events == "F"; }));
    manager_->StopListening(listener);
    close(filler);
    close(stuck);
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptors() == before; }));
}

// A UDP datagram from source port 0 to `port` on loopback, through a raw socket; false
// when the process may not open one.
bool SendFromPortZero(uint16_t port, const std::string& payload) {
    int raw = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
    if (raw < 0)
        return false;
    // The UDP header (source port 0, no checksum), then the payload.
    std::string packet(8, '\0');
    uint16_t header[4] = {0, htons(port), htons(uint16_t(8 + payload.size())), 0};
    memcpy(&packet[0], header, sizeof header);
    packet += payload;
    sockaddr_in to = LoopbackAddress(port);
    bool sent = sendto(raw, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof to) == ssize_t(packet.size());
    close(raw);
    return sent;
}

TEST_F(SocketMgrTest, UdpHandlersOutliveBadDatagramsAndDeliverEachDatagramAlone) {
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
    // A datagram too large for the listener is dropped. The echo of one from a sender
    // claiming port 0 (where the process may forge one) is refused (EINVAL) and dropped, and
    // the listener serves on.
    datagram(std::string(9000, 'b'), to);
    const bool forged = SendFromPortZero(port, "zero");
    datagram("hi", to);
    EXPECT_EQ(ReadSome(peer, 2), "hi");
    const std::vector<std::string> served = {"zero", "hi"};
    EXPECT_EQ(serving->Of(server).deliveries,
              std::vector<std::string>(served.begin() + (forged ? 0 : 1), served.end()));
    sockaddr_in sender;
    XSocketHandler* handler = XSocketHandler::GetXSocketHandler(server);
    ASSERT_EQ(handler->GetRemoteAddress(&sender), 0);
    EXPECT_EQ(ntohs(sender.sin_port), peerPort);
    EXPECT_EQ(handler->GetRemoteAddress(nullptr), -1);
    XSocketHandler::ReleaseXSocketHandler(handler);

    // So is a datagram sent to port 0 and one too large to send; an empty and a full one go.
    sockaddr_in portZero = LoopbackAddress(0);
    EXPECT_EQ(Send(server, "void", &portZero), 0);
    Send(server, std::string(8193, 'x'));
    Send(server, "");
    Send(server, std::string(8192, 'y'));
    EXPECT_EQ(ReadSome(peer, 1), "");
    EXPECT_TRUE(ReadSome(peer, 8192) == std::string(8192, 'y'));
    datagram("still", to);
    EXPECT_EQ(ReadSome(peer, 5), "still");
    EXPECT_FALSE(serving->Ended(server));

    // An opened UDP handler gets one datagram per delivery, never more than 8192 bytes, even
    // when datagrams wait together; the unconsumed part of one is not kept for the next, and
    // datagrams over the limit are dropped without ending the handler.
    Scenario* opened = NewScenario();
    uint32_t reference = 0;
    ASSERT_EQ(manager_->Open(0u, 0, true, MakeRecorder, opened, &reference), 0);
    EXPECT_EQ(opened->Of(reference).events, "CW");
    EXPECT_EQ(Send(reference, "yo", &to), 0);
    EXPECT_TRUE(WaitFor([&] { return opened->Saw(reference, "yo"); }));
    const sockaddr_in openedAt = LoopbackAddress(PortOf(opened->Of(reference).socket));
    opened->consume = {3};
    std::vector<std::string> expected = {"yo"};
    manager_->Lock();  // nothing is read meanwhile
    for (size_t size : {8192, 100, 9000, 16384, 8192, 32768, 1}) {
        const std::string bytes(size, char('a' + size % 26));
        datagram(bytes, openedAt);
        if (size <= 8192)
            expected.push_back(bytes);
    }
    manager_->Unlock();
    EXPECT_TRUE(WaitFor([&] { return opened->Of(reference).deliveries == expected; }));
    EXPECT_FALSE(opened->Ended(reference));

    // A Close from another thread while a delivery runs waits for it to return; nothing is
    // delivered after OnClose.
    std::atomic<int> stage{0};
    serving->SetOnData([&] {
        stage = 1;
        std::this_thread::sleep_for(milliseconds(200));
        stage = 2;
    });
    datagram("slow", to);
    ASSERT_TRUE(WaitFor([&] { return stage.load() == 1; }));
    EXPECT_EQ(manager_->Close(server), 0);
    EXPECT_EQ(stage.load(), 2);
    serving->SetOnData(nullptr);
    datagram("late", to);
    std::this_thread::sleep_for(milliseconds(50));
    std::string events = serving->Of(server).events;
    EXPECT_EQ(events.find(kClose), events.size() - 1) << events;
    manager_->StopListening(listener);

    // The same Close from a callback under the manager lock, which the delivery might need,
    // does not wait: the listener's thread calls OnClose once the delivery has returned. The
    // delivery returns only after that Close has; one that waited for it would stall both.
    Scenario* slow = NewScenario();
    listener = Listen(slow, &port, true);
    uint32_t slowServer = slow->Made(0);
    std::atomic<bool> closeReturned{false};
    slow->SetOnData([&] {
        stage = 3;
        EXPECT_TRUE(WaitFor([&] { return closeReturned.load(); }));
    });
    datagram("slow", LoopbackAddress(port));
    ASSERT_TRUE(WaitFor([&] { return stage.load() == 3; }));
    Scenario* closer = NewScenario();
    closer->SetOnData([&] {
        manager_->Close(slowServer);
        closeReturned = true;
    });
    uint16_t tcpPort;
    XSocketListener* tcp = Listen(closer, &tcpPort);
    int trigger = PlainConnect(tcpPort, "x");
    ASSERT_TRUE(WaitFor([&] { return slow->Ended(slowServer); }));
    Log closed = slow->Of(slowServer);
    EXPECT_EQ(closed.events, "CWDX");
    EXPECT_EQ(closed.threads[2], closed.threads[3]);
    close(trigger);
    manager_->StopListening(tcp);
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

    // A host that reconnects from OnClose: during the last Stop the manager no longer runs,
    // the Open fails, and the Stop ends.
    Scenario* reconnecting = NewScenario();
    std::atomic<int> attempts{0};
    reconnecting->behaviour.onClose = [&] {
        EXPECT_FALSE(manager_->IsRunning());
        EXPECT_EQ(manager_->Open(kLoopback, port, false, MakeRecorder, reconnecting), -1);
        ++attempts;
    };
    uint32_t reference = 0;
    ASSERT_EQ(manager_->Open(kLoopback, port, false, MakeRecorder, reconnecting, &reference), 0);
    ASSERT_TRUE(WaitFor([&] { return reconnecting->Of(reference).events.find(kConnect) == 0; }));
    manager_->Stop();
    EXPECT_EQ(attempts.load(), 1);
    reconnecting->behaviour.onClose = nullptr;
    manager_->Start();
    EXPECT_TRUE(manager_->IsRunning());
    manager_->StopListening(listener);
}

TEST_F(SocketMgrTest, SocketsBeyondTheSetWaitInLineAndAreServedAsRoomFrees) {
    int before = OpenDescriptors();
    Scenario* server = NewScenario(true);
    uint16_t port;
    XSocketListener* listener = Listen(server, &port);  // one of the 64 places
    // 70 clients: all are accepted and told OnConnect, the first 63 are served, the other
    // 7 wait for room.
    std::vector<int> clients;
    for (int i = 0; i < 70; ++i) {
        clients.push_back(PlainConnect(port, "?"));
        ASSERT_TRUE(WaitFor([&] { return server->Made(size_t(i)) != 0; }));
    }
    for (size_t i = 0; i < 63; ++i)
        EXPECT_EQ(ReadSome(clients[i], 1), "?");
    for (size_t i = 0; i < 70; ++i)
        EXPECT_EQ(server->Of(server->Made(i)).events.substr(0, 2), "CW");
    // A listener started now waits in line too, behind them.
    Scenario* late = NewScenario(true);
    uint16_t latePort;
    XSocketListener* lateListener = Listen(late, &latePort);
    ASSERT_NE(lateListener, nullptr);
    int lateClient = PlainConnect(latePort, "!");
    EXPECT_EQ(late->Made(0), 0u);
    // Room frees as served peers leave: their handlers go, and those in line are served in
    // the order they came: the 7 clients, the listener, then the connection it accepts.
    for (size_t i = 0; i < 9; ++i) {
        close(clients[i]);
        EXPECT_TRUE(WaitFor([&] { return server->Ended(server->Made(i)); }));
        if (i < 7) {
            EXPECT_EQ(ReadSome(clients[63 + i], 1), "?");
        } else if (i == 7) {
            EXPECT_TRUE(WaitFor([&] { return late->Made(0) != 0; }));
        }
    }
    EXPECT_EQ(ReadSome(lateClient, 1), "!");
    // Peers that leave while their sockets wait in line leave nothing behind either.
    for (size_t i = 9; i < 70; ++i)
        close(clients[i]);
    close(lateClient);
    EXPECT_TRUE(WaitFor([&] { return server->EachEndedOnce() && late->EachEndedOnce(); }));
    manager_->StopListening(lateListener);
    manager_->StopListening(listener);
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptors() == before; }));
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

// How many segments the TCP socket has sent again, a connect's SYN or SYN-ACK included.
uint32_t Retransmissions(int socket) {
    tcp_info info = {};
    socklen_t length = sizeof info;
    EXPECT_EQ(getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &length), 0);
    return info.tcpi_total_retrans;
}

TEST_F(SocketMgrTest, ConnectBurstsAndThousandConnectionsFromFourThreadsLeaveNothingBehind) {
    int afterStart = OpenDescriptors();
    Scenario* server = NewScenario(true);
    uint16_t port;
    XSocketListener* listener = Listen(server, &port);

    // A burst of 30 connects: the listener's backlog takes them all, so every one completes
    // and is accepted without its SYN, or the SYN-ACK answering it, being sent again (which
    // would hold the connect up for a second). The kernel counts those retransmissions on
    // both ends, however loaded the machine.
    std::vector<int> burst;
    const sockaddr_in to = LoopbackAddress(port);
    for (int i = 0; i < 30; ++i) {
        burst.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        connect(burst.back(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    for (int fd : burst) {
        pollfd writable = {fd, POLLOUT, 0};
        EXPECT_EQ(poll(&writable, 1, 30000), 1);
        EXPECT_EQ(Retransmissions(fd), 0u);
    }
    ASSERT_TRUE(WaitFor([&] { return server->Made(29) != 0; }));
    for (size_t i = 0; i < burst.size(); ++i)
        EXPECT_EQ(Retransmissions(server->Of(server->Made(i)).socket), 0u);
    // A host thread's Close reaches each peer as the end of its stream.
    for (size_t i = 0; i < burst.size(); ++i)
        EXPECT_EQ(manager_->Close(server->Made(i)), 0);
    for (int fd : burst) {
        End end = End::kOpen;
        EXPECT_EQ(Drain(fd, &end), 0u);
        EXPECT_EQ(end, End::kFin);
        close(fd);
    }

    // Each echo closes its end while the client closes its own.
    server->behaviour.closeLinger = 1000;
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

    // A listener on one address is reached there and not on another of this host; the port
    // is reported whether the system chose it or it was asked for.
    Scenario* local = NewScenario(true);
    listener = manager_->StartListening(kLoopback, 0, false, MakeRecorder, local, &port);
    ASSERT_NE(listener, nullptr);
    EXPECT_TRUE(EchoThroughPeer(port, "here"));
    int elsewhere = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in other = LoopbackAddress(port);
    other.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1);
    EXPECT_NE(connect(elsewhere, reinterpret_cast<sockaddr*>(&other), sizeof other), 0);
    close(elsewhere);
    manager_->StopListening(listener);
    uint16_t reported = 0;
    listener = manager_->StartListening(kLoopback, port, true, MakeRecorder, local, &reported);
    ASSERT_NE(listener, nullptr);
    EXPECT_EQ(reported, port);
    sockaddr_in bound = {};
    XSocketHandler* handler = XSocketHandler::GetXSocketHandler(local->made.back());
    handler->GetRemoteAddress(&bound);
    XSocketHandler::ReleaseXSocketHandler(handler);
    EXPECT_EQ(bound.sin_addr.s_addr, kLoopback);  // what the factory was given
    EXPECT_EQ(ntohs(bound.sin_port), port);
    manager_->StopListening(listener);
    EXPECT_EQ(manager_->StartListening(inet_addr("192.0.2.1"), 0, false, MakeRecorder, local),
              nullptr);
}

TEST(SocketMgrWithoutThreads, OpenNeedsARunningManagerAndTheLastDisposeReleasesWhatIsLeft) {
    int before = OpenDescriptors();
    XSocketMgr::Init();
    XSocketMgr* manager = XSocketMgr::Current();
    Scenario scenario;
    EXPECT_FALSE(manager->IsRunning());
    EXPECT_EQ(manager->Open(0u, 0, true, MakeRecorder, &scenario), -1);  // nothing would serve it
    EXPECT_EQ(XSocketHandler::Count(), 0u);
    manager->Start();
    EXPECT_TRUE(manager->IsRunning());
    // Listeners, a connection at both ends and queued data, all left to the last Dispose,
    // without StopListening or Stop: every handler is told and goes, every socket closes.
    uint16_t port = 0;
    ASSERT_NE(manager->StartListening(0, true, MakeRecorder, &scenario), nullptr);
    ASSERT_NE(manager->StartListening(0, false, MakeRecorder, &scenario, &port), nullptr);
    uint32_t reference = 0;
    ASSERT_EQ(manager->Open(kLoopback, port, false, MakeRecorder, &scenario, &reference), 0);
    ASSERT_TRUE(WaitFor([&] { return scenario.Made(2) != 0; }));
    XSocketHandler* handler = XSocketHandler::GetXSocketHandler(reference);
    handler->SendAllocatedData(malloc(1 << 20), 1 << 20);
    XSocketHandler::ReleaseXSocketHandler(handler);
    XSocketMgr::Dispose();
    EXPECT_EQ(XSocketMgr::Current(), nullptr);
    EXPECT_EQ(XSocketHandler::Count(), 0u);
    EXPECT_TRUE(scenario.EachEndedOnce());
    EXPECT_EQ(OpenDescriptors(), before);
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
