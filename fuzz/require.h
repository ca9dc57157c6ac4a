#ifndef SEAMLINE_FUZZ_REQUIRE_H
#define SEAMLINE_FUZZ_REQUIRE_H

#include <cstdlib>

// A failed property check of a fuzz target: abort, so that libFuzzer keeps
// the input.
inline void require(bool condition) {
    if (!condition) abort();
}

#endif
