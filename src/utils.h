#ifndef SEAMLINE_UTILS_H
#define SEAMLINE_UTILS_H

#include <htslib/hfile.h>

#include <boost/iostreams/filtering_stream.hpp>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace futils {
// Everything after the last "." of the whole name; empty when there is none.
std::string extensionFile(const std::string& filename);
}  // namespace futils

namespace sutils {
// Splits at any character of the delimiter set; never yields empty fields.
std::vector<std::string> tokenize(const std::string& str, std::string delimiters);
// The limited split with a single delimiter character, without copying:
// stores at most n fields of text in fields and returns how many it stored.
size_t splitFields(std::string_view text, char delimiter, size_t n, std::string_view* fields);
}  // namespace sutils

// Reads a stream line by line in large blocks; a line ends at a line feed
// only, and a last line without one is still a line. The view returned by
// next stays valid until the following call.
class lineReader {
public:
    std::istream& in;
    std::vector<char> buffer;
    size_t begin = 0, end = 0;
    bool exhausted = false;
    bool cut = false;  // the rest of a line that was cut short is yet to be skipped

    explicit lineReader(std::istream& in);
    // False at the end of the data, and on a read error (the stream is then bad).
    bool next(std::string_view& line);
    // The same, for a reader that needs only the start of a long line: when a
    // line outgrows the buffer, wanted is shown what has been read of it and
    // returns how much of it to keep, or npos to read on. The line is then cut
    // there and its rest skipped without being held in memory.
    bool next(std::string_view& line, size_t (*wanted)(std::string_view));
};

// Input file, decompressed on the fly when the name ends in .gz or .bz2.
class ifile : public boost::iostreams::filtering_istream {
public:
    std::string file;
    std::ifstream fd;
    hFILE* source = nullptr;  // the file, when it came already open
    int error = 0;            // errno of the last open that failed

    ifile();
    ifile(std::string filename, bool binary = false);
    // Reads a file opened by an inputFile, which hands it over.
    ifile(std::string filename, hFILE* opened);
    ~ifile();
    bool open(std::string filename, bool binary = false);
    void close();
    std::string name() const;
    bool isOpen() const { return fd.is_open() || source; }

private:
    // The decompressor the name's extension asks for, if any.
    void pushDecompressor();
};

// An input opened once, whose first bytes can be looked at without being
// read away, so that its format is told by its content even when it is a
// pipe that cannot be opened again.
class inputFile {
public:
    std::string name;
    hFILE* fp = nullptr;
    int error = 0;  // errno when the file did not open

    explicit inputFile(const std::string& name);
    ~inputFile();
    inputFile(const inputFile&) = delete;
    inputFile& operator=(const inputFile&) = delete;
    bool isOpen() const { return fp != nullptr; }
    // VCF or BCF, plain or compressed, as htslib's format detection says.
    bool isVariant();
    bool isBcf();
    // Hands the file over to its reader.
    hFILE* release();
};

// Output file, compressed on the fly when the name ends in .gz or .bz2.
// A failed write, flush or close leaves the stream in the bad state.
class ofile : public boost::iostreams::filtering_ostream {
public:
    std::string file;
    std::ofstream fd;
    int error = 0;  // errno of the last open that failed
    // Gzip blocks compressed at once, taken by the next open; the bytes
    // written are the same for every count.
    int threads = 1;

    ofile();
    ofile(std::string filename, bool binary = false, int threads = 1);
    ~ofile();
    bool open(std::string filename, bool binary = false);
    void close();
    std::string name() const;
};

#endif
