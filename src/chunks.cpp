#include "chunks.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <new>

#include "bits.h"
#include "chunkrow.h"
#include "failure.h"
#include "files.h"
#include "text.h"
#include "threads.h"
#include "vcfread.h"

namespace seamline {

namespace {

// Reads one chunk file; stops early, with nothing, once another file's
// failure has cancelled the reading.
class chunkReader {
public:
    chunkReader(const siteMap& sites, bool flip, const std::atomic<bool>* cancel,
                rowRange range = {})
        : sites(sites),
          flip(flip),
          cancel(cancel),
          range(range),
          ncodes(2 * sites.samples().size()) {}

    std::unique_ptr<chunk> read(const std::string& name) {
        auto c = std::make_unique<chunk>(name, sites.samples().size());
        size_t lineNo = 0;
        try {
            inputFile input(name);
            bool complete = input.content() != contentKind::other
                                ? readVariant(input.release(), *c)
                                : readText(input.release(), *c, lineNo);
            if (!complete) return nullptr;
            c->rows.finish();
        } catch (const std::bad_alloc&) {
            fail("cannot read [" + name + "] line " + std::to_string(lineNo + 1) +
                 ": out of memory");
        }
        return c;
    }

private:
    const siteMap& sites;
    const bool flip;
    const std::atomic<bool>* cancel;
    const rowRange range;
    const size_t ncodes;

    bool cancelled(size_t count) const { return cancel && (count & 1023) == 0 && *cancel; }

    // The site of a row, which must come after the chunk's last one; lineNo
    // names a text row in messages, or is 0 for a VCF or BCF record, which is
    // named by position and whose chromosome must match its site's.
    int32_t siteOf(const chunk& c, std::string_view chrom, int32_t pos, std::string_view a1,
                   std::string_view a2, bool& flipped, size_t lineNo) const {
        int32_t idx = sites.find(chrom, lineNo == 0, pos, a1, a2, flip, flipped);
        if (idx < 0)
            failOnConsole("Not found = " + std::to_string(pos) + " " + std::string(a1) + "  " +
                          std::string(a2));
        if (!c.sites.empty() && idx <= c.sites.back())
            fail("cannot read [" + c.name + "] " +
                 (lineNo ? "line " + std::to_string(lineNo) : "position " + std::to_string(pos)) +
                 ": the row at position " + std::to_string(pos) +
                 " does not come after the row before it in site-map order");
        return idx;
    }

    bool readText(hFILE* fp, chunk& c, size_t& lineNo) const {
        const std::string& name = c.name;
        ifile in(name, fp);
        lineReader lines(in);
        std::string_view line;
        chunkRow row;
        std::vector<uint64_t> scratch;  // the bits of a row before the range
        while (lines.next(line)) {
            lineNo++;
            if (cancelled(lineNo)) return false;
            dropCarriageReturn(line);
            // VCF that htslib could not recognise: compressed with bzip2.
            if (lineNo == 1 && (startsWith(line, "##fileformat=VCF") || startsWith(line, "#CHROM")))
                fail("cannot read [" + name +
                     "]: VCF compressed with bzip2 cannot be read; compress it with bgzip");
            // Until the range starts, rows are parsed into scratch.
            const bool ahead = c.sites.empty() && range.from > 0;
            if (ahead) scratch.assign((ncodes + 63) / 64, 0);
            uint64_t* bits = ahead ? scratch.data() : c.rows.add();
            size_t nfields = row.parse(line, ncodes, bits);
            // A fixed text that users' scripts know, not an assertion of the code.
            if (nfields != ncodes + 5)
                fail("src/data.cpp: check failed: tok.size() == (I.size() * 2 + 5) in [" + name +
                     "] line " + std::to_string(lineNo) + ": " + std::to_string(nfields) +
                     " fields, expected " + std::to_string(ncodes + 5));
            int32_t pos;
            if (!parsePosition(row.fields[2], pos))
                fail("cannot read [" + name + "] line " + std::to_string(lineNo) + ": " +
                     badPosition(row.fields[2]));
            bool flipped;
            int32_t idx =
                siteOf(c, row.fields[0], pos, row.fields[3], row.fields[4], flipped, lineNo);
            if (row.badCode >= 0)
                fail("cannot read [" + name + "] line " + std::to_string(lineNo) + ": field " +
                     std::to_string(row.badCode + 6) + " is " + quoted(row.code(row.badCode)) +
                     ", not 0 or 1");
            if (ahead) {
                if (idx < range.from) continue;
                bits = std::copy(scratch.begin(), scratch.end(), c.rows.add()) - scratch.size();
            }
            c.sites.push_back(idx);
            // A row with the alleles the other way round stores the
            // complement of its codes, so that a set bit is always ALT.
            if (flipped) invertBits(bits, ncodes);
            if (idx >= range.until) break;
        }
        if (in.bad()) fail("cannot read [" + name + "]: the file is damaged or unreadable");
        in.close();
        return true;
    }

