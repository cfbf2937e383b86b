// SPDX-License-Identifier: MIT
// Drives an XRefList through a script of operations read from the input and checks every
// step against a model: a map from live reference to value, in creation order, and the
// references already removed, which must never find anything again.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <vector>

#include "FuzzScript.h"
#include "brindle/containers/XRefList.h"

namespace {

struct Model {
    std::map<uint32_t, uint32_t> values;
    std::vector<uint32_t> order;  // live references, oldest first
    std::vector<uint32_t> removed;

    void Remove(uint32_t reference) {
        values.erase(reference);
        order.erase(std::find(order.begin(), order.end(), reference));
        removed.push_back(reference);
    }
};

// The bytes of a value that fit in an item.
uint32_t Stored(uint32_t value, uint32_t elementSize) {
    uint32_t kept = 0;
    memcpy(&kept, &value, std::min<uint32_t>(elementSize, sizeof kept));
    return kept;
}

uint32_t Read(const void* data, uint32_t elementSize) {
    uint32_t value = 0;
    memcpy(&value, data, std::min<uint32_t>(elementSize, sizeof value));
    return value;
}

// A reference worth trying: a live one, a removed one, or anything at all.
uint32_t PickReference(FuzzScript& script, const Model& model) {
    uint8_t how = script.Byte();
    if (how % 3 == 0 && !model.order.empty())
        return model.order[script.Byte() % model.order.size()];
    if (how % 3 == 1 && !model.removed.empty())
        return model.removed[script.Byte() % model.removed.size()];
    return script.Word();
}

void VisitInto(const void* data, void* context) {
    auto* seen = static_cast<std::vector<const void*>*>(context);
    seen->push_back(data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzScript script(data, size);
    static const uint32_t kSizes[] = {1, 2, 3, 4, 7, 8, 16, 0};
    uint32_t elementSize = kSizes[script.Byte() % 8];
    XRefList list(elementSize, script.Byte() % 2 == 0);
    Model model;
    while (!script.Done()) {
        switch (script.Byte() % 7) {
            case 0: {
                uint32_t value = script.Word();
                uint8_t item[16] = {};  // the largest element size
                memcpy(item, &value, sizeof value);
                uint32_t reference = list.AddItem(item);
                REQUIRE(reference != 0);
                REQUIRE(model.values.count(reference) == 0);
                REQUIRE(std::find(model.removed.begin(), model.removed.end(), reference) ==
                        model.removed.end());
                model.values[reference] = Stored(value, elementSize);
                model.order.push_back(reference);
                break;
            }
            case 1: {
                uint32_t reference = PickReference(script, model);
                bool live = model.values.count(reference) != 0;
                REQUIRE(list.RemoveItem(reference) == live);
                if (live)
                    model.Remove(reference);
                break;
            }
            case 2: {
                REQUIRE(list.RemoveFirstItem() == !model.order.empty());
                if (!model.order.empty())
                    model.Remove(model.order.front());
                break;
            }
            case 3: {
                uint32_t reference = PickReference(script, model);
                void* item = list.GetItem(reference);
                auto found = model.values.find(reference);
                REQUIRE((item != nullptr) == (found != model.values.end()));
                if (item != nullptr) {
                    REQUIRE(Read(item, elementSize) == found->second);
                    REQUIRE(list.IndexOf(item) == reference);
                }
                break;
            }
            case 4: {
                std::vector<const void*> seen;
                list.DoForEach(VisitInto, &seen);
                REQUIRE(seen.size() == model.order.size());
                for (size_t i = 0; i < seen.size(); ++i)
                    REQUIRE(list.IndexOf(const_cast<void*>(seen[i])) == model.order[i]);
                void* first = list.GetFirstItem();
                REQUIRE((first == nullptr) == model.order.empty());
                break;
            }
            case 5:
                list.Preallocate(static_cast<uint16_t>(script.Byte() * 64));
                break;
            default: {
                // A pointer near an item names either nothing or a live item.
                uint8_t* near = static_cast<uint8_t*>(list.GetFirstItem());
                if (near != nullptr) {
                    uint32_t reference = list.IndexOf(near + script.Byte() % 64 - 8);
                    REQUIRE(reference == 0 || model.values.count(reference) != 0);
                }
                break;
            }
        }
        REQUIRE(list.Count() == model.order.size());
        REQUIRE(list.IsEmpty() == model.order.empty());
    }
    return 0;
}
