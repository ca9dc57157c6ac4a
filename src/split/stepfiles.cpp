#include "split/stepfiles.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "deflate.h"
#include "failure.h"

namespace seamline {

namespace {

// The fourth form of the files: a site holds a 64-bit position, and a CRC
// of the rest, with its length, ends the file.
const char magic[] = "seamline step file 4\n";

// FNV-1a, 64 bits.
struct fingerprint {
    uint64_t value = 0xcbf29ce484222325ULL;
    void add(const void* data, size_t n) {
        const unsigned char* p = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < n; i++) value = (value ^ p[i]) * 0x100000001b3ULL;
    }
    void add(const std::string& text) {
        add(text.data(), text.size() + 1);  // with its NUL, so that texts stay apart
    }
};

// The file is mapped, not read: a step that loads the site map takes its
// megabytes straight from the page cache, without a copy that grows.
void mapFile(const std::string& path, mappedFile& file) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("cannot read [" + path + "]: " + strerror(errno));
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int error = errno;
        ::close(fd);
        fail("cannot read [" + path + "]: " + strerror(error));
    }
    if (st.st_size > 0) {
        void* p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ,
                       MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (p == MAP_FAILED) {
            int error = errno;
            ::close(fd);
            fail("cannot read [" + path + "]: " + strerror(error));
        }
        file.data = static_cast<const char*>(p);
        file.size = static_cast<size_t>(st.st_size);
    }
    ::close(fd);
}

}  // namespace

mappedFile::~mappedFile() {
    if (size) munmap(const_cast<char*>(data), size);
}

uint64_t checksum(const char* data, size_t n) {
    // The CRC-32 of gzip, which catches every burst of damage up to 32 bits
    // and runs at memory speed, beside the length.
    return uint64_t(gzipCrc(0, data, n)) << 32 ^ n;
}

uint64_t fileChecksum(const std::string& path) {
    mappedFile file;
    mapFile(path, file);
    return checksum(file.data, file.size);
}

stepOut::stepOut(const char* kind, uint64_t run) {
    data = magic;
    text(kind);
    number(run);
}

void stepOut::number(uint64_t value) { bytes(&value, sizeof value); }

void stepOut::numbers(const std::vector<int32_t>& values) {
    number(values.size());
    bytes(values.data(), values.size() * sizeof(int32_t));
}

void stepOut::words(const std::vector<uint64_t>& values) {
    number(values.size());
    bytes(values.data(), values.size() * sizeof(uint64_t));
}

void stepOut::text(const std::string& value) {
    number(value.size());
    bytes(value.data(), value.size());
}

void stepOut::texts(const std::vector<std::string>& values) {
    number(values.size());
    for (const std::string& value : values) text(value);
}

void stepOut::bytes(const void* from, size_t n) { data.append(static_cast<const char*>(from), n); }

void stepOut::save(const std::string& path, const std::string& name) {
    number(checksum(data.data(), data.size()));
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) fail("cannot write [" + name + "]: " + strerror(errno));
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int error = n < 0 ? errno : ENOSPC;
            ::close(fd);
            fail("cannot write [" + name + "]: " + strerror(error));
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (::close(fd) < 0) fail("cannot write [" + name + "]: " + strerror(errno));
}

stepIn::stepIn(const std::string& path, const char* kind, uint64_t run) : path(path) {
    map();
    const size_t m = sizeof magic - 1;
    if (file.size < m || memcmp(file.data, magic, m) != 0)
        fail("cannot read [" + path + "]: not a file of a step of seamline");
    uint64_t stored = 0;
    if (file.size >= m + sizeof stored) {
        end = file.size - sizeof stored;
        memcpy(&stored, file.data + end, sizeof stored);
    }
    if (file.size < m + sizeof stored || stored != checksum(file.data, end))
        fail("cannot read [" + path + "]: the file is cut short or damaged");
    at = m;
    if (text() != kind) fail("cannot read [" + path + "]: not the file of a " + kind + " step");
    if (number() != run)
        fail("cannot read [" + path +
             "]: it belongs to another join (other chunks, site map or options)");
}

void stepIn::map() { mapFile(path, file); }

