// SPDX-License-Identifier: MIT
// The worked examples of docs/formats.md are the bytes the library writes: each is built here
// and compared with the hex block that follows its "<!-- example: NAME -->" marker.
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <brindle/brindle.h>

namespace {

using Bytes = std::vector<uint8_t>;

// Lines of 16 bytes: the offset in hex, then the bytes.
std::string Hex(const Bytes& bytes) {
    std::string text;
    char piece[32];
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i % 16 == 0) {
            snprintf(piece, sizeof piece, "%s%08zx ", i == 0 ? "" : "\n", i);
            text += piece;
        }
        snprintf(piece, sizeof piece, " %02x", bytes[i]);
        text += piece;
    }
    return text + "\n";
}

// The hex block after the marker of `name` in the document.
std::string Documented(const std::string& doc, const std::string& name) {
    size_t marker = doc.find("<!-- example: " + name + " -->");
    size_t start = doc.find("```text\n", marker);
    if (marker == std::string::npos || start == std::string::npos)
        return "(no example " + name + ")";
    start += 8;
    return doc.substr(start, doc.find("```", start) - start);
}

// The bytes of a buffer that `get` returns with its size; freed when `release`.
template <class Get>
Bytes Take(Get get, bool release) {
    uint32_t size = 0;
    void* data = get(&size);
    Bytes bytes(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    if (release)
        free(data);
    return bytes;
}

class Recorder : public XSepStrRecorder {
  public:
    uint32_t Record(const char*) override { return 77; }
};

Bytes FileBytes(const std::string& native) {
    std::ifstream file(native, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

TEST(FormatsDocTest, ExamplesAreWhatTheLibraryWrites) {
    std::ifstream file(BRINDLE_SOURCE_DIR "/docs/formats.md");
    std::stringstream doc;
    doc << file.rdbuf();

    XStore store;
    const uint8_t blob[] = {1, 2, 3};
    store.AddInt("a", 5);
    store.AddBlob("b", blob, 3);
    store.AddString("s", "hi");
    store.AddLocStr("t", "x");
    const Bytes flat = Take([&](uint32_t* size) { return store.GetData_NF(size); }, true);
    XStoreReader reader(flat.data());
    Recorder recorder;
    reader.DetachStrings(&recorder, nullptr);

    XAKeyBlob set;
    set.SetBlob("b", blob, 3);
    set.SetBlob("a", nullptr, 0);
    const Bytes blobs = Take([&](uint32_t* size) { return set.GetData(size); }, false);

    XOutput out;
    out.WriteInt(42);
    out.WriteStr("hi");
    out.WriteInt(3);
    out.Write(blob, 3);
    const Bytes stream = Take([&](uint32_t* size) { return out.GetData(size); }, false);

    char dir[] = "/tmp/brindle-formats-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string native = std::string(dir) + "/example.db";
    const std::string portable = "/" + native;
    ASSERT_EQ(XBlockFile::Create(portable.c_str()), 0);
    const Bytes fresh = FileBytes(native);
    XBlockFile blocks;
    ASSERT_EQ(blocks.Open(portable.c_str(), false), 0);
    blocks.WriteBlock(7, "hello", 5);
    blocks.WriteBlock(3, "Brindle", 7);
    blocks.DeleteBlock(3);
    const Bytes unflushed = FileBytes(native);
    blocks.Close();
    const Bytes closed = FileBytes(native);
    unlink(native.c_str());
    rmdir(dir);

    const struct {
        const char* name;
        Bytes bytes;
    } examples[] = {
        {"store", flat},
        {"store-detached", Take([&](uint32_t* size) { return reader.GetData_NF(size); }, true)},
        {"blob-set", blobs},
        {"stream", stream},
        {"block-file-new", fresh},
        {"block-file", closed},
        {"block-file-unflushed", unflushed},
    };
    for (const auto& example : examples) {
        if (Documented(doc.str(), example.name) != Hex(example.bytes))
            ADD_FAILURE() << "example " << example.name << " should read:\n" << Hex(example.bytes);
    }
}

}  // namespace
