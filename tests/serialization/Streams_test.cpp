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

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// Exposes the capacity for the growth tests.
class PeekOutput : public XOutput {
  public:
    using XOutput::XOutput;
    uint32_t Capacity() const { return capacity; }
};

// The stream as bytes.
std::vector<uint8_t> Bytes(XOutput& out) {
    uint32_t len = 0;
    const uint8_t* data = static_cast<const uint8_t*>(out.GetData(&len));
    return data == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(data, data + len);
}

// A heap block of exactly the given bytes, so that AddressSanitizer sees any read beyond them.
std::unique_ptr<uint8_t[]> Exact(const std::vector<uint8_t>& bytes) {
    std::unique_ptr<uint8_t[]> block(new uint8_t[bytes.size()]);
    if (!bytes.empty())
        memcpy(block.get(), bytes.data(), bytes.size());
    return block;
}

uint32_t Native(const uint8_t* at) {
    uint32_t value;
    memcpy(&value, at, 4);
    return value;
}

// ---- XOutput: format ----

TEST(XOutputFormat, NewStreamHoldsOnlyTheMark) {
    XOutput out;
    std::vector<uint8_t> bytes = Bytes(out);
    ASSERT_EQ(bytes.size(), 4u);
    EXPECT_EQ(Native(bytes.data()), 0x5354524Du);
    if (kLittleEndian) {
        EXPECT_EQ(bytes, (std::vector<uint8_t>{0x4D, 0x52, 0x54, 0x53}));
    }
    EXPECT_EQ(out.GetOffset(), 4u);
    EXPECT_EQ(out.Error(), 0);
}

TEST(XOutputFormat, IntegersAndBooleansAreFourNativeBytes) {
    XOutput out;
    out.WriteInt(1);
    out.WriteBool(5);
    std::vector<uint8_t> bytes = Bytes(out);
    ASSERT_EQ(bytes.size(), 12u);
    EXPECT_EQ(Native(&bytes[4]), 1u);
    EXPECT_EQ(Native(&bytes[8]), 5u);
    if (kLittleEndian) {
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 4, bytes.end()),
                  (std::vector<uint8_t>{1, 0, 0, 0, 5, 0, 0, 0}));
    }
}

TEST(XOutputFormat, StringsTakeTheirNulPaddedToFour) {
    const struct {
        const char* text;
        uint32_t size;
    } cases[] = {{"", 4}, {"abc", 4}, {"abcd", 8}, {"abcdefg", 8}, {"abcdefgh", 12}};
    for (const auto& c : cases) {
        XOutput out;
        out.WriteStr(c.text);
        std::vector<uint8_t> bytes = Bytes(out);
        ASSERT_EQ(bytes.size(), 4 + c.size) << c.text;
        EXPECT_STREQ(reinterpret_cast<const char*>(&bytes[4]), c.text);
        for (size_t i = 4 + strlen(c.text); i < bytes.size(); ++i) {
            EXPECT_EQ(bytes[i], 0) << "pad bytes are zeroed";
        }
    }
}

TEST(XOutputFormat, NullStringIsWrittenAsEmpty) {
    XOutput out;
    out.WriteStr(nullptr);
    EXPECT_EQ(out.GetOffset(), 8u);
    EXPECT_EQ(out.Error(), 0);
}

TEST(XOutputFormat, RunsOfBytesArePaddedToFour) {
    XOutput out;
    char bytes[5] = {1, 2, 3, 4, 5};
    out.Write(bytes, 0);
    EXPECT_EQ(out.GetOffset(), 4u);
    out.Write(bytes, 5);
    EXPECT_EQ(out.GetOffset(), 12u);
    out.Write(nullptr, 0);
    EXPECT_EQ(out.GetOffset(), 12u);
    EXPECT_EQ(out.Error(), 0);
}

// ---- XOutput: growth ----

