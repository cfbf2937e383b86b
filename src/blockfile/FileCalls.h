// SPDX-License-Identifier: MIT
// The file calls beneath the block file and the path functions.
//
// Everything that talks to the operating system about files lives behind these few
// functions, so that the block file itself is portable code. Every read and write is one
// positioned call (retried only when the system transfers fewer bytes than asked), which
// leaves no shared file position to go wrong between a seek and a read. Calls interrupted
// by a signal (EINTR) are retried. Failures set errno. Every system call passes the fault
// hook of platform/FileFaults.h first, so that tests can fail any of them.
#ifndef BRINDLE_BLOCKFILE_FILECALLS_H_
#define BRINDLE_BLOCKFILE_FILECALLS_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

namespace brindle {

// The character that separates directories in a native path.
constexpr char kNativeSeparator = '/';

// One piece of a gathered write.
struct WriteSlice {
    const void* data;
    size_t size;
};

// Opens an existing file for reading, or for reading and writing; the descriptor, or -1.
int OpenExistingFile(const char* path, bool readOnly);

// Creates a file that must not exist yet, open for writing but with no permission bits set,
// so that nobody opens it for writing until it is complete; the descriptor, or -1 (errno
// EEXIST when the name is taken).
int CreateNewFile(const char* path);

// Gives the file read and write permission for its owner only.
bool MakeOwnerReadWrite(int fd);

// Closes the descriptor; false if the system reported an error.
bool CloseFile(int fd);

// Takes an advisory lock on the whole file without waiting: shared (for readers) or
// exclusive (for a writer). The lock belongs to the open file description (an OFD lock; a
// flock lock on a system without those), so two descriptors opened apart conflict even in
// one process, and closing the descriptor releases it. False, with errno EAGAIN, when
// another description holds a conflicting lock.
bool LockFile(int fd, bool exclusive);

// Makes what was written to the file, and its length, durable (fdatasync), and with
// `allMetadata` its permissions and times as well (fsync): once it returns true, a power cut
// no longer undoes them.
bool SyncFile(int fd, bool allMetadata);

// Makes the entry of `path` in its directory durable, as after creating the file: syncs the
// directory that holds it.
bool SyncDirectoryOf(const char* path);

// Reads up to size bytes at offset; the number read (fewer only at the end of the file) or
// -1 on error.
ssize_t ReadAt(int fd, void* buf, size_t size, uint64_t offset);

// Writes all size bytes at offset; false on error.
bool WriteAt(int fd, const void* data, size_t size, uint64_t offset);

// Writes the slices one after another from offset with a single gathering call (retrying
// only the remainder of a partial transfer); false on error. At most 8 slices.
bool WriteSlicesAt(int fd, const WriteSlice* slices, int count, uint64_t offset);

// The length of the file, or -1.
int64_t FileLength(int fd);

// Cuts or extends the file to length bytes.
bool SetFileLength(int fd, uint64_t length);

// Maps the first `size` bytes of the file for reading, shared with the file, so that its
// writes show at once; null when that cannot be done. A mapping is memory: the
// allocation hook of platform/Alloc.h can make it fail. Bytes past the end of the file
// must never be read through it (the system would raise SIGBUS).
const uint8_t* MapFile(int fd, uint64_t size);

// Resizes a mapping from `oldSize` to `newSize` bytes, perhaps moving it; null, with the old
// mapping left as it was, when that cannot be done.
const uint8_t* RemapFile(const uint8_t* map, uint64_t oldSize, uint64_t newSize);

void UnmapFile(const uint8_t* map, uint64_t size);

// Copies `size` bytes at `offset` of a mapping into buf, as ReadAt would read them from the
// file: the fault hook counts each copy as a read; the number copied, or -1.
ssize_t ReadMapped(const uint8_t* map, void* buf, size_t size, uint64_t offset);

// Writes the full native file name of the running executable, NUL-terminated, into buf of
// size bytes; false when it cannot be learned or does not fit.
bool GetExecutableName(char* buf, size_t size);

}  // namespace brindle

#endif  // BRINDLE_BLOCKFILE_FILECALLS_H_
