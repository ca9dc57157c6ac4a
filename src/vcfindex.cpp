// The index side of the variant reader: loading the index beside a chunk,
// telling whether it describes the chunk, and moving to a chromosome's first
// or last records through it.
#include <htslib/bgzf.h>
#include <htslib/tbx.h>
#include <sys/stat.h>

#include <cstring>

#include "vcfread.h"

namespace seamline {

namespace {

const char* const damaged = "the file is damaged or unreadable";

}  // namespace

bool variantReader::skipTo(const std::string& chrom, int64_t pos) {
    return skip(chrom, pos, false);
}

bool staleIndex(const std::string& path) {
    struct stat data, index;
    if (stat(path.c_str(), &data) != 0) return false;
    for (const char* suffix : {".tbi", ".csi"}) {
        if (stat((path + suffix).c_str(), &index) != 0) continue;
        if (index.st_mtim.tv_sec < data.st_mtim.tv_sec ||
            (index.st_mtim.tv_sec == data.st_mtim.tv_sec &&
             index.st_mtim.tv_nsec < data.st_mtim.tv_nsec))
            return true;
    }
    return false;
}

bool variantReader::skipToLast(const std::string& chrom) { return skip(chrom, 1, true); }

namespace {

// Where the searches of the last records stop: far beyond any chromosome, and
// small enough that htslib's bin arithmetic stays within an int.
const int64_t searchEnd = int64_t(1) << 44;

}  // namespace

std::vector<std::string> variantReader::indexedContigs() {
    std::vector<std::string> contigs;
    if (!loadIndex()) return contigs;
    int n = 0;
    const char** names = tabix ? tbx_seqnames(tabix, &n) : nullptr;
    for (int i = 0; names && i < n; i++) contigs.emplace_back(names[i]);
    free(names);
    // The contigs the index holds records of, named by the header, which
    // loadIndex checked has a name for each.
    auto name = [](void* header, int id) {
        return bcf_hdr_id2name(static_cast<const bcf_hdr_t*>(header), id);
    };
    names = binIndex ? hts_idx_seqnames(binIndex, &n, name, parsedHeader) : nullptr;
    for (int i = 0; names && i < n; i++) contigs.emplace_back(names[i]);
    free(names);
    return contigs;
}

int variantReader::indexId(const std::string& chrom) const {
    if (tabix) return tbx_name2id(tabix, chrom.c_str());
    if (!binIndex) return -1;
    const int id = bcf_hdr_name2id(parsedHeader, chrom.c_str());
    return id < hts_idx_nseq(binIndex) ? id : -1;
}

hts_itr_t* variantReader::query(int id, int64_t beg, int64_t end) const {
    return tabix ? tbx_itr_queryi(tabix, id, beg, end) : bcf_itr_queryi(binIndex, id, beg, end);
}

bool variantReader::loadIndex() {
    if (indexLoaded) return tabix || binIndex;
    indexLoaded = true;
    // Only BGZF, not plain gzip, can be sought through.
    if (!in->is_bgzf || in->fp.bgzf->is_gzip || !in->fp.bgzf->is_compressed || staleIndex(path))
        return false;
    if (binary)
        binIndex = bcf_index_load3(path.c_str(), nullptr, HTS_IDX_SILENT_FAIL);
    else
        tabix = tbx_index_load3(path.c_str(), nullptr, HTS_IDX_SILENT_FAIL);
    // A CSI index of more contigs than the header names was made for another file.
    if ((!tabix && !binIndex) ||
        (binIndex && hts_idx_nseq(binIndex) > parsedHeader->n[BCF_DT_CTG]) ||
        !indexDescribes(indexedContigs())) {
        if (tabix) tbx_destroy(tabix);
        if (binIndex) hts_idx_destroy(binIndex);
        tabix = nullptr, binIndex = nullptr;
    }
    // Back to the first record, whatever the checks read.
    BGZF* z = in->fp.bgzf;
    z->errcode = 0;
    if (bgzf_seek(z, dataStart, SEEK_SET) < 0) fail(damaged);
    return tabix || binIndex;
}

bool variantReader::indexDescribes(const std::vector<std::string>& contigs) {
    for (const std::string& contig : contigs) {
        const int id = indexId(contig);
        hts_itr_t* all = id >= 0 ? query(id, 0, searchEnd) : nullptr;
        if (!all) return false;
        const uint64_t first = all->n_off ? all->off[0].u : 0,
                       end = all->n_off ? all->off[all->n_off - 1].v : 0;
        const bool none = all->n_off == 0;
        hts_itr_destroy(all);
        if (none) continue;
        // The contig's first record where the index puts it, and after the
        // last that it knows, none of the contig: an index made before
        // records were appended, or for another file, does not pass.
        std::string found;
        if (!contigAt(first, found) || found != contig) return false;
        if (!contigAt(end, found) || found == contig) return false;
    }
    return true;
}

bool variantReader::contigAt(uint64_t offset, std::string& contig) {
    BGZF* z = in->fp.bgzf;
    contig.clear();
    if (bgzf_seek(z, static_cast<int64_t>(offset), SEEK_SET) < 0) return false;
    if (binary) {
        // The record's two lengths and its contig; BCF's shared part holds
        // at least its first six fields.
        uint8_t start[12];
        const ssize_t n = bgzf_read(z, start, sizeof start);
        if (n == 0 && !z->errcode) return true;
        if (n != static_cast<ssize_t>(sizeof start)) return false;
        auto word = [&start](int i) {
            return static_cast<uint32_t>(start[i]) | static_cast<uint32_t>(start[i + 1]) << 8 |
                   static_cast<uint32_t>(start[i + 2]) << 16 |
                   static_cast<uint32_t>(start[i + 3]) << 24;
        };
        const int32_t rid = static_cast<int32_t>(word(8));
        if (word(0) < 24 || rid < 0 || rid >= parsedHeader->n[BCF_DT_CTG]) return false;
        contig = bcf_hdr_id2name(parsedHeader, rid);
        return true;
    }
    kstring_t line = {0, 0, nullptr};
    const int r = bgzf_getline(z, '\n', &line);
    const bool read = r >= 0 ? !z->errcode : r == -1 && !z->errcode;
    if (r >= 0) contig.assign(line.s, strcspn(line.s, "\t"));
    free(line.s);
    return read && (r < 0 || !contig.empty());
}

bool variantReader::skip(const std::string& chrom, int64_t pos, bool toLast) {
    if (!loadIndex()) return false;
    const int id = indexId(chrom);
    if (id < 0) return false;
    int64_t from = pos - 1;
    // htslib's query looks through every bin up to the end asked for, and
    // for an end beyond its bins through many more numbers: the first
    // query asks up to searchEnd, and only when that finds nothing, to the
    // end of what a position can be.
    int64_t to = searchEnd;
    if (toLast) {
        // The last base that a record covers, or one beyond it: the index
        // lists stretches of the file for [from, to) up to it and none after
        // it. Reading from the first of them finds the last records; any
        // stretch it lists is the start of a record, and the reading goes on
        // to the end. Each query asks only up to where none was found, which
        // keeps the bins htslib looks through few.
        int64_t lo = 0, hi = searchEnd;
        while (hi - lo > 1) {
            const int64_t mid = lo + (hi - lo) / 2;
            hts_itr_t* q = query(id, mid, hi);
            const bool any = q && q->n_off > 0;
            if (q) hts_itr_destroy(q);
            (any ? lo : hi) = mid;
        }
        from = lo;
        to = hi;
    }
    hts_itr_t* q = query(id, from, to);
    if (q && q->n_off == 0 && !toLast) {
        hts_itr_destroy(q);
        q = query(id, from, HTS_POS_MAX);
    }
    if (!q) return false;
    skipped = true;
    lineNumber = 0;
    bool moved = true;
    if (q->n_off == 0)
        drained = true;
    else if (bgzf_seek(in->fp.bgzf, q->off[0].u, SEEK_SET) < 0)
        moved = false;
    hts_itr_destroy(q);
    if (!moved) fail(damaged);
    return true;
}

}  // namespace seamline
