// SPDX-License-Identifier: MIT

#include <pthread.h>
#include <stddef.h>
#include <string.h>

#include <atomic>

#include "brindle/blockfile/PortablePath.h"
#include "platform/Alloc.h"

namespace {

// One registered alias. The node and the text of its directory are one allocation, the text
// just after the node; nodes are never freed.
struct PathAlias {
    uint32_t code;
    PathAlias* next;
    char* dir;
};

// Newest registration first. Nodes are only ever pushed at the head, fully built before
// they are published, so readers walk the list without a lock.
std::atomic<PathAlias*> g_aliasList{nullptr};
pthread_once_t g_aliasInit = PTHREAD_ONCE_INIT;

constexpr uint32_t kApplicationCode = 0x4150504C;  // "APPL"
// Aliases that still lead to aliases after this many expansions form a cycle.
constexpr int kMaxExpansions = 16;

void PushAlias(uint32_t code, const char* dir) {
    size_t size = strlen(dir) + 1;
    PathAlias* node = static_cast<PathAlias*>(brindle::Malloc(sizeof(PathAlias) + size));
    if (node == nullptr)
        return;
    node->code = code;
    node->dir = reinterpret_cast<char*>(node + 1);
    memcpy(node->dir, dir, size);
    node->next = g_aliasList.load(std::memory_order_relaxed);
    while (!g_aliasList.compare_exchange_weak(node->next, node, std::memory_order_release,
                                              std::memory_order_relaxed)) {
    }
}

void RegisterApplicationAlias() {
    char dir[kPortablePathSize];
    GetAppPortableDir(dir);
    if (dir[0] != '\0')
        PushAlias(kApplicationCode, dir);
}

// The code of the alias at the start of `path`: its four characters, the first in the most
// significant byte.
uint32_t AliasCode(const char* path) {
    const unsigned char* code = reinterpret_cast<const unsigned char*>(path + 1);
    return uint32_t{code[0]} << 24 | uint32_t{code[1]} << 16 | uint32_t{code[2]} << 8 | code[3];
}

bool BeginsWithAlias(const char* path, size_t len) {
    return len >= 6 && path[0] == '[' && path[5] == ']';
}

}  // namespace

void InitPathAliases() {
    pthread_once(&g_aliasInit, RegisterApplicationAlias);
}

void RegisterPathAlias(uint32_t code, const char* dir) {
    InitPathAliases();
    if (dir != nullptr)
        PushAlias(code, dir);
}

const char* FindPathAlias(uint32_t code) {
    InitPathAliases();
    for (PathAlias* node = g_aliasList.load(std::memory_order_acquire); node != nullptr;
         node = node->next) {
        if (node->code == code)
            return node->dir;
    }
    return nullptr;
}

bool ExpandPathAliases(char* path) {
    if (path == nullptr)
        return false;
    InitPathAliases();
    size_t len = strnlen(path, kPortablePathSize);
    if (len == kPortablePathSize)
        return false;
    char kept[kPortablePathSize];
    memcpy(kept, path, len + 1);
    for (int round = 0; BeginsWithAlias(path, len); ++round) {
        const char* dir = round < kMaxExpansions ? FindPathAlias(AliasCode(path)) : nullptr;
        size_t dirLen = dir != nullptr ? strlen(dir) : 0;
        if (dir == nullptr || dirLen + len > kPortablePathSize) {
            memcpy(path, kept, strlen(kept) + 1);
            return false;
        }
        memmove(path + dirLen, path + 6, len - 6 + 1);
        memcpy(path, dir, dirLen);
        len = dirLen + len - 6;
    }
    return true;
}
