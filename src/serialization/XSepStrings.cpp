// SPDX-License-Identifier: MIT
// Separated strings: the recorder and resolver bases, and detaching the texts of LocStr and
// MovStr values from a reader's buffer.
#include "brindle/serialization/XSepStrRecorder.h"
#include "brindle/serialization/XSepStrResolver.h"
#include "brindle/serialization/XStoreReader.h"
#include "serialization/StoreLayout.h"

using brindle::LoadWord;
using brindle::StoreWord;
using brindle::store::IsSeparatedType;
using brindle::store::Layout;

XSepStrRecorder::~XSepStrRecorder() = default;

uint32_t XSepStrRecorder::Record(const char*) {
    return 0;
}

XSepStrResolver::~XSepStrResolver() = default;

const char* XSepStrResolver::Resolve(uint32_t) {
    return "";
}

void XStoreReader::SetStrResolver(XSepStrResolver* locResolver, XSepStrResolver* movResolver) {
    locResolver_ = locResolver;
    movResolver_ = movResolver;
}

void XStoreReader::DetachStrings(XSepStrRecorder* locRecorder, XSepStrRecorder* movRecorder) {
    if (buffer_ == nullptr)
        return;
    const Layout layout(buffer_);
    if (layout.StringsOffset() == 0)
        return;
    // Refuse before changing anything when a kind with values has no recorder.
    for (uint32_t i = 0; i < layout.EntryCount(); ++i) {
        const XStoreEntry entry = layout.EntryAt(i);
        if (entry.valueCount == 0)
            continue;
        if ((entry.type == XStoreTypeLocStr && locRecorder == nullptr) ||
            (entry.type == XStoreTypeMovStr && movRecorder == nullptr))
            return;
    }
    // As in conversion, slots that start before the end of those already recorded lie about
    // their offset and are left alone, so no slot is recorded twice.
    uint64_t recorded = 0;
    for (uint32_t i = 0; i < layout.EntryCount(); ++i) {
        const XStoreEntry entry = layout.EntryAt(i);
        if (!IsSeparatedType(entry.type))
            continue;
        const uint64_t start = layout.ValuesStart(entry);
        const uint64_t length = uint64_t{entry.valueCount} * 4;
        if (start < recorded || !layout.Inside(start, length))
            continue;
        XSepStrRecorder* recorder = entry.type == XStoreTypeLocStr ? locRecorder : movRecorder;
        for (uint64_t at = start; at < start + length; at += 4) {
            // Slots of a converted buffer keep the writer's byte order.
            const uint32_t slot = LoadWord(buffer_ + at);
            const char* text = layout.AttachedText(converted_ ? brindle::ReverseWord(slot) : slot);
            StoreWord(buffer_ + at, recorder->Record(text == nullptr ? "" : text));
        }
        recorded = start + length;
    }
    // Values that lay in the strings area are gone with it.
    ForgetValues();
    StoreWord(buffer_ + brindle::store::kTotalSizeAt, layout.StringsOffset());
    StoreWord(buffer_ + brindle::store::kStringsOffsetAt, 0);
}
