// Shared parts of the fuzz targets: a scratch directory, file writing with
// in-process gzip and bzip2 compression, and running the stages in process.
//
// The stages end a failed run by throwing a failure, which the driver turns
// into a message and exit status 1. So a target runs its stages in process
// and takes a failure for the normal end of a bad input; anything else (a
// crash, a sanitizer report, another exception) stops the fuzzer, which keeps
// the input.
#ifndef SEAMLINE_FUZZ_HARNESS_H
#define SEAMLINE_FUZZ_HARNESS_H

#include <bzlib.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include "failure.h"

namespace harness {

// The inline 8-bit coverage counters of the instrumented code (support.cpp).
uint8_t* countersBegin();
uint8_t* countersEnd();

// A scratch directory for the whole fuzzing process, removed at its end.
inline const std::string& scratch() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/seamline-fuzz-XXXXXX";
        if (!mkdtemp(tmpl)) {
            perror("mkdtemp");
            abort();
        }
        std::string d = tmpl;
        static std::string toRemove = d;
        atexit([] {
            if (system(("rm -rf '" + toRemove + "'").c_str())) {
            }
        });
        return d;
    }();
    return dir;
}

inline std::string path(const std::string& name) { return scratch() + "/" + name; }

inline void writeRaw(const std::string& file, const void* data, size_t size) {
    FILE* f = fopen(file.c_str(), "wb");
    if (!f || (size && fwrite(data, 1, size, f) != size) || fclose(f) != 0) {
        perror(file.c_str());
        abort();
    }
}

inline std::string gzipped(const std::string& text) {
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        abort();
    std::string out(deflateBound(&z, text.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) abort();
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

inline std::string bzipped(const std::string& text) {
    unsigned int size = static_cast<unsigned int>(text.size() + text.size() / 100 + 600);
    std::string out(size, '\0');
    if (BZ2_bzBuffToBuffCompress(&out[0], &size, const_cast<char*>(text.data()),
                                 static_cast<unsigned int>(text.size()), 9, 0, 30) != BZ_OK)
        abort();
    out.resize(size);
    return out;
}

// How the bytes of one input file are stored, chosen by a leading byte:
// 'g' and 'b' compress the text (the reader sees the text), 'G' and 'B' store
// the raw bytes under a compressed name (the decompressor sees them), any
// other byte stores the text as it is.
inline std::string store(const std::string& base, char mode, const std::string& text) {
    std::string name = base, bytes = text;
    switch (mode) {
        case 'g':
            name += ".gz", bytes = gzipped(text);
            break;
        case 'b':
            name += ".bz2", bytes = bzipped(text);
            break;
        case 'G':
            name += ".gz";
            break;
        case 'B':
            name += ".bz2";
            break;
        default:
            break;
    }
    writeRaw(path(name), bytes.data(), bytes.size());
    return path(name);
}

// Standard output of the stages goes nowhere while a target runs them.
class nullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Runs body with standard output silenced and returns 0 when it ends, 1 when
// it throws a failure. SEAMLINE_FUZZ_SHOW=1 shows every failure's message.
inline int contained(const std::function<void()>& body) {
    static nullBuffer nowhere;
    std::streambuf* out = std::cout.rdbuf(&nowhere);
    int status = 0;
    try {
        body();
    } catch (const seamline::failure& f) {
        status = 1;
        if (getenv("SEAMLINE_FUZZ_SHOW")) fprintf(stderr, "failure: %s\n", f.message().c_str());
    }
    std::cout.rdbuf(out);
    return status;
}

}  // namespace harness

#endif
