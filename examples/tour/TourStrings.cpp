// SPDX-License-Identifier: MIT

#include <stdio.h>

#include <brindle/brindle.h>

#include "Tour.h"

namespace {

// Prints the text with carriage returns shown as " | ".
void PrintLines(const char* label, const XString& s) {
    XString shown(s);
    for (int at = shown.OffsetOf('\r'); at >= 0; at = shown.OffsetOf('\r'))
        shown.Replace(" | ", at, 1);
    printf("%s: %s\n", label, shown.GetBuffer());
}

}  // namespace

void TourStrings() {
    printf("\n== strings ==\n");
    XString s("the quick brown fox");
    s += ' ';
    s += "jumps ";
    s += -42;
    printf("XString built by appending: '%s' (%d bytes)\n", s.GetBuffer(), s.GetLength());
    printf("Mid(4, 5) = '%s', Right(3) = '%s', 'o' first at %d, last at %d\n",
           s.Mid(4, 5).GetBuffer(), s.Right(3).GetBuffer(), s.OffsetOf('o'), s.ROffsetOf('o'));
    s.Wordwrap(10);
    PrintLines("wrapped at 10", s);
    XString utf8("caf\xC3\xA9");
    printf("'%s' has %d bytes; the last character is %d bytes wide\n", utf8.GetBuffer(),
           utf8.GetLength(), utf8.GlyphWidth(utf8.GetLength() - 1));

    XStrList list;  // owns copies of its strings
    list.AddStr("delta");
    list.AddStr("alphabet", 5);
    list.AddStr("gamma");
    list.RemoveStr("gamma");
    printf("XStrList of %u strings, 'alpha' at index %u:\n", list.Count(),
           list.IndexOfStr("alpha"));
    list.DoForEach([](const void* str, void*) { printf("  %s\n", static_cast<const char*>(str)); },
                   nullptr);
}
