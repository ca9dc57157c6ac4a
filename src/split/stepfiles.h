#ifndef SEAMLINE_SPLIT_STEPFILES_H
#define SEAMLINE_SPLIT_STEPFILES_H

#include <cstdint>
#include <string>
#include <vector>

#include "sitemap/sitemap.h"

namespace seamline {

// The files that the steps of a join split into jobs pass on to each other.
// Each starts with its kind and the identity of its run, so that a step
// refuses a file of another kind, or one made for other inputs or options,
// and ends with a checksum of the rest, so that a step refuses a file cut
// short or damaged on its way.
// Numbers are stored in the byte order of the machine: the jobs of one join
// run on one kind of machine.
class stepOut {
public:
    stepOut(const char* kind, uint64_t run);
    void number(uint64_t value);
    void numbers(const std::vector<int32_t>& values);
    void words(const std::vector<uint64_t>& values);
    void text(const std::string& value);
    void texts(const std::vector<std::string>& values);
    void bytes(const void* data, size_t n);
    // Writes the file at path, with its checksum; name names it in messages.
    void save(const std::string& path, const std::string& name);

private:
    std::string data;
};

// A file mapped for reading, unmapped with this.
struct mappedFile {
    const char* data = nullptr;
    size_t size = 0;
    mappedFile() = default;
    mappedFile(const mappedFile&) = delete;
    mappedFile& operator=(const mappedFile&) = delete;
    ~mappedFile();
};

// A checksum of n bytes, and of the whole file at path: a step file's, and
// a stretch's, which its entries file holds for the gathering to check.
uint64_t checksum(const char* data, size_t n);
uint64_t fileChecksum(const std::string& path);

class stepIn {
public:
    // Reads the whole file; fails when it is not a step file of this kind
    // and run.
    stepIn(const std::string& path, const char* kind, uint64_t run);
    uint64_t number();
    std::vector<int32_t> numbers();
    std::vector<uint64_t> words();
    std::string text();
    std::vector<std::string> texts();
    void bytes(void* into, size_t n);
    // Fails unless count items of each bytes are left, before room is made
    // for them.
    void expect(uint64_t count, size_t each) const;
    const std::string& name() const { return path; }

private:
    std::string path;
    mappedFile file;
    size_t at = 0;
    size_t end = 0;  // where the checksum starts
    void map();
    // A length, then as many values.
    template <typename T>
    std::vector<T> array();
    // The next n bytes; fails when the file ends before them.
    const char* take(uint64_t n);
};

// The site map in a step file and back, so that the steps of a split join
// read the site map once. A map that does not hold together fails, naming
// the file.
void saveSiteMap(stepOut& out, const siteMap& map);
siteMap loadSiteMap(stepIn& in);

// The identity of a run: its options (threads and the step's own excepted),
// and the size and modification time of each input file.
uint64_t runIdentity(const std::vector<std::string>& settings,
                     const std::vector<std::string>& inputs);

}  // namespace seamline

#endif
