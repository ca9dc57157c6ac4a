#include "files.h"

#include <fcntl.h>
#include <htslib/hts.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/iostreams/filter/bzip2.hpp>
#include <boost/iostreams/operations.hpp>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "blocks.h"
#include "failure.h"
#include "inflate.h"
#include "spill.h"

namespace io = boost::iostreams;

namespace seamline {

namespace {

bool isDirectory(const std::string& filename) {
    struct stat st;
    return stat(filename.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Sink that writes into the file stream. A short write (a full disk) marks
// the file stream bad, where close checks it, since Boost swallows errors
// raised while a chain is flushed on closing; it also throws, so that Boost
// marks the stream bad instead of retrying the write forever, as it does with
// a plain std::ostream sink.
struct checkedSink {
    typedef char char_type;
    struct category : io::sink_tag, io::flushable_tag {};
    std::ofstream* fd;

    std::streamsize write(const char* s, std::streamsize n) {
        if (fd->rdbuf()->sputn(s, n) != n) {
            fd->setstate(std::ios::badbit);
            throw std::ios_base::failure("write failed");
        }
        return n;
    }
    bool flush() {
        if (fd->rdbuf()->pubsync() == 0) return true;
        fd->setstate(std::ios::badbit);
        return false;
    }
};

// Large buffers between the links of a chain: each call then moves a
// megabyte instead of a page.
const std::streamsize bufferSize = 1 << 20;

// Gzip input filter: the inflater of this build (inflate.h) reads every
// member of a multi-member file in turn; damaged or cut-short data throws,
// which the stream turns into its bad state.
class gzipInputFilter {
public:
    typedef char char_type;
    struct category : io::multichar_input_filter_tag, io::closable_tag {};

    gzipInputFilter() : z(std::make_shared<gzipInflater>()) {}

    template <typename Source>
    std::streamsize read(Source& src, char* out, std::streamsize n) {
        const size_t got = z->read(
            [&src](uint8_t* into, size_t size) -> size_t {
                std::streamsize read = io::read(src, reinterpret_cast<char*>(into),
                                                static_cast<std::streamsize>(size));
                return read > 0 ? static_cast<size_t>(read) : 0;
            },
            out, static_cast<size_t>(n));
        return got > 0 ? static_cast<std::streamsize>(got) : -1;
    }

    template <typename Source>
    void close(Source&) {
        z->restart();
    }

private:
    std::shared_ptr<gzipInflater> z;
};

// Gzip output filter: the text is cut into blocks of 4 MiB and each block is
// written as a gzip member of its own (no file name, modification time 0).
// Readers of gzip take the members as one text. With several threads, blocks
// are compressed at once and their members written in order; the bytes are
// the same for every count. A block that fails to compress marks the file
// stream bad, like a failed write, since Boost swallows errors raised while a
// chain is flushed on closing.
class gzipDeflater {
public:
    typedef char char_type;
    struct category : io::multichar_output_filter_tag, io::closable_tag {};

    gzipDeflater(int threads, std::ofstream* fd) : z(std::make_shared<state>(threads, fd)) {}

    template <typename Sink>
    std::streamsize write(Sink& snk, const char* s, std::streamsize n) {
        state& d = *z;
        d.markingFailure([&] { d.blocks.add(s, static_cast<size_t>(n), membersTo(snk)); });
        return n;
    }

    template <typename Sink>
    void close(Sink& snk) {
        state& d = *z;
        d.markingFailure([&] { d.blocks.finish(membersTo(snk)); });
    }

private:
    static constexpr size_t blockSize = 4 << 20;
    static constexpr int hashBytes = 16;  // the encoder's own choice for text

    struct state {
        std::ofstream* fd;
        // One block more than threads, so that a worker that finishes finds
        // the next block waiting while the text of another is gathered.
        // Each block holds about 5 MiB: text, encoder tables and member.
        seamline::orderedBlocks<> blocks;

        state(int threads, std::ofstream* fd)
            : fd(fd),
              blocks(seamline::blockFormat::gzipMember, blockSize, hashBytes, threads,
                     threads > 1 ? static_cast<size_t>(threads) + 1 : 1) {}

        template <typename Step>
        void markingFailure(Step step) {
            try {
                step();
            } catch (...) {
                fd->setstate(std::ios::badbit);
                throw;
            }
        }
    };
    std::shared_ptr<state> z;

    template <typename Sink>
    static auto membersTo(Sink& snk) {
        return [&snk](const std::string& member, seamline::noTag&) {
            io::write(snk, member.data(), static_cast<std::streamsize>(member.size()));
        };
    }
};

// Source that reads an hFILE: an input opened before its reader was chosen.
struct hfileSource {
    typedef char char_type;
    typedef io::source_tag category;
    hFILE* fp;

    std::streamsize read(char* s, std::streamsize n) {
        ssize_t got = hread(fp, s, static_cast<size_t>(n));
        if (got < 0) throw std::ios_base::failure("read error");
        return got == 0 ? -1 : got;
    }
};

}  // namespace

ifile::ifile(const std::string& name) : file(name) {
    // A directory opens like a file on Linux and then reads as empty.
    if (isDirectory(name)) {
        error = EISDIR;
        return;
    }
    errno = 0;
    source = hopen(name.c_str(), "r");
    if (!source) {
        error = errno ? errno : EIO;
        return;
    }
    start();
}

ifile::ifile(const std::string& name, hFILE* opened) : file(name), source(opened) { start(); }

ifile::~ifile() { close(); }

void ifile::start() {
    compression c = compressionOfContent(source, file);
    if (c == compression::gzip) push(gzipInputFilter(), bufferSize);
    if (c == compression::bzip2) push(io::bzip2_decompressor(false, bufferSize), bufferSize);
    push(hfileSource{source}, bufferSize);
}

void ifile::close() {
    if (!empty()) reset();
    if (source) hclose_abruptly(source);
    source = nullptr;
}

inputFile::inputFile(const std::string& path, const std::string& name) {
    // A directory opens like a file on Linux and then reads as empty.
    errno = isDirectory(path) ? EISDIR : 0;
    if (errno == 0) fp = hopen(path.c_str(), "r");
    if (!fp) fail("cannot open [" + name + "]: " + strerror(errno ? errno : EIO));
}

inputFile::~inputFile() {
    if (fp) hclose_abruptly(fp);
}

hFILE* inputFile::release() {
    hFILE* taken = fp;
    fp = nullptr;
    return taken;
}

ofile::ofile(const std::string& name, int threads)
    : ofile(name, compressionOfName(name), threads) {}

ofile::ofile(const std::string& name, compression c, int threads) : file(name) {
    errno = 0;
    // "-" is standard output, which must not be truncated: it may be a file
    // that the shell opened for appending.
    if (file == "-")
        fd.open("/dev/stdout", std::ios::out | std::ios::app | std::ios::binary);
    else
        fd.open(file, std::ios::out | std::ios::trunc | std::ios::binary);
    if (fd.fail()) {
        error = errno;
        return;
    }
    if (c == compression::gzip) push(gzipDeflater(threads, &fd), bufferSize);
    if (c == compression::bzip2)
        push(io::bzip2_compressor(io::bzip2_params(9, 30), bufferSize), bufferSize);
    push(checkedSink{&fd}, bufferSize);
}

ofile::~ofile() { close(); }

void ofile::close() {
    if (!empty()) {
        // Closing the chain makes a compressor write its last block and
        // trailer; a failure there means the file is incomplete.
        try {
            reset();
        } catch (const std::exception&) {
            setstate(std::ios::badbit);
        }
    }
    if (fd.is_open()) {
        bool failed = fd.bad();
        fd.close();
        if (failed || fd.fail()) setstate(std::ios::badbit);
    }
}

const char* unreadableCompression(int compression) {
    switch (compression) {
        case no_compression:
        case gzip:
        case bgzf:
            return nullptr;
        case bzip2_compression:
            return "bzip2";
        case xz_compression:
            return "xz";
        case zstd_compression:
            return "zstd";
        default:
            return "a method htslib cannot read";
    }
}

inputCheck checkInput(const std::string& path) {
    inputCheck check;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        check.error = errno;
        check.kind = errno == ENOENT ? inputKind::missing : inputKind::unreadable;
        return check;
    }
    if (S_ISDIR(st.st_mode)) {
        check.kind = inputKind::directory;
        return check;
    }
    errno = 0;
    hFILE* fp = hopen(path.c_str(), "r");
    if (!fp) {
        check.error = errno ? errno : EIO;
        check.kind = inputKind::unreadable;
        return check;
    }
    char first;
    htsFormat format;
    if (hpeek(fp, &first, 1) <= 0)
        check.kind = inputKind::empty;
    else if (hts_detect_format(fp, &format) != 0)
        check.kind = inputKind::other;
    else if ((check.compression = unreadableCompression(format.compression)))
        check.kind = inputKind::compressed;
    else if (format.format == vcf || format.format == bcf)
        check.kind = inputKind::variants;
    else if (format.format == tbi || format.format == csi)
        check.kind = inputKind::index;
    hclose_abruptly(fp);
    return check;
}

streamCopies::~streamCopies() {
    for (int fd : copies) ::close(fd);
}

chunkFile streamCopies::add(const std::string& name) {
    struct stat st;
    const bool input = name == "-";
    if (!input && (stat(name.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))
        return {name, name};
    const int from = input ? STDIN_FILENO : ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (from < 0) return {name, name};  // its check tells why
    const int copy = temporaryFile();
    copies.push_back(copy);
    const std::string path = "/proc/self/fd/" + std::to_string(copy);
    // A stream without end (/dev/zero) must not fill the disk before it is
    // refused: its first bytes tell what it is, as a file's do.
    uint64_t copied = 0;
    bool told = false;
    std::vector<char> buffer(size_t(1) << 20);
    for (;;) {
        if (!told && copied >= buffer.size()) {
            told = true;
            if (checkInput(path).kind != inputKind::variants) {
                if (!input) ::close(from);
                break;
            }
        }
        ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            const int error = got < 0 ? errno : 0;
            if (!input) ::close(from);
            if (error) fail("cannot read [" + name + "]: " + strerror(error));
            break;
        }
        for (ssize_t done = 0; done < got;) {
            ssize_t put = ::write(copy, buffer.data() + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) {
                if (!input) ::close(from);
                fail("cannot write temporary data for [" + name +
                     "]: " + strerror(put < 0 ? errno : ENOSPC));
            }
            done += put;
        }
        copied += static_cast<uint64_t>(got);
    }
    return {name, path};
}

std::string copyBytes(int from, int to, uint64_t n) {
    std::vector<char> buffer;
    while (n > 0) {
        ssize_t moved = copy_file_range(from, nullptr, to, nullptr, n, 0);
        if (moved < 0 && errno == EINTR) continue;
        if (moved < 0 &&
            (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
            // Between file systems, or into a pipe: through memory.
            buffer.resize(size_t(1) << 20);
            moved = ::read(from, buffer.data(), std::min<uint64_t>(n, buffer.size()));
            for (ssize_t done = 0; moved > 0 && done < moved;) {
                ssize_t w = ::write(to, buffer.data() + done, static_cast<size_t>(moved - done));
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) return w < 0 ? strerror(errno) : "nothing could be written";
                done += w;
            }
        }
        if (moved < 0) return strerror(errno);
        if (moved == 0) return "the file is shorter than expected";
        n -= static_cast<uint64_t>(moved);
    }
    return "";
}

}  // namespace seamline
