#ifndef SEAMLINE_DROPIN_HEADERS_H
#define SEAMLINE_DROPIN_HEADERS_H

#include <htslib/vcf.h>

#include <memory>
#include <string>
#include <unordered_map>

namespace seamline {

struct headerDeleter {
    void operator()(bcf_hdr_t* header) const { bcf_hdr_destroy(header); }
};
typedef std::unique_ptr<bcf_hdr_t, headerDeleter> headerPtr;

// The header of an output joined from several chunks: the first chunk's
// lines, then those that each of the others adds, in the order they come:
// every key's declaration once, and every other line once per text. A
// key that two chunks declare with another type or number cannot be written
// for both, and ends the run naming both declarations and both files.
class headerMerger {
public:
    // Adds the header of the chunk file named file.
    void add(headerPtr header, const std::string& file);
    // The header of every chunk added so far.
    headerPtr take() { return std::move(merged); }

private:
    headerPtr merged;
    std::unordered_map<std::string, std::string> definedIn;  // per key: the first file that has it

    void checkDeclarations(const bcf_hdr_t* theirs, const std::string& name) const;
    // Adds the lines of theirs that declare no key and are not there yet.
    bool addOtherLines(const bcf_hdr_t* theirs);
};

}  // namespace seamline

#endif
