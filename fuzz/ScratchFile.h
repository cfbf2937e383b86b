// SPDX-License-Identifier: MIT
// The scratch file of a fuzz target that hands its input to the block file as a file on disk.
#ifndef BRINDLE_FUZZ_SCRATCHFILE_H_
#define BRINDLE_FUZZ_SCRATCHFILE_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

// The portable path of this process's scratch file (a slash before its native path), made
// on first use and removed when the process ends. It lies on a memory file system where
// there is one, so that the syncs of the block file cost no disk writes.
inline const std::string& ScratchPath() {
    struct Scratch {
        Scratch() {
            std::string name = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                               "/brindle-fuzz-XXXXXX";
            int fd = mkstemp(&name[0]);
            if (fd < 0)
                abort();
            close(fd);
            path = "/" + std::string(name);
        }
        ~Scratch() { unlink(path.c_str() + 1); }
        std::string path;
    };
    static const Scratch scratch;
    return scratch.path;
}

// Replaces the scratch file's contents with `size` bytes.
inline void WriteScratch(const uint8_t* data, size_t size) {
    FILE* file = fopen(ScratchPath().c_str() + 1, "wb");
    if (file == nullptr || fwrite(data, 1, size, file) != size)
        abort();
    fclose(file);
}

#endif  // BRINDLE_FUZZ_SCRATCHFILE_H_
