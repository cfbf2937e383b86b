// SPDX-License-Identifier: MIT

#include "Json.h"

#include <string.h>

#include "TextDump.h"

namespace cli {

void JsonWriter::Separate() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (levels_.empty())
        return;
    Level& level = levels_.back();
    if (!level.empty)
        fputc(',', out_);
    if (level.row)
        fputs(level.empty ? "" : " ", out_);
    else
        fprintf(out_, "\n%*s", static_cast<int>(2 * levels_.size()), "");
    level.empty = false;
}

void JsonWriter::Open(char bracket, bool row) {
    Separate();
    fputc(bracket, out_);
    levels_.push_back({bracket == '{' ? '}' : ']', row, true});
}

void JsonWriter::Close() {
    const Level level = levels_.back();
    levels_.pop_back();
    if (!level.empty && !level.row)
        fprintf(out_, "\n%*s", static_cast<int>(2 * levels_.size()), "");
    fputc(level.close, out_);
    if (levels_.empty())
        fputc('\n', out_);
}

JsonWriter& JsonWriter::Key(const char* name) {
    Separate();
    PutQuoted(name, strlen(name), out_);
    fputs(": ", out_);
    afterKey_ = true;
    return *this;
}

void JsonWriter::Number(uint64_t value) {
    Separate();
    fprintf(out_, "%llu", static_cast<unsigned long long>(value));
}

void JsonWriter::Bool(bool value) {
    Separate();
    fputs(value ? "true" : "false", out_);
}

void JsonWriter::String(const char* text, size_t length) {
    Separate();
    PutQuoted(text, length, out_);
}

void JsonWriter::Hex(const uint8_t* data, size_t size) {
    Separate();
    fputc('"', out_);
    PutHex(data, size, out_);
    fputc('"', out_);
}

}  // namespace cli
