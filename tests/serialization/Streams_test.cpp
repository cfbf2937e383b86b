// SPDX-License-Identifier: MIT
// Binary streams: XOutput writes, XInput reads back, in either byte order.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <brindle/Debg.h>
#include <brindle/serialization/XInput.h>
#include <brindle/serialization/XOutput.h>
#include <gtest/gtest.h>

namespace {

constexpr uint32_t kMark = 0x5354524D;

// Exposes the capacity for the growth tests.
class PeekOutput : public XOutput {
  public:
    using XOutput::XOutput;
    uint32_t Capacity() const { return capacity; }
};

// A 32-bit word as its four native bytes.
std::string W(uint32_t value) {
    return std::string(reinterpret_cast<const char*>(&value), 4);
}

// The stream as bytes.
std::string Bytes(XOutput& out) {
    uint32_t len = 0;
    const char* data = static_cast<const char*>(out.GetData(&len));
    return data == nullptr ? std::string() : std::string(data, len);
}

// An XInput over an exact heap copy of some bytes, so that AddressSanitizer sees any read
// beyond them.
struct ExactInput {
    explicit ExactInput(const std::string& bytes)
        : block(new uint8_t[bytes.size()]), len(static_cast<uint32_t>(bytes.size())) {
        memcpy(block.get(), bytes.data(), bytes.size());
        Rebind();
    }
    void Rebind() { in.SetData(block.get(), len); }
    std::unique_ptr<uint8_t[]> block;
    uint32_t len;
    XInput in;
};

// ---- XOutput ----

TEST(XOutputFormat, ItemsFollowTheMarkPaddedToFour) {
    static char run[5] = {1, 2, 3, 4, 5};
    const struct {
        const char* what;
        void (*write)(XOutput*);
        std::string bytes;
    } cases[] = {
        {"nothing", [](XOutput*) {}, ""},
        {"int", [](XOutput* o) { o->WriteInt(0xDEADBEEF); }, W(0xDEADBEEF)},
        {"bool keeps its value", [](XOutput* o) { o->WriteBool(5); }, W(5)},
        {"empty string", [](XOutput* o) { o->WriteStr(""); }, W(0)},
        {"null string", [](XOutput* o) { o->WriteStr(nullptr); }, W(0)},
        {"3 chars", [](XOutput* o) { o->WriteStr("abc"); }, std::string("abc\0", 4)},
        {"4 chars", [](XOutput* o) { o->WriteStr("abcd"); }, "abcd" + W(0)},
        {"empty run", [](XOutput* o) { o->Write(run, 0); }, ""},
        {"null empty run", [](XOutput* o) { o->Write(nullptr, 0); }, ""},
        {"5-byte run", [](XOutput* o) { o->Write(run, 5); }, std::string("\1\2\3\4\5\0\0\0", 8)},
        {"read-only run", [](XOutput* o) { o->Write("xyz", 3); }, std::string("xyz\0", 4)},
    };
    for (const auto& c : cases) {
        XOutput out;
        c.write(&out);
        EXPECT_EQ(Bytes(out), W(kMark) + c.bytes) << c.what;
        EXPECT_EQ(out.GetOffset(), 4 + c.bytes.size()) << c.what;
        EXPECT_EQ(out.Error(), 0) << c.what;
    }
}

TEST(XOutputGrowth, BytesFromTheStreamItselfSurviveGrowth) {
    PeekOutput out;
    std::string fill(1020, ' ');
    for (size_t i = 0; i < fill.size(); ++i)
        fill[i] = static_cast<char>(i);
    out.Write(&fill[0], 1020);
    uint8_t* own = static_cast<uint8_t*>(out.GetData(nullptr));
    out.Write(own + 4, 1020);  // grows, moving the bytes it copies from
    EXPECT_EQ(out.Capacity(), 2048u);
    EXPECT_EQ(Bytes(out), W(kMark) + fill + fill);
}

TEST(XOutputError, EveryFailureIsStickyAndDropsTheBuffer) {
    static char few[4] = {};
    static char big[2000] = {};
    const struct {
        const char* what;
        uint32_t failingAllocation;  // 0: none
        void (*fail)(XOutput*);
    } cases[] = {
        {"growth out of memory", 1, [](XOutput* o) { o->Write(big, sizeof big); }},
        {"reset out of memory", 1, [](XOutput* o) { o->Reset(); }},
        {"forward move out of memory", 1, [](XOutput* o) { o->SetOffset(5000); }},
        {"forward move past 4 GiB", 0, [](XOutput* o) { o->SetOffset(0xFFFFFFFF); }},
        {"null source", 0, [](XOutput* o) { o->Write(nullptr, 4); }},
        // Lengths that wrap are refused before any byte of the source is read.
        {"length -1", 0, [](XOutput* o) { o->Write(few, 0xFFFFFFFF); }},
        {"length -4", 0, [](XOutput* o) { o->Write(few, 0xFFFFFFFC); }},
    };
    for (const auto& c : cases) {
        XOutput out;
        out.WriteInt(1);
        DebgFailAllocation(c.failingAllocation);
        c.fail(&out);
        EXPECT_EQ(DebgPendingAllocationFailure(), 0u) << c.what;
        DebgFailAllocation(0);
        EXPECT_EQ(out.Error(), -1) << c.what;
        uint32_t len = 99;
        EXPECT_EQ(out.GetData(&len), nullptr) << c.what;
        EXPECT_EQ(len, 0u);
        out.WriteInt(2);
        EXPECT_EQ(out.GetData(nullptr), nullptr) << c.what;
        XOutput copy(out);
        EXPECT_EQ(copy.Error(), -1) << c.what;
        out.Reset();
        EXPECT_EQ(out.Error(), -1) << c.what << ": Reset does not clear the error";
        EXPECT_EQ(out.GetData(nullptr), nullptr) << c.what;
    }
}

TEST(XOutputOffset, MovesBackToPlaceholdersAndForwardOverZeros) {
    PeekOutput out;
    uint32_t slot = out.GetOffset();
    out.WriteInt(0);
    out.WriteStr("payload");
    uint32_t end = out.GetOffset();
    out.SetOffset(slot);
    out.WriteInt(end);
    EXPECT_EQ(Bytes(out).size(), 8u) << "moving back shortens the stream";
    out.SetOffset(end);  // what was written there is still there
    const std::string written = W(kMark) + W(end) + "payload" + std::string(1, '\0');
    EXPECT_EQ(Bytes(out), written);
    // Beyond what was written the stream grows over zero bytes.
    out.SetOffset(end + 8);
    out.WriteInt(7);
    EXPECT_EQ(Bytes(out), written + W(0) + W(0) + W(7));
    out.SetOffset(3000);
    EXPECT_EQ(out.Capacity(), 3072u);
    EXPECT_EQ(Bytes(out), written + W(0) + W(0) + W(7) + std::string(3000 - end - 12, '\0'));
    // After Reset the bytes of the old stream do not come back.
    out.Reset();
    out.SetOffset(16);
    EXPECT_EQ(Bytes(out), W(kMark) + std::string(12, '\0'));
}

TEST(XOutputCopy, CopiesAreDeepAndIndependent) {
    XOutput out;
    out.WriteStr("shared?");
    std::string before = Bytes(out);
    XOutput copy(out);
    EXPECT_EQ(Bytes(copy), before);
    copy.WriteInt(9);
    EXPECT_EQ(Bytes(out), before);

    XOutput assigned(4096);
    assigned.WriteInt(5);
    assigned = out;
    EXPECT_EQ(Bytes(assigned), before);
    assigned = assigned;
    EXPECT_EQ(Bytes(assigned), before);

    DebgFailAllocation(1);
    XOutput starved(out);
    EXPECT_EQ(starved.Error(), -1);
    EXPECT_EQ(starved.GetData(nullptr), nullptr);
    EXPECT_EQ(out.Error(), 0);
}

// ---- XInput ----

TEST(XInputRead, ItemsPointIntoTheCallersStream) {
    XOutput out;
    out.WriteStr("in place");
    out.WriteBool(2);
    out.WriteBool(0);
    uint32_t len = 0;
    const uint8_t* data = static_cast<const uint8_t*>(out.GetData(&len));
    XInput in(data, len);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(in.ReadStr()), data + 4);
    EXPECT_TRUE(in.ReadBool());
    EXPECT_FALSE(in.ReadBool());
    EXPECT_EQ(in.ReadData(0), data + len) << "an empty run at the end is allowed";
    EXPECT_FALSE(in.Overrun());
}