TEST(XOutputGrowth, SmallInitialSizeIsRaisedTo1024) {
    PeekOutput out(10);
    EXPECT_EQ(out.Capacity(), 1024u);
    PeekOutput big(5000);
    EXPECT_EQ(big.Capacity(), 5000u);
}

TEST(XOutputGrowth, GrowsToSmallestMultipleOf1024AboveTheNeed) {
    PeekOutput out(10);
    std::vector<char> fill(1020, 'x');
    out.Write(fill.data(), 1020);
    EXPECT_EQ(out.GetOffset(), 1024u);
    EXPECT_EQ(out.Capacity(), 1024u) << "exactly 1024 bytes need no growth";
    out.WriteInt(7);
    EXPECT_EQ(out.Capacity(), 2048u);
    std::vector<char> more(3000, 'y');
    out.Write(more.data(), 3000);  // need 1028 + 3000 = 4028
    EXPECT_EQ(out.Capacity(), 4096u);
    out.Write(more.data(), 68);  // need exactly 4096: no growth
    EXPECT_EQ(out.Capacity(), 4096u);
    EXPECT_EQ(out.GetOffset(), 4096u);
}

TEST(XOutputGrowth, ContentSurvivesGrowth) {
    XOutput out;
    for (uint32_t i = 0; i < 1000; ++i)
        out.WriteInt(i);
    std::vector<uint8_t> bytes = Bytes(out);
    ASSERT_EQ(bytes.size(), 4004u);
    for (uint32_t i = 0; i < 1000; ++i) {
        ASSERT_EQ(Native(&bytes[4 + 4 * i]), i);
    }
}

TEST(XOutputGrowth, BytesFromTheStreamItselfSurviveGrowth) {
    PeekOutput out;
    std::vector<char> fill(1020);
    for (size_t i = 0; i < fill.size(); ++i)
        fill[i] = static_cast<char>(i);
    out.Write(fill.data(), 1020);
    uint8_t* own = static_cast<uint8_t*>(out.GetData(nullptr));
    out.Write(own + 4, 1020);  // grows, moving the bytes it copies from
    EXPECT_EQ(out.Capacity(), 2048u);
    std::vector<uint8_t> bytes = Bytes(out);
    ASSERT_EQ(bytes.size(), 2044u);
    EXPECT_EQ(memcmp(&bytes[4], fill.data(), 1020), 0);
    EXPECT_EQ(memcmp(&bytes[1024], fill.data(), 1020), 0);
}

// ---- XOutput: sticky error ----

TEST(XOutputError, FailedGrowthIsStickyAndDropsTheBuffer) {
    XOutput out;
    out.WriteInt(1);
    std::vector<char> fill(2000, 'z');
    DebgFailAllocation(1);
    out.Write(fill.data(), 2000);
    EXPECT_EQ(DebgPendingAllocationFailure(), 0u);
    EXPECT_EQ(out.Error(), -1);
    uint32_t len = 99;
    EXPECT_EQ(out.GetData(&len), nullptr);
    EXPECT_EQ(len, 0u);
    out.WriteInt(2);
    EXPECT_EQ(out.GetData(nullptr), nullptr);
    out.Reset();
    EXPECT_EQ(out.Error(), -1) << "Reset does not clear the error";
    EXPECT_EQ(out.GetData(&len), nullptr);
    EXPECT_EQ(len, 0u);
}

TEST(XOutputError, FailedAllocationInConstructorOrReset) {
    DebgFailAllocation(1);
    XOutput out;
    EXPECT_EQ(out.Error(), -1);
    out.WriteInt(3);
    EXPECT_EQ(out.GetData(nullptr), nullptr);

    XOutput other;
    DebgFailAllocation(1);
    other.Reset();
    EXPECT_EQ(other.Error(), -1);
}

