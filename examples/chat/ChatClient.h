// SPDX-License-Identifier: MIT
// The chat clients: one that posts a message, one that follows the room.
#ifndef BRINDLE_EXAMPLES_CHAT_CHATCLIENT_H_
#define BRINDLE_EXAMPLES_CHAT_CHATCLIENT_H_

#include <stdint.h>

#include "ChatProtocol.h"

namespace chat {

// How long `send` waits for the server to store its message.
constexpr uint32_t kAnswerSeconds = 30;

// Posts `message` (its sender and text) to the server at `host`:`port` and returns once the
// server has stored it: 0, or 1 (after a line on stderr) when the connection fails or ends,
// the server refuses the message or does not answer within kAnswerSeconds, or `stopFd`
// becomes readable first. The history the server replays on connecting is skipped.
int RunSend(const char* host, uint16_t port, const Message& message, int stopFd);

// Prints the history of the server at `host`:`port`, then every new message as it comes,
// one a line ("2025-06-01 14:03:07 ada: hello", local time), until `stopFd` becomes readable
// (exit code 0) or the connection fails or ends (1, after a line on stderr).
int RunTail(const char* host, uint16_t port, int stopFd);

}  // namespace chat

#endif  // BRINDLE_EXAMPLES_CHAT_CHATCLIENT_H_
