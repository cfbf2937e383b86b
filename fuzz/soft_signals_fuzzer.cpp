// SPDX-License-Identifier: MIT
// Drives a SoftSignalMgr on a hand-driven clock through a script of posts, clears, aborts,
// clock steps (also backward, as a test hook can set it) and idles read from the input, and
// checks every step against a model: the pending signals with their due times, fired in due
// order and, among equals, posting order, and the post observer told of exactly the posts
// that become the earliest pending signal.
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <vector>

#include "FuzzScript.h"
#include "brindle/Debg.h"
#include "brindle/net/SoftSignalMgr.h"

namespace {

uint32_t g_tick = 0;
uint32_t Tick() {
    return g_tick;
}

struct Pending {
    uint32_t id;
    uint64_t due;
    uint64_t serial;  // posting order
};

struct Call {
    int32_t reason;
    uint64_t serial;
};

std::vector<Call>* g_calls = nullptr;

void Record(int32_t reason, void* serial, void*, void*, void*) {
    g_calls->push_back({reason, reinterpret_cast<uintptr_t>(serial)});
}

void CountWake(void* wakes) {
    ++*static_cast<int*>(wakes);
}

bool FiresBefore(const Pending& a, const Pending& b) {
    return a.due != b.due ? a.due < b.due : a.serial < b.serial;
}

std::vector<Pending>::iterator FindId(std::vector<Pending>& pending, uint32_t id) {
    return std::find_if(pending.begin(), pending.end(),
                        [id](const Pending& p) { return p.id == id; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    g_tick = 5000;
    DebgSetLastBootTime(0);
    DebgSetTickSource(Tick);
    std::vector<Call> calls;
    g_calls = &calls;
    std::vector<Pending> pending;
    std::vector<uint32_t> retired;
    uint64_t serial = 0;
    {
        SoftSignalMgr manager;
        int wakes = 0;
        manager.SetPostObserver(CountWake, &wakes);
        FuzzScript script(data, size);
        auto byte = [&] { return script.Byte(); };
        auto pick = [&]() -> uint32_t {
            uint8_t how = byte();
            if (how % 3 == 0 && !pending.empty())
                return pending[byte() % pending.size()].id;
            if (how % 3 == 1 && !retired.empty())
                return retired[byte() % retired.size()];
            return (uint32_t{byte()} << 16) | byte();
        };
        while (!script.Done()) {
            uint8_t op = byte() % 6;
            if (op == 0 || op == 1) {
                uint64_t delay = op == 0 ? byte() % 16 : byte() * 7;
                uint64_t now = g_tick;
                int wakesBefore = wakes;
                uint32_t id = manager.Post(delay, Record, reinterpret_cast<void*>(serial), nullptr,
                                           nullptr, nullptr);
                REQUIRE(id != 0 && (id & 0xFFFF) != 0);
                REQUIRE(FindId(pending, id) == pending.end());
                Pending posted{id, delay == 0 ? now - 1 : now + delay, serial++};
                bool earliest = std::none_of(pending.begin(), pending.end(), [&](const Pending& p) {
                    return FiresBefore(p, posted);
                });
                REQUIRE(wakes == wakesBefore + (earliest ? 1 : 0));
                pending.push_back(posted);
            } else if (op == 2 || op == 3) {
                uint32_t id = pick();
                auto found = FindId(pending, id);
                bool live = found != pending.end();
                REQUIRE(manager.IsWaiting(id) == live);
                if (op == 2) {
                    REQUIRE(manager.Clear(id) == (live ? 0 : -1));
                } else {
                    size_t before = calls.size();
                    REQUIRE(manager.Abort(id, 9) == (live ? 0 : -1));
                    REQUIRE(calls.size() == before + (live ? 1 : 0));
                    if (live)
                        REQUIRE(calls.back().reason == 9 && calls.back().serial == found->serial);
                }
                if (live) {
                    pending.erase(found);
                    retired.push_back(id);
                }
            } else if (op == 4) {
                uint8_t step = byte();
                if (step & 0x80) {
                    g_tick -= std::min<uint32_t>(g_tick - 1, step % 32);
                    DebgSetLastBootTime(0);
                } else {
                    g_tick += step % 32;
                }
            } else {
                std::sort(pending.begin(), pending.end(), FiresBefore);
                calls.clear();
                uint64_t wait = manager.Idle();
                size_t due = 0;
                while (due < pending.size() && pending[due].due <= g_tick)
                    ++due;
                REQUIRE(calls.size() == due);
                for (size_t i = 0; i < due; ++i) {
                    REQUIRE(calls[i].reason == 0 && calls[i].serial == pending[i].serial);
                    REQUIRE(!manager.IsWaiting(pending[i].id));
                    retired.push_back(pending[i].id);
                }
                pending.erase(pending.begin(), pending.begin() + due);
                REQUIRE(wait == (pending.empty() ? 0 : pending.front().due - g_tick));
            }
        }
    }
    DebgSetTickSource(nullptr);
    return 0;
}
