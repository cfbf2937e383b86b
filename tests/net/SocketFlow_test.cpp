// SPDX-License-Identifier: MIT
// Flow control, sends from many threads, and many sockets at once: the manager keeps its
// memory bounded against floods and slow peers, keeps each sender's bytes in order whether
// they leave at once or queued, and serves a thousand connections when its limit is raised.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

#include "NetTestKit.h"

namespace {

using namespace nettest;

constexpr uint32_t kMiB = 1 << 20;

// The byte at offset `at` of the streams the volume tests send.
char PatternByte(uint64_t at) {
    return static_cast<char>(at % 251);
}

// What a Meter handler does and saw: it sets `limit` as its receive limit and consumes up
// to `take` bytes of each delivery, checking them against the pattern.
struct Metering {
    uint32_t limit = 0;
    std::atomic<uint32_t> take{0};
    std::atomic<uint32_t> reference{0};
    std::atomic<uint64_t> consumed{0};
    std::atomic<uint64_t> deliveries{0};
    std::atomic<uint32_t> largest{0};
    std::atomic<bool> garbled{false};
};

class Meter : public XSocketHandler {
  public:
    Meter(sockaddr_in* address, int socket, bool udp, void* metering)
        : XSocketHandler(address, socket, udp, metering),
          metering_(static_cast<Metering*>(metering)) {
        SetReceiveLimit(metering_->limit);
        metering_->reference = GetRef();
        // A small window, so that the peer is held back soon after the handler stops reading.
        int window = 65536;
        setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    }

  private:
    uint32_t OnDataReceived(void* data, uint32_t size, sockaddr_in*) override {
        const char* bytes = static_cast<const char*>(data);
        uint32_t take = std::min(size, metering_->take.load());
        uint64_t at = metering_->consumed;
        for (uint32_t i = 0; i < take; ++i)
            metering_->garbled = metering_->garbled || bytes[i] != PatternByte(at + i);
        metering_->consumed += take;
        ++metering_->deliveries;
        metering_->largest = std::max(metering_->largest.load(), size);
        return take;
    }

