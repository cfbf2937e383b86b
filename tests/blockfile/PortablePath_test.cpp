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

TEST(PortableToNativePath, DropsTheLeadingCharacterAndRefusesWhatDoesNotFit) {
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
}

TEST(NativeToPortablePath, PrefixesASlashAndRoundTrips) {
    char portable[kPortablePathSize];
    for (const char* native : {"/tmp/a.db", "relative/x.db", "a", "/", ""}) {
        NativeToPortablePath(native, portable);
        EXPECT_EQ(std::string(portable), std::string("/") + native);
        EXPECT_EQ(ToNative(portable), native);
    }
    std::string fits(kPortablePathSize - 2, 'n');
    NativeToPortablePath(fits.c_str(), portable);
    EXPECT_EQ(std::string(portable), "/" + fits);
    NativeToPortablePath((fits + "n").c_str(), portable);
    EXPECT_STREQ(portable, "");
    NativeToPortablePath(nullptr, portable);
    EXPECT_STREQ(portable, "");
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

TEST(PathAliases, NewerRegistrationShadowsOlderAndAliasesExpandRepeatedly) {
    RegisterPathAlias(0x53484457, "/first");  // "SHDW"
    RegisterPathAlias(0x53484457, "/second");
    RegisterPathAlias(0x53484457, nullptr);
    EXPECT_STREQ(FindPathAlias(0x53484457), "/second");
    EXPECT_EQ(ToNative("[SHDW]/f"), "second/f");
    RegisterPathAlias(0x4F555452, "[INNR]/outer");  // "OUTR"
    RegisterPathAlias(0x494E4E52, "//srv");         // "INNR"
    EXPECT_EQ(ToNative("[OUTR]/file"), "/srv/outer/file");
}

TEST(PathAliases, FailedExpansionLeavesThePathAsWritten) {
    EXPECT_EQ(FindPathAlias(0x41424344), nullptr);  // "ABCD"
    EXPECT_EQ(ToNative("[ABCD]/users.db"), "ABCD]/users.db");
    EXPECT_EQ(ToNative("[APP]/x"), "APP]/x");
    EXPECT_EQ(Expand("[ABCD]/users.db"), Expanded(false, "[ABCD]/users.db"));
    EXPECT_EQ(Expand("[APP]"), Expanded(true, "[APP]"));
    EXPECT_FALSE(ExpandPathAliases(nullptr));
    RegisterPathAlias(0x4359434C, "[CYCL]");    // "CYCL": expands to itself forever
    RegisterPathAlias(0x50494E47, "[PONG]/a");  // "PING"
    RegisterPathAlias(0x504F4E47, "[PING]/b");  // "PONG"
    EXPECT_EQ(Expand("[CYCL]/x"), Expanded(false, "[CYCL]/x"));
    EXPECT_EQ(Expand("[PING]/x"), Expanded(false, "[PING]/x"));
    // The expansion must fit the buffer.
    std::string dir = "/" + std::string(999, 'd');        // 1000 characters
    RegisterPathAlias(0x4C4F4E47, dir.c_str());           // "LONG"
    std::string fits = "[LONG]/" + std::string(17, 'f');  // 24 characters
    EXPECT_EQ(Expand(fits), Expanded(true, dir + fits.substr(6)));
    EXPECT_EQ(Expand(fits + "f"), Expanded(false, fits + "f"));
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
