// SPDX-License-Identifier: MIT
// Shared pieces of the network tests: a handler that records what it sees, its factory,
// plain POSIX peers, and a wait for conditions.
#ifndef BRINDLE_TESTS_NET_NETTESTKIT_H_
#define BRINDLE_TESTS_NET_NETTESTKIT_H_

#include <arpa/inet.h>
#include <brindle/Debg.h>
#include <brindle/brindle.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Polls until the condition holds or `limit` has passed; true when it held.
template <class Condition>
bool WaitFor(Condition condition, milliseconds limit = milliseconds(30000)) {
    Clock::time_point end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

// Callback letters in a handler's log.
enum Event : char { kConnect = 'C', kReady = 'W', kData = 'D', kClose = 'X', kFailed = 'F' };

// What one handler saw.
struct Log {
    std::string events;
    std::vector<std::thread::id> threads;  // one per event
    std::vector<std::string> deliveries;
    bool terminated = true;  // every delivery had a NUL after it
    int socket = -1;
};

// How the handlers of one scenario behave, and what they saw, by reference.
struct Scenario {
    struct Behaviour {
        bool echo = false;
        int closeLinger = -1;  // when set, each handler closes itself after its first delivery
        std::function<void()> onData;
        std::function<void()> onClose;
    } behaviour;
    bool checkTerminated = false;
    std::deque<int64_t> consume;  // results of the next deliveries; then all is consumed
    uint32_t connectTimeout = 0;
    int refuse = 0;  // sockets the factory refuses before it makes handlers again

    std::mutex mutex;
    std::map<uint32_t, Log> logs;
    std::vector<uint32_t> made;

    Log Of(uint32_t reference) {
        std::lock_guard<std::mutex> hold(mutex);
        return logs[reference];
    }
    uint32_t Made(size_t index) {
        std::lock_guard<std::mutex> hold(mutex);
        return index < made.size() ? made[index] : 0;
    }
    // The handler's deliveries, put together, are `received`.
    bool Saw(uint32_t reference, const std::string& received) {
        std::string all;
        for (const std::string& delivery : Of(reference).deliveries)
            all += delivery;
        return all == received;
    }
    void SetOnData(std::function<void()> onData) {
        std::lock_guard<std::mutex> hold(mutex);
        behaviour.onData = std::move(onData);
    }
    bool Ended(uint32_t reference) {
        std::string events = Of(reference).events;
        return !events.empty() && (events.back() == kClose || events.back() == kFailed);
    }
    // Every handler got exactly one of OnClose and OnConnectFailed, last.
    bool EachEndedOnce() {
        std::lock_guard<std::mutex> hold(mutex);
        return std::all_of(logs.begin(), logs.end(), [](const auto& entry) {
            const std::string& events = entry.second.events;
            return !events.empty() && events.find_first_of("XF") == events.size() - 1;
        });
    }
};

class Recorder : public XSocketHandler {
  public:
    Recorder(sockaddr_in* address, int socket, bool udp, Scenario* scenario)
        : XSocketHandler(address, socket, udp, scenario), scenario_(scenario) {
        std::lock_guard<std::mutex> hold(scenario->mutex);
        scenario->logs[GetRef()].socket = socket;
        scenario->made.push_back(GetRef());
        if (scenario->connectTimeout != 0)
            SetConnectTimeout(scenario->connectTimeout);
    }

  private:
    // Takes the scenario's lock unless the caller holds it.
    Log& Note(Event event, bool locked = false) {
        std::unique_lock<std::mutex> hold(scenario_->mutex, std::defer_lock);
        if (!locked)
            hold.lock();
        Log& log = scenario_->logs[GetRef()];
        log.events += event;
        log.threads.push_back(std::this_thread::get_id());
        return log;
    }
    int32_t OnConnect() override {
        Note(kConnect);
        return 0;
    }
    void OnConnectFailed(uint32_t reason) override {
        EXPECT_EQ(reason, 0u);
        Note(kFailed);
    }
    void OnClose(uint32_t reason) override {
        EXPECT_EQ(reason, 0u);
        Note(kClose);
        std::function<void()> onClose;
        {
            std::lock_guard<std::mutex> hold(scenario_->mutex);
            onClose = scenario_->behaviour.onClose;
        }
        if (onClose)
            onClose();
    }
    void OnReadyToWrite() override { Note(kReady); }
    uint32_t OnDataReceived(void* data, uint32_t size, sockaddr_in*) override {
        const char* bytes = static_cast<const char*>(data);
        int64_t consumed = size;
        Scenario::Behaviour act;
        {
            std::lock_guard<std::mutex> hold(scenario_->mutex);
            Log& log = Note(kData, true);
            log.deliveries.emplace_back(bytes, size);
            if (scenario_->checkTerminated)
                log.terminated = log.terminated && bytes[size] == '\0';
            if (!scenario_->consume.empty()) {
                consumed = scenario_->consume.front();
                scenario_->consume.pop_front();
            }
            act = scenario_->behaviour;
        }
        // Outside the scenario's lock: these may call back.
        if (act.echo) {
            EXPECT_EQ(SendData(data, size), 0);
        }
        if (act.onData)
            act.onData();
        if (act.closeLinger >= 0)
            Close(static_cast<uint16_t>(act.closeLinger));
        return static_cast<uint32_t>(consumed);
    }

    Scenario* scenario_;
};

inline XSocketHandler* MakeRecorder(sockaddr_in* address, int socket, bool udp, void* context) {
    Scenario* scenario = static_cast<Scenario*>(context);
    std::unique_lock<std::mutex> hold(scenario->mutex);
    if (scenario->refuse > 0) {
        --scenario->refuse;
        return nullptr;
    }
    hold.unlock();  // the constructor takes it
    return new Recorder(address, socket, udp, scenario);
}

inline const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

inline sockaddr_in LoopbackAddress(uint16_t port) {
    return sockaddr_in{AF_INET, htons(port), {kLoopback}, {}};
}

inline uint16_t PortOf(int socket) {
    sockaddr_in address = {};
    socklen_t length = sizeof address;
    getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// A plain socket bound to a free loopback port; TCP sockets listen with `backlog`, with a
// receive buffer of `receiveBuffer` bytes when that is not 0 (accepted sockets inherit it).
inline int PlainSocket(bool udp, uint16_t* port, int backlog = 8, int receiveBuffer = 0) {
    int fd = socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    if (receiveBuffer != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address = LoopbackAddress(0);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    if (!udp) {
        EXPECT_EQ(listen(fd, backlog), 0);
    }
    *port = PortOf(fd);
    return fd;
}

// A plain TCP connection to a loopback port that has sent `bytes`, with a receive buffer of
// `receiveBuffer` bytes when that is not 0.
inline int PlainConnect(uint16_t port, const std::string& bytes = "", int receiveBuffer = 0) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address = LoopbackAddress(port);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    return fd;
}

// How a stream read by ReadSome ended.
enum class End { kOpen, kFin, kReset };

// Reads until `want` bytes have come, the stream ends (*end, when given, tells how), or
// nothing comes for 30 s.
inline std::string ReadSome(int fd, size_t want, End* end = nullptr) {
    std::string got;
    char buffer[65536];
    pollfd readable = {fd, POLLIN, 0};
    ssize_t n = 1;
    while (got.size() < want && poll(&readable, 1, 30000) == 1 &&
           (n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
        got.append(buffer, static_cast<size_t>(n));
    }
    if (end != nullptr)
        *end = n > 0 ? End::kOpen : n == 0 ? End::kFin : End::kReset;
    return got;
}

// Reads to the end of the stream; the number of bytes.
inline size_t Drain(int fd, End* end = nullptr) {
    return ReadSome(fd, SIZE_MAX, end).size();
}

inline int OpenDescriptors() {
    return int(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// The process's resident memory in bytes.
inline size_t ResidentBytes() {
    size_t pages = 0, resident = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm != nullptr) {
        if (fscanf(statm, "%zu %zu", &pages, &resident) != 2)
            resident = 0;
        fclose(statm);
    }
    return resident * size_t(sysconf(_SC_PAGESIZE));
}

// False in sanitizer builds, whose shadow memory and quarantine of freed blocks make the
// resident size say nothing about the library's own use.
constexpr bool kResidentSizeTells =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    false;
#else
    true;
#endif

// The manager, started for each test, with scenarios for its handlers.
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

}  // namespace nettest

#endif  // BRINDLE_TESTS_NET_NETTESTKIT_H_