    bool readVariant(hFILE* fp, chunk& c) const {
        const std::string& name = c.name;
        variantReader reader(fp, name);
        const std::vector<int32_t> order = sampleOrder(sites.samples(), reader.samples(), name);
        if (range.from > 0 && static_cast<size_t>(range.from) < sites.sites().size()) {
            const site& first = sites.sites()[range.from];
            reader.skipTo(sites.contigs()[first.contig], first.pos);
        }
        variantRecord r;
        for (size_t record = 1; reader.next(r); record++) {
            if (cancelled(record)) return false;
            if (!isPosition(r.pos))
                fail("cannot read [" + name + "]: " + badPosition(std::to_string(r.pos)));
            const int32_t pos = static_cast<int32_t>(r.pos);
            bool flipped;
            int32_t idx = siteOf(c, r.chrom, pos, r.ref, r.alt, flipped, 0);
            if (idx < range.from) continue;
            uint64_t* bits = c.rows.add();
            reader.genotypes(order, bits);
            c.sites.push_back(idx);
            if (flipped) invertBits(bits, ncodes);
            if (idx >= range.until) break;
        }
        return true;
    }
};

// The console line of a file is left open until its row count or failure
// completes it; a message on standard error starts on a line of its own.
void announce(const std::string& name) {
    std::cout << "Reading haplotypes in [" << name << "]" << std::flush;
}

chunk counted(std::unique_ptr<chunk> c) {
    std::cout << "\t" << c->sites.size() << std::endl;
    return std::move(*c);
}

[[noreturn]] void stop(std::exception_ptr failed) {
    try {
        std::rethrow_exception(failed);
    } catch (const failure& f) {
        if (f.where == failure::stream::errors) std::cout << std::endl;
        throw;
    }
}

std::vector<chunk> readInTurn(const std::vector<std::string>& names, const siteMap& sites,
                              bool flip) {
    std::vector<chunk> chunks;
    chunkReader reader(sites, flip, nullptr);
    for (const std::string& name : names) {
        announce(name);
        try {
            chunks.push_back(counted(reader.read(name)));
        } catch (const failure&) {
            stop(std::current_exception());
        }
    }
    return chunks;
}

}  // namespace

chunk readRows(const std::string& name, const siteMap& sites, bool flip, rowRange range) {
    announce(name);
    try {
        return counted(chunkReader(sites, flip, nullptr, range).read(name));
    } catch (const failure&) {
        stop(std::current_exception());
    }
}

std::vector<chunk> readChunks(const std::vector<std::string>& names, const siteMap& sites,
                              bool flip, int threads) {
    if (threads <= 1) return readInTurn(names, sites, flip);
    // Files are read on the pool and reported in command-line order; once
    // one has failed, the others stop and their results are dropped.
    std::atomic<bool> cancel(false);
    std::exception_ptr failed;
    std::vector<chunk> chunks;
    chunkReader reader(sites, flip, &cancel);
    orderedPipeline<std::unique_ptr<chunk>> reading(threads, threads + 1);
    size_t reported = 0;
    auto report = [&] {
        const std::string& name = names[reported++];
        try {
            std::unique_ptr<chunk> c = reading.take();
            if (cancel) return;
            announce(name);
            chunks.push_back(counted(std::move(c)));
        } catch (const failure&) {
            if (cancel) return;
            announce(name);
            cancel = true;
            failed = std::current_exception();
        }
    };
    for (const std::string& name : names) {
        while (reading.full()) report();
        if (cancel) break;
        reading.submit([&reader, &name] { return reader.read(name); });
    }
    while (!reading.empty()) report();
    if (failed) stop(failed);
    return chunks;
}

}  // namespace seamline
