#ifndef SEAMLINE_UTILS_H
#define SEAMLINE_UTILS_H

#include <boost/iostreams/filtering_stream.hpp>
#include <fstream>
#include <string>
#include <vector>

namespace futils {
// Everything after the last "." of the whole name; empty when there is none.
std::string extensionFile(const std::string& filename);

// Prints "seamline: " and the message on standard error and ends the run
// with exit status 1.
[[noreturn]] void fatal(const std::string& message);
}  // namespace futils

namespace sutils {
// Splits at any character of the delimiter set; never yields empty fields.
std::vector<std::string> tokenize(const std::string& str, std::string delimiters);
// The same, stopping after the first n fields (the rest is not joined).
std::vector<std::string> tokenize(const std::string& str, std::string delimiters, int n);
}  // namespace sutils

// Input file, decompressed on the fly when the name ends in .gz or .bz2.
class ifile : public boost::iostreams::filtering_istream {
public:
    std::string file;
    std::ifstream fd;
    int error = 0;  // errno of the last open that failed

    ifile();
    ifile(std::string filename, bool binary = false);
    ~ifile();
    bool open(std::string filename, bool binary = false);
    void close();
    std::string name() const;
};

// Output file, compressed on the fly when the name ends in .gz or .bz2.
// A failed write, flush or close leaves the stream in the bad state.
class ofile : public boost::iostreams::filtering_ostream {
public:
    std::string file;
    std::ofstream fd;
    int error = 0;  // errno of the last open that failed

    ofile();
    ofile(std::string filename, bool binary = false);
    ~ofile();
    bool open(std::string filename, bool binary = false);
    void close();
    std::string name() const;
};

#endif