TEST(XOutputError, LengthsThatWrapAreRefused) {
    for (uint32_t len : {0xFFFFFFFFu, 0xFFFFFFFDu, 0xFFFFFFFCu, 0xFFFFFC00u}) {
        XOutput out;
        char few[4] = {};
        // The length is refused before any byte of the source is read.
        out.Write(few, len);
        EXPECT_EQ(out.Error(), -1) << len;
        EXPECT_EQ(out.GetData(nullptr), nullptr);
    }
}

TEST(XOutputError, NullSourceWithLengthIsAnError) {
    XOutput out;
    out.Write(nullptr, 4);
    EXPECT_EQ(out.Error(), -1);
}

// ---- XOutput: offsets ----

TEST(XOutputOffset, PlaceholderIsFilledInLater) {
    XOutput out;
    uint32_t slot = out.GetOffset();
    out.WriteInt(0);
    out.WriteStr("payload");
    uint32_t end = out.GetOffset();
    out.SetOffset(slot);
    EXPECT_EQ(out.GetOffset(), slot);
    out.WriteInt(end);
    out.SetOffset(end);
    std::vector<uint8_t> bytes = Bytes(out);
    ASSERT_EQ(bytes.size(), end);
    EXPECT_EQ(Native(&bytes[slot]), end);
    EXPECT_STREQ(reinterpret_cast<const char*>(&bytes[8]), "payload");
}

TEST(XOutputOffset, MovingBackShortensTheStream) {
    XOutput out;
    out.WriteInt(1);
    out.WriteInt(2);
    out.SetOffset(8);
    EXPECT_EQ(Bytes(out).size(), 8u);
    out.WriteInt(3);
    std::vector<uint8_t> bytes = Bytes(out);
    EXPECT_EQ(Native(&bytes[8]), 3u);
}

TEST(XOutputOffset, OffsetsBeyondWhatWasWrittenAreRefused) {
    PeekOutput out;
    out.WriteInt(1);
    out.SetOffset(12);
    EXPECT_EQ(out.GetOffset(), 8u);
    out.SetOffset(out.Capacity() + 100);
    EXPECT_EQ(out.GetOffset(), 8u);
    out.SetOffset(0xFFFFFFFF);
    EXPECT_EQ(out.GetOffset(), 8u);
    out.WriteInt(2);
    EXPECT_EQ(Bytes(out).size(), 12u);
    out.Reset();
    out.SetOffset(8);
    EXPECT_EQ(out.GetOffset(), 4u) << "Reset forgets what was written";
}

// ---- XOutput: copies ----

TEST(XOutputCopy, CopiesAreDeepAndIndependent) {
    XOutput out;
    out.WriteStr("shared?");
    XOutput copy(out);
    std::vector<uint8_t> before = Bytes(out);
    EXPECT_EQ(Bytes(copy), before);
    EXPECT_NE(copy.GetData(nullptr), out.GetData(nullptr));
    copy.WriteInt(9);
    EXPECT_EQ(Bytes(out), before);

    XOutput assigned(4096);
    assigned.WriteInt(5);
    assigned = out;
    EXPECT_EQ(Bytes(assigned), before);
    assigned = assigned;
    EXPECT_EQ(Bytes(assigned), before);
}

TEST(XOutputCopy, CopyOfAFailedStreamOrUnderOutOfMemoryIsFailed) {
    XOutput failed;
    failed.Write(nullptr, 1);
    XOutput copy(failed);
    EXPECT_EQ(copy.Error(), -1);

    XOutput good;
    good.WriteInt(4);
    DebgFailAllocation(1);
    XOutput starved(good);
    EXPECT_EQ(starved.Error(), -1);
    EXPECT_EQ(starved.GetData(nullptr), nullptr);
    EXPECT_EQ(good.Error(), 0);
}

// ---- XInput: reading ----

