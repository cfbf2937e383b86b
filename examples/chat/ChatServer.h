// SPDX-License-Identifier: MIT
// The chat server: listens for clients, replays the history to each one that connects,
// stores every post in the history and sends it to every client.
#ifndef BRINDLE_EXAMPLES_CHAT_CHATSERVER_H_
#define BRINDLE_EXAMPLES_CHAT_CHATSERVER_H_

#include <stdint.h>

namespace chat {

// Serves on TCP `port` (0: one the system chooses) of the local `address` (network byte
// order; INADDR_ANY for every interface), with the history in the block file at the
// portable path `history`, until `stopFd` becomes readable. Prints "brindle-chat: listening
// on port P, ..." on stdout once clients can connect, and a line on stderr for each client
// it refuses. Shuts down in order: the listener, the manager's threads (which disconnect
// every client), the manager, the block file. The exit code: 0, or 1 when the history
// cannot be opened or the address and port cannot be listened on.
int RunServer(uint32_t address, uint16_t port, const char* history, int stopFd);

}  // namespace chat

#endif  // BRINDLE_EXAMPLES_CHAT_CHATSERVER_H_
