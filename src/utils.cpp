#include "utils.h"

#include <sys/stat.h>

#include <boost/iostreams/filter/bzip2.hpp>
#include <boost/iostreams/filter/gzip.hpp>
#include <cerrno>
#include <cstdlib>
#include <iostream>

namespace io = boost::iostreams;

namespace futils {

std::string extensionFile(const std::string& filename) {
    size_t dot = filename.find_last_of('.');
    if (dot == std::string::npos) return "";
    return filename.substr(dot + 1);
}

void fatal(const std::string& message) {
    std::cout.flush();
    std::cerr << "seamline: " << message << std::endl;
    exit(1);
}

}  // namespace futils

namespace sutils {

std::vector<std::string> tokenize(const std::string& str, std::string delimiters) {
    std::vector<std::string> tokens;
    size_t start = str.find_first_not_of(delimiters, 0);
    size_t end = str.find_first_of(delimiters, start);
    while (start != std::string::npos || end != std::string::npos) {
        tokens.push_back(str.substr(start, end - start));
        start = str.find_first_not_of(delimiters, end);
        end = str.find_first_of(delimiters, start);
    }
    return tokens;
}

std::vector<std::string> tokenize(const std::string& str, std::string delimiters, int n) {
    std::vector<std::string> tokens;
    if (n <= 0) return tokens;
    size_t start = str.find_first_not_of(delimiters, 0);
    size_t end = str.find_first_of(delimiters, start);
    while ((start != std::string::npos || end != std::string::npos) &&
           tokens.size() < static_cast<size_t>(n)) {
        tokens.push_back(str.substr(start, end - start));
        start = str.find_first_not_of(delimiters, end);
        end = str.find_first_of(delimiters, start);
    }
    return tokens;
}

}  // namespace sutils

namespace {

enum class compression { none, gzip, bzip2 };

compression compressionOf(const std::string& filename) {
    std::string ext = futils::extensionFile(filename);
    if (ext == "gz") return compression::gzip;
    if (ext == "bz2") return compression::bzip2;
    return compression::none;
}

bool isDirectory(const std::string& filename) {
    struct stat st;
    return stat(filename.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Sink that writes into the file stream and reports a short write (a full
// disk) by throwing: Boost then marks the stream bad instead of retrying the
// write forever, as it does with a plain std::ostream sink.
struct checkedSink {
    typedef char char_type;
    struct category : io::sink_tag, io::flushable_tag {};
    std::ofstream* fd;

    std::streamsize write(const char* s, std::streamsize n) {
        if (fd->rdbuf()->sputn(s, n) != n) throw std::ios_base::failure("write failed");
        return n;
    }
    bool flush() { return fd->rdbuf()->pubsync() == 0; }
};

const std::streamsize bufferSize = 4096;

}  // namespace

ifile::ifile() {}

ifile::ifile(std::string filename, bool binary) { open(filename, binary); }

ifile::~ifile() { close(); }

bool ifile::open(std::string filename, bool binary) {
    file = filename;
    compression c = compressionOf(file);
    // A directory opens like a file on Linux and then reads as empty.
    if (isDirectory(file)) {
        error = EISDIR;
        return false;
    }
    std::ios::openmode mode = std::ios::in;
    if (binary || c != compression::none) mode |= std::ios::binary;
    errno = 0;
    fd.open(file, mode);
    if (fd.fail()) {
        error = errno;
        return false;
    }
    if (c == compression::gzip) push(io::gzip_decompressor(15, bufferSize));
    if (c == compression::bzip2) push(io::bzip2_decompressor(false, bufferSize));
    push(fd);
    return true;
}

void ifile::close() {
    if (!empty()) reset();
    if (fd.is_open()) fd.close();
}

std::string ifile::name() const { return file; }

ofile::ofile() {}

ofile::ofile(std::string filename, bool binary) { open(filename, binary); }

ofile::~ofile() { close(); }

bool ofile::open(std::string filename, bool binary) {
    file = filename;
    compression c = compressionOf(file);
    std::ios::openmode mode = std::ios::out | std::ios::trunc;
    if (binary || c != compression::none) mode |= std::ios::binary;
    errno = 0;
    fd.open(file, mode);
    if (fd.fail()) {
        error = errno;
        return false;
    }
    if (c == compression::gzip) {
        io::gzip_params params(io::zlib::default_compression, io::zlib::deflated, 15, 8,
                               io::zlib::default_strategy, "", "", 0);
        push(io::gzip_compressor(params, bufferSize));
    }
    if (c == compression::bzip2) push(io::bzip2_compressor(io::bzip2_params(9, 30), bufferSize));
    push(checkedSink{&fd}, bufferSize);
    return true;
}

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
        fd.close();
        if (fd.fail()) setstate(std::ios::badbit);
    }
}

std::string ofile::name() const { return file; }
