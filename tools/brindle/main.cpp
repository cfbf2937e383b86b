// SPDX-License-Identifier: MIT
// brindle: a command-line tool for Brindle's block files, flattened stores and blob sets.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "Cli.h"
#include "Commands.h"

namespace {

struct Command {
    const char* group;
    const char* name;
    const char* usage;  // the arguments, after "brindle GROUP NAME"
    size_t minArgs;     // positional arguments
    size_t maxArgs;
    const char* options;  // as cli::ParseArgs takes them
    int (*run)(const cli::Args&);
    const char* summary;  // for the list of commands
    const char* help;
};

const Command kCommands[] = {
    {"bf", "create", "FILE", 1, 1, "", cli::BlockFileCreate, "create an empty block file",
     "Creates an empty block file. An existing file is never replaced."},
    {"bf", "info", "FILE [--json]", 1, 1, "j", cli::BlockFileInfo,
     "state, sizes, blocks and free space",
     "Prints the state of the file (clean, needing a rebuild, or damaged), its size, the\n"
     "number of blocks and their bytes of data, and the free slots and their bytes. For a\n"
     "file without a usable index the counts are those a rebuild would find.\n"
     "With --json, prints one JSON object with the keys file, state (\"clean\",\n"
     "\"needs-rebuild\" or \"damaged\"), index_usable, file_size, blocks, data_bytes,\n"
     "free_slots and free_bytes."},
    {"bf", "ls", "FILE [--json]", 1, 1, "j", cli::BlockFileList, "list blocks: ID, length, offset",
     "Prints one line per block, in ascending ID order: ID, data length and the offset of\n"
     "its slot, separated by tabs. For a file without a usable index, the blocks a rebuild\n"
     "would keep.\n"
     "With --json, prints one JSON object with the keys file, index_usable, and blocks: an\n"
     "array of objects with the keys id, length and offset."},
    {"bf", "get", "FILE ID [-o OUT]", 2, 2, "o", cli::BlockFileGet, "write a block's bytes out",
     "Writes the bytes of block ID to OUT, or to standard output. Exit code 1 when the\n"
     "file has no such block; OUT may not be the block file itself."},
    {"bf", "put", "FILE ID [INPUT]", 2, 3, "", cli::BlockFilePut, "store bytes as a block",
     "Stores the bytes of INPUT (standard input when it is absent or -) as block ID,\n"
     "replacing a block of that ID, and closes the file clean."},
    {"bf", "rm", "FILE ID", 2, 2, "", cli::BlockFileRemove, "delete a block",
     "Deletes block ID. Exit code 1 when the file has no such block."},
    {"bf", "check", "FILE [--json]", 1, 1, "j", cli::BlockFileCheck,
     "verify the structure, writing nothing",
     "Verifies the structure of the file without writing to it: the header, the trailer,\n"
     "the index and every slot header. Prints each problem with its offset, then a verdict.\n"
     "Exit code 0 when the file is clean, 1 when it is damaged or needs a rebuild, 2 when it\n"
     "is not a block file or cannot be read.\n"
     "With --json, prints one JSON object with the keys file, state (as bf info gives it),\n"
     "blocks and free_slots (those a rebuild would keep, where one is needed), and\n"
     "findings: an array of objects with the keys offset, fault (a name such as\n"
     "\"no-trailer\" or \"bad-slot\"), value (a number whose meaning the fault gives) and\n"
     "text (the problem in words). The exit codes stay the same."},
    {"bf", "recover", "FILE [--force] [--no-backup]", 1, 1, "fb", cli::BlockFileRecover,
     "rebuild a lost or damaged index",
     "Rebuilds the index of a file that needs it (as after a crash) or whose index is\n"
     "damaged, from the slot headers, and reports what was kept and what was dropped. A file\n"
     "whose index opens but disagrees with its slots is rebuilt only with --force, since the\n"
     "rebuild trusts the slots. A clean file is left alone. Before it changes anything it\n"
     "copies the file to FILE.bak (which must not exist yet), unless --no-backup is given."},
    {"bf", "compact", "FILE", 1, 1, "", cli::BlockFileCompact, "squeeze out the free space",
     "Moves every block down over the free space before it, cuts the file after the last\n"
     "block and reports the bytes reclaimed."},
    {"bf", "dump", "FILE [ID]", 1, 2, "", cli::BlockFileDump, "show blocks as text",
     "Prints block ID, or every block under a '# block' line, as text: a flattened store\n"
     "one entry a line, a blob set one blob a line, anything else as a hex dump."},
    {"store", "dump", "FILE|- [--json]", 1, 1, "j", cli::StoreDump,
     "show a flattened store as text",
     "Prints a flattened store (written in either byte order) one entry a line:\n"
     "    \"name\": TYPE VALUE, VALUE...\n"
     "with texts quoted as in JSON and blobs in hex; detached separated strings show the\n"
     "number their recorder gave them (#n). With --json, prints the JSON object that\n"
     "'brindle store from-json' reads back. A damaged store shows as far as it can be\n"
     "read; exit code 1 then, and when parts cannot be shown."},
    {"store", "from-json", "FILE|- [-o OUT]", 1, 1, "o", cli::StoreFromJsonCommand,
     "build a flattened store from JSON",
     "Builds a flattened store from a JSON object and writes it to OUT or standard output.\n"
     "Each member is an entry: an integer gives an Int, another number a Float, true and\n"
     "false a Bool, a string a String, {\"blob\": \"0a1b\"} a Blob, {\"locstr\": \"text\"}\n"
     "and {\"movstr\": \"text\"} separated strings, {\"float\": 2} a Float (also \"nan\",\n"
     "\"inf\", \"-inf\"). An array gives one value per element, all of one kind."},
    {"blobs", "dump", "FILE|- [--json]", 1, 1, "j", cli::BlobsDump, "show a blob set as text",
     "Prints a blob set one blob a line: its quoted name, its length and its bytes in hex.\n"
     "With --json, prints one JSON object with the key blobs: an array of objects with the\n"
     "keys name, size and hex (the bytes, two hex digits each), in name order."},
};

const char kExitCodes[] =
    "Exit codes:\n"
    "  0   success; for check, the file is clean\n"
    "  1   the answer is no: check found damage or a file that needs a rebuild, no block\n"
    "      has the ID, recover refused, or parts of a store cannot be read\n"
    "  2   a file cannot be read, written or understood, or is in use by another program\n"
    "  64  the command line is wrong\n";

// Lists the commands of `group`, or every command when `group` is null.
void PrintCommands(const char* group, FILE* out) {
    for (const Command& command : kCommands) {
        if (group != nullptr && strcmp(group, command.group) != 0)
            continue;
        std::string line = std::string(command.group) + " " + command.name + " " + command.usage;
        fprintf(out, "  %-34s %s\n", line.c_str(), command.summary);
    }
}

void PrintHelp(FILE* out) {
    fputs("usage: brindle [--help] [--version] GROUP COMMAND [ARGUMENTS]\n\n", out);
    PrintCommands(nullptr, out);
    fputs(
        "\nFILE, INPUT and OUT are ordinary paths; IDs are decimal, or hexadecimal after 0x.\n"
        "Errors go to stderr, with the file and the reason; on success only the answer is\n"
        "printed. 'brindle GROUP COMMAND --help' tells more about a command.\n\n",
        out);
    fputs(kExitCodes, out);
}

void PrintGroupHelp(const char* group, FILE* out) {
    fprintf(out, "usage: brindle %s COMMAND [ARGUMENTS]\n\n", group);
    PrintCommands(group, out);
    fprintf(out, "\n'brindle %s COMMAND --help' tells more about a command.\n", group);
}

void PrintCommandHelp(const Command& command) {
    printf("usage: brindle %s %s %s\n\n%s\n\n%s", command.group, command.name, command.usage,
           command.help, kExitCodes);
}

// Ends a usage error, whose one line is already out, with where to read more: `topic` is
// "", a group or a group and a command.
int TryHelp(const std::string& topic) {
    fprintf(stderr, "Try 'brindle %s%s--help' for more information.\n", topic.c_str(),
            topic.empty() ? "" : " ");
    return cli::kExitUsage;
}

// The command the first two arguments name; null, after the usage error, when they name
// none. A group alone, or with --help, lists its commands instead: on stdout for --help, as
// a usage error on stderr otherwise; `*exit` then holds the exit code.
const Command* FindCommand(const std::string& group, const std::string& name, int* exit) {
    const Command* inGroup = nullptr;
    for (const Command& command : kCommands) {
        if (group != command.group)
            continue;
        if (name == command.name)
            return &command;
        inGroup = &command;
    }
    if (inGroup == nullptr) {
        cli::Fail(cli::kExitUsage, "unknown %s: %s", group[0] == '-' ? "option" : "command",
                  group.c_str());
        *exit = TryHelp("");
    } else if (name.empty() || name == "--help" || name == "-h") {
        PrintGroupHelp(inGroup->group, name.empty() ? stderr : stdout);
        *exit = name.empty() ? cli::kExitUsage : cli::kExitOk;
    } else {
        cli::Fail(cli::kExitUsage, "unknown command: %s %s", group.c_str(), name.c_str());
        *exit = TryHelp(group);
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) {
        PrintHelp(stderr);
        return cli::kExitUsage;
    }
    const std::string first = argv[1];
    if (first == "--help" || first == "-h") {
        PrintHelp(stdout);
        return cli::kExitOk;
    }
    if (first == "--version") {
        printf("brindle %s\n", BRINDLE_VERSION);
        return cli::kExitOk;
    }
    int exit = cli::kExitUsage;
    const Command* command = FindCommand(first, argc > 2 ? argv[2] : "", &exit);
    if (command == nullptr)
        return exit;
    const std::string topic = first + " " + command->name;
    cli::Args args;
    if (!cli::ParseArgs(argc, argv, 3, command->options, &args))
        return TryHelp(topic);
    if (args.help) {
        PrintCommandHelp(*command);
        return cli::kExitOk;
    }
    if (args.positional.size() < command->minArgs || args.positional.size() > command->maxArgs) {
        cli::Fail(cli::kExitUsage, "usage: brindle %s %s", topic.c_str(), command->usage);
        return TryHelp(topic);
    }
    int code = command->run(args);
    if (code == cli::kExitUsage)
        return TryHelp(topic);
    if (fflush(stdout) != 0 || ferror(stdout))
        code = cli::Fail(cli::kExitFailed, "standard output: %s", strerror(errno));
    return code;
}
