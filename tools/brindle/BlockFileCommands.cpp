// SPDX-License-Identifier: MIT
// The bf commands: block files created, inspected, read, written, checked, recovered and
// compacted through XBlockFile and XBlockFileCheck.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <brindle/blockfile/XBlockFile.h>
#include <brindle/blockfile/XBlockFileCheck.h>

#include "Commands.h"
#include "Json.h"
#include "Progress.h"
#include "TextDump.h"

namespace cli {
namespace {

// The largest block XBlockFile writes.
constexpr uint64_t kMaxBlockLength = 0x7FFFFFEF;

// A block file named on the command line, by its native and its portable name.
struct FileName {
    std::string native;
    char portable[kPortablePathSize];
};

bool NameFile(const std::string& native, FileName* name) {
    name->native = native;
    return ToPortable(native, name->portable);
}

uint64_t SlotBytes(const _XBlockFile_BlockRec& rec) {
    return (uint64_t{rec.len} + 15) & ~uint64_t{15};
}

// Reports an error of opening or examining the file. XBlockFile and XBlockFileCheck refuse a
// file whose lock another program holds with EAGAIN, which gets words of its own.
int FailOnFile(const FileName& name, int32_t error) {
    if (error == EAGAIN)
        return Fail(kExitFailed, "%s is in use by another program", name.native.c_str());
    return Fail(kExitFailed, "%s: %s", name.native.c_str(), Reason(error));
}

// Examines the file, keeping `progress` (when given) up to date and clearing it at the end;
// on failure prints why and returns false with the exit code in `*code`.
bool Examine(const FileName& name, XBlockFileCheck* check, int* code,
             ProgressLine* progress = nullptr) {
    if (progress != nullptr)
        check->SetProgress(&ProgressLine::OnCheckProgress, progress);
    const int32_t error = check->Examine(name.portable);
    if (progress != nullptr)
        progress->Finish();
    const char* file = name.native.c_str();
    if (error != 0)
        *code = FailOnFile(name, error);
    else if (check->State() == XBlockFileUnreadable)
        *code = Fail(kExitFailed, "%s: cannot be read", file);
    else if (check->State() == XBlockFileForeign)
        *code = Fail(kExitFailed, "%s: not a block file", file);
    else
        return true;
    return false;
}

// Tells why Open failed, from a check of the file; returns the exit code.
int ExplainOpenFailure(const FileName& name, int32_t error) {
    if (error == EAGAIN)
        return FailOnFile(name, error);
    XBlockFileCheck check;
    int code = kExitFailed;
    if (!Examine(name, &check, &code))
        return code;
    const char* file = name.native.c_str();
    switch (check.State()) {
        case XBlockFileNeedsRebuild:
            return Fail(kExitFailed,
                        "%s: not closed after its last change; 'brindle bf recover %s' "
                        "rebuilds its index",
                        file, file);
        case XBlockFileDamaged:
            return Fail(kExitFailed,
                        "%s: damaged; 'brindle bf check %s' tells where, 'brindle bf recover %s' "
                        "saves what can be saved",
                        file, file, file);
        default:
            return FailOnFile(name, error);
    }
}

// Opens the file read-only or read-write. A read-write open would silently rebuild a file
// that needs it, so it comes only after a read-only open has shown that none is needed.
int OpenBlockFile(const FileName& name, bool readOnly, XBlockFile* file) {
    if (int32_t error = file->Open(name.portable, true))
        return ExplainOpenFailure(name, error);
    if (readOnly)
        return kExitOk;
    file->Close();
    if (int32_t error = file->Open(name.portable, false))
        return FailOnFile(name, error);
    return kExitOk;
}

bool ParseBlockId(const std::string& text, uint32_t* id) {
    if (ParseId(text, id))
        return true;
    Fail(kExitUsage, "not a block ID: %s (decimal, or hexadecimal after 0x)", text.c_str());
    return false;
}

// The block file and block that a command names: FILE, then ID when the command has one.
struct Target {
    FileName name;
    uint32_t id = 0;
    bool hasId = false;
    XBlockFile file;
};

// Reads FILE and, when given, ID from the command line; returns the exit code.
int NameTarget(const Args& args, Target* target) {
    if (!NameFile(args.positional[0], &target->name))
        return kExitFailed;
    target->hasId = args.positional.size() > 1;
    if (target->hasId && !ParseBlockId(args.positional[1], &target->id))
        return kExitUsage;
    return kExitOk;
}

// Opens the named file and, when an ID was given and `mustExist`, checks that the block is
// there; returns the exit code.
int OpenTarget(bool readOnly, bool mustExist, Target* target) {
    if (int code = OpenBlockFile(target->name, readOnly, &target->file))
        return code;
    if (mustExist && target->hasId && !target->file.BlockExists(target->id))
        return Fail(kExitNo, "%s: no block %u", target->name.native.c_str(), target->id);
    return kExitOk;
}

// Each kind of fault: its name in JSON, and what it means in words, as a format for the
// finding's value. In the order of XBlockFileFault.
struct FaultWords {
    const char* name;
    const char* text;
};
constexpr FaultWords kFaults[] = {
    {"short", "only %llu bytes, fewer than a block file's 16"},
    {"magic", "does not begin with \"AavE\""},
    {"reserved", "reserved word is 0x%llx, not 0"},
    {"no-trailer",
     "no trailer: the file was changed and not closed; a rebuild makes its index again"},
    {"index-offset", "the trailer names index offset %llu, which cannot be"},
    {"end-marker", "no end marker before the index (0x%08llx)"},
    {"index-size", "the index counts (%llu used records) do not fill it"},
    {"used-record", "index record of block %llu is impossible"},
    {"id-order", "index record of block %llu is out of ID order"},
    {"free-record", "free record of %llu bytes is impossible"},
    {"free-order", "free record for offset %llu is out of order"},
    {"slot-place", "index record names a slot at %llu, outside the data"},
    {"overlap", "slot overlaps the one before by %llu bytes"},
    {"header", "slot header differs from its index record (block %llu)"},
    {"gap", "%llu bytes in no slot of the index (compaction reclaims them)"},
    {"bad-slot", "no valid slot header here: a rebuild goes on at the next one it finds, or stops"},
    {"cut-off", "a rebuild cuts off the %llu bytes from here"},
    {"lost-block", "block %llu here is lost to a rebuild"},
    {"duplicate", "block %llu again: a rebuild frees this later copy"},
    {"read", "read failed: %s"},
    {"skipped", "a rebuild turns the %llu unreadable bytes from here into free space"},
};

const FaultWords* WordsOf(XBlockFileFault fault) {
    const int index = static_cast<int>(fault);
    return index >= 0 && index < static_cast<int>(sizeof kFaults / sizeof kFaults[0])
               ? &kFaults[index]
               : nullptr;
}

// What one finding means, in words.
std::string Describe(const XBlockFileFinding& finding) {
    const FaultWords* words = WordsOf(finding.fault);
    char text[256];
    if (finding.fault == XBlockFileFaultRead)
        snprintf(text, sizeof text, words->text, Reason(int32_t(finding.value)));
    else if (words != nullptr)
        snprintf(text, sizeof text, words->text, static_cast<unsigned long long>(finding.value));
    else
        snprintf(text, sizeof text, "fault %d", static_cast<int>(finding.fault));
    return text;
}

// The state of an examined file as a word, for JSON.
const char* StateName(const XBlockFileCheck& check) {
    return check.State() == XBlockFileClean          ? "clean"
           : check.State() == XBlockFileNeedsRebuild ? "needs-rebuild"
                                                     : "damaged";
}

// Opens the JSON object that --json forms print, with the keys every one of them has.
void OpenJson(JsonWriter* json, const FileName& name) {
    json->Open('{');
    json->Key("file").String(name.native);
}

void PrintFindings(const FileName& name, const XBlockFileCheck& check) {
    for (uint32_t i = 0; i < check.FindingCount(); ++i) {
        const XBlockFileFinding& finding = check.Findings()[i];
        printf("%s: offset %llu: %s\n", name.native.c_str(),
               static_cast<unsigned long long>(finding.offset), Describe(finding).c_str());
    }
}

// The answer of `bf check --json`.
void PrintCheckJson(const FileName& name, const XBlockFileCheck& check) {
    JsonWriter json(stdout);
    OpenJson(&json, name);
    json.Key("state").String(StateName(check));
    json.Key("blocks").Number(check.BlockCount());
    json.Key("free_slots").Number(check.FreeCount());
    json.Key("findings").Open('[');
    for (uint32_t i = 0; i < check.FindingCount(); ++i) {
        const XBlockFileFinding& finding = check.Findings()[i];
        const FaultWords* words = WordsOf(finding.fault);
        json.Open('{', true);
        json.Key("offset").Number(finding.offset);
        json.Key("fault").String(words != nullptr ? words->name : "unknown");
        json.Key("value").Number(finding.value);
        json.Key("text").String(Describe(finding));
        json.Close();
    }
    json.Close();
    json.Close();
}

struct Totals {
    uint64_t dataBytes = 0;
    uint64_t freeBytes = 0;
};

Totals Sum(const XBlockFileCheck& check) {
    Totals totals;
    for (uint32_t i = 0; i < check.BlockCount(); ++i)
        totals.dataBytes += check.Blocks()[i].len - 16;
    for (uint32_t i = 0; i < check.FreeCount(); ++i)
        totals.freeBytes += check.FreeSlots()[i].len;
    return totals;
}

uint64_t FileSize(const FileName& name) {
    struct stat info;
    return stat(name.native.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

// Opens the file for writing under the lock that XBlockFile takes for a read-write Open, so
// that no program using the library opens it meanwhile; -1 with errno set (EAGAIN when
// another program holds it).
int OpenLocked(const FileName& name) {
    const int fd = open(name.native.c_str(), O_RDWR | O_CLOEXEC);
    if (fd == -1)
        return -1;
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLK, &whole) == 0 ||
        (errno == EINVAL && flock(fd, LOCK_EX | LOCK_NB) == 0))
        return fd;
    const int error = errno == EACCES ? EAGAIN : errno;
    close(fd);
    errno = error;
    return -1;
}

// Writes all of `size` bytes at `offset`; false with errno set.
bool WriteAll(int fd, const uint8_t* bytes, size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t put = pwrite(fd, bytes, size, offset);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        bytes += put;
        size -= static_cast<size_t>(put);
        offset += put;
    }
    return true;
}

// Copies the file open as `fd` to a new file NAME.bak and makes the copy durable; returns the
// exit code. An existing NAME.bak is never replaced: it may be the only good copy left.
int BackUp(const FileName& name, int fd) {
    const std::string backup = name.native + ".bak";
    const int copy = open(backup.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (copy == -1 && errno == EEXIST)
        return Fail(kExitFailed, "%s already exists: move it away, or recover with --no-backup",
                    backup.c_str());
    bool copied = copy != -1;
    uint8_t chunk[65536];
    for (off_t at = 0; copied;) {
        const ssize_t got = pread(fd, chunk, sizeof chunk, at);
        if (got < 0 && errno == EINTR)
            continue;
        copied = got >= 0 && WriteAll(copy, chunk, static_cast<size_t>(got), at);
        if (got <= 0)
            break;
        at += got;
    }
    copied = copied && fsync(copy) == 0;
    const int error = errno;
    if (copy != -1)
        copied = close(copy) == 0 && copied;
    // The new name must last as well as the bytes.
    const size_t slash = backup.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : backup.substr(0, slash + 1);
    const int dirFd = copied ? open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    copied = dirFd != -1 && fsync(dirFd) == 0;
    if (dirFd != -1)
        close(dirFd);
    if (!copied)
        return Fail(kExitFailed, "%s: %s", backup.c_str(), strerror(copy == -1 ? errno : error));
    printf("%s: saved a copy as %s\n", name.native.c_str(), backup.c_str());
    return kExitOk;
}

// Prepares the file for a rebuild while no other program can open it: keeps a copy unless
// `noBackup`, and when `dropTrailer` clears the trailer magic, so that the next read-write
// Open rebuilds the index from the slot headers instead of trusting an index that opens.
// Returns the exit code.
int PrepareRebuild(const FileName& name, uint64_t fileSize, bool noBackup, bool dropTrailer) {
    const int fd = OpenLocked(name);
    if (fd == -1)
        return FailOnFile(name, errno);
    int code = noBackup ? kExitOk : BackUp(name, fd);
    static const uint8_t kZero[4] = {0, 0, 0, 0};
    if (code == kExitOk && dropTrailer &&
        (!WriteAll(fd, kZero, sizeof kZero, static_cast<off_t>(fileSize - 4)) || fsync(fd) != 0))
        code = Fail(kExitFailed, "%s: %s", name.native.c_str(), strerror(errno));
    close(fd);
    return code;
}

// Closes a file opened for writing; returns the exit code, failing when the file's last
// changes could not be made durable.
int CloseBlockFile(const FileName& name, XBlockFile* file) {
    file->Close();
    if (int32_t error = file->IOError())
        return Fail(kExitFailed, "%s: %s", name.native.c_str(), Reason(error));
    return kExitOk;
}

// True when `output` names the file of `name` itself, by whatever path.
bool IsSameFile(const std::string& output, const FileName& name) {
    struct stat out, file;
    return stat(output.c_str(), &out) == 0 && stat(name.native.c_str(), &file) == 0 &&
           out.st_dev == file.st_dev && out.st_ino == file.st_ino;
}

}  // namespace

int BlockFileCreate(const Args& args) {
    FileName name;
    if (!NameFile(args.positional[0], &name))
        return kExitFailed;
    int32_t result = XBlockFile::Create(name.portable);
    if (result == -1)
        return Fail(kExitFailed, "%s: already exists", name.native.c_str());
    if (result != 0)
        return Fail(kExitFailed, "%s: %s", name.native.c_str(), Reason(result));
    return kExitOk;
}

int BlockFileInfo(const Args& args) {
    FileName name;
    XBlockFileCheck check;
    int code = kExitFailed;
    if (!NameFile(args.positional[0], &name) || !Examine(name, &check, &code))
        return code;
    const Totals totals = Sum(check);
    if (args.json) {
        JsonWriter json(stdout);
        OpenJson(&json, name);
        json.Key("state").String(StateName(check));
        json.Key("index_usable").Bool(check.IndexUsable());
        json.Key("file_size").Number(check.FileSize());
        json.Key("blocks").Number(check.BlockCount());
        json.Key("data_bytes").Number(totals.dataBytes);
        json.Key("free_slots").Number(check.FreeCount());
        json.Key("free_bytes").Number(totals.freeBytes);
        json.Close();
        return kExitOk;
    }
    const char* state =
        check.State() == XBlockFileClean ? "clean"
        : check.State() == XBlockFileNeedsRebuild
            ? "needs a rebuild (not closed after its last change); counts as it would find them"
        : check.IndexUsable() ? "damaged (see brindle bf check)"
                              : "damaged (see brindle bf check); counts as a rebuild would "
                                "find them";
    printf("state:      %s\n", state);
    printf("file size:  %llu\n", static_cast<unsigned long long>(check.FileSize()));
    printf("blocks:     %u\n", check.BlockCount());
    printf("data bytes: %llu\n", static_cast<unsigned long long>(totals.dataBytes));
    printf("free slots: %u\n", check.FreeCount());
    printf("free bytes: %llu\n", static_cast<unsigned long long>(totals.freeBytes));
    return kExitOk;
}

int BlockFileList(const Args& args) {
    FileName name;
    XBlockFileCheck check;
    int code = kExitFailed;
    if (!NameFile(args.positional[0], &name) || !Examine(name, &check, &code))
        return code;
    if (!check.IndexUsable())
        Fail(kExitOk, "%s: no usable index; listing the blocks a rebuild would keep",
             name.native.c_str());
    JsonWriter json(stdout);
    if (args.json) {
        OpenJson(&json, name);
        json.Key("index_usable").Bool(check.IndexUsable());
        json.Key("blocks").Open('[');
    }
    for (uint32_t i = 0; i < check.BlockCount(); ++i) {
        const _XBlockFile_BlockRec& rec = check.Blocks()[i];
        if (!args.json) {
            printf("%u\t%u\t%u\n", rec.id, rec.len - 16, rec.offset);
            continue;
        }
        json.Open('{', true);
        json.Key("id").Number(rec.id);
        json.Key("length").Number(rec.len - 16);
        json.Key("offset").Number(rec.offset);
        json.Close();
    }
    if (args.json) {
        json.Close();
        json.Close();
    }
    return kExitOk;
}

int BlockFileGet(const Args& args) {
    Target target;
    if (int code = NameTarget(args, &target))
        return code;
    // Opening OUT empties it: it must not be the file the block comes from.
    if (!args.output.empty() && IsSameFile(args.output, target.name))
        return Fail(kExitUsage, "%s: -o names the block file being read", args.output.c_str());
    if (int code = OpenTarget(true, true, &target))
        return code;
    uint32_t len = 0;
    void* data = target.file.ReadBlock_NF(target.id, &len);
    if (data == nullptr)
        return Fail(kExitFailed, "%s: block %u (%u bytes) cannot be read",
                    target.name.native.c_str(), target.id, len);
    Output out;
    bool opened = out.Open(args.output);
    if (opened)
        out.Write(data, len);
    free(data);
    return opened ? out.Finish() : kExitFailed;
}

int BlockFilePut(const Args& args) {
    Target target;
    std::vector<uint8_t> data;
    if (int code = NameTarget(args, &target))
        return code;
    if (!ReadInput(args.positional.size() > 2 ? args.positional[2] : "-", kMaxBlockLength, &data))
        return kExitFailed;
    if (int code = OpenTarget(false, false, &target))
        return code;
    if (target.file.WriteBlock(target.id, data.data(), static_cast<uint32_t>(data.size())) != 0) {
        const int32_t error = target.file.IOError();
        return Fail(kExitFailed, "%s: block %u not written: %s", target.name.native.c_str(),
                    target.id, error != 0 ? Reason(error) : "the file would pass 4 GiB");
    }
    return CloseBlockFile(target.name, &target.file);
}

int BlockFileRemove(const Args& args) {
    Target target;
    if (int code = NameTarget(args, &target))
        return code;
    if (int code = OpenTarget(false, true, &target))
        return code;
    if (target.file.DeleteBlock(target.id) != 1) {
        const int32_t error = target.file.IOError();
        return Fail(kExitFailed, "%s: block %u not deleted: %s", target.name.native.c_str(),
                    target.id, error != 0 ? Reason(error) : "out of memory");
    }
    return CloseBlockFile(target.name, &target.file);
}

int BlockFileCheck(const Args& args) {
    FileName name;
    XBlockFileCheck check;
    int code = kExitFailed;
    if (!NameFile(args.positional[0], &name))
        return code;
    ProgressLine progress("checking", name.native, FileSize(name));
    if (!Examine(name, &check, &code, &progress))
        return code;
    const int verdict = check.State() == XBlockFileClean ? kExitOk : kExitNo;
    if (args.json) {
        PrintCheckJson(name, check);
        return verdict;
    }
    PrintFindings(name, check);
    const char* file = name.native.c_str();
    if (verdict == kExitOk)
        printf("%s: clean, %u blocks, %u free slots\n", file, check.BlockCount(),
               check.FreeCount());
    else
        printf("%s: %s; a rebuild ('brindle bf recover%s') would keep %u blocks\n", file,
               check.State() == XBlockFileNeedsRebuild ? "needs a rebuild" : "damaged",
               check.IndexUsable() ? " --force" : "", check.RebuildBlockCount());
    return verdict;
}

int BlockFileRecover(const Args& args) {
    FileName name;
    XBlockFileCheck before;
    int code = kExitFailed;
    if (!NameFile(args.positional[0], &name))
        return code;
    const char* file = name.native.c_str();
    ProgressLine progress("recovering", name.native, FileSize(name));
    if (!Examine(name, &before, &code, &progress))
        return code;
    if (before.State() == XBlockFileClean) {
        printf("%s: clean, nothing to recover\n", file);
        return kExitOk;
    }
    if (before.IndexUsable() && !args.force) {
        PrintFindings(name, before);
        return Fail(kExitNo,
                    "%s: the index opens but disagrees with the slots; a rebuild trusts the slots "
                    "and may drop blocks the index knows. Copy them out with 'brindle bf get', "
                    "or rebuild anyway with --force",
                    file);
    }
    // A read-write Open rebuilds a file whose index it cannot use; one whose index it would
    // accept loses its trailer first.
    code = PrepareRebuild(name, before.FileSize(), args.noBackup, before.IndexUsable());
    if (code != kExitOk)
        return code;
    ProgressLine rebuilding("recovering", name.native, before.FileSize());
    rebuilding.Say("rebuilding the index");
    XBlockFile rebuilt;
    const int32_t error = rebuilt.Open(name.portable, false);
    rebuilt.Close();
    rebuilding.Finish();
    if (error != 0)
        return FailOnFile(name, error);
    XBlockFileCheck after;
    if (!Examine(name, &after, &code))
        return code;
    for (uint32_t i = 0; i < before.FindingCount(); ++i) {
        const XBlockFileFinding& finding = before.Findings()[i];
        if (finding.fault == XBlockFileFaultLostBlock ||
            finding.fault == XBlockFileFaultDuplicate || finding.fault == XBlockFileFaultCutOff ||
            finding.fault == XBlockFileFaultSkipped)
            printf("%s: dropped at offset %llu: %s\n", file,
                   static_cast<unsigned long long>(finding.offset), Describe(finding).c_str());
    }
    const Totals totals = Sum(after);
    printf(
        "%s: kept %u blocks (%llu bytes of data) and %u free slots; the file went from %llu "
        "to %llu bytes\n",
        file, after.BlockCount(), static_cast<unsigned long long>(totals.dataBytes),
        after.FreeCount(), static_cast<unsigned long long>(before.FileSize()),
        static_cast<unsigned long long>(after.FileSize()));
    return after.State() == XBlockFileClean ? kExitOk
                                            : Fail(kExitFailed, "%s: still not clean", file);
}

int BlockFileCompact(const Args& args) {
    FileName name;
    if (!NameFile(args.positional[0], &name))
        return kExitFailed;
    const uint64_t sizeBefore = FileSize(name);
    ProgressLine progress("compacting", name.native, sizeBefore);
    // Compaction moves every block that lies behind the first free slot. The check that
    // tells which runs first: its reader's lock would conflict with the writer's.
    uint64_t moving = 0;
    XBlockFileCheck check;
    if (progress.Shown() && check.Examine(name.portable) == 0 && check.FreeCount() != 0) {
        for (uint32_t i = 0; i < check.BlockCount(); ++i) {
            if (check.Blocks()[i].offset > check.FreeSlots()[0].offset)
                moving += SlotBytes(check.Blocks()[i]);
        }
    }
    XBlockFile file;
    if (int code = OpenBlockFile(name, false, &file))
        return code;
    if (moving != 0)
        progress.FollowWrites(moving, "moving blocks");
    file.Compact(false);
    file.Close();
    progress.Finish();
    if (int32_t error = file.IOError())
        return Fail(kExitFailed, "%s: %s", name.native.c_str(), Reason(error));
    const uint64_t sizeAfter = FileSize(name);
    printf("%s: reclaimed %llu bytes (%llu to %llu)\n", name.native.c_str(),
           static_cast<unsigned long long>(sizeBefore - sizeAfter),
           static_cast<unsigned long long>(sizeBefore), static_cast<unsigned long long>(sizeAfter));
    return kExitOk;
}

int BlockFileDump(const Args& args) {
    Target target;
    if (int code = NameTarget(args, &target))
        return code;
    if (int code = OpenTarget(true, true, &target))
        return code;
    XBlockFile& file = target.file;
    const FileName& name = target.name;
    const bool one = target.hasId;
    const uint32_t id = target.id;
    std::vector<uint32_t> ids(one ? 1 : file.BlockCount(), id);
    for (uint32_t pos = 0; !one && pos < ids.size(); ++pos)
        file.GetIndBlockID(pos, &ids[pos]);
    int result = kExitOk;
    for (uint32_t blockId : ids) {
        uint32_t len = 0;
        uint8_t* data = static_cast<uint8_t*>(file.ReadBlock_NF(blockId, &len));
        if (data == nullptr) {
            result = Fail(kExitFailed, "%s: block %u cannot be read", name.native.c_str(), blockId);
            continue;
        }
        std::vector<uint8_t> bytes(data, data + len);
        free(data);
        if (!one)
            printf("# block %u: %u bytes, %s\n", blockId, len, KindOf(bytes));
        const int dumped = DumpAny(&bytes, stdout);
        result = result != kExitOk ? result : dumped;
    }
    return result;
}

}  // namespace cli
