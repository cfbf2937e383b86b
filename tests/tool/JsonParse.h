// SPDX-License-Identifier: MIT
// A strict JSON reader for the tests of the tool's --json forms: it takes exactly one JSON
// document as RFC 8259 defines it, so that what it accepts any JSON parser accepts. It
// refuses the escapes of UTF-16 surrogates, which the tool never writes.
#ifndef BRINDLE_TESTS_TOOL_JSONPARSE_H_
#define BRINDLE_TESTS_TOOL_JSONPARSE_H_

#include <ctype.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

namespace jsontest {

struct Json {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject };
    Kind kind = kNull;
    bool boolean = false;
    std::string text;  // a string, or a number as written
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;  // in the document's order

    // The member named `key`; a null value when there is none.
    const Json& operator[](const std::string& key) const {
        static const Json kMissing;
        for (const auto& member : members) {
            if (member.first == key)
                return member.second;
        }
        return kMissing;
    }
    uint64_t Unsigned() const { return strtoull(text.c_str(), nullptr, 10); }
    // The keys of an object, in order.
    std::vector<std::string> Keys() const {
        std::vector<std::string> keys;
        for (const auto& member : members)
            keys.push_back(member.first);
        return keys;
    }
};

class Parser {
  public:
    explicit Parser(const std::string& text) : text_(text) {}

    // The one document the text holds, with white space around it; false for anything else.
    bool Document(Json* value) {
        if (!Value(value, 0))
            return false;
        Skip();
        return pos_ == text_.size();
    }

  private:
    void Skip() {
        while (pos_ < text_.size() && strchr(" \t\r\n", text_[pos_]) != nullptr)
            ++pos_;
    }
    bool Take(char c) {
        Skip();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool Word(const char* word) {
        const size_t length = strlen(word);
        if (text_.compare(pos_, length, word) != 0)
            return false;
        pos_ += length;
        return true;
    }
    bool Value(Json* value, int depth) {
        Skip();
        if (pos_ == text_.size() || depth > 64)
            return false;
        switch (text_[pos_]) {
            case '{':
                return Object(value, depth);
            case '[':
                return Array(value, depth);
            case '"':
                value->kind = Json::kString;
                return Take('"') && String(&value->text);
            case 't':
            case 'f':
                value->kind = Json::kBool;
                value->boolean = text_[pos_] == 't';
                return Word(value->boolean ? "true" : "false");
            case 'n':
                return Word("null");
            default:
                value->kind = Json::kNumber;
                return Number(&value->text);
        }
    }
    bool Object(Json* value, int depth) {
        value->kind = Json::kObject;
        ++pos_;
        if (Take('}'))
            return true;
        do {
            std::string key;
            Json member;
            if (!Take('"') || !String(&key) || !Take(':') || !Value(&member, depth + 1))
                return false;
            for (const auto& earlier : value->members) {
                if (earlier.first == key)
                    return false;  // the tool never repeats a key
            }
            value->members.emplace_back(key, member);
        } while (Take(','));
        return Take('}');
    }
    bool Array(Json* value, int depth) {
        value->kind = Json::kArray;
        ++pos_;
        if (Take(']'))
            return true;
        do {
            value->items.emplace_back();
            if (!Value(&value->items.back(), depth + 1))
                return false;
        } while (Take(','));
        return Take(']');
    }
    bool Number(std::string* text) {
        const size_t start = pos_;
        auto digits = [&] {
            const size_t from = pos_;
            while (pos_ < text_.size() && isdigit(static_cast<unsigned char>(text_[pos_])))
                ++pos_;
            return pos_ > from;
        };
        Take('-');
        if (!(Word("0") || digits()))
            return false;
        if (Word(".") && !digits())
            return false;
        if (Word("e") || Word("E")) {
            if (!Word("+"))
                Word("-");
            if (!digits())
                return false;
        }
        *text = text_.substr(start, pos_ - start);
        return true;
    }
    bool Hex4(uint32_t* code) {
        if (pos_ + 4 > text_.size())
            return false;
        *code = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[pos_++];
            const char* digit = strchr("0123456789abcdef", tolower(static_cast<unsigned char>(c)));
            if (c == '\0' || digit == nullptr)
                return false;
            *code = *code * 16 + static_cast<uint32_t>(digit - "0123456789abcdef");
        }
        return true;
    }
    static void PutUtf8(uint32_t code, std::string* out) {
        if (code < 0x80) {
            *out += static_cast<char>(code);
        } else if (code < 0x800) {
            *out += static_cast<char>(0xC0 | code >> 6);
            *out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            *out += static_cast<char>(0xE0 | code >> 12);
            *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    // The rest of a string whose opening quote has been taken.
    bool String(std::string* out) {
        while (pos_ < text_.size()) {
            const unsigned char c = static_cast<unsigned char>(text_[pos_++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return false;
            if (c != '\\') {
                *out += static_cast<char>(c);
                continue;
            }
            if (pos_ == text_.size())
                return false;
            const char escape = text_[pos_++];
            const char* simple = strchr("\"\\/bfnrt", escape);
            uint32_t code = 0;
            if (escape != '\0' && simple != nullptr) {
                *out += "\"\\/\b\f\n\r\t"[simple - "\"\\/bfnrt"];
            } else if (escape != 'u' || !Hex4(&code) || (code >= 0xD800 && code < 0xE000)) {
                return false;  // the tool escapes control characters only: no surrogates
            } else {
                PutUtf8(code, out);
            }
        }
        return false;
    }

    const std::string& text_;
    size_t pos_ = 0;
};

// Parses `text` as exactly one JSON document; false for anything else.
inline bool ParseJson(const std::string& text, Json* value) {
    return Parser(text).Document(value);
}

}  // namespace jsontest

#endif  // BRINDLE_TESTS_TOOL_JSONPARSE_H_
