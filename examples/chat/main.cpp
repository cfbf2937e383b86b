// SPDX-License-Identifier: MIT
// brindle-chat: a small chat server and its two clients, built on Brindle's socket manager,
// flattened stores, binary streams and block file.
#include <arpa/inet.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <string>

#include <brindle/blockfile/PortablePath.h>

#include "ChatClient.h"
#include "ChatServer.h"

namespace {

constexpr uint16_t kDefaultPort = 7070;
constexpr int kExitUsage = 64;

const char kUsage[] =
    "usage: brindle-chat serve [--port N] [--bind ADDRESS] [--db FILE]\n"
    "       brindle-chat send HOST:PORT NAME TEXT...\n"
    "       brindle-chat tail HOST:PORT\n";

const char kHelp[] =
    "\n"
    "serve  Accepts clients on TCP port N (default 7070; 0 lets the system choose) of the\n"
    "       local ADDRESS (default 127.0.0.1, this host only; 0.0.0.0 for every interface)\n"
    "       and keeps every message in the block file FILE (default chat.bf in the current\n"
    "       directory). Each client first gets the whole history, then every new message.\n"
    "       Prints the port it listens on; SIGINT or SIGTERM shuts it down cleanly.\n"
    "send   Posts TEXT (the remaining arguments, joined by spaces) as NAME and exits once\n"
    "       the server has stored it. NAME and TEXT are 1 to 64 and 1 to 4096 bytes without\n"
    "       control characters.\n"
    "tail   Prints the history, then every new message as it comes, one a line, until\n"
    "       interrupted.\n"
    "\n"
    "Exit codes: 0 done, 1 failed (connection, history file, no answer), 64 usage.\n";

int Usage(const char* problem) {
    fprintf(stderr, "brindle-chat: %s\n%s", problem, kUsage);
    return kExitUsage;
}

// A port number in decimal, from `lowest` to 65535.
bool ParsePort(const char* text, uint16_t lowest, uint16_t* port) {
    char* end = nullptr;
    const unsigned long value = strtoul(text, &end, 10);
    if (end == text || *end != '\0' || text[0] == '-' || value < lowest || value > 65535)
        return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

// HOST:PORT.
bool ParseAddress(const char* text, std::string* host, uint16_t* port) {
    const char* colon = strrchr(text, ':');
    if (colon == nullptr || colon == text || !ParsePort(colon + 1, 1, port))
        return false;
    host->assign(text, colon);
    return true;
}

// Blocks SIGINT and SIGTERM in this thread and so in every thread started after it (the
// socket manager's among them), so that they arrive only through the returned descriptor,
// which the commands wait on instead of handling signals asynchronously. -1 on failure.
int CatchStopSignals() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    if (pthread_sigmask(SIG_BLOCK, &stop, nullptr) != 0)
        return -1;
    return signalfd(-1, &stop, SFD_CLOEXEC);
}

int Serve(int argc, char** argv, int stopFd) {
    uint16_t port = kDefaultPort;
    in_addr address = {htonl(INADDR_LOOPBACK)};
    char history[kPortablePathSize] = "/chat.bf";  // chat.bf in the current directory
    for (int i = 2; i < argc; i += 2) {
        const bool hasValue = i + 1 < argc;
        if (strcmp(argv[i], "--port") == 0 && hasValue) {
            if (!ParsePort(argv[i + 1], 0, &port))
                return Usage("the port must be a number from 0 to 65535");
        } else if (strcmp(argv[i], "--bind") == 0 && hasValue) {
            if (inet_pton(AF_INET, argv[i + 1], &address) != 1)
                return Usage("the address must be an IPv4 address in dotted decimal");
        } else if (strcmp(argv[i], "--db") == 0 && hasValue) {
            NativeToPortablePath(argv[i + 1], history);
            if (argv[i + 1][0] == '\0' || history[0] == '\0')
                return Usage("the database must be a file name that fits 1023 bytes");
        } else {
            return Usage("unknown or incomplete option");
        }
    }
    return chat::RunServer(address.s_addr, port, history, stopFd);
}

int Send(int argc, char** argv, int stopFd) {
    std::string host;
    uint16_t port = 0;
    if (argc < 5 || !ParseAddress(argv[2], &host, &port))
        return Usage("send needs HOST:PORT, NAME and TEXT");
    chat::Message message;
    message.sender = argv[3];
    message.text = argv[4];
    for (int i = 5; i < argc; ++i)
        message.text += std::string(" ") + argv[i];
    if (!chat::IsAcceptable(message.sender, message.text))
        return Usage(
            "NAME and TEXT must be 1 to 64 and 1 to 4096 bytes without control characters");
    return chat::RunSend(host.c_str(), port, message, stopFd);
}

int Tail(int argc, char** argv, int stopFd) {
    std::string host;
    uint16_t port = 0;
    if (argc != 3 || !ParseAddress(argv[2], &host, &port))
        return Usage("tail needs HOST:PORT");
    return chat::RunTail(host.c_str(), port, stopFd);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return Usage("no command");
    for (int i = 1; i < argc && i <= 2; ++i) {  // chat --help, chat COMMAND --help
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            printf("%s%s", kUsage, kHelp);
            return 0;
        }
    }
    const int stopFd = CatchStopSignals();
    if (stopFd < 0) {
        perror("brindle-chat: signalfd");
        return 1;
    }
    const std::string command = argv[1];
    int result;
    if (command == "serve")
        result = Serve(argc, argv, stopFd);
    else if (command == "send")
        result = Send(argc, argv, stopFd);
    else if (command == "tail")
        result = Tail(argc, argv, stopFd);
    else
        result = Usage(("unknown command: " + command).c_str());
    close(stopFd);
    return result;
}
