#ifndef SEAMLINE_FILES_H
#define SEAMLINE_FILES_H

#include <htslib/hfile.h>

#include <boost/iostreams/filtering_stream.hpp>
#include <cstdint>
#include <fstream>
#include <string>

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
    explicit inputFile(const std::string& name);
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

// Copies n bytes from one open file to another, each from where it stands;
// returns why that failed, or nothing when it did not.
std::string copyBytes(int from, int to, uint64_t n);

}  // namespace seamline

#endif
