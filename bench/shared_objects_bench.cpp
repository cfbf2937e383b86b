// SPDX-License-Identifier: MIT
// Looking up and releasing shared objects by reference, against a std::mutex guarding a
// std::unordered_map from reference to object and use count: the same work (find, count a
// use, give it back) done the obvious way.
#include <benchmark/benchmark.h>
#include <brindle/brindle.h>
#include <brindle/concurrency/XTSObject.h>

#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

constexpr uint32_t kObjects = 1000;

class Plain : public XTSObject {};

// Built once and shared by every thread of a run; left alive until the process ends.
const std::vector<uint32_t>& SharedReferences() {
    static const std::vector<uint32_t>* references = [] {
        XTSObject::Init();
        auto* made = new std::vector<uint32_t>;
        for (uint32_t i = 0; i < kObjects; ++i)
            made->push_back((new Plain)->GetRef());
        return made;
    }();
    return *references;
}

void BM_XTSObjectGetRelease(benchmark::State& state) {
    const std::vector<uint32_t>& references = SharedReferences();
    uint32_t i = static_cast<uint32_t>(state.thread_index()) * 97;
    for (auto _ : state) {
        XTSObject* object = XTSObject::GetObjectA(references[i++ % kObjects]);
        benchmark::DoNotOptimize(object);
        XTSObject::ReleaseObject(object);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_XTSObjectGetRelease)->Threads(1)->Threads(4)->UseRealTime();

struct Counted {
    uint32_t uses = 0;
};

struct MutexMap {
    std::mutex mutex;
    std::unordered_map<uint32_t, Counted*> objects;
};

MutexMap& SharedMap() {
    static MutexMap* map = [] {
        auto* made = new MutexMap;
        for (uint32_t i = 0; i < kObjects; ++i)
            made->objects[SharedReferences()[i]] = new Counted;
        return made;
    }();
    return *map;
}

void BM_MutexMapGetRelease(benchmark::State& state) {
    const std::vector<uint32_t>& references = SharedReferences();
    MutexMap& map = SharedMap();
    uint32_t i = static_cast<uint32_t>(state.thread_index()) * 97;
    for (auto _ : state) {
        Counted* object = nullptr;
        {
            std::lock_guard<std::mutex> hold(map.mutex);
            auto found = map.objects.find(references[i++ % kObjects]);
            if (found != map.objects.end()) {
                object = found->second;
                ++object->uses;
            }
        }
        benchmark::DoNotOptimize(object);
        std::lock_guard<std::mutex> hold(map.mutex);
        --object->uses;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MutexMapGetRelease)->Threads(1)->Threads(4)->UseRealTime();

}  // namespace
