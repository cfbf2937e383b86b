// SPDX-License-Identifier: MIT
// The fault hook beneath the file calls.
//
// Every system call that the library makes on a file asks NextFileCallFault first, so that
// tests (through DebgFailFileCall in brindle/Debg.h) can make any chosen call fail, transfer
// only part of its bytes, or stand for the moment a process died or a disk went away.
#ifndef BRINDLE_PLATFORM_FILEFAULTS_H_
#define BRINDLE_PLATFORM_FILEFAULTS_H_

#include <stddef.h>
#include <stdint.h>

namespace brindle {

// What becomes of one file call.
struct FileCallFault {
    int error = 0;         // non-zero: the call fails with this errno and does nothing
    bool partial = false;  // a transfer moves only PartialSize of its bytes, and succeeds
};

// Counts one file call and says how it fails; nothing (no error, not partial) unless a test
// armed a fault. Cheap when nothing is armed. A call that `transfers` no bytes is never
// made partial: a fault armed as partial fails it outright.
FileCallFault NextFileCallFault(bool transfers);

// Tells the watcher of DebgWatchFileCalls, if there is one, of a file call that succeeded;
// `call` is a DebgFileCall.
void TellFileCall(int fd, int call, uint64_t offset, const void* data, uint64_t size);

// The bytes that a partial transfer of `size` bytes moves: the first half, rounded up.
inline size_t PartialSize(size_t size) {
    return (size + 1) / 2;
}

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_FILEFAULTS_H_