    Metering* metering_;
};

XSocketHandler* MakeMeter(sockaddr_in* address, int socket, bool udp, void* metering) {
    return new Meter(address, socket, udp, metering);
}

// Sends the pattern from *sent on until `total`, or until the peer has been held back for
// `patience` milliseconds.
void SendPattern(int fd, uint64_t* sent, uint64_t total, int patience) {
    char chunk[65536];
    while (*sent < total) {
        size_t size = static_cast<size_t>(std::min<uint64_t>(sizeof chunk, total - *sent));
        for (size_t i = 0; i < size; ++i)
            chunk[i] = PatternByte(*sent + i);
        ssize_t taken = send(fd, chunk, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (taken > 0) {
            *sent += static_cast<uint64_t>(taken);
            continue;
        }
        pollfd writable = {fd, POLLOUT, 0};
        if (poll(&writable, 1, patience) == 0)
            return;
    }
}

TEST_F(SocketMgrTest, FloodsAndSlowConsumersStayWithinTheReceiveLimit) {
    Metering metering;
    metering.limit = kMiB;
    uint16_t port = 0;
    XSocketListener* listener = manager_->StartListening(0, false, MakeMeter, &metering, &port);
    const size_t before = ResidentBytes();
    int peer = PlainConnect(port);
    const uint64_t total = 32 * kMiB;
    uint64_t sent = 0;
    // A flood at a handler that consumes nothing: the manager reads up to the limit, never a
    // byte more, and stops; the peer is held back.
    while (metering.largest < metering.limit && sent < total)
        SendPattern(peer, &sent, total, 100);
    SendPattern(peer, &sent, total, 300);
    EXPECT_EQ(metering.largest.load(), metering.limit);
    EXPECT_LT(sent, total);
    if (kResidentSizeTells) {
        EXPECT_LT(ResidentBytes() - before, 8 * kMiB);
    }
    // Its last offer consumed nothing: it is not offered again (the read thread has served
    // another connection since) until ResumeReading.
    const uint64_t offers = metering.deliveries;
    uint16_t echoPort;
    XSocketListener* echo = Listen(NewScenario(true), &echoPort);
    EXPECT_TRUE(EchoThroughPeer(echoPort, "pass"));
    EXPECT_EQ(metering.deliveries.load(), offers);

    // A consumer of 4 KiB a delivery makes its way through the rest, in order, each kept
    // byte offered again at no more cost than the bytes consumed, the memory bounded. Under
    // the limit, kept bytes wait for the next arrival; once the stream has all come, the
    // consumer takes everything and ResumeReading offers what was kept.
    metering.take = 4096;
    XSocketHandler* handler = XSocketHandler::GetXSocketHandler(metering.reference);
    ASSERT_NE(handler, nullptr);
    handler->ResumeReading();
    while (sent < total)
        SendPattern(peer, &sent, total, 1000);
    metering.take = UINT32_MAX;
    handler->ResumeReading();
    EXPECT_TRUE(WaitFor([&] { return metering.consumed.load() == total; }));
    EXPECT_FALSE(metering.garbled.load());
    EXPECT_EQ(metering.largest.load(), metering.limit);
    if (kResidentSizeTells) {
        EXPECT_LT(ResidentBytes() - before, 8 * kMiB);
    }
    XSocketHandler::ReleaseXSocketHandler(handler);
    close(peer);
    manager_->StopListening(echo);
    manager_->StopListening(listener);
}

TEST_F(SocketMgrTest, PausedReadingLeavesBytesWaitingAndResumingOffersKeptBytes) {
    Scenario* server = NewScenario();
    server->consume = {3};
    uint16_t port;
    XSocketListener* listener = Listen(server, &port);
    int peer = PlainConnect(port, "0123456789");
    ASSERT_TRUE(WaitFor([&] { return server->Saw(server->Made(0), "0123456789"); }));
    const uint32_t accepted = server->Made(0);
    XSocketHandler* handler = XSocketHandler::GetXSocketHandler(accepted);
    handler->PauseReading();
    // Paused: new bytes wait in the system, and none is delivered, though the read thread
    // has served another connection since.
    ASSERT_EQ(send(peer, "AB", 2, 0), 2);
    const int socket = server->Of(accepted).socket;
    EXPECT_TRUE(WaitFor([&] {
        int waiting = 0;
        return ioctl(socket, FIONREAD, &waiting) == 0 && waiting == 2;
    }));
    uint16_t echoPort;
    XSocketListener* echo = Listen(NewScenario(true), &echoPort);
    EXPECT_TRUE(EchoThroughPeer(echoPort, "pass"));
    EXPECT_EQ(server->Of(accepted).deliveries.size(), 1u);
    // Resumed: the 7 kept bytes come again, then or with the new ones.
    handler->ResumeReading();
    EXPECT_TRUE(WaitFor([&] { return server->Saw(accepted, "01234567893456789AB"); }));
    // Kept bytes come again on resuming even when nothing new arrives.
    {
        std::lock_guard<std::mutex> hold(server->mutex);
        server->consume = {1};
    }
    ASSERT_EQ(send(peer, "xyz", 3, 0), 3);
    ASSERT_TRUE(WaitFor([&] { return server->Of(accepted).deliveries.back() == "xyz"; }));
    handler->ResumeReading();
    EXPECT_TRUE(WaitFor([&] { return server->Of(accepted).deliveries.back() == "yz"; }));
    XSocketHandler::ReleaseXSocketHandler(handler);

    // UDP: a paused listener's handler leaves datagrams waiting, and its receive limit drops
    // the longer ones; so does an opened UDP handler's.
    Scenario* udp = NewScenario();
    uint16_t udpPort;
    XSocketListener* udpListener = Listen(udp, &udpPort, true);
    uint32_t opened = 0;
    ASSERT_EQ(manager_->Open(0u, 0, true, MakeRecorder, udp, &opened), 0);
    const sockaddr_in targets[] = {LoopbackAddress(udpPort),
                                   LoopbackAddress(PortOf(udp->Of(opened).socket))};
    for (uint32_t reference : {udp->Made(0), opened}) {
        XSocketHandler* receiver = XSocketHandler::GetXSocketHandler(reference);
        receiver->SetReceiveLimit(4);
        receiver->PauseReading();
        XSocketHandler::ReleaseXSocketHandler(receiver);
    }
    uint16_t senderPort;
    int sender = PlainSocket(true, &senderPort);
    for (const sockaddr_in& to : targets) {
        for (const char* datagram : {"long!", "ok"})
            sendto(sender, datagram, strlen(datagram), 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to);
    }
    for (uint32_t reference : {udp->Made(0), opened}) {
        EXPECT_TRUE(WaitFor([&] {
            int waiting = 0;
            return ioctl(udp->Of(reference).socket, FIONREAD, &waiting) == 0 && waiting > 0;
        }));
        XSocketHandler* receiver = XSocketHandler::GetXSocketHandler(reference);
        receiver->ResumeReading();
        XSocketHandler::ReleaseXSocketHandler(receiver);
        EXPECT_TRUE(WaitFor([&] { return udp->Saw(reference, "ok"); }));
        EXPECT_EQ(udp->Of(reference).deliveries, std::vector<std::string>{"ok"});
    }
    close(sender);
    close(peer);
    manager_->Close(opened);
    manager_->StopListening(udpListener);
    manager_->StopListening(echo);
    manager_->StopListening(listener);
}

TEST_F(SocketMgrTest, SendsFromManyThreadsKeepTheirOrderWhetherSentAtOnceOrQueued) {
    uint16_t port;
    int listening = PlainSocket(false, &port, 8, 4096);
    Scenario* client = NewScenario();
    uint32_t reference = 0;
    ASSERT_EQ(manager_->Open(kLoopback, port, false, MakeRecorder, client, &reference), 0);
    int peer = accept(listening, nullptr, nullptr);
    XSocketHandler* handler = XSocketHandler::GetXSocketHandler(reference);
    ASSERT_TRUE(
        WaitFor([&] { return client->Of(reference).events.find(kReady) != std::string::npos; }));

    // Records of 7 to 1,506 bytes: sender, sequence number, length, then the pattern.
    constexpr uint8_t kSenders = 4;
    constexpr uint32_t kRecords = 1500;
    auto length = [](uint32_t sequence) { return uint16_t(sequence * 37 % 1500); };
    size_t total = 0;
    for (uint32_t sequence = 0; sequence < kRecords; ++sequence)
        total += kSenders * (7u + length(sequence));
    const size_t before = ResidentBytes();
    std::atomic<int> atOnce{0}, queued{0};
    std::vector<std::thread> senders;
    for (uint8_t id = 0; id < kSenders; ++id) {
        senders.emplace_back([&, id] {
            for (uint32_t sequence = 0; sequence < kRecords; ++sequence) {
                // A host that lets at most a megabyte wait for a slow reader.
                while (handler->QueuedBytes() > kMiB)
                    std::this_thread::sleep_for(milliseconds(1));
                std::string record(7u + length(sequence), '\0');
                record[0] = char(id);
                memcpy(&record[1], &sequence, 4);
                for (size_t i = 7; i < record.size(); ++i)
                    record[i] = PatternByte(id + sequence + i);
                uint16_t size = length(sequence);
                memcpy(&record[5], &size, 2);
                if (sequence % 2 == 0) {
                    EXPECT_EQ(handler->SendData(&record[0], uint32_t(record.size())), 0);
                } else {
                    void* block = malloc(record.size());
                    memcpy(block, record.data(), record.size());
                    EXPECT_EQ(handler->SendAllocatedData(block, uint32_t(record.size())), 0);
                }
                ++(handler->QueuedBytes() == 0 ? atOnce : queued);
            }
        });
    }
    // The peer reads nothing until a megabyte waits; the memory is bounded meanwhile.
    EXPECT_TRUE(WaitFor([&] { return handler->QueuedBytes() >= kMiB; }));
    if (kResidentSizeTells) {
        EXPECT_LT(ResidentBytes() - before, 8 * kMiB);
    }
    const std::string stream = ReadSome(peer, total);
    for (std::thread& sender : senders)
        sender.join();
    ASSERT_EQ(stream.size(), total);
    uint32_t next[kSenders] = {};
    for (size_t at = 0; at < stream.size();) {
        uint8_t id = uint8_t(stream[at]);
        uint32_t sequence = 0;
        uint16_t size = 0;
        memcpy(&sequence, &stream[at + 1], 4);
        memcpy(&size, &stream[at + 5], 2);
        ASSERT_LT(id, kSenders);
        ASSERT_EQ(sequence, next[id]++);
        for (size_t i = 7; i < 7u + size; ++i)
            ASSERT_EQ(stream[at + i], PatternByte(id + sequence + i)) << at;
        at += 7u + size;
    }
    EXPECT_GT(atOnce.load(), 0);
    EXPECT_GT(queued.load(), 0);
    EXPECT_TRUE(WaitFor([&] { return handler->QueuedBytes() == 0 && handler->ReadyToSend(); }));

    // A send from this thread is followed by OnReadyToWrite; what is given while the handler
    // waits is queued, and the write thread, finding the handler's lock held by the host,
    // tries again until it is let go.
    auto readies = [&] {
        std::string events = client->Of(reference).events;
        return std::count(events.begin(), events.end(), kReady);
    };
    const auto readiesBefore = readies();
    manager_->Lock();  // the write thread cannot end the wait meanwhile
    handler->Lock();
    EXPECT_EQ(handler->SendData(const_cast<char*>("held"), 4), 0);  // at once, or queued
    EXPECT_EQ(handler->SendData(const_cast<char*>("back"), 4), 0);  // queued behind a wait
    EXPECT_FALSE(handler->ReadyToSend());
    manager_->Unlock();
    EXPECT_TRUE(WaitFor([&] { return readies() > readiesBefore; }));
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_FALSE(handler->ReadyToSend());
    handler->Unlock();
    EXPECT_EQ(ReadSome(peer, 8), "heldback");
    // Every OnReadyToWrite came on the write thread, after waiting, as OnConnect did.
    Log log = client->Of(reference);
    for (size_t i = 0; i < log.events.size(); ++i) {
        if (log.events[i] == kReady) {
            EXPECT_EQ(log.threads[i], log.threads[log.events.find(kConnect)]);
        }
    }
    handler->Close(0);
    XSocketHandler::ReleaseXSocketHandler(handler);
    close(peer);
    close(listening);
}

TEST_F(SocketMgrTest, HandlersBeyondAFullWriteWaitSetAreStillToldTheyAreWritable) {
    // UDP listeners' handlers are in no read set: a limit of 2 bounds only the handlers
    // watched for writability.
    XSocketMgr::SetSocketLimit(2);
    Scenario* echoes = NewScenario(true);
    std::vector<XSocketListener*> listeners;
    std::vector<sockaddr_in> targets;
    for (int i = 0; i < 6; ++i) {
        uint16_t port;
        listeners.push_back(Listen(echoes, &port, true));
        targets.push_back(LoopbackAddress(port));
    }
    uint16_t senderPort;
    int sender = PlainSocket(true, &senderPort);
    // Each echoes at once (its thread needs no manager lock) and waits; while the write
    // thread is held up, two wait in the set and four find it full. Those are looked at by
    // the write thread instead.
    manager_->Lock();
    for (const sockaddr_in& to : targets)
        sendto(sender, "e", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    EXPECT_EQ(ReadSome(sender, 6), "eeeeee");
    manager_->Unlock();
    for (size_t i = 0; i < listeners.size(); ++i)
        EXPECT_TRUE(WaitFor([&] { return echoes->Of(echoes->Made(i)).events == "CWDW"; }));
    XSocketMgr::SetSocketLimit(XSocketMgr::kDefaultSocketLimit);
    for (XSocketListener* listener : listeners)
        manager_->StopListening(listener);
    close(sender);
}

TEST_F(SocketMgrTest, ARaisedSocketLimitServesAThousandConnectionsAtOnce) {
    constexpr rlim_t kDescriptors = 2200;  // both ends of 1,000 connections, and spare
    rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < kDescriptors)
        GTEST_SKIP() << "the hard limit on open descriptors (RLIMIT_NOFILE) is " << limit.rlim_max
                     << ", below the " << kDescriptors << " that 1,000 connections need here";
    rlimit raised = limit;
    raised.rlim_cur = std::max(limit.rlim_cur, kDescriptors);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    Scenario* server = NewScenario(true);
    uint16_t port;
    XSocketListener* listener = Listen(server, &port);
    std::vector<int> clients;
    for (int i = 0; i < 1000; ++i)
        clients.push_back(PlainConnect(port, "?"));
    // Under the default limit the listener and 63 connections are watched, the rest wait.
    for (size_t i = 0; i < 63; ++i)
        EXPECT_EQ(ReadSome(clients[i], 1), "?");
    // Without a limit, every one of them is served while all stay connected.
    XSocketMgr::SetSocketLimit(0);
    for (size_t i = 63; i < clients.size(); ++i)
        EXPECT_EQ(ReadSome(clients[i], 1), "?");
    XSocketMgr::SetSocketLimit(XSocketMgr::kDefaultSocketLimit);
    for (int fd : clients)
        close(fd);
    EXPECT_TRUE(WaitFor([&] { return server->Made(999) != 0 && server->EachEndedOnce(); }));
    manager_->StopListening(listener);
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace
