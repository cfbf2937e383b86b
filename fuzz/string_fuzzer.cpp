// SPDX-License-Identifier: MIT
// Drives an XString through a script of operations read from the input and checks every
// step against a std::string model of the same text.
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "FuzzScript.h"
#include "brindle/containers/XString.h"

namespace {

// Stops the model from growing without bound (every change builds a new buffer).
constexpr size_t kMaxModel = 4096;

// Adds to the plain script the values that reach the string's edges.
class Script : public FuzzScript {
  public:
    using FuzzScript::FuzzScript;
    // A number that lands near the interesting edges: small values around the text length,
    // negatives and the extremes of the type.
    int32_t Number() {
        uint8_t b = Byte();
        switch (b % 8) {
            case 0:
                return INT32_MIN;
            case 1:
                return INT32_MAX;
            default:
                return static_cast<int32_t>(b / 8) - 6;
        }
    }
    // Up to 15 raw bytes (NULs included).
    std::string Bytes() {
        size_t n = std::min<size_t>(Byte() % 16, Remaining());
        std::string out;
        while (n-- > 0)
            out.push_back(static_cast<char>(Byte()));
        return out;
    }
};

// The text up to the first NUL, as the NUL-terminated operations see it.
std::string CText(const std::string& s) {
    return s.substr(0, s.find('\0'));
}

int32_t Clamp(int64_t v, int64_t low, int64_t high) {
    return static_cast<int32_t>(std::max(low, std::min(v, high)));
}

void ExpectSame(const XString& s, const std::string& model) {
    REQUIRE(static_cast<size_t>(s.GetLength()) == model.size());
    REQUIRE(memcmp(s.GetBuffer(), model.data(), model.size()) == 0);
    REQUIRE(s.GetBuffer()[model.size()] == '\0');
}

// Checks the read-only operations against the model.
void CheckQueries(const XString& s, const std::string& model, Script& script) {
    std::string text = CText(model);
    char ch = static_cast<char>(script.Byte());
    size_t first = text.find(ch);
    size_t last = text.rfind(ch);
    if (ch == '\0')
        first = last = text.size();
    REQUIRE(s.OffsetOf(ch) == (first == std::string::npos ? -1 : static_cast<int>(first)));
    REQUIRE(s.ROffsetOf(ch) == (last == std::string::npos ? -1 : static_cast<int>(last)));
    int32_t index = script.Number();
    int width = s.GlyphWidth(index);
    REQUIRE(index >= 0 && static_cast<size_t>(index) < model.size() ? width >= 1 && width <= 3
                                                                    : width == 0);
    XString copy(s);
    ExpectSame(copy, model);
    std::string other = script.Bytes();
    REQUIRE((s == other.c_str()) == (text == CText(other)));
}

// Wordwrap keeps the length and changes only spaces, into carriage returns.
void CheckWordwrap(XString& s, std::string& model, int32_t width) {
    s.Wordwrap(width);
    REQUIRE(static_cast<size_t>(s.GetLength()) == model.size());
    for (size_t i = 0; i < model.size(); ++i) {
        char now = s.GetBuffer()[i];
        REQUIRE(now == model[i] || (model[i] == ' ' && now == '\r'));
    }
    model.assign(s.GetBuffer(), model.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Script script(data, size);
    XString s;
    std::string model;
    while (!script.Done()) {
        uint8_t op = script.Byte() % 20;
        if (model.size() > kMaxModel) {
            s.Init();
            model.clear();
        }
        int32_t len = static_cast<int32_t>(model.size());
        switch (op) {
            case 0: {
                std::string t = script.Bytes();
                s = t.c_str();
                model = CText(t);
                break;
            }
            case 1: {
                std::string t = script.Bytes();
                int32_t n = std::min<int32_t>(script.Number(), static_cast<int32_t>(t.size()));
                s.Set(t.data(), n);
                model = t.substr(0, n < 0 ? 0 : n);
                break;
            }
            case 2: {
                std::string t = script.Bytes();
                s += t.c_str();
                model += CText(t);
                break;
            }
            case 3: {
                int32_t v = script.Number();
                s += v;
                model += std::to_string(v);
                break;
            }
            case 4: {
                char ch = static_cast<char>(script.Byte());
                s += ch;
                model += ch;
                break;
            }
            case 5: {
                std::string t = script.Bytes();
                s += XString(t.data(), static_cast<int32_t>(t.size()));
                std::string added = CText(t);
                model += added + std::string(t.size() - added.size(), '\0');
                break;
            }
            case 6: {
                std::string t = CText(script.Bytes());
                int32_t pos = Clamp(script.Number(), 0, len);
                s.Insert(t.c_str(), pos);
                model.insert(pos, t);
                break;
            }
            case 7: {
                std::string t = CText(script.Bytes());
                int32_t pos = script.Number();
                int32_t count = script.Number();
                s.Replace(t.c_str(), pos, count);
                pos = Clamp(pos, 0, len);
                model.replace(pos, Clamp(count, 0, len - pos), t);
                break;
            }
            case 8: {
                char from = static_cast<char>(script.Byte());
                char to = static_cast<char>(script.Byte());
                s.Replace(from, to);
                std::replace(model.begin(), model.end(), from, to);
                break;
            }
            case 9:
                s.ToUpper();
                for (char& c : model)
                    c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
                break;
            case 10:
                s.ToLower();
                for (char& c : model)
                    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
                break;
            case 11:
                CheckWordwrap(s, model, script.Number());
                break;
            case 12: {
                int32_t n = script.Number();
                s = s.Left(n);
                model = model.substr(0, Clamp(n, 0, len));
                break;
            }
            case 13: {
                int32_t n = script.Number();
                s = s.Right(n);
                model = model.substr(len - Clamp(n, 0, len));
                break;
            }
            case 14: {
                int32_t start = script.Number();
                int32_t count = script.Number();
                s = s.Mid(start, count);
                start = Clamp(start, 0, len);
                model = model.substr(start, Clamp(count, 0, len - start));
                break;
            }
            case 15: {
                int32_t start = script.Number();
                s = s.Mid(start);
                model = model.substr(Clamp(start, 0, len));
                break;
            }
            case 16: {
                int32_t k = Clamp(script.Number(), 0, len);
                s = s.GetBuffer() + k;
                model = CText(model.substr(k));
                break;
            }
            case 17: {
                int32_t k = Clamp(script.Number(), 0, len);
                int32_t n = script.Number();
                s.Set(s.GetBuffer() + k, n);
                model = model.substr(k, Clamp(n, 0, len - k));
                break;
            }
            case 18: {
                std::string added = CText(model);
                s += s;
                model += added + std::string(static_cast<size_t>(len) - added.size(), '\0');
                break;
            }
            default:
                CheckQueries(s, model, script);
                break;
        }
        ExpectSame(s, model);
    }
    return 0;
}
