// SPDX-License-Identifier: MIT

#include "blockfile/FileCalls.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "brindle/Debg.h"
#include "platform/Alloc.h"
#include "platform/FileFaults.h"

namespace brindle {
namespace {

// The most slices that one gathered write takes.
constexpr int kMaxSlices = 8;
// Slices of at most this many bytes in all are copied into one buffer and written with a
// plain pwrite: for the few dozen bytes of a typical append, walking several slices costs
// the kernel more than the copy does.
constexpr size_t kGatherLimit = 4096;

// Counts a call that transfers nothing; true, with errno set, when the fault hook fails it.
bool Refused() {
    FileCallFault fault = NextFileCallFault(false);
    errno = fault.error;
    return fault.error != 0;
}

}  // namespace

int OpenExistingFile(const char* path, bool readOnly) {
    int fd;
    do {
        fd = Refused() ? -1 : open(path, (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    } while (fd == -1 && errno == EINTR);
    return fd;
}

int CreateNewFile(const char* path) {
    int fd;
    do {
        fd = Refused() ? -1 : open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0);
    } while (fd == -1 && errno == EINTR);
    return fd;
}

bool MakeOwnerReadWrite(int fd) {
    int result;
    do {
        result = Refused() ? -1 : fchmod(fd, S_IRUSR | S_IWUSR);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

bool CloseFile(int fd) {
    // The descriptor is released whatever close reports, so it is never retried; EINTR
    // only says that the close was interrupted, not that data was lost.
    FileCallFault fault = NextFileCallFault(false);
    int result = close(fd);
    if (fault.error != 0) {
        errno = fault.error;
        result = -1;
    }
    return result == 0 || errno == EINTR;
}

bool LockFile(int fd, bool exclusive) {
    struct flock range = {};
    range.l_type = static_cast<short>(exclusive ? F_WRLCK : F_RDLCK);
    range.l_whence = SEEK_SET;  // from 0, with l_len 0: the whole file, however it grows
    int result;
    do {
        result = Refused() ? -1 : fcntl(fd, F_OFD_SETLK, &range);
        // A kernel older than OFD locks (Linux 3.15) refuses the command itself.
        if (result != 0 && errno == EINVAL)
            result = flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    // POSIX lets a conflict report EACCES as well; callers see one error for it.
    if (result != 0 && errno == EACCES)
        errno = EAGAIN;
    return result == 0;
}

bool SyncFile(int fd, bool allMetadata) {
    int result;
    do {
        result = Refused() ? -1 : allMetadata ? fsync(fd) : fdatasync(fd);
    } while (result != 0 && errno == EINTR);
    if (result == 0)
        TellFileCall(fd, DebgFileCallSync, 0, nullptr, 0);
    return result == 0;
}

bool SyncDirectoryOf(const char* path) {
    char dir[4096];
    const char* slash = strrchr(path, kNativeSeparator);
    const size_t length = slash == nullptr ? 0 : slash == path ? 1 : size_t(slash - path);
    if (length >= sizeof dir) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(dir, slash == nullptr ? "." : path, slash == nullptr ? 2 : length);
    dir[slash == nullptr ? 1 : length] = '\0';
    int fd;
    do {
        fd = Refused() ? -1 : open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1)
        return false;
    int result;
    do {
        result = Refused() ? -1 : fsync(fd);
    } while (result != 0 && errno == EINTR);
    if (result == 0)
        TellFileCall(fd, DebgFileCallSync, 0, nullptr, 0);
    const int error = errno;
    const bool closed = CloseFile(fd);
    if (result != 0)
        errno = error;
    return result == 0 && closed;
}

ssize_t ReadAt(int fd, void* buf, size_t size, uint64_t offset) {
    size_t done = 0;
    while (done < size) {
        FileCallFault fault = NextFileCallFault(true);
        size_t want = fault.partial ? PartialSize(size - done) : size - done;
        errno = fault.error;
        ssize_t got = fault.error != 0 ? -1
                                       : pread(fd, static_cast<char*>(buf) + done, want,
                                               static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

bool WriteAt(int fd, const void* data, size_t size, uint64_t offset) {
    WriteSlice slice = {data, size};
    return WriteSlicesAt(fd, &slice, 1, offset);
}

namespace {

// One gathering write, as the fault hook lets it happen.
ssize_t WriteOnce(int fd, const iovec* vec, int count, uint64_t offset) {
    FileCallFault fault = NextFileCallFault(true);
    if (fault.error != 0) {
        errno = fault.error;
        return -1;
    }
    if (!fault.partial) {
        return count == 1 ? pwrite(fd, vec->iov_base, vec->iov_len, static_cast<off_t>(offset))
                          : pwritev(fd, vec, count, static_cast<off_t>(offset));
    }
    size_t total = 0;
    for (int i = 0; i < count; ++i)
        total += vec[i].iov_len;
    // The same slices cut to the first part of the bytes.
    iovec part[kMaxSlices];
    size_t left = PartialSize(total);
    int used = 0;
    for (; used < count && left > 0; ++used) {
        part[used] = vec[used];
        if (part[used].iov_len > left)
            part[used].iov_len = left;
        left -= part[used].iov_len;
    }
    return pwritev(fd, part, used, static_cast<off_t>(offset));
}

// Tells the watcher of file calls that the first `put` bytes of the slices reached `offset`.
void TellWritten(int fd, const iovec* vec, size_t put, uint64_t offset) {
    for (; put > 0; ++vec) {
        const size_t size = vec->iov_len < put ? vec->iov_len : put;
        TellFileCall(fd, DebgFileCallWrite, offset, vec->iov_base, size);
        offset += size;
        put -= size;
    }
}

// Writes the slices in `vec` in order from `offset`, going on after partial transfers.
bool WriteVectorAt(int fd, iovec* vec, int count, uint64_t offset) {
    iovec* next = vec;
    size_t done = 0;  // bytes of *next already written
    for (;;) {
        while (count > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --count;
        }
        if (count == 0)
            return true;
        next->iov_base = static_cast<char*>(next->iov_base) + done;
        next->iov_len -= done;
        ssize_t put = WriteOnce(fd, next, count, offset);
        if (put < 0 && errno == EINTR) {
            done = 0;
            continue;
        }
        if (put <= 0)
            return false;
        TellWritten(fd, next, static_cast<size_t>(put), offset);
        offset += static_cast<uint64_t>(put);
        done = static_cast<size_t>(put);
    }
}

}  // namespace

bool WriteSlicesAt(int fd, const WriteSlice* slices, int count, uint64_t offset) {
    if (count < 0 || count > kMaxSlices)
        return false;
    if (count > 1) {
        uint8_t gathered[kGatherLimit];
        size_t total = 0;
        int copied = 0;
        for (; copied < count && slices[copied].size <= kGatherLimit - total; ++copied) {
            if (slices[copied].size != 0)
                memcpy(gathered + total, slices[copied].data, slices[copied].size);
            total += slices[copied].size;
        }
        if (copied == count) {
            iovec one = {gathered, total};
            return WriteVectorAt(fd, &one, 1, offset);
        }
    }
    iovec vec[kMaxSlices];
    for (int i = 0; i < count; ++i)
        vec[i] = {const_cast<void*>(slices[i].data), slices[i].size};
    return WriteVectorAt(fd, vec, count, offset);
}

int64_t FileLength(int fd) {
    struct stat info;
    int result;
    do {
        result = Refused() ? -1 : fstat(fd, &info);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

bool SetFileLength(int fd, uint64_t length) {
    int result;
    do {
        result = Refused() ? -1 : ftruncate(fd, static_cast<off_t>(length));
    } while (result != 0 && errno == EINTR);
    if (result == 0)
        TellFileCall(fd, DebgFileCallCut, length, nullptr, 0);
    return result == 0;
}

const uint8_t* MapFile(int fd, uint64_t size) {
    if (size == 0 || size > SIZE_MAX || AllocationShouldFail())
        return nullptr;
    void* map = mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
    return map == MAP_FAILED ? nullptr : static_cast<const uint8_t*>(map);
}

const uint8_t* RemapFile(const uint8_t* map, uint64_t oldSize, uint64_t newSize) {
    if (newSize > SIZE_MAX || AllocationShouldFail())
        return nullptr;
    void* moved = mremap(const_cast<uint8_t*>(map), static_cast<size_t>(oldSize),
                         static_cast<size_t>(newSize), MREMAP_MAYMOVE);
    return moved == MAP_FAILED ? nullptr : static_cast<const uint8_t*>(moved);
}

void UnmapFile(const uint8_t* map, uint64_t size) {
    munmap(const_cast<uint8_t*>(map), static_cast<size_t>(size));
}

ssize_t ReadMapped(const uint8_t* map, void* buf, size_t size, uint64_t offset) {
    for (size_t done = 0; done < size;) {
        FileCallFault fault = NextFileCallFault(true);
        if (fault.error == EINTR)
            continue;
        if (fault.error != 0) {
            errno = fault.error;
            return -1;
        }
        size_t part = fault.partial ? PartialSize(size - done) : size - done;
        memcpy(static_cast<uint8_t*>(buf) + done, map + offset + done, part);
        done += part;
    }
    return static_cast<ssize_t>(size);
}

bool GetExecutableName(char* buf, size_t size) {
    if (size == 0)
        return false;
    ssize_t got = readlink("/proc/self/exe", buf, size);
    // A result that fills the whole buffer may have been cut short.
    if (got <= 0 || static_cast<size_t>(got) >= size)
        return false;
    buf[got] = '\0';
    return true;
}

}  // namespace brindle