void stepIn::expect(uint64_t count, size_t each) const {
    if (count > (end - at) / each) fail("cannot read [" + path + "]: the file is cut short");
}

const char* stepIn::take(uint64_t n) {
    if (n > end - at) fail("cannot read [" + path + "]: the file is cut short");
    const char* p = file.data + at;
    at += n;
    return p;
}

uint64_t stepIn::number() {
    uint64_t value;
    memcpy(&value, take(sizeof value), sizeof value);
    return value;
}

template <typename T>
std::vector<T> stepIn::array() {
    const uint64_t n = number();
    expect(n, sizeof(T));
    std::vector<T> values(n);
    bytes(values.data(), n * sizeof(T));
    return values;
}

std::vector<int32_t> stepIn::numbers() { return array<int32_t>(); }

std::vector<uint64_t> stepIn::words() { return array<uint64_t>(); }

std::string stepIn::text() {
    const uint64_t n = number();
    const char* p = take(n);
    return std::string(p, n);
}

std::vector<std::string> stepIn::texts() {
    const uint64_t n = number();
    expect(n, sizeof(uint64_t));  // each text has its length at least
    std::vector<std::string> values;
    for (uint64_t i = 0; i < n; i++) values.push_back(text());
    return values;
}

void stepIn::bytes(void* into, size_t n) {
    if (n) memcpy(into, take(n), n);
}

uint64_t runIdentity(const std::vector<std::string>& settings,
                     const std::vector<std::string>& inputs) {
    fingerprint f;
    for (const std::string& setting : settings) f.add(setting);
    for (const std::string& input : inputs) {
        f.add(input);
        struct stat st;
        if (stat(input.c_str(), &st) != 0) continue;
        const int64_t facts[3] = {static_cast<int64_t>(st.st_size),
                                  static_cast<int64_t>(st.st_mtim.tv_sec),
                                  static_cast<int64_t>(st.st_mtim.tv_nsec)};
        f.add(facts, sizeof facts);
    }
    return f.value;
}

void saveSiteMap(stepOut& out, const siteMap& map) {
    out.texts(map.samples());
    out.texts(map.contigs());
    out.texts(map.contigLines());
    out.text(map.text());
    out.number(map.sites().size());
    out.bytes(map.sites().data(), map.sites().size() * sizeof(site));
    // The index goes with the map, so that a step need not build it again.
    out.numbers(map.slots());
}

siteMap loadSiteMap(stepIn& in) {
    std::vector<std::string> samples = in.texts(), contigs = in.texts(), lines = in.texts();
    std::string text = in.text();
    const uint64_t n = in.number();
    in.expect(n, sizeof(site));
    std::vector<site> sites(n);
    in.bytes(sites.data(), n * sizeof(site));
    std::vector<int32_t> slots = in.numbers();
    // The bounds of the numbers, found by reductions that the compiler
    // vectorises: every step that reads chunks loads the map.
    int32_t lowSlot = 0, highSlot = -1;
    for (int32_t slot : slots) {
        lowSlot = std::min(lowSlot, slot);
        highSlot = std::max(highSlot, slot);
    }
    int32_t lowContig = 0, highContig = -1;
    uint64_t reach = 0;
    for (const site& s : sites) {
        lowContig = std::min(lowContig, s.contig);
        highContig = std::max(highContig, s.contig);
        reach = std::max(reach, s.text + s.idLength + s.refLength + s.altLength);
    }
    const bool whole = (slots.empty() ? n == 0 : (slots.size() & (slots.size() - 1)) == 0) &&
                       lowSlot >= -1 && highSlot < static_cast<int64_t>(n) && lowContig >= 0 &&
                       (n == 0 || static_cast<size_t>(highContig) < contigs.size()) &&
                       reach <= text.size();
    // An index without a free slot would search without end.
    if (!whole || (!slots.empty() && lowSlot >= 0))
        fail("cannot read [" + in.name() + "]: the file is damaged");
    return siteMap::fromParts(std::move(samples), std::move(contigs), std::move(lines),
                              std::move(text), std::move(sites), std::move(slots));
}

}  // namespace seamline
