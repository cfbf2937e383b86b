// SPDX-License-Identifier: MIT
// SocketTable: who owns each descriptor that the socket manager's polls watch.
#ifndef BRINDLE_NET_SOCKETTABLE_H_
#define BRINDLE_NET_SOCKETTABLE_H_

#include <stdint.h>

namespace brindle {

// Maps each descriptor to its owner (a handler, a listening socket, a closing socket). A
// poll report carries a word made of the descriptor and the tag its owner was entered under,
// so that a report that outlived its owner (the descriptor closed and reused, or given to
// another owner, meanwhile) is recognised and dropped. Grows to the highest descriptor
// entered; no lock of its own.
class SocketTable {
  public:
    enum Kind : uint32_t { kNone, kHandler, kListener, kClosing };
    struct Entry {
        uint32_t tag;
        Kind kind;
        void* owner;
    };
    // The word that names no socket: the manager gives it to its wake descriptors.
    static constexpr uint64_t kWakeWord = 0;

    SocketTable() = default;
    ~SocketTable();
    SocketTable(const SocketTable&) = delete;
    SocketTable& operator=(const SocketTable&) = delete;

    // Enters the owner of the socket under a new tag, replacing any earlier owner; returns
    // the word for its poll reports, or kWakeWord when memory runs out.
    uint64_t Enter(int socket, Kind kind, void* owner);
    // Forgets the socket's owner.
    void Leave(int socket);
    // The entry that a report's word names; null when the report outlived its owner.
    const Entry* Find(uint64_t word) const;

  private:
    Entry* entries_ = nullptr;
    uint32_t capacity_ = 0;
    uint32_t nextTag_ = 0;
};

}  // namespace brindle

#endif  // BRINDLE_NET_SOCKETTABLE_H_
