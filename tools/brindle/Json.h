// SPDX-License-Identifier: MIT
// JsonWriter: writes one JSON document for the tool's --json forms.
#ifndef BRINDLE_TOOLS_BRINDLE_JSON_H_
#define BRINDLE_TOOLS_BRINDLE_JSON_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace cli {

// Writes objects and arrays with their members and elements each on a line of its own,
// indented two spaces a level; a container opened as a row stays on one line:
//     {
//       "file": "db",
//       "blocks": [
//         {"id": 7, "length": 5}
//       ]
//     }
// The caller opens and closes containers in pairs and names every member of an object with
// Key; the writer places the commas and quotes the texts. Closing the outermost container
// ends the document with a newline.
class JsonWriter {
  public:
    explicit JsonWriter(FILE* out) : out_(out) {}

    // Opens an object ('{') or an array ('[').
    void Open(char bracket, bool row = false);
    void Close();
    // Names the member whose value comes next.
    JsonWriter& Key(const char* name);
    void Number(uint64_t value);
    void Bool(bool value);
    // A JSON string of the `length` bytes at `text`, escaped as PutQuoted does.
    void String(const char* text, size_t length);
    void String(const std::string& text) { String(text.data(), text.size()); }
    // A JSON string of the bytes in lower-case hex, two digits each.
    void Hex(const uint8_t* data, size_t size);

  private:
    struct Level {
        char close;
        bool row;
        bool empty;
    };
    // Writes what goes before a value or a key: the comma after the one before it, and a
    // line break with the indentation or, in a row, a space.
    void Separate();

    FILE* out_;
    std::vector<Level> levels_;
    bool afterKey_ = false;  // the value of a key comes next, right after it
};

}  // namespace cli

#endif  // BRINDLE_TOOLS_BRINDLE_JSON_H_