TEST(XInputRead, ReadsBackWhatWasWritten) {
    XOutput out;
    out.WriteInt(0xDEADBEEF);
    out.WriteStr("hello");
    const char bytes[] = "\x01\x02\x03\x04\x05\x06";
    out.WriteInt(6);
    out.Write(const_cast<char*>(bytes), 6);
    out.WriteBool(2);
    out.WriteBool(0);
    uint32_t len = 0;
    void* data = out.GetData(&len);
    ASSERT_TRUE(XInput::IsDataValid(data));

    XInput in(data, len);
    EXPECT_FALSE(in.NeedSwap());
    EXPECT_EQ(in.ReadInt(), 0xDEADBEEFu);
    EXPECT_STREQ(in.ReadStr(), "hello");
    uint32_t n = in.ReadInt();
    ASSERT_EQ(n, 6u);
    const void* run = in.ReadData(n);
    ASSERT_NE(run, nullptr);
    EXPECT_EQ(memcmp(run, bytes, 6), 0);
    EXPECT_TRUE(in.ReadBool());
    EXPECT_FALSE(in.ReadBool());
    EXPECT_FALSE(in.Overrun());
}

TEST(XInputRead, PointersLieInsideTheCallersStream) {
    XOutput out;
    out.WriteStr("in place");
    uint32_t len = 0;
    const uint8_t* data = static_cast<const uint8_t*>(out.GetData(&len));
    XInput in(data, len);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(in.ReadStr()), data + 4);
    EXPECT_EQ(in.ReadData(0), data + len) << "an empty run at the end is allowed";
    EXPECT_FALSE(in.Overrun());
}

TEST(XInputByteOrder, MarkInTheOtherOrderSwapsIntegersOnly) {
    uint32_t swappedMark = __builtin_bswap32(0x5354524Du);
    std::vector<uint8_t> bytes(16, 0);
    memcpy(&bytes[0], &swappedMark, 4);
    uint32_t fortyTwo = __builtin_bswap32(42u);
    memcpy(&bytes[4], &fortyTwo, 4);
    memcpy(&bytes[8], "abc", 4);
    memcpy(&bytes[12], "\x01\x02\x03\x04", 4);
    if (kLittleEndian) {
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 8),
                  (std::vector<uint8_t>{0x53, 0x54, 0x52, 0x4D, 0, 0, 0, 0x2A}));
    }
    XInput in(bytes.data(), 16);
    EXPECT_TRUE(in.NeedSwap());
    EXPECT_EQ(in.ReadInt(), 42u);
    EXPECT_STREQ(in.ReadStr(), "abc");
    EXPECT_EQ(memcmp(in.ReadData(4), "\x01\x02\x03\x04", 4), 0);

    XOutput out;
    XInput native(out.GetData(nullptr), 4);
    EXPECT_FALSE(native.NeedSwap());
}

TEST(XInputByteOrder, IsDataValidKnowsBothMarksOnly) {
    uint32_t mark = 0x5354524D;
    uint32_t swapped = 0x4D525453;
    uint32_t other = 0x5354524E;
    EXPECT_TRUE(XInput::IsDataValid(&mark));
    EXPECT_TRUE(XInput::IsDataValid(&swapped));
    EXPECT_FALSE(XInput::IsDataValid(&other));
    EXPECT_FALSE(XInput::IsDataValid(nullptr));
    EXPECT_TRUE(XInput::IsDataValid(&mark, 4));
    EXPECT_FALSE(XInput::IsDataValid(&mark, 3));
}

// ---- XInput: refusals ----

TEST(XInputRefusal, ReadsPastTheEndAreRefusedAndFlagged) {
    XOutput out;
    out.WriteInt(7);
    std::unique_ptr<uint8_t[]> data = Exact(Bytes(out));
    XInput in(data.get(), 8);
    EXPECT_EQ(in.ReadInt(), 7u);
    EXPECT_FALSE(in.Overrun());
    EXPECT_EQ(in.ReadInt(), 0u);
    EXPECT_TRUE(in.Overrun());
    EXPECT_STREQ(in.ReadStr(), "");
    EXPECT_EQ(in.ReadData(1), nullptr);
    EXPECT_FALSE(in.ReadBool());
}

