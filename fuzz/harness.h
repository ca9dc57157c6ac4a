// Shared parts of the fuzz targets: a scratch directory, file writing with
// in-process gzip and bzip2 compression, and running the readers in a child
// process.
//
// The readers end a failed run with exit(1), which would stop an in-process
// fuzzer at the first damaged input. So every input runs in a forked child:
// exit status 0 or 1 is a normal end, anything else (a signal, a sanitizer
// report, an uncaught exception) is a crash, and the parent calls abort() so
// that libFuzzer records the input. The child copies its coverage counters
// back to the parent before it exits, so that the search stays guided by what
// the readers did with the input. Leaks are not looked for in the child: the
// leak checker does not know a forked child's thread and would miss its
// stack; the sanitized test suite runs the binary with leak checking instead.
#ifndef SEAMLINE_FUZZ_HARNESS_H
#define SEAMLINE_FUZZ_HARNESS_H

#include <bzlib.h>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

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

namespace detail {

inline size_t counterCount() { return countersEnd() - countersBegin(); }

inline uint8_t* sharedCounters() {
    static uint8_t* shared = [] {
        size_t n = counterCount();
        void* p =
            mmap(nullptr, n ? n : 1, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) abort();
        return static_cast<uint8_t*>(p);
    }();
    return shared;
}

// Runs first among the exit handlers (it is registered last), before static
// destructors and before libFuzzer's own handler, which would take any exit
// inside the fuzz target for a crash.
inline void childExit(int status, void*) {
    if (counterCount()) memcpy(sharedCounters(), countersBegin(), counterCount());
    _exit(status);
}

inline void childDeath() {
    signal(SIGABRT, SIG_DFL);
    abort();
}

}  // namespace detail

// Runs body in a forked child with standard output on /dev/null and standard
// error in a file, and returns the child's exit status (0 or 1). Any other end
// is a crash: the child's standard error is shown and the parent aborts.
inline int isolated(const std::function<void()>& body) {
    std::string errFile = path(".stderr");
    detail::sharedCounters();
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        abort();
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int out = open("/dev/null", O_WRONLY);
        int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0) _exit(90);
        dup2(out, 1);
        dup2(err, 2);
        close(out);
        close(err);
        // A sanitizer report or an abort ends the child by SIGABRT.
        signal(SIGABRT, SIG_DFL);
        __sanitizer_set_death_callback(detail::childDeath);
        on_exit(detail::childExit, nullptr);
        body();
        exit(0);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) {
            perror("waitpid");
            abort();
        }
    bool normal = WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 1);
    // SEAMLINE_FUZZ_SHOW=1 shows every run's standard error and status.
    if (!normal || getenv("SEAMLINE_FUZZ_SHOW")) {
        FILE* f = fopen(errFile.c_str(), "rb");
        if (f) {
            char buf[4096];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, f)) > 0) fwrite(buf, 1, n, stderr);
            fclose(f);
        }
    }
    if (normal) {
        if (getenv("SEAMLINE_FUZZ_SHOW"))
            fprintf(stderr, "seamline fuzz: the run ended with status %d\n", WEXITSTATUS(status));
        if (detail::counterCount())
            memcpy(countersBegin(), detail::sharedCounters(), detail::counterCount());
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status))
        fprintf(stderr, "seamline fuzz: the run ended by signal %d\n", WTERMSIG(status));
    else
        fprintf(stderr, "seamline fuzz: the run ended with status %d\n", WEXITSTATUS(status));
    abort();
}

}  // namespace harness

#endif
