// SPDX-License-Identifier: MIT
// A scratch directory for the files of one benchmark program, removed when it ends.
#ifndef BRINDLE_BENCH_BENCHSCRATCH_H_
#define BRINDLE_BENCH_BENCHSCRATCH_H_

#include <stdlib.h>

#include <string>

namespace brindle_bench {

inline const std::string& ScratchDir() {
    struct Scratch {
        Scratch() {
            char pattern[] = "/tmp/brindle_bench-XXXXXX";
            if (mkdtemp(pattern) == nullptr)
                abort();
            path = pattern;
        }
        ~Scratch() {
            if (system(("rm -rf '" + path + "'").c_str()) != 0)
                path.clear();
        }
        std::string path;
    };
    static const Scratch scratch;
    return scratch.path;
}

// The path of `name` in the scratch directory.
inline std::string ScratchFile(const std::string& name) {
    return ScratchDir() + "/" + name;
}

}  // namespace brindle_bench

#endif  // BRINDLE_BENCH_BENCHSCRATCH_H_