TEST(XInputRefusal, RefusalIsStickyUntilSetData) {
    XOutput out;
    out.WriteInt(1);
    out.WriteInt(2);
    std::unique_ptr<uint8_t[]> data = Exact(Bytes(out));
    XInput in(data.get(), 12);
    EXPECT_EQ(in.ReadData(9), nullptr);
    EXPECT_EQ(in.ReadInt(), 0u) << "a later read that would fit is refused too";
    in.SetData(data.get(), 12);
    EXPECT_FALSE(in.Overrun());
    EXPECT_EQ(in.ReadInt(), 1u);
    EXPECT_EQ(in.ReadInt(), 2u);
}

TEST(XInputRefusal, StringWithoutNulInsideTheStream) {
    std::vector<uint8_t> bytes(12, 'x');
    uint32_t mark = 0x5354524D;
    memcpy(&bytes[0], &mark, 4);
    std::unique_ptr<uint8_t[]> data = Exact(bytes);
    XInput in(data.get(), 12);
    EXPECT_STREQ(in.ReadStr(), "");
    EXPECT_TRUE(in.Overrun());
}

TEST(XInputRefusal, UnpaddedLastItemEndsTheStream) {
    std::vector<uint8_t> bytes = {0, 0, 0, 0, 'a', 'b', 0};
    uint32_t mark = 0x5354524D;
    memcpy(&bytes[0], &mark, 4);
    std::unique_ptr<uint8_t[]> data = Exact(bytes);
    XInput in(data.get(), 7);
    EXPECT_STREQ(in.ReadStr(), "ab");
    EXPECT_FALSE(in.Overrun());
    EXPECT_NE(in.ReadData(0), nullptr);
    EXPECT_EQ(in.ReadInt(), 0u);
    EXPECT_TRUE(in.Overrun());

    in.SetData(data.get(), 7);
    in.ReadData(2);  // "ab" then padding that the stream does not hold
    EXPECT_FALSE(in.Overrun());
    EXPECT_EQ(in.ReadData(1), nullptr);
}

TEST(XInputRefusal, StreamsShorterThanTheMarkAreNeverRead) {
    for (uint32_t len = 0; len < 4; ++len) {
        std::unique_ptr<uint8_t[]> data(new uint8_t[len + 1]);
        XInput in(data.get(), len);
        EXPECT_TRUE(in.Overrun()) << len;
        EXPECT_FALSE(in.NeedSwap());
        EXPECT_EQ(in.ReadInt(), 0u);
        EXPECT_STREQ(in.ReadStr(), "");
        EXPECT_EQ(in.ReadData(0), nullptr);
    }
    XInput none(nullptr, 100);
    EXPECT_TRUE(none.Overrun());
    EXPECT_EQ(none.ReadInt(), 0u);
    XInput unbound;
    EXPECT_TRUE(unbound.Overrun());
    EXPECT_EQ(unbound.ReadData(0), nullptr);
}

TEST(XInputRefusal, HugeLengthsDoNotWrap) {
    XOutput out;
    out.WriteInt(1);
    std::unique_ptr<uint8_t[]> data = Exact(Bytes(out));
    XInput in(data.get(), 8);
    EXPECT_EQ(in.ReadData(0xFFFFFFFF), nullptr);
    in.SetData(data.get(), 8);
    EXPECT_NE(in.ReadData(4), nullptr);
    EXPECT_EQ(in.ReadData(0xFFFFFFFD), nullptr);
}

// ---- Round trips of random contents ----

// One item of a random stream.
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

void WriteItems(const std::vector<Item>& items, XOutput* out) {
    for (const Item& item : items) {
        if (item.kind == Item::kInt) {
            out->WriteInt(item.value);
        } else if (item.kind == Item::kStr) {
            out->WriteStr(item.bytes.c_str());
        } else {
            out->WriteInt(static_cast<uint32_t>(item.bytes.size()));
            out->Write(const_cast<char*>(item.bytes.data()),
                       static_cast<uint32_t>(item.bytes.size()));
        }
    }
}