// Foreign streams are read by the randomized round trips below.
TEST(XInputByteOrder, IsDataValidKnowsBothMarksOnly) {
    uint32_t mark = kMark, swapped = 0x4D525453, other = 0x5354524E;
    EXPECT_TRUE(XInput::IsDataValid(&mark));
    EXPECT_TRUE(XInput::IsDataValid(&swapped));
    EXPECT_FALSE(XInput::IsDataValid(&other));
    EXPECT_FALSE(XInput::IsDataValid(nullptr));
    EXPECT_TRUE(XInput::IsDataValid(&mark, 4));
    EXPECT_FALSE(XInput::IsDataValid(&mark, 3));
}

// Cut streams are read by the randomized round trips below.
TEST(XInputRefusal, HugeLengthsNullAndUnboundStreams) {
    ExactInput s(W(kMark) + W(7) + W(8));
    EXPECT_EQ(s.in.ReadData(0xFFFFFFFF), nullptr) << "a length must not wrap around the end";
    s.Rebind();
    EXPECT_NE(s.in.ReadData(4), nullptr);
    EXPECT_EQ(s.in.ReadData(0xFFFFFFFD), nullptr);
    XInput none(nullptr, 100);
    EXPECT_TRUE(none.Overrun());
    EXPECT_EQ(none.ReadInt(), 0u);
    XInput unbound;
    EXPECT_TRUE(unbound.Overrun());
    EXPECT_EQ(unbound.ReadData(0), nullptr);
}

