#include "blockfile/FileCalls.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace brindle {

int OpenExistingFile(const char* path, bool readOnly) {
    int fd;
    do {
        fd = open(path, (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    } while (fd == -1 && errno == EINTR);
    return fd;
}

int CreateNewFile(const char* path) {
    int fd;
    do {
        fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0);
    } while (fd == -1 && errno == EINTR);
    return fd;
}

bool MakeOwnerReadWrite(int fd) {
    return fchmod(fd, S_IRUSR | S_IWUSR) == 0;
}

bool CloseFile(int fd) {
    // Linux releases the descriptor even when close reports EINTR; never retry.
    return close(fd) == 0;
}

ssize_t ReadAt(int fd, void* buf, size_t size, uint64_t offset) {
    size_t done = 0;
    while (done < size) {
        ssize_t got = pread(fd, static_cast<char*>(buf) + done, size - done,
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

bool WriteSlicesAt(int fd, const WriteSlice* slices, int count, uint64_t offset) {
    constexpr int kMaxSlices = 8;
    if (count < 0 || count > kMaxSlices)
        return false;
    iovec vec[kMaxSlices];
    for (int i = 0; i < count; ++i)
        vec[i] = {const_cast<void*>(slices[i].data), slices[i].size};
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
        ssize_t put = pwritev(fd, next, count, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR) {
            done = 0;
            continue;
        }
        if (put <= 0)
            return false;
        offset += static_cast<uint64_t>(put);
        done = static_cast<size_t>(put);
    }
}

int64_t FileLength(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0)
        return -1;
    return static_cast<int64_t>(info.st_size);
}

bool SetFileLength(int fd, uint64_t length) {
    int result;
    do {
        result = ftruncate(fd, static_cast<off_t>(length));
    } while (result != 0 && errno == EINTR);
    return result == 0;
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
