// SPDX-License-Identifier: MIT

#include "StoreJson.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <set>

#include <brindle/serialization/XStore.h>

namespace cli {
namespace {

// One parsed value, with the type it asks for.
struct Value {
    XStoreType type = XStoreTypeNone;
    size_t start = 0;  // where it begins in the JSON text
    double number = 0;
    std::string text;  // String, LocStr, MovStr text; Blob bytes
};

class Parser {
  public:
    explicit Parser(const std::string& json) : json_(json) {}

    std::string Run(std::vector<uint8_t>* flat) {
        XStore store;
        if (!Expect('{'))
            return error_;
        std::set<std::string> names;
        bool first = true;
        while (Skip() && Peek() != '}') {
            if (!first && Peek() != ',')
                return Error("expected ',' or '}'");
            pos_ += !first;
            first = false;
            Skip();
            const size_t nameStart = pos_;
            std::string name;
            std::vector<Value> values;
            if (!ParseString(&name) || !Expect(':') || !ParseValues(&values))
                return error_;
            if (!names.insert(name).second) {
                pos_ = nameStart;
                return Error("this name was given before");
            }
            if (!Store(&store, name, values))
                return Error("out of memory");
        }
        if (!Expect('}'))
            return error_;
        if (Skip() && pos_ != json_.size())
            return Error("text after the object");
        uint32_t size = 0;
        void* data = store.GetData_NF(&size);
        if (data == nullptr)
            return Error(size == 0 ? "the store would not fit in 4 GiB" : "out of memory");
        flat->assign(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
        free(data);
        return "";
    }

  private:
    // Skips white space; always true, so that it can stand in a chain of conditions.
    bool Skip() {
        while (pos_ < json_.size() && strchr(" \t\r\n", json_[pos_]) != nullptr)
            ++pos_;
        return true;
    }
    char Peek() const { return pos_ < json_.size() ? json_[pos_] : '\0'; }

    bool Expect(char c) {
        Skip();
        if (Peek() != c)
            return Error(std::string("expected '") + c + "'").empty();
        ++pos_;
        return true;
    }

    // Records the first error, with the line and column where parsing stopped; returns it.
    std::string Error(const std::string& what) {
        if (error_.empty()) {
            size_t line = 1, column = 1;
            for (size_t i = 0; i < pos_ && i < json_.size(); ++i) {
                column = json_[i] == '\n' ? 1 : column + 1;
                line += json_[i] == '\n';
            }
            error_ =
                "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + what;
        }
        return error_;
    }
    bool Fail(const std::string& what) { return Error(what).empty(); }

    bool ParseValues(std::vector<Value>* values) {
        Skip();
        if (Peek() != '[') {
            values->emplace_back();
            return ParseValue(&values->back());
        }
        ++pos_;
        for (;;) {
            values->emplace_back();
            if (!ParseValue(&values->back()))
                return false;
            Skip();
            if (Peek() != ',')
                break;
            ++pos_;
        }
        if (!Expect(']'))
            return false;
        // One type for all: integers among floats become floats.
        bool anyFloat = false;
        for (const Value& value : *values)
            anyFloat = anyFloat || value.type == XStoreTypeFloat;
        for (Value& value : *values) {
            if (anyFloat && value.type == XStoreTypeInt)
                value.type = XStoreTypeFloat;
            if (value.type != values->front().type) {
                pos_ = value.start;
                return Fail("the elements of an array must all be of one kind");
            }
        }
        return true;
    }

    bool ParseValue(Value* value) {
        Skip();
        value->start = pos_;
        const char c = Peek();
        if (c == '"') {
            value->type = XStoreTypeString;
            return ParseString(&value->text);
        }
        if (c == '{')
            return ParseTyped(value);
        if (c == '-' || (c >= '0' && c <= '9'))
            return ParseNumber(value);
        for (const char* word : {"true", "false"}) {
            if (json_.compare(pos_, strlen(word), word) == 0) {
                pos_ += strlen(word);
                value->type = XStoreTypeBool;
                value->number = word[0] == 't';
                return true;
            }
        }
        return Fail(c == '[' ? "arrays do not nest" : "expected a value");
    }

    // {"blob": "hex"}, {"locstr": "text"}, {"movstr": "text"}, {"float": number or word}.
    bool ParseTyped(Value* value) {
        ++pos_;
        std::string kind;
        if (!ParseString(&kind) || !Expect(':'))
            return false;
        Skip();
        if (kind == "float" && Peek() != '"') {
            if (!ParseNumber(value))
                return false;
            value->type = XStoreTypeFloat;
        } else {
            std::string text;
            if (!ParseString(&text))
                return false;
            if (kind == "blob") {
                value->type = XStoreTypeBlob;
                if (!Unhex(text, &value->text))
                    return Fail("a blob is an even number of hex digits");
            } else if (kind == "locstr" || kind == "movstr") {
                value->type = kind == "locstr" ? XStoreTypeLocStr : XStoreTypeMovStr;
                value->text = text;
            } else if (kind == "float" && (text == "nan" || text == "inf" || text == "-inf")) {
                value->type = XStoreTypeFloat;
                value->number = text == "nan" ? NAN : text == "inf" ? INFINITY : -INFINITY;
            } else {
                return Fail(
                    "expected {\"blob\": hex}, {\"locstr\": text}, {\"movstr\": text} "
                    "or {\"float\": number}");
            }
        }
        return Expect('}');
    }

    bool ParseNumber(Value* value) {
        // The JSON grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
        const size_t start = pos_;
        auto digits = [&] {
            size_t from = pos_;
            while (pos_ < json_.size() && json_[pos_] >= '0' && json_[pos_] <= '9')
                ++pos_;
            return pos_ > from;
        };
        pos_ += Peek() == '-';
        const bool leadingZero = Peek() == '0';
        if (!digits() || (leadingZero && pos_ - start > 1 + (json_[start] == '-')))
            return Fail("malformed number");
        bool integral = true;
        if (Peek() == '.') {
            ++pos_;
            integral = false;
            if (!digits())
                return Fail("malformed number");
        }
        if (Peek() == 'e' || Peek() == 'E') {
            ++pos_;
            integral = false;
            pos_ += Peek() == '+' || Peek() == '-';
            if (!digits())
                return Fail("malformed number");
        }
        const std::string text = json_.substr(start, pos_ - start);
        value->number = strtod(text.c_str(), nullptr);
        value->type = integral ? XStoreTypeInt : XStoreTypeFloat;
        if (integral && (value->number < -2147483648.0 || value->number > 2147483647.0))
            return Fail("integer outside the 32-bit range (write a fraction for a float)");
        if (!integral && isinf(static_cast<float>(value->number)))
            return Fail("number too large for a float");
        return true;
    }

    bool ParseString(std::string* out) {
        if (!Expect('"'))
            return false;
        out->clear();
        for (;;) {
            if (pos_ >= json_.size())
                return Fail("unterminated string");
            const unsigned char c = static_cast<unsigned char>(json_[pos_++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return Fail("control character in a string");
            if (c != '\\') {
                out->push_back(static_cast<char>(c));
                continue;
            }
            const char escape = Peek();
            ++pos_;
            const char* from = "\"\\/bfnrt";
            const char* to = "\"\\/\b\f\n\r\t";
            if (escape != '\0' && strchr(from, escape) != nullptr) {
                out->push_back(to[strchr(from, escape) - from]);
            } else if (escape != 'u' || !ParseUnicode(out)) {
                return Fail("bad escape in a string");
            }
        }
    }

    // The four hex digits after \u (and a low surrogate after a high one), as UTF-8.
    bool ParseUnicode(std::string* out) {
        uint32_t code = 0;
        if (!Hex4(&code) || code == 0)
            return false;
        if (code >= 0xD800 && code < 0xDC00) {
            uint32_t low = 0;
            if (json_.compare(pos_, 2, "\\u") != 0)
                return false;
            pos_ += 2;
            if (!Hex4(&low) || low < 0xDC00 || low >= 0xE000)
                return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        } else if (code >= 0xDC00 && code < 0xE000) {
            return false;
        }
        const int extra = code < 0x80 ? 0 : code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
        static const uint8_t kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
        out->push_back(static_cast<char>(kLead[extra] | (code >> (6 * extra))));
        for (int i = extra - 1; i >= 0; --i)
            out->push_back(static_cast<char>(0x80 | ((code >> (6 * i)) & 0x3F)));
        return true;
    }

    bool Hex4(uint32_t* code) {
        if (pos_ + 4 > json_.size())
            return false;
        std::string digits = json_.substr(pos_, 4);
        pos_ += 4;
        if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        *code = static_cast<uint32_t>(strtoul(digits.c_str(), nullptr, 16));
        return true;
    }

    static bool Unhex(const std::string& hex, std::string* bytes) {
        if (hex.size() % 2 != 0 ||
            hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        for (size_t i = 0; i < hex.size(); i += 2)
            bytes->push_back(static_cast<char>(strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
        return true;
    }

    static bool Store(XStore* store, const std::string& name, const std::vector<Value>& values) {
        const char* key = name.c_str();
        for (const Value& value : values) {
            const char* text = value.text.c_str();
            bool added = false;
            switch (value.type) {
                case XStoreTypeInt:
                    added = store->AddInt(key, static_cast<int32_t>(value.number));
                    break;
                case XStoreTypeFloat:
                    added = store->AddFloat(key, static_cast<float>(value.number));
                    break;
                case XStoreTypeBool:
                    added = store->AddBool(key, value.number != 0);
                    break;
                case XStoreTypeString:
                    added = store->AddString(key, text);
                    break;
                case XStoreTypeBlob:
                    added = store->AddBlob(key, text, static_cast<uint32_t>(value.text.size()));
                    break;
                case XStoreTypeLocStr:
                    added = store->AddLocStr(key, text);
                    break;
                default:
                    added = store->AddMovStr(key, text);
                    break;
            }
            if (!added)
                return false;
        }
        return true;
    }

    const std::string& json_;
    size_t pos_ = 0;
    std::string error_;
};

}  // namespace

std::string StoreFromJson(const std::string& json, std::vector<uint8_t>* flat) {
    return Parser(json).Run(flat);
}

}  // namespace cli
