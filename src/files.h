#ifndef SEAMLINE_FILES_H
#define SEAMLINE_FILES_H

#include <htslib/hfile.h>

#include <boost/iostreams/filtering_stream.hpp>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "formats.h"

namespace seamline {

// Input file, decompressed on the fly when its content is gzip or bzip2,
// whatever its name. A read error or damaged compressed data leaves it in
// the bad state.
class ifile : public boost::iostreams::filtering_istream {
public:
    explicit ifile(const std::string& name);
    // Reads a file opened by an inputFile, which hands it over.
    ifile(const std::string& name, hFILE* opened);
    ~ifile();
    void close();
    const std::string& name() const { return file; }
    bool isOpen() const { return source != nullptr; }
    int openError() const { return error; }  // errno when it did not open

private:
    std::string file;
    hFILE* source = nullptr;
    int error = 0;

    void start();
};

// An input opened once, whose first bytes can be looked at without being
// read away, so that its format is told by its content even when it is a
// pipe that cannot be opened again. Throws a failure when it cannot be opened.
class inputFile {
public:
    explicit inputFile(const std::string& name) : inputFile(name, name) {}
    // Opens path; failures name the input as name.
    inputFile(const std::string& path, const std::string& name);
    ~inputFile();
    inputFile(const inputFile&) = delete;
    inputFile& operator=(const inputFile&) = delete;
    contentKind content() { return contentOf(fp); }
    // Hands the file over to its reader.
    hFILE* release();

private:
    hFILE* fp = nullptr;
};

// Output file, compressed on the fly when the name ends in .gz or .bz2;
// "-" is standard output. A failed write, flush or close leaves the stream
// in the bad state. threads: gzip blocks compressed at once; the bytes
// written are the same for every count.
class ofile : public boost::iostreams::filtering_ostream {
public:
    explicit ofile(const std::string& name, int threads = 1);
    // Compressed as asked, whatever the name.
    ofile(const std::string& name, compression how, int threads);
    ~ofile();
    void close();
    const std::string& name() const { return file; }
    bool isOpen() const { return fd.is_open(); }
    int openError() const { return error; }  // errno when it did not open

private:
    std::string file;
    std::ofstream fd;
    int error = 0;
};

// A chunk as a run without a site map reads it: the name given on the
// command line, for messages, and the file to open, which is the name itself
// or the copy of a stream.
struct chunkFile {
    std::string name, path;
};

// What an input named on the command line holds, as the choice between the
// two modes needs to know: VCF or BCF, other (text) data, an index, data
// compressed in a way htslib cannot read through, or no data to read at all.
// error: errno of an input that cannot be opened; compression: the name of
// the compression of a compressed input.
enum class inputKind { variants, other, index, compressed, empty, missing, directory, unreadable };
struct inputCheck {
    inputKind kind = inputKind::other;
    int error = 0;
    const char* compression = nullptr;
};
inputCheck checkInput(const std::string& path);

// The name of a compression that htslib recognises (an htsCompression) but
// cannot read VCF or BCF through, as bzip2, xz or zstd; null for none, gzip
// and BGZF.
const char* unreadableCompression(int compression);

// Inputs that are streams (standard input for "-", pipes, FIFOs, process
// substitutions) copied aside as a whole into unlinked temporary files, so
// that they can be read more than once; a regular file is read where it is.
// A stream whose first mebibyte is no VCF or BCF is copied no further: that
// part tells checkInput what it is, and nothing reads it as a chunk. The
// copies live as long as this object.
class streamCopies {
public:
    streamCopies() = default;
    ~streamCopies();
    streamCopies(const streamCopies&) = delete;
    streamCopies& operator=(const streamCopies&) = delete;
    // The file to read for name: the name, or a copy made now.
    chunkFile add(const std::string& name);

private:
    std::vector<int> copies;
};

// Copies n bytes from one open file to another, each from where it stands;
// returns why that failed, or nothing when it did not.
std::string copyBytes(int from, int to, uint64_t n);

}  // namespace seamline

#endif
