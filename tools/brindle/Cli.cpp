// SPDX-License-Identifier: MIT

#include "Cli.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace cli {

namespace {

FILE* messages = nullptr;  // null: stderr

}  // namespace

int Fail(int code, const char* format, ...) {
    FILE* stream = messages != nullptr ? messages : stderr;
    fputs("brindle: ", stream);
    va_list args;
    va_start(args, format);
    vfprintf(stream, format, args);
    va_end(args);
    fputc('\n', stream);
    return code;
}

void SetMessageStream(FILE* stream) {
    messages = stream;
}

const char* Reason(int32_t error) {
    return error > 0 ? strerror(error) : "failed";
}

bool ParseArgs(int argc, char** argv, int first, const char* allowed, Args* args) {
    bool options = true;
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.empty()) {
            Fail(kExitUsage, "empty argument");
            return false;
        } else if (!options || arg == "-" || arg[0] != '-') {
            args->positional.push_back(arg);
        } else if (arg == "--") {
            options = false;
        } else if (arg == "-h" || arg == "--help") {
            args->help = true;
        } else if (arg == "-o" && strchr(allowed, 'o') != nullptr) {
            if (++i == argc) {
                Fail(kExitUsage, "-o needs a file name");
                return false;
            }
            args->output = argv[i];
        } else if (arg == "--force" && strchr(allowed, 'f') != nullptr) {
            args->force = true;
        } else if (arg == "--json" && strchr(allowed, 'j') != nullptr) {
            args->json = true;
        } else if (arg == "--no-backup" && strchr(allowed, 'b') != nullptr) {
            args->noBackup = true;
        } else {
            Fail(kExitUsage, "unknown option: %s", arg.c_str());
            return false;
        }
    }
    return true;
}

bool ParseId(const std::string& text, uint32_t* id) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    const char* accepted = hex ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.empty() || digits.find_first_not_of(accepted) != std::string::npos)
        return false;
    errno = 0;
    unsigned long long value = strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno != 0 || value > 0xFFFFFFFFull)
        return false;
    *id = static_cast<uint32_t>(value);
    return true;
}

bool ToPortable(const std::string& native, char (&portable)[kPortablePathSize]) {
    if (native.empty()) {
        Fail(kExitUsage, "empty file name");
        return false;
    }
    NativeToPortablePath(native.c_str(), portable);
    if (portable[0] == '\0') {
        Fail(kExitFailed, "%s: %s", native.c_str(), strerror(ENAMETOOLONG));
        return false;
    }
    return true;
}

bool ReadInput(const std::string& name, uint64_t limit, std::vector<uint8_t>* bytes) {
    const bool stdinput = name == "-";
    const char* shown = stdinput ? "standard input" : name.c_str();
    int fd = stdinput ? 0 : open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        Fail(kExitFailed, "%s: %s", shown, strerror(errno));
        return false;
    }
    bytes->clear();
    uint8_t chunk[65536];
    bool ok = true;
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            Fail(kExitFailed, "%s: %s", shown, strerror(errno));
            ok = false;
            break;
        }
        if (got == 0)
            break;
        if (bytes->size() + static_cast<size_t>(got) > limit) {
            Fail(kExitFailed, "%s: larger than %llu bytes", shown,
                 static_cast<unsigned long long>(limit));
            ok = false;
            break;
        }
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
    if (!stdinput)
        close(fd);
    return ok;
}

Output::~Output() {
    if (file_ != nullptr && file_ != stdout)
        fclose(file_);
}

bool Output::Open(const std::string& name) {
    name_ = name.empty() ? "standard output" : name;
    file_ = name.empty() ? stdout : fopen(name.c_str(), "wb");
    if (file_ == nullptr) {
        Fail(kExitFailed, "%s: %s", name.c_str(), strerror(errno));
        return false;
    }
    return true;
}

void Output::Write(const void* data, size_t size) {
    if (size != 0)
        fwrite(data, 1, size, file_);
}

int Output::Finish() {
    bool failed = fflush(file_) != 0 || ferror(file_);
    int error = errno;
    if (file_ != stdout)
        failed = fclose(file_) != 0 || failed;
    file_ = nullptr;
    if (failed)
        return Fail(kExitFailed, "%s: %s", name_.c_str(), strerror(error));
    return kExitOk;
}

}  // namespace cli
