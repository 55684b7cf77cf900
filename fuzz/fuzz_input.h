// What the structured fuzz targets share: their input read a byte or a run
// at a time (zeros once it runs out, so that every input is a whole case),
// and an invariant that breaks stopping the run with its reason.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fuzzing {

struct Input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool empty() const { return at >= size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    std::string_view run(size_t n) {
        n = std::min(n, size - at);
        std::string_view out(reinterpret_cast<const char*>(data + at), n);
        at += n;
        return out;
    }
};

// libFuzzer keeps the input that made `what` false.
inline void require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

}  // namespace fuzzing
