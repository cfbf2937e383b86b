// SPDX-License-Identifier: MIT

#include <brindle/blockfile/PortablePath.h>

#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <brindle/Debg.h>

namespace {

constexpr uint32_t kAppl = 0x4150504C;

std::string ToNative(const std::string& portable) {
    char native[kPortablePathSize];
    memset(native, 'x', sizeof native);
    PortableToNativePath(portable.c_str(), native);
    return native;
}

// What ExpandPathAliases returns for `path`, and the path it leaves.
using Expanded = std::pair<bool, std::string>;
Expanded Expand(const std::string& path) {
    char buffer[kPortablePathSize];
    snprintf(buffer, sizeof buffer, "%s", path.c_str());
    bool expanded = ExpandPathAliases(buffer);
    return {expanded, buffer};
}

std::string ExecutableDir() {
    char exe[PATH_MAX];
    ssize_t got = readlink("/proc/self/exe", exe, sizeof exe - 1);
    EXPECT_GT(got, 0);
    std::string name(exe, static_cast<size_t>(got));
    return name.substr(0, name.rfind('/'));
}

TEST(PortablePath, ConvertsEachWayAndRefusesWhatDoesNotFit) {
    std::string longest = "/" + std::string(kPortablePathSize - 2, 'a');
    const std::string cases[][2] = {
        {"//tmp/a.db", "/tmp/a.db"},
        {"/a/b", "a/b"},
        {"xname", "name"},
        {"/", ""},
        {"", ""},
        {longest, longest.substr(1)},
        {longest + "b", ""},
        {std::string(5000, 'a'), ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ToNative(c[0]), c[1]) << c[0];
    char native[kPortablePathSize] = "unchanged";
    PortableToNativePath(nullptr, native);
    EXPECT_STREQ(native, "");
    // Into a buffer with room to spare, a native path is converted only when it fits with
    // the leading slash and the NUL.
    std::vector<char> portable(6000, 'x');
    for (const std::string& path :
         {std::string("/tmp/a.db"), std::string("relative/x.db"), std::string(),
          std::string(kPortablePathSize - 2, 'n'), std::string(kPortablePathSize - 1, 'n'),
          std::string(kPortablePathSize, 'n'), std::string(5000, 'n')}) {
        NativeToPortablePath(path.c_str(), portable.data());
        const bool fits = path.size() <= kPortablePathSize - 2;
        EXPECT_EQ(std::string(portable.data()), fits ? "/" + path : "") << path.size();
        if (fits) {
            EXPECT_EQ(ToNative(portable.data()), path);
        }
    }
    NativeToPortablePath(nullptr, portable.data());
    EXPECT_STREQ(portable.data(), "");
}

TEST(AppPaths, ApplIsTheDirectoryOfTheRunningExecutable) {
    char path[kPortablePathSize];
    char dir[kPortablePathSize];
    GetAppPortablePath(path);
    GetAppPortableDir(dir);
    EXPECT_EQ(std::string(dir), "/" + ExecutableDir());
    EXPECT_EQ(std::string(path).rfind(dir, 0), 0u);
    EXPECT_EQ(path[strlen(dir)], '/');
    ASSERT_NE(FindPathAlias(kAppl), nullptr);
    EXPECT_STREQ(FindPathAlias(kAppl), dir);
    EXPECT_EQ(ToNative("[APPL]/users.db"), ExecutableDir() + "/users.db");
    EXPECT_EQ(ToNative("[APPL]"), ExecutableDir());
}

// A newer registration of a code shadows an older one; an alias may lead to another. An
// unknown alias, a cycle or an expansion that would not fit leaves the path as written.
TEST(PathAliases, ExpandRepeatedlyOrLeaveThePathAsWritten) {
    RegisterPathAlias(0x53484457, "/first");  // "SHDW"
    RegisterPathAlias(0x53484457, "/second");
    RegisterPathAlias(0x53484457, nullptr);
    RegisterPathAlias(0x4F555452, "[INNR]/outer");              // "OUTR"
    RegisterPathAlias(0x494E4E52, "//srv");                     // "INNR"
    RegisterPathAlias(0x4359434C, "[CYCL]");                    // "CYCL": expands to itself forever
    RegisterPathAlias(0x50494E47, "[PONG]/a");                  // "PING"
    RegisterPathAlias(0x504F4E47, "[PING]/b");                  // "PONG"
    const std::string dir = "/" + std::string(999, 'd');        // 1000 characters
    RegisterPathAlias(0x4C4F4E47, dir.c_str());                 // "LONG"
    const std::string fits = "[LONG]/" + std::string(17, 'f');  // 24 characters
    const std::pair<std::string, Expanded> cases[] = {
        {"[SHDW]/f", {true, "/second/f"}},
        {"[OUTR]/file", {true, "//srv/outer/file"}},
        {"[ABCD]/users.db", {false, "[ABCD]/users.db"}},
        {"[APP]", {true, "[APP]"}},  // no alias at all
        {"[CYCL]/x", {false, "[CYCL]/x"}},
        {"[PING]/x", {false, "[PING]/x"}},
        {fits, {true, dir + fits.substr(6)}},
        {fits + "f", {false, fits + "f"}},
    };
    for (const auto& [path, expanded] : cases)
        EXPECT_EQ(Expand(path), expanded) << path;
    EXPECT_FALSE(ExpandPathAliases(nullptr));
    EXPECT_STREQ(FindPathAlias(0x53484457), "/second");
    EXPECT_EQ(FindPathAlias(0x41424344), nullptr);  // "ABCD"
    EXPECT_EQ(ToNative("[OUTR]/file"), "/srv/outer/file");
    EXPECT_EQ(ToNative("[ABCD]/users.db"), "ABCD]/users.db");
}

TEST(PathAliases, RegistrationWithoutMemoryRegistersNothing) {
    InitPathAliases();
    DebgFailAllocation(1);
    RegisterPathAlias(0x4E4F4D45, "/nomem");  // "NOME"
    EXPECT_EQ(DebgPendingAllocationFailure(), 0u);
    EXPECT_EQ(FindPathAlias(0x4E4F4D45), nullptr);
}

TEST(PathAliases, ConcurrentRegistrationsAreAllFound) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kPerThread; ++i) {
                uint32_t code = 0x54000000u | static_cast<uint32_t>(t << 8 | i);
                std::string dir = "/t" + std::to_string(t) + "/" + std::to_string(i);
                RegisterPathAlias(code, dir.c_str());
                EXPECT_STREQ(FindPathAlias(code), dir.c_str());
                EXPECT_NE(FindPathAlias(kAppl), nullptr);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i) {
            uint32_t code = 0x54000000u | static_cast<uint32_t>(t << 8 | i);
            EXPECT_NE(FindPathAlias(code), nullptr);
        }
    }
}

// The first use of the registry must happen inside the test, so it runs in a fresh copy of
// this program: several threads then race to be the one that registers "APPL".
TEST(PathAliasesDeathTest, FirstUseFromManyThreadsRegistersApplOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const std::string expected = ExecutableDir() + "/x.db";
            std::vector<std::thread> threads;
            std::atomic<int> wrong{0};
            for (int t = 0; t < 8; ++t) {
                threads.emplace_back([&wrong, &expected] {
                    char native[kPortablePathSize];
                    PortableToNativePath("[APPL]/x.db", native);
                    if (expected != native)
                        ++wrong;
                });
            }
            for (auto& thread : threads)
                thread.join();
            exit(wrong == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
