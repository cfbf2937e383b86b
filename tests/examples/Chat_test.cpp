// SPDX-License-Identifier: MIT
// Runs the chat example as its users would: a server, a tail and senders on loopback, with
// clients that break the protocol or vanish in between, then a second server on the same
// history.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include "net/NetTestKit.h"

namespace {

using nettest::Clock;
// Every wait of the test, generous enough for a loaded machine and a sanitizer build.
constexpr std::chrono::seconds kPatience(60);

// A running chat program whose standard output (and, when asked, its standard error) the
// test reads, started in the directory `dir` (when not null). A process still running when
// the object goes (a failed assertion) is killed and reaped; one whose test process dies is
// killed by the system.
class Chat {
  public:
    explicit Chat(const std::vector<std::string>& args, const char* dir = nullptr,
                  bool withErrors = false) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return;
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent || (dir != nullptr && chdir(dir) != 0))
                _exit(127);
            dup2(out[1], STDOUT_FILENO);
            if (withErrors)
                dup2(out[1], STDERR_FILENO);
            std::vector<char*> argv{const_cast<char*>(CHAT_PROGRAM)};
            for (const std::string& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
    }
    ~Chat() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }
    Chat(const Chat&) = delete;
    Chat& operator=(const Chat&) = delete;

    // Reads the output until it holds `text` `times` times; false when it ends or `patience`
    // passes first.
    bool Shows(const std::string& text, size_t times = 1,
               std::chrono::milliseconds patience = kPatience) {
        const Clock::time_point deadline = Clock::now() + patience;
        while (Count(text) < times && ReadSome(deadline)) {
        }
        return Count(text) >= times;
    }
    // Sends `signal` (none for 0), reads the rest of the output, which ends as the program
    // does, and reaps it. Its exit code; 128 + the signal that killed it; -1 when it had to be
    // killed.
    int Exit(int signal = 0) {
        const Clock::time_point deadline = Clock::now() + kPatience;
        if (pid_ <= 0 || (signal != 0 && kill(pid_, signal) != 0))
            return -1;
        while (ReadSome(deadline)) {
        }
        int status = 0;
        if (Clock::now() > deadline || waitpid(pid_, &status, 0) != pid_)
            return -1;  // the destructor kills it
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    const std::string& Output() const { return output_; }
    // The program's resident memory in KiB; 0 when it cannot be read.
    size_t ResidentKiB() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string word;
        size_t kib = 0;
        while (status >> word && word != "VmRSS:") {
        }
        status >> kib;
        return kib;
    }

  private:
    size_t Count(const std::string& text) const {
        size_t count = 0;
        for (size_t at = output_.find(text); at != std::string::npos;
             at = output_.find(text, at + 1))
            ++count;
        return count;
    }
    bool ReadSome(Clock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<nettest::milliseconds>(deadline - Clock::now());
        pollfd readable = {out_, POLLIN, 0};
        char buffer[4096];
        if (left.count() < 0 || poll(&readable, 1, static_cast<int>(left.count())) != 1)
            return false;
        const ssize_t got = read(out_, buffer, sizeof buffer);
        if (got > 0)
            output_.append(buffer, static_cast<size_t>(got));
        return got > 0;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
};

// True when the server ends the connection of a client that wrote `bytes`, after the
// history it replays.
bool ServerHangsUp(uint16_t port, const std::string& bytes) {
    const int fd = nettest::PlainConnect(port, bytes);
    nettest::End end = nettest::End::kOpen;
    nettest::ReadSome(fd, SIZE_MAX, &end);
    close(fd);
    return end != nettest::End::kOpen;
}

// Bytes as the wire lays them out: the stream mark, the words, then `size` bytes of `rest`.
std::string Wire(std::initializer_list<uint32_t> words, void* rest = nullptr, uint32_t size = 0) {
    XOutput out;
    for (uint32_t word : words)
        out.WriteInt(word);
    out.Write(rest, size);
    const char* data = static_cast<const char*>(out.GetData(&size));
    return std::string(data, size);
}

