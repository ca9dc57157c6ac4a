#include "chunk.h"

#include <cassert>

bitvec::bitvec(size_t n, bool value) { assign(n, value); }

void bitvec::assign(size_t n, bool value) {
    nbits = n;
    words.assign((n + 63) / 64, value ? ~uint64_t(0) : 0);
    if (value && (n & 63)) words.back() = (uint64_t(1) << (n & 63)) - 1;
}

chunk::chunk(int N, const char* name) : name(name), switched(N, false) {}

chunk::~chunk() {}

void chunk::assemble(chunk*) {}

int32_t hamming(const bitvec& h1, const bitvec& h2) {
    assert(h1.size() == h2.size());
    int32_t d = 0;
    for (size_t w = 0; w < h1.words.size(); w++)
        d += __builtin_popcountll(h1.words[w] ^ h2.words[w]);
    return d;
}

int32_t discordance(const bitvec& h1, const bitvec& h2, const bitvec& h3, const bitvec& h4) {
    int32_t d = 0;
    for (size_t i = 0; i < h1.size(); i++)
        if (h1.get(i) + h2.get(i) != h3.get(i) + h4.get(i)) d++;
    return d;
}
