// SPDX-License-Identifier: MIT
// Runs the built brindle tool through scripted sessions: each step is a command line with its
// standard input, and the exit code and the text expected on stdout and stderr.
#include <pty.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <brindle/blockfile/XBlockFile.h>
#include <brindle/serialization/XAKeyBlob.h>

#include "tool/JsonParse.h"

namespace {

using jsontest::Json;

struct Step {
    std::string command;  // arguments after "brindle"
    std::string input;    // standard input
    int exit;
    std::string out;  // expected in stdout; "" means stdout stays empty
    std::string err;  // expected in stderr; "" means stderr stays empty
};

class BrindleToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/brindle-tool-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0); }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    std::string Read(const std::string& name) const {
        std::ifstream file(Path(name), std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(Path(name), std::ios::binary) << bytes;
    }

    // Runs the tool with the arguments `command` and the standard input `input` in the
    // scratch directory, with its output in the files stdout and stderr there; its exit code.
    int Execute(const std::string& command, const std::string& input) {
        Write("stdin", input);
        const std::string line =
            "cd '" + dir_ + "' && '" BRINDLE_TOOL "' " + command + " <stdin >stdout 2>stderr";
        const int status = system(line.c_str());
        EXPECT_TRUE(WIFEXITED(status));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Runs one step and checks what it did.
    void Run(const Step& step) {
        SCOPED_TRACE("brindle " + step.command);
        EXPECT_EQ(Execute(step.command, step.input), step.exit);
        for (const auto& [name, expected] : {std::pair{"stdout", step.out}, {"stderr", step.err}}) {
            const std::string text = Read(name);
            if (expected.empty())
                EXPECT_EQ(text, "") << name;
            else
                EXPECT_NE(text.find(expected), std::string::npos) << name << ": " << text;
        }
    }
    void RunAll(const std::vector<Step>& steps) {
        for (const Step& step : steps)
            Run(step);
    }

    // Runs a --json form, which must exit with `exit` and print one JSON document.
    Json RunJson(const std::string& command, int exit) {
        SCOPED_TRACE("brindle " + command);
        EXPECT_EQ(Execute(command, ""), exit);
        Json json;
        EXPECT_TRUE(jsontest::ParseJson(Read("stdout"), &json)) << Read("stdout");
        return json;
    }

    // What a writer killed after its last change leaves: blocks 1 to 3 in "db", no index.
    void KilledWriter() {
        const std::string portable = "/" + Path("live");
        ASSERT_EQ(XBlockFile::Create(portable.c_str()), 0);
        XBlockFile file;
        ASSERT_EQ(file.Open(portable.c_str(), false), 0);
        for (uint32_t id = 1; id <= 3; ++id)
            ASSERT_EQ(file.WriteBlock(id, std::string(10 * id, 'x').data(), 10 * id), 0);
        Write("db", Read("live"));
    }

    // What the terminal shows of `command` run with a terminal as stdout and stderr.
    std::string OnTerminal(const std::string& command) const {
        const std::string line = "cd '" + dir_ + "' && '" BRINDLE_TOOL "' " + command;
        int terminal = -1;
        const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
        if (child == -1) {
            ADD_FAILURE() << "forkpty failed";
            return "";
        }
        if (child == 0) {
            execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        std::string shown;
        char chunk[4096];
        for (ssize_t got; (got = read(terminal, chunk, sizeof chunk)) > 0;)
            shown.append(chunk, static_cast<size_t>(got));
        int status = 0;
        EXPECT_EQ(waitpid(child, &status, 0), child);
        close(terminal);
        return shown;
    }

    std::string dir_;
};

TEST_F(BrindleToolTest, BlockFileSession) {
    Write("forty", std::string(40, 'x'));
    RunAll({
        {"bf create db", "", 0, "", ""},
        {"bf create db", "", 2, "", "db: already exists"},
        {"bf put db 7", "hello", 0, "", ""},
        {"bf put db 0x10 forty", "", 0, "", ""},
        {"bf ls db", "", 0, "7\t5\t8\n16\t40\t40\n", ""},
        {"bf get db 7", "", 0, "hello", ""},
        {"bf get db 16 -o out", "", 0, "", ""},
        {"bf get db 8", "", 1, "", "db: no block 8"},
        {"bf dump db 7", "", 0, "00000000  68 65 6c 6c 6f" + std::string(33, ' ') + "  |hello|\n",
         ""},
        {"bf rm db 7", "", 0, "", ""},
        {"bf rm db 7", "", 1, "", "db: no block 7"},
        {"bf info db", "", 0, "blocks:     1\ndata bytes: 40\nfree slots: 1\nfree bytes: 32", ""},
        {"bf check db", "", 0, "db: clean, 1 blocks, 1 free slots", ""},
        {"bf compact db", "", 0, "db: reclaimed 48 bytes (156 to 108)", ""},
        {"bf ls db", "", 0, "16\t40\t8\n", ""},
        {"bf ls forty", "", 2, "", "forty: not a block file"},
        {"bf ls missing", "", 2, "", "missing: No such file or directory"},
        {"bf get --help", "", 0, "usage: brindle bf get FILE ID [-o OUT]", ""},
    });
    EXPECT_EQ(Read("out"), std::string(40, 'x'));
}

TEST_F(BrindleToolTest, CrashAndDamageRecovery) {
    KilledWriter();
    const std::string crashed = Read("db");
    RunAll({
        {"bf check db", "", 1, "db: needs a rebuild; a rebuild ('brindle bf recover') would keep 3",
         ""},
        {"bf get db 1", "", 2, "", "db: not closed after its last change"},
        {"bf recover db", "", 0, "db: saved a copy as db.bak\n", ""},
    });
    EXPECT_NE(Read("stdout").find("db: kept 3 blocks (60 bytes of data)"), std::string::npos);
    EXPECT_EQ(Read("db.bak"), crashed) << "the copy is taken before anything changes";
    RunAll({
        {"bf check db", "", 0, "db: clean, 3 blocks", ""},
        {"bf recover db", "", 0, "db: clean, nothing to recover", ""},
    });
    // The second slot header (at 40, after block 1's 32-byte slot) loses its offset: the
    // rebuild skips block 2 and keeps block 3 behind it. An old copy is never replaced.
    std::string damaged = crashed;
    damaged[40] = 0;
    Write("db", damaged);
    RunAll({
        {"bf check db", "", 1, "db: offset 40: no valid slot header here: a rebuild goes on", ""},
        {"bf recover db", "", 2, "", "db.bak already exists: move it away, or recover with"},
        {"bf recover db --no-backup", "", 0,
         "dropped at offset 40: a rebuild turns the 48 unreadable bytes from here into free space",
         ""},
        {"bf ls db", "", 0, "1\t10\t8\n3\t30\t88\n", ""},
    });
    EXPECT_EQ(Read("db.bak"), crashed);
    // An intact trailer over a broken index: Open refuses it read-only and rebuilds it
    // read-write, as recover does.
    Write("db", crashed);
    Run({"bf recover db --no-backup", "", 0, "kept 3 blocks", ""});
    std::string index = Read("db");
    index[index.size() - 8] = 1;  // the index offset
    Write("db", index);
    RunAll({
        {"bf check db", "", 1, "cannot be", ""},
        {"bf get db 1", "", 2, "", "db: damaged"},
        {"bf recover db --no-backup", "", 0, "kept 3 blocks", ""},
    });
    // A clean file whose second slot header names another offset: the index opens, and what
    // check says a forced rebuild keeps is what it keeps.
    std::string header = Read("db");
    header[40] = 0;
    Write("db", header);
    RunAll({
        {"bf check db", "", 1, "db: damaged; a rebuild ('brindle bf recover --force') would keep 2",
         ""},
        {"bf recover db --no-backup --force", "", 0, "kept 2 blocks", ""},
    });
}

// A file that a program holds open for writing is refused by every command; one held for
// reading by those that would change it. A command refused changes nothing.
TEST_F(BrindleToolTest, FileInUseIsLeftAlone) {
    const std::string portable = "/" + Path("db");
    ASSERT_EQ(XBlockFile::Create(portable.c_str()), 0);
    XBlockFile holder;
    ASSERT_EQ(holder.Open(portable.c_str(), false), 0);
    ASSERT_EQ(holder.WriteBlock(1, "unflushed", 9), 0);
    const std::string held = Read("db");
    const char* const commands[] = {"bf info db",        "bf ls db",      "bf get db 1",
                                    "bf put db 2 stdin", "bf rm db 1",    "bf check db",
                                    "bf recover db",     "bf compact db", "bf dump db"};
    const std::string inUse = "brindle: db is in use by another program\n";
    for (const char* command : commands)
        Run({command, "x", 2, "", inUse});
    EXPECT_EQ(Read("db"), held);
    EXPECT_FALSE(std::ifstream(Path("db.bak")).good());
    holder.Close();
    ASSERT_EQ(holder.Open(portable.c_str(), true), 0);
    for (const char* command : {"bf put db 2 stdin", "bf rm db 1", "bf compact db"})
        Run({command, "x", 2, "", inUse});
    RunAll({
        {"bf get db 1", "", 0, "unflushed", ""},
        {"bf check db", "", 0, "db: clean, 1 blocks", ""},
        // OUT may not be the file read: opening it would empty it.
        {"bf get db 1 -o db", "", 64, "", "db: -o names the block file being read"},
    });
    holder.Close();
    ASSERT_EQ(symlink(Path("db").c_str(), Path("link").c_str()), 0);
    Run({"bf get db 1 -o link", "", 64, "", "link: -o names the block file being read"});
    Run({"bf get db 1", "", 0, "unflushed", ""});
}

TEST_F(BrindleToolTest, StoresAndBlobSets) {
    const std::string json =
        "{\"n\": [1, -2], \"f\": [0.5, 1e2, 2.5E-1], \"b\": {\"blob\": \"00ff\"},\n"
        " \"s\": \"a\\\"\\u00e9\\ud83d\\ude00\\u007f\","
        " \"t\": {\"locstr\": \"x\"}, \"ok\": true}";
    const std::string text =
        "\"b\": blob 00ff\n\"f\": float 0.5, 100.0, 0.25\n\"n\": int 1, -2\n\"ok\": bool true\n"
        "\"s\": string \"a\\\"\xC3\xA9\xF0\x9F\x98\x80\\u007f\"\n\"t\": locstr \"x\"\n";
    XAKeyBlob set;
    set.SetBlob("key", "\x01\x02", 2);
    uint32_t size = 0;
    const char* flat = static_cast<const char*>(set.GetData(&size));
    Write("set", std::string(flat, size));
    RunAll({
        {"store from-json - -o store", json, 0, "", ""},
        {"store dump store", "", 0, "# store: 6 entries, 192 bytes, little-endian\n" + text, ""},
        {"store dump --json store", "", 0, "  \"n\": [1, -2],\n", ""},
    });
    Write("again.json", Read("stdout"));
    Run({"store from-json again.json -o again", "", 0, "", ""});
    RunAll({
        {"store dump - ", Read("again"), 0, text, ""},
        {"store from-json -", "{\"n\": [1, \"x\"]}", 2, "", "line 1, column 11: the elements"},
        {"store from-json -", "{\"n\": 1", 2, "", "line 1, column 8: expected ',' or '}'"},
        {"store from-json -", "{\"n\": \"\\u1xyz\"}", 2, "", "line 1, column 14: bad escape"},
        {"store from-json -", "{\"n\": 2147483648}", 2, "", "integer outside the 32-bit range"},
        {"store dump set", "", 2, "", "set: not a store"},
        {"blobs dump set", "", 0, "\"key\": 2 bytes 0102\n", ""},
        {"blobs dump store", "", 2, "", "store: not a blob set"},
        {"--version", "", 0, "brindle ", ""},
    });
    // Entry 1's record repeats entry 0's: the bytes they share are shown once.
    Run({"store from-json - -o shared",
         "{\"a\": {\"blob\": \"" + std::string(200, 'f') + "\"}, \"z\": 1}", 0, "", ""});
    std::string shared = Read("shared");
    shared.replace(36, 16, shared, 20, 16);
    Write("shared", shared);
    Run({"store dump shared", "", 1, "\"a\": blob <damaged>\n",
         "brindle: entry 1: value 0 of 1 lies outside the store or on bytes shown before\n"});
}

TEST_F(BrindleToolTest, ProgressLineOnlyOnATerminal) {
    const std::string portable = "/" + Path("db");
    ASSERT_EQ(XBlockFile::Create(portable.c_str()), 0);
    {
        XBlockFile file;
        ASSERT_EQ(file.Open(portable.c_str(), false), 0);
        const std::string mebibyte(1 << 20, 'x');
        for (uint32_t id = 1; id <= 70; ++id)
            ASSERT_EQ(file.WriteBlock(id, mebibyte.data(), 1 << 20), 0);
    }
    // The line is drawn, then cleared before the answer; the pty turns "\n" into "\r\n".
    std::string shown = OnTerminal("bf check db");
    EXPECT_NE(shown.find("\r\033[Kchecking db: "), std::string::npos) << shown;
    EXPECT_NE(shown.find("\r\033[Kdb: clean, 70 blocks, 0 free slots\r\n"), std::string::npos)
        << shown;
    RunAll({
        {"bf check db", "", 0, "db: clean", ""},
        {"bf rm db 1", "", 0, "", ""},
        {"bf compact db", "", 0, "db: reclaimed", ""},
    });
    std::fstream(Path("db"), std::ios::in | std::ios::out | std::ios::binary)
        .seekp(-4, std::ios::end)
        .write("\0\0\0\0", 4);  // over the trailer's magic: the file needs a rebuild
    shown = OnTerminal("bf recover db");
    EXPECT_NE(shown.find("\033[Krecovering db: rebuilding the index\r\033[Kdb: kept 69 blocks"),
              std::string::npos)
        << shown;
}

// A usage error is its one line, then where to read more; a group alone lists its commands.
TEST_F(BrindleToolTest, UsageErrorsAndGroupHelp) {
    const struct {
        const char* command;
        const char* problem;
        const char* topic;  // of the --help to try
    } kErrors[] = {
        {"frob", "unknown command: frob", ""},
        {"--frob", "unknown option: --frob", ""},
        {"bf frob db", "unknown command: bf frob", "bf "},
        {"bf get db", "usage: brindle bf get FILE ID [-o OUT]", "bf get "},
        {"bf get db 12x", "not a block ID: 12x (decimal, or hexadecimal after 0x)", "bf get "},
        {"bf ls --force db", "unknown option: --force", "bf ls "},
        {"bf ls -o out db", "unknown option: -o", "bf ls "},
        {"bf create ''", "empty argument", "bf create "},
        {"store from-json - -o", "-o needs a file name", "store from-json "},
    };
    for (const auto& error : kErrors) {
        const std::string said = std::string("brindle: ") + error.problem + "\nTry 'brindle " +
                                 error.topic + "--help' for more information.\n";
        Run({error.command, "", 64, "", said});
        EXPECT_EQ(Read("stderr"), said);
    }
    Run({"bf", "", 64, "", "usage: brindle bf COMMAND [ARGUMENTS]\n\n  bf create FILE"});
    EXPECT_NE(Read("stderr").find("\n  bf recover FILE [--force]"), std::string::npos);
    EXPECT_EQ(Read("stderr").find("store dump"), std::string::npos) << "only the group's commands";
    RunAll({
        {"blobs --help", "", 0, "usage: brindle blobs COMMAND [ARGUMENTS]\n\n  blobs dump", ""},
        {"bf -h", "", 0, "  bf info FILE [--json]", ""},
        {"", "", 64, "", "usage: brindle [--help] [--version] GROUP COMMAND"},
    });
}

// Each --json form prints one JSON document that says what the text form says, for files
// clean, empty, needing a rebuild and damaged.
TEST_F(BrindleToolTest, JsonFormsSayWhatTheTextSays) {
    KilledWriter();
    std::string damaged = Read("db");
    damaged[40] = 0;  // the second slot header: a rebuild stops there
    Write("crashed", Read("db"));
    Write("damaged", damaged);
    Write("forty", std::string(40, 'x'));
    RunAll({
        {"bf create empty", "", 0, "", ""},
        {"bf create clean", "", 0, "", ""},
        {"bf put clean 7", "hello", 0, "", ""},
        {"bf put clean 9", "gone", 0, "", ""},
        {"bf put clean 0x10 forty", "", 0, "", ""},
        {"bf rm clean 9", "", 0, "", ""},
    });
    const std::vector<std::pair<std::string, std::string>> kStates = {{"empty", "clean"},
                                                                      {"clean", "clean"},
                                                                      {"crashed", "needs-rebuild"},
                                                                      {"damaged", "damaged"}};
    for (const auto& [file, state] : kStates) {
        SCOPED_TRACE(file);
        const Json info = RunJson("bf info --json " + file, 0);
        EXPECT_EQ(info.Keys(),
                  (std::vector<std::string>{"file", "state", "index_usable", "file_size", "blocks",
                                            "data_bytes", "free_slots", "free_bytes"}));
        EXPECT_EQ(info["file"].text, file);
        EXPECT_EQ(info["state"].text, state);
        EXPECT_EQ(Execute("bf info " + file, ""), 0);
        const std::string text = Read("stdout");
        for (const auto& [label, key] : {std::pair{"file size:", "file_size"},
                                         {"blocks:", "blocks"},
                                         {"data bytes:", "data_bytes"},
                                         {"free slots:", "free_slots"},
                                         {"free bytes:", "free_bytes"}}) {
            std::string line = label;
            line.resize(12, ' ');
            EXPECT_NE(text.find(line + info[key].text + "\n"), std::string::npos) << key;
        }

        const Json list = RunJson("bf ls --json " + file, 0);
        EXPECT_EQ(list.Keys(), (std::vector<std::string>{"file", "index_usable", "blocks"}));
        EXPECT_EQ(list["index_usable"].boolean, info["index_usable"].boolean);
        EXPECT_EQ(list["blocks"].items.size(), info["blocks"].Unsigned());
        std::string lines;
        for (const Json& block : list["blocks"].items) {
            EXPECT_EQ(block.Keys(), (std::vector<std::string>{"id", "length", "offset"}));
            lines +=
                block["id"].text + "\t" + block["length"].text + "\t" + block["offset"].text + "\n";
        }
        EXPECT_EQ(Execute("bf ls " + file, ""), 0);
        EXPECT_EQ(Read("stdout"), lines);

        const int verdict = state == "clean" ? 0 : 1;
        const Json check = RunJson("bf check --json " + file, verdict);
        EXPECT_EQ(check.Keys(),
                  (std::vector<std::string>{"file", "state", "blocks", "free_slots", "findings"}));
        EXPECT_EQ(check["state"].text, state);
        EXPECT_EQ(check["blocks"].text, info["blocks"].text);
        EXPECT_EQ(check["free_slots"].text, info["free_slots"].text);
        std::string problems;
        for (const Json& finding : check["findings"].items) {
            EXPECT_EQ(finding.Keys(),
                      (std::vector<std::string>{"offset", "fault", "value", "text"}));
            problems +=
                file + ": offset " + finding["offset"].text + ": " + finding["text"].text + "\n";
        }
        EXPECT_EQ(Execute("bf check " + file, ""), verdict);
        EXPECT_EQ(Read("stdout").substr(0, problems.size()), problems);
    }
    // The layout: a member a line, a block a line, and an empty array in one piece.
    EXPECT_EQ(Execute("bf ls --json clean", ""), 0);
    EXPECT_EQ(Read("stdout"),
              "{\n  \"file\": \"clean\",\n  \"index_usable\": true,\n  \"blocks\": [\n"
              "    {\"id\": 7, \"length\": 5, \"offset\": 8},\n"
              "    {\"id\": 16, \"length\": 40, \"offset\": 72}\n  ]\n}\n");
    EXPECT_EQ(Execute("bf check --json empty", ""), 0);
    EXPECT_EQ(Read("stdout"),
              "{\n  \"file\": \"empty\",\n  \"state\": \"clean\",\n  \"blocks\": 0,\n"
              "  \"free_slots\": 0,\n  \"findings\": []\n}\n");
    // The faults by name, with their offsets.
    auto faults = [&](const std::string& file) {
        std::vector<std::string> named;
        const Json check = RunJson("bf check --json " + file, 1);
        for (const Json& finding : check["findings"].items)
            named.push_back(finding["fault"].text + "@" + finding["offset"].text);
        return named;
    };
    EXPECT_EQ(faults("crashed"), std::vector<std::string>{"no-trailer@136"});
    EXPECT_EQ(faults("damaged"),
              (std::vector<std::string>{"no-trailer@136", "bad-slot@40", "skipped@40"}));
}

// The blob set's names and bytes come back from its JSON, escapes and all.
TEST_F(BrindleToolTest, BlobSetAsJson) {
    const std::vector<std::pair<std::string, std::string>> kBlobs = {
        {"", "empty name"},
        {"\x01 \"quoted\" back\\slash\ttab\n", std::string("\0\xff", 2)},
        {"gr\xC3\xBC\xC3\x9F"
         "e",
         ""},
    };
    XAKeyBlob set;
    for (const auto& [name, bytes] : kBlobs)
        ASSERT_TRUE(set.StoreBlob(name.c_str(), bytes.data(), static_cast<uint32_t>(bytes.size())));
    uint32_t size = 0;
    const char* flat = static_cast<const char*>(set.GetData(&size));
    Write("set", std::string(flat, size));
    const Json json = RunJson("blobs dump --json set", 0);
    EXPECT_EQ(json.Keys(), std::vector<std::string>{"blobs"});
    ASSERT_EQ(json["blobs"].items.size(), kBlobs.size());
    for (size_t i = 0; i < kBlobs.size(); ++i) {
        const Json& blob = json["blobs"].items[i];
        EXPECT_EQ(blob.Keys(), (std::vector<std::string>{"name", "size", "hex"}));
        EXPECT_EQ(blob["name"].text, kBlobs[i].first);
        EXPECT_EQ(blob["size"].Unsigned(), kBlobs[i].second.size());
        std::string hex;
        for (unsigned char c : kBlobs[i].second) {
            char digits[3];
            snprintf(digits, sizeof digits, "%02x", c);
            hex += digits;
        }
        EXPECT_EQ(blob["hex"].text, hex);
    }
    Write("junk", "not a blob set");
    Run({"blobs dump --json junk", "", 2, "", "junk: not a blob set"});
}

}  // namespace