// A post: the frame's length, kind and id, the store's length, then the store.
std::string Post(const char* sender, const char* text) {
    XStore store;
    store.AddString("sender", sender);
    store.AddString("text", text);
    uint32_t size = 0;
    void* flat = store.GetData_NF(&size);
    std::string post = Wire({20 + (size + 3) / 4 * 4, 1u, 0u, size}, flat, size);
    free(flat);
    return post;
}

// The port a server announces once it serves; 0 when it does not.
uint16_t PortOf(Chat* server) {
    unsigned port = 0;
    if (!server->Shows(" messages in ") ||
        sscanf(server->Output().c_str(), "brindle-chat: listening on port %u", &port) != 1)
        return 0;
    return static_cast<uint16_t>(port);
}

std::string Address(uint16_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

// A scratch directory, removed with everything in it.
struct ScratchDir {
    char path[32] = "/tmp/brindle-chat-XXXXXX";
    const bool made = mkdtemp(path) != nullptr;
    ~ScratchDir() {
        if (made)
            std::filesystem::remove_all(path);
    }
};

// Reads what the server sends on `fd` until `answers` answers to posts (frames of kind 3)
// have come in all, counting them in *answered; false when the connection ends first.
bool AwaitAnswers(int fd, std::string* unread, size_t* answered, size_t answers) {
    for (;;) {
        uint32_t length = 0;
        uint32_t kind = 0;
        while (unread->size() >= 12 && memcpy(&length, unread->data() + 4, 4) &&
               length <= unread->size()) {
            memcpy(&kind, unread->data() + 8, 4);
            *answered += kind == 3;
            unread->erase(0, length);
        }
        if (*answered >= answers)
            return true;
        const std::string got = nettest::ReadSome(fd, 1);
        if (got.empty())
            return false;
        *unread += got;
    }
}

TEST(ChatExample, DropsClientsThatFallBehindAndKeepsItsMemoryBounded) {
    ScratchDir dir;
    ASSERT_TRUE(dir.made);
    Chat server({"serve", "--port", "0", "--db", std::string(dir.path) + "/history.bf"}, nullptr,
                true);
    const uint16_t port = PortOf(&server);
    ASSERT_NE(port, 0);
    const size_t before = server.ResidentKiB();
    // A client that never reads, with a small window; and a tail whose terminal is never
    // read, so that it stops taking messages once its output pipe is full.
    const int window = 4096;
    const int stuck = socket(AF_INET, SOCK_STREAM, 0);
    setsockopt(stuck, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    const sockaddr_in address = nettest::LoopbackAddress(port);
    ASSERT_EQ(connect(stuck, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    Chat tail({"tail", Address(port)}, nullptr, true);
    // Posts of 4 KB, each answered before the next, until both have fallen more than a
    // megabyte behind (what the system's buffers hold comes first) and have been dropped.
    const int poster = nettest::PlainConnect(port);
    const std::string post = Post("flood", std::string(4000, 'f').c_str());
    const std::string dropped = "fell more than 1 MiB behind; disconnected";
    std::string unread;
    size_t answered = 0;
    for (size_t posts = 1; posts <= 10000; ++posts) {
        ASSERT_EQ(send(poster, post.data(), post.size(), MSG_NOSIGNAL), ssize_t(post.size()));
        ASSERT_TRUE(AwaitAnswers(poster, &unread, &answered, posts));
        if (posts % 100 == 0 && server.Shows(dropped, 2, std::chrono::milliseconds(0)))
            break;
    }
    EXPECT_TRUE(server.Shows(dropped, 2));
    // The server's memory grew by far less than what was posted.
    if (nettest::kResidentSizeTells) {
        EXPECT_LT(server.ResidentKiB() - before, 8u * 1024);
    }
    nettest::End end = nettest::End::kOpen;
    nettest::Drain(stuck, &end);
    EXPECT_NE(end, nettest::End::kOpen);
    close(stuck);
    // Once its terminal is read, the tail shows what it had and ends.
    EXPECT_EQ(tail.Exit(), 1);
    EXPECT_NE(tail.Output().find("the server closed the connection"), std::string::npos);
    close(poster);
    EXPECT_EQ(server.Exit(SIGTERM), 0);
    EXPECT_FALSE(server.Shows(dropped, 3, std::chrono::milliseconds(0)));
}

TEST(ChatExample, ServesReplaysBroadcastsAndKeepsItsHistory) {
    ScratchDir dir;
    ASSERT_TRUE(dir.made);
    const std::string db = std::string(dir.path) + "/chat.bf";
    const std::string longest(4096, 'x');
    std::string seen;
    {
        Chat server({"serve", "--port", "0", "--db", db});
        const uint16_t port = PortOf(&server);
        ASSERT_NE(port, 0);
        // It serves this host only, unless told otherwise.
        const int elsewhere = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in other = nettest::LoopbackAddress(port);
        other.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1);
        EXPECT_NE(connect(elsewhere, reinterpret_cast<sockaddr*>(&other), sizeof other), 0);
        close(elsewhere);
        for (const char* text : {"hello", longest.c_str()})
            EXPECT_EQ(Chat({"send", Address(port), "ada", text}).Exit(), 0);
        EXPECT_EQ(Chat({"send", Address(port), "ada", longest + "x"}).Exit(), 64);
        Chat tail({"tail", Address(port)});
        ASSERT_TRUE(tail.Shows(" ada: " + longest + "\n"));  // replayed

        // Clients that break the protocol are disconnected, one that vanishes in the middle
        // of a frame is forgotten, and the server goes on serving the others.
        EXPECT_TRUE(ServerHangsUp(port, "GARBAGE!"));
        EXPECT_TRUE(ServerHangsUp(port, Wire({1u << 30})));
        close(nettest::PlainConnect(port, Wire({40}) + "half"));
        // A post that arrives in parts is put together.
        const std::string post = Post("carl", "in two parts");
        const int carl = nettest::PlainConnect(port, post.substr(0, 10));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // lets it arrive alone
        send(carl, post.data() + 10, post.size() - 10, MSG_NOSIGNAL);
        ASSERT_TRUE(tail.Shows(" carl: in two parts\n"));
        close(carl);

        EXPECT_EQ(Chat({"send", Address(port), "bob", "grüße,", "世界"}).Exit(), 0);
        ASSERT_TRUE(tail.Shows(" bob: grüße, 世界\n"));  // broadcast
        EXPECT_EQ(tail.Exit(SIGINT), 0);
        EXPECT_EQ(server.Exit(SIGTERM), 0);
        seen = tail.Output();
    }
    // Closed cleanly: the index is on disk, so a read-only open takes the file.
    XBlockFile file;
    ASSERT_EQ(file.Open(("/" + db).c_str(), true), 0);
    EXPECT_EQ(file.BlockCount(), 4u);
    file.Close();

    // A new server on the same file, its default in the directory it starts in, replays the
    // same history, times included.
    Chat server({"serve", "--port", "0", "--bind", "0.0.0.0"}, dir.path);
    const uint16_t port = PortOf(&server);
    ASSERT_NE(port, 0);
    EXPECT_EQ(Chat({"serve", "--bind", "localhost"}).Exit(), 64);
    Chat tail({"tail", "127.0.0.2:" + std::to_string(port)});
    ASSERT_TRUE(tail.Shows(" bob: "));
    EXPECT_EQ(tail.Exit(SIGTERM), 0);
    EXPECT_EQ(tail.Output(), seen);
    EXPECT_EQ(server.Exit(SIGINT), 0);
}

}  // namespace
