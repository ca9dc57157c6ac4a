#include "spill.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "failure.h"

namespace seamline {

namespace {

// Rows held in memory by the whole run before they go to the spill file.
// Small runs stay in memory; large ones keep at most this much, besides the
// rows of the extents being filled and read.
const size_t defaultBudget = size_t(24) << 20;
const size_t extentBytes = size_t(1) << 20;

// Tests set the budget through SEAMLINE_ROWS_IN_MEMORY (bytes) to make small
// runs spill.
size_t budgetFromEnvironment() {
    const char* value = getenv("SEAMLINE_ROWS_IN_MEMORY");
    if (!value || !*value) return defaultBudget;
    return static_cast<size_t>(strtoull(value, nullptr, 10));
}

std::string temporaryDirectory() {
    const char* dir = getenv("TMPDIR");
    return dir && *dir ? dir : "/tmp";
}

}  // namespace

spillFile::spillFile() : budget(budgetFromEnvironment()), dir(temporaryDirectory()) {}

spillFile::~spillFile() {
    if (fd >= 0) ::close(fd);
}

spillFile& spillFile::shared() {
    static spillFile file;
    return file;
}

int temporaryFile() {
    const std::string dir = temporaryDirectory();
    // A file without a name where the file system allows it, else one
    // unlinked as soon as it is made.
    int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && errno != ENOENT && errno != EACCES && errno != EROFS) {
        std::string name = dir + "/.seamline-rows-XXXXXX";
        fd = mkostemp(&name[0], O_CLOEXEC);
        if (fd >= 0) unlink(name.c_str());
    }
    if (fd < 0) fail("cannot write temporary data in [" + dir + "]: " + strerror(errno));
    return fd;
}

void spillFile::open() {
    std::lock_guard<std::mutex> lock(opening);
    if (fd < 0) fd = temporaryFile();
}

uint64_t spillFile::write(const void* data, size_t bytes) {
    open();
    uint64_t offset = end.fetch_add(bytes);
    const char* p = static_cast<const char*>(data);
    for (size_t done = 0; done < bytes;) {
        ssize_t n = pwrite(fd, p + done, bytes - done, static_cast<off_t>(offset + done));
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            fail("cannot write temporary data in [" + dir +
                 "]: " + strerror(n < 0 ? errno : ENOSPC));
        }
        done += static_cast<size_t>(n);
    }
    return offset;
}

void spillFile::read(uint64_t offset, void* data, size_t bytes) const {
    char* p = static_cast<char*>(data);
    for (size_t done = 0; done < bytes;) {
        ssize_t n = pread(fd, p + done, bytes - done, static_cast<off_t>(offset + done));
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            fail("cannot read temporary data in [" + dir +
                 "]: " + (n < 0 ? strerror(errno) : "the file is cut short"));
        }
        done += static_cast<size_t>(n);
    }
}

rowStore::rowStore(size_t bits) : wordsPerRow((bits + 63) / 64) {
    if (wordsPerRow > 0) rowsPerExtent = std::max<size_t>(1, extentBytes / (8 * wordsPerRow));
}

rowStore::~rowStore() {
    size_t held = 0;
    for (const extent& e : extents) held += 8 * e.memory.size();
    spillFile::shared().inMemory -= held;
}

rowStore& rowStore::operator=(rowStore&& other) noexcept {
    std::swap(wordsPerRow, other.wordsPerRow);
    std::swap(rows, other.rows);
    std::swap(rowsPerExtent, other.rowsPerExtent);
    extents.swap(other.extents);
    return *this;
}

uint64_t* rowStore::add() {
    // Rows without samples hold nothing.
    static uint64_t nothing;
    rows++;
    if (wordsPerRow == 0) return &nothing;
    if ((rows - 1) % rowsPerExtent == 0) {
        if (!extents.empty()) settle(extents.back());
        extents.emplace_back();
        extents.back().memory.reserve(rowsPerExtent * wordsPerRow);
    }
    std::vector<uint64_t>& memory = extents.back().memory;
    memory.resize(memory.size() + wordsPerRow, 0);
    spillFile::shared().inMemory += 8 * wordsPerRow;
    return memory.data() + memory.size() - wordsPerRow;
}

void rowStore::finish() {
    if (!extents.empty()) settle(extents.back());
}

void rowStore::settle(extent& e) {
    spillFile& spill = spillFile::shared();
    if (spill.inMemory <= spill.budget || e.memory.empty()) return;
    size_t bytes = 8 * e.memory.size();
    e.offset = spill.write(e.memory.data(), bytes);
    std::vector<uint64_t>().swap(e.memory);
    spill.inMemory -= bytes;
}

void rowStore::read(size_t first, size_t count, uint64_t* dest) const {
    while (count > 0) {
        const extent& e = extents[first / rowsPerExtent];
        size_t within = first % rowsPerExtent;
        size_t n = std::min(count, rowsPerExtent - within);
        if (!e.memory.empty())
            memcpy(dest, e.memory.data() + within * wordsPerRow, 8 * n * wordsPerRow);
        else
            spillFile::shared().read(e.offset + 8 * within * wordsPerRow, dest,
                                     8 * n * wordsPerRow);
        first += n;
        count -= n;
        dest += n * wordsPerRow;
    }
}

rowCursor::rowCursor(const rowStore& store) : store(&store) {}

const uint64_t* rowCursor::row(size_t r) {
    if (store->wordsPerRow == 0) return nullptr;
    if (r < first || r >= first + count) {
        size_t e = r / store->rowsPerExtent;
        first = e * store->rowsPerExtent;
        count = std::min(store->rowsPerExtent, store->rows - first);
        const rowStore::extent& x = store->extents[e];
        if (!x.memory.empty()) {
            window = x.memory.data();
        } else {
            buffer.resize(count * store->wordsPerRow);
            store->read(first, count, buffer.data());
            window = buffer.data();
        }
    }
    return window + (r - first) * store->wordsPerRow;
}

uint8_t* byteRows::add(int32_t row) {
    rows.push_back(row);
    return reinterpret_cast<uint8_t*>(store.add());
}

const uint8_t* byteRowCursor::find(int32_t r) {
    auto at = std::lower_bound(rows->rows.begin(), rows->rows.end(), r);
    if (at == rows->rows.end() || *at != r || rows->width == 0) return nullptr;
    return reinterpret_cast<const uint8_t*>(cursor.row(at - rows->rows.begin()));
}

}  // namespace seamline
