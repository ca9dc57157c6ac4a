#ifndef SEAMLINE_SPILL_H
#define SEAMLINE_SPILL_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace seamline {

// A new file without a name (or unlinked at once) in $TMPDIR, default /tmp,
// open for reading and writing; one that cannot be made fails "cannot write
// temporary data in [DIR]: reason".
int temporaryFile();

// The temporary file that takes the packed rows which do not fit the memory
// budget of the run. It is made in $TMPDIR (default /tmp) when first needed
// and unlinked at once, so it never outlives the run. Rows are written and
// read back with pwrite and pread, never mapped, so that what is on disk
// does not count as resident memory. A file that cannot be made, written or
// read throws a failure, on whichever thread meets it.
class spillFile {
public:
    spillFile();
    ~spillFile();
    spillFile(const spillFile&) = delete;
    spillFile& operator=(const spillFile&) = delete;
    // Writes the bytes at the end of the file; returns where they went.
    uint64_t write(const void* data, size_t bytes);
    void read(uint64_t offset, void* data, size_t bytes) const;

    // Bytes of rows held in memory by the whole run, and how many it may hold.
    std::atomic<size_t> inMemory{0};
    size_t budget;

    // The one spill file of the process.
    static spillFile& shared();

private:
    std::string dir;
    int fd = -1;
    std::atomic<uint64_t> end{0};  // bytes handed out so far
    std::mutex opening;

    void open();
};

// The packed rows of one chunk, a fixed number of 64-bit words each, kept in
// extents of about a megabyte: in memory while the run's budget allows,
// otherwise in the spill file. Rows are added at the end and read back by
// index, in any order.
class rowStore {
public:
    explicit rowStore(size_t bits = 0);
    ~rowStore();
    rowStore(rowStore&& other) noexcept = default;
    // Exchanges the rows, so that each store still accounts for what it holds.
    rowStore& operator=(rowStore&& other) noexcept;
    rowStore(const rowStore&) = delete;
    rowStore& operator=(const rowStore&) = delete;
    // A new row at the end, all clear, to be filled in place until the next add.
    uint64_t* add();
    // Moves the rows of the last extent to the spill file if the budget is spent.
    void finish();
    size_t size() const { return rows; }
    size_t words() const { return wordsPerRow; }
    // Copies count rows from row first on into dest.
    void read(size_t first, size_t count, uint64_t* dest) const;

private:
    friend class rowCursor;
    struct extent {
        std::vector<uint64_t> memory;  // the rows, while they are held in memory
        uint64_t offset = 0;           // where they are in the spill file otherwise
    };
    size_t wordsPerRow = 0;
    size_t rows = 0;
    size_t rowsPerExtent = 1;
    std::vector<extent> extents;

    void settle(extent& e);
};

// Reads the rows of a store in increasing order through a window of about a
// megabyte; rows held in memory are not copied.
class rowCursor {
public:
    explicit rowCursor(const rowStore& store);
    const uint64_t* row(size_t r);

private:
    const rowStore* store;
    size_t first = 0, count = 0;  // the rows of the window
    const uint64_t* window = nullptr;
    std::vector<uint64_t> buffer;
};

// A byte per sample for some of a chunk's rows, added in increasing order of
// row: the allele pairs of the rows with several ALT alleles. The bytes are
// kept as the rows of a rowStore, so that they count against the run's
// budget and spill as the other rows do.
class byteRows {
public:
    explicit byteRows(size_t samples = 0) : width(samples), store(8 * samples) {}
    // The bytes of row, after every row added so far, all 0, to be filled in
    // place until the next add.
    uint8_t* add(int32_t row);
    // Moves the bytes of the last extent to the spill file if the budget is spent.
    void finish() { store.finish(); }
    bool empty() const { return rows.empty(); }
    size_t samples() const { return width; }

private:
    friend class byteRowCursor;
    size_t width;
    std::vector<int32_t> rows;  // the rows that have bytes, in increasing order
    rowStore store;
};

// Reads the bytes of rows, best in increasing order of row.
class byteRowCursor {
public:
    explicit byteRowCursor(const byteRows& rows) : rows(&rows), cursor(rows.store) {}
    // The bytes of row r, or null when it has none.
    const uint8_t* find(int32_t r);

private:
    const byteRows* rows;
    rowCursor cursor;
};

}  // namespace seamline

#endif
