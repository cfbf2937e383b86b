// SPDX-License-Identifier: MIT
// What every command of the brindle tool shares: exit codes, error messages, arguments,
// file names, and reading and writing whole files.
#ifndef BRINDLE_TOOLS_BRINDLE_CLI_H_
#define BRINDLE_TOOLS_BRINDLE_CLI_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include <brindle/blockfile/PortablePath.h>

namespace cli {

// The tool's exit codes; `brindle --help` lists them.
enum ExitCode {
    kExitOk = 0,      // done; for check: the file is clean
    kExitNo = 1,      // the answer is no: damage found, no such block, recovery refused
    kExitFailed = 2,  // a file cannot be read, written or understood
    kExitUsage = 64,  // the command line is wrong
};

// Prints "brindle: " and the formatted message on stderr; returns `code`.
int Fail(int code, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Sends Fail's messages to `stream` from now on (null: back to stderr), for a program that
// reuses the commands' parts and keeps their messages apart.
void SetMessageStream(FILE* stream);

// The arguments of one command: its positional arguments and the options it allows.
struct Args {
    std::vector<std::string> positional;
    std::string output;     // -o FILE
    bool force = false;     // --force
    bool noBackup = false;  // --no-backup
    bool json = false;      // --json
    bool help = false;      // -h or --help
};

// Option letters that a command accepts, as in "of" for -o and --force; "j" for --json, "b"
// for --no-backup. Fills `args` from argv[first..argc); prints what is wrong and returns false
// on a bad option or an empty argument.
bool ParseArgs(int argc, char** argv, int first, const char* allowed, Args* args);

// A block ID in decimal or 0x hexadecimal; false for anything else or a value above 32 bits.
bool ParseId(const std::string& text, uint32_t* id);

// The portable name of the native path `native`; false (after an error message) for an
// empty or over-long one.
bool ToPortable(const std::string& native, char (&portable)[kPortablePathSize]);

// Reads all of `name` ("-" for standard input) into `bytes`, refusing more than `limit`
// bytes; false after an error message.
bool ReadInput(const std::string& name, uint64_t limit, std::vector<uint8_t>* bytes);

// Where the answer goes: the file named by -o, else standard output. Finish reports a
// failed write (a full disk, a closed pipe) and returns the exit code to use.
class Output {
  public:
    Output() = default;
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Opens `name` for writing, or takes standard output when it is empty; false after an
    // error message.
    bool Open(const std::string& name);
    FILE* File() const { return file_; }
    void Write(const void* data, size_t size);
    int Finish();

  private:
    FILE* file_ = nullptr;
    std::string name_;
};

// The text of an error number.
const char* Reason(int32_t error);

}  // namespace cli

#endif  // BRINDLE_TOOLS_BRINDLE_CLI_H_
