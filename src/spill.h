#ifndef SEAMLINE_SPILL_H
#define SEAMLINE_SPILL_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

// The spill file cannot be made or written (a full disk, a file size limit).
struct spillError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The temporary file that takes the packed rows which do not fit the memory
// budget of the run. It is made in $TMPDIR (default /tmp) when first needed
// and unlinked at once, so it never outlives the run. Rows are written and
// read back with pwrite and pread, never mapped, so that what is on disk
// does not count as resident memory.
class spillFile {
public:
    std::string dir;
    int fd = -1;
    std::atomic<uint64_t> end{0};     // bytes handed out so far
    std::atomic<size_t> inMemory{0};  // bytes of rows the run holds in memory
    size_t budget;                    // bytes of rows the run may hold in memory
    std::mutex opening;

    spillFile();
    ~spillFile();
    // Writes the bytes at the end of the file; returns where they went. Throws
    // spillError when the file cannot be made or written.
    uint64_t write(const void* data, size_t bytes);
    void read(uint64_t offset, void* data, size_t bytes) const;

    // The one spill file of the process.
    static spillFile& shared();
};

// The packed rows of one chunk, a fixed number of 64-bit words each, kept in
// extents of about a megabyte: in memory while the run's budget allows,
// otherwise in the spill file. Rows are added at the end and read back by
// index, in any order.
class rowStore {
public:
    struct extent {
        std::vector<uint64_t> memory;  // the rows, while they are held in memory
        uint64_t offset = 0;           // where they are in the spill file otherwise
    };
    size_t words = 0;  // per row
    size_t rows = 0;
    size_t rowsPerExtent = 1;
    std::vector<extent> extents;

    explicit rowStore(size_t bits = 0);
    ~rowStore();
    rowStore(const rowStore&) = delete;
    rowStore& operator=(const rowStore&) = delete;
    // A new row at the end, all clear, to be filled in place until the next add.
    uint64_t* add();
    // Moves the rows of the last extent to the spill file if the budget is spent.
    void finish();
    size_t size() const { return rows; }
    // Copies count rows from row first on into dest.
    void read(size_t first, size_t count, uint64_t* dest) const;

private:
    void settle(extent& e);
};

// Reads the rows of a store in increasing order through a window of about a
// megabyte; rows held in memory are not copied.
class rowCursor {
public:
    const rowStore* store;
    size_t first = 0, count = 0;  // the rows of the window
    const uint64_t* window = nullptr;
    std::vector<uint64_t> buffer;

    explicit rowCursor(const rowStore& store);
    const uint64_t* row(size_t r);
};

#endif
