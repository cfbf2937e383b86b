// SPDX-License-Identifier: MIT
// Helpers shared by the fuzz targets that read their input as a script of operations and
// check each step against a model.
#ifndef BRINDLE_FUZZ_FUZZSCRIPT_H_
#define BRINDLE_FUZZ_FUZZSCRIPT_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

// Stops the run, naming the line, when the library and the model disagree.
inline void Require(bool ok, const char* file, int line) {
    if (!ok) {
        fprintf(stderr, "%s:%d: the library disagrees with the model\n", file, line);
        abort();
    }
}
#define REQUIRE(cond) Require((cond), __FILE__, __LINE__)

// Hands out the input's bytes in order; past the end it yields zeros.
class FuzzScript {
  public:
    FuzzScript(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Done() const { return pos_ >= size_; }
    size_t Remaining() const { return Done() ? 0 : size_ - pos_; }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    // Four bytes, most significant first.
    uint32_t Word() {
        uint32_t word = 0;
        for (int i = 0; i < 4; ++i)
            word = (word << 8) | Byte();
        return word;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

#endif  // BRINDLE_FUZZ_FUZZSCRIPT_H_