// Reverses the mark and every integer of a stream made by WriteItems, walking the items.
std::vector<uint8_t> SwapStream(std::vector<uint8_t> bytes, const std::vector<Item>& items) {
    auto reverse = [&bytes](size_t at) { std::reverse(&bytes[at], &bytes[at] + 4); };
    reverse(0);
    size_t at = 4;
    for (const Item& item : items) {
        size_t padded = (item.bytes.size() + 4) & ~size_t{3};
        if (item.kind == Item::kInt) {
            reverse(at);
            at += 4;
        } else if (item.kind == Item::kStr) {
            at += padded;
        } else {
            reverse(at);
            at += 4 + ((item.bytes.size() + 3) & ~size_t{3});
        }
    }
    EXPECT_EQ(at, bytes.size());
    return bytes;
}

void ReadItems(const std::vector<Item>& items, XInput* in) {
    for (const Item& item : items) {
        if (item.kind == Item::kInt) {
            ASSERT_EQ(in->ReadInt(), item.value);
        } else if (item.kind == Item::kStr) {
            ASSERT_EQ(std::string(in->ReadStr()), item.bytes);
        } else {
            uint32_t n = in->ReadInt();
            ASSERT_EQ(n, item.bytes.size());
            const char* run = static_cast<const char*>(in->ReadData(n));
            ASSERT_NE(run, nullptr);
            ASSERT_EQ(std::string(run, n), item.bytes);
        }
    }
    EXPECT_FALSE(in->Overrun());
    EXPECT_EQ(in->ReadInt(), 0u);
    EXPECT_TRUE(in->Overrun()) << "the stream ends after the last item";
}

TEST(StreamRoundTrip, RandomContentsInBothByteOrders) {
    std::mt19937 rng(20260101);
    for (int round = 0; round < 50; ++round) {
        std::vector<Item> items = RandomItems(&rng, rng() % 200);
        XOutput out(rng() % 3000);
        WriteItems(items, &out);
        ASSERT_EQ(out.Error(), 0);
        std::vector<uint8_t> bytes = Bytes(out);

        std::unique_ptr<uint8_t[]> native = Exact(bytes);
        XInput in(native.get(), static_cast<uint32_t>(bytes.size()));
        EXPECT_FALSE(in.NeedSwap());
        ReadItems(items, &in);

        std::vector<uint8_t> swappedBytes = SwapStream(bytes, items);
        std::unique_ptr<uint8_t[]> swapped = Exact(swappedBytes);
        ASSERT_TRUE(XInput::IsDataValid(swapped.get(), static_cast<uint32_t>(bytes.size())));
        XInput other(swapped.get(), static_cast<uint32_t>(bytes.size()));
        EXPECT_TRUE(other.NeedSwap());
        ReadItems(items, &other);
    }
}

TEST(StreamRoundTrip, EveryAllocationFailureLeavesAFailedStream) {
    std::mt19937 rng(7);
    std::vector<Item> items = RandomItems(&rng, 300);
    for (uint32_t nth = 1;; ++nth) {
        DebgFailAllocation(nth);
        XOutput out;
        WriteItems(items, &out);
        bool fired = DebgPendingAllocationFailure() == 0;
        DebgFailAllocation(0);
        if (!fired) {
            ASSERT_EQ(out.Error(), 0);
            std::vector<uint8_t> bytes = Bytes(out);
            XInput in(bytes.data(), static_cast<uint32_t>(bytes.size()));
            ReadItems(items, &in);
            break;
        }
        EXPECT_EQ(out.Error(), -1) << nth;
        EXPECT_EQ(out.GetData(nullptr), nullptr);
    }
}

}  // namespace