// ---- Round trips of random contents ----

// One item of a random stream: an int, a string, or a run of bytes preceded by its length.
struct Item {
    enum Kind { kInt, kStr, kRun } kind;
    uint32_t value;
    std::string bytes;
};

std::vector<Item> RandomItems(std::mt19937* rng, size_t count) {
    std::vector<Item> items;
    for (size_t i = 0; i < count; ++i) {
        Item item{static_cast<Item::Kind>((*rng)() % 3), static_cast<uint32_t>((*rng)()), {}};
        size_t length = (*rng)() % 40;
        for (size_t j = 0; j < length; ++j) {
            char c = static_cast<char>((*rng)() % 256);
            item.bytes.push_back(item.kind == Item::kStr && c == 0 ? 'n' : c);
        }
        items.push_back(item);
    }
    return items;
}

// Writes the items; with `foreign`, every integer byte-reversed as a machine of the other byte
// order would write it (the caller then reverses the mark).
void WriteItems(const std::vector<Item>& items, XOutput* out, bool foreign) {
    for (const Item& item : items) {
        if (item.kind == Item::kStr) {
            out->WriteStr(item.bytes.c_str());
            continue;
        }
        uint32_t size = static_cast<uint32_t>(item.bytes.size());
        uint32_t value = item.kind == Item::kInt ? item.value : size;
        out->WriteInt(foreign ? __builtin_bswap32(value) : value);
        if (item.kind == Item::kRun)
            out->Write(item.bytes.data(), size);
    }
}

// Reads the items from a stream of which only the first `end` bytes are given. An item reads
// back while its bytes, padding aside, lie before `end`; from the first that does not, every
// read fails (0, "" or null) and the stream reports an overrun.
void ReadItems(const std::vector<Item>& items, XInput* in, size_t end) {
    size_t at = 4;
    bool overrun = end < 4;
    auto fits = [&](size_t n) {  // whether the next n bytes are there; moves past them
        overrun = overrun || at + n > end;
        at = std::min(at + ((n + 3) & ~size_t{3}), end);
        return !overrun;
    };
    for (const Item& item : items) {
        if (item.kind == Item::kStr) {
            ASSERT_EQ(in->ReadStr(), fits(item.bytes.size() + 1) ? item.bytes : "");
            continue;
        }
        const uint32_t size = static_cast<uint32_t>(item.bytes.size());
        ASSERT_EQ(in->ReadInt(), !fits(4) ? 0 : item.kind == Item::kInt ? item.value : size);
        if (item.kind == Item::kRun) {
            const char* run = static_cast<const char*>(in->ReadData(size));
            ASSERT_EQ(run != nullptr, fits(size));
            ASSERT_EQ(run == nullptr ? item.bytes : std::string(run, size), item.bytes);
        }
    }
    EXPECT_EQ(in->Overrun(), overrun);
    EXPECT_EQ(in->ReadInt(), 0u);
    EXPECT_TRUE(in->Overrun()) << "the stream ends after the last item";
}

// The capacity after writing `items` to a stream of `initSize` bytes: at least 1024, grown to
// the smallest multiple of 1024 above each need beyond it.
uint32_t GrownCapacity(const std::vector<Item>& items, uint32_t initSize) {
    uint64_t capacity = std::max(initSize, 1024u), end = 4;
    auto write = [&](uint64_t n) {
        end += (n + 3) & ~uint64_t{3};
        if (end > capacity)
            capacity = (end / 1024 + 1) * 1024;
    };
    for (const Item& item : items) {
        write(item.kind == Item::kStr ? item.bytes.size() + 1 : 4);
        if (item.kind == Item::kRun)
            write(item.bytes.size());
    }
    return static_cast<uint32_t>(capacity);
}

TEST(StreamRoundTrip, RandomContentsInBothByteOrders) {
    std::mt19937 rng(20260101);
    for (int round = 0; round < 50; ++round) {
        std::vector<Item> items = RandomItems(&rng, rng() % 200);
        for (bool foreign : {false, true}) {
            const uint32_t initSize = rng() % 3000;
            PeekOutput out(initSize);
            WriteItems(items, &out, foreign);
            ASSERT_EQ(out.Error(), 0);
            EXPECT_EQ(out.Capacity(), GrownCapacity(items, initSize));
            std::string bytes = Bytes(out);
            if (foreign)
                std::reverse(bytes.begin(), bytes.begin() + 4);
            ExactInput back(bytes);
            ASSERT_TRUE(XInput::IsDataValid(back.block.get(), back.len));
            EXPECT_EQ(back.in.NeedSwap(), foreign);
            ReadItems(items, &back.in, bytes.size());
            // Cut anywhere, even inside the mark; binding the stream again reads it anew.
            ExactInput cut(bytes.substr(0, rng() % (bytes.size() + 1)));
            ReadItems(items, &cut.in, cut.len);
            cut.Rebind();
            ReadItems(items, &cut.in, cut.len);
        }
    }
}

}  // namespace
