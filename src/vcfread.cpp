#include "vcfread.h"

#include <htslib/bgzf.h>
#include <htslib/kseq.h>
#include <htslib/tbx.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "deflate.h"
#include "failure.h"
#include "files.h"
#include "text.h"
#include "vcftext.h"

namespace seamline {

namespace {

const char* const damaged = "the file is damaged or unreadable";

}  // namespace

void quietHtslib() { hts_set_log_level(HTS_LOG_OFF); }

variantReader::variantReader(const std::string& path, const std::string& name)
    : file(name), path(path) {
    inputFile input(path, name);
    try {
        open(input.release());
    } catch (...) {
        release();
        throw;
    }
}

variantReader::variantReader(hFILE* fp, const std::string& name) : file(name), path(name) {
    try {
        open(fp);
    } catch (...) {
        release();
        throw;
    }
}

variantReader::~variantReader() { release(); }

void variantReader::release() {
    if (tabix) tbx_destroy(tabix);
    if (binIndex) hts_idx_destroy(binIndex);
    tabix = nullptr, binIndex = nullptr;
    if (parsed) bcf_destroy(parsed);
    if (parsedHeader) bcf_hdr_destroy(parsedHeader);
    if (in) hts_close(in);
    parsed = nullptr, parsedHeader = nullptr, in = nullptr;
    free(text_.s);
    text_ = {0, 0, nullptr};
}

void variantReader::fail(const std::string& reason) const {
    seamline::fail("cannot read [" + file + "]: " + reason);
}

void variantReader::open(hFILE* fp) {
    in = hts_hopen(fp, path.c_str(), "r");
    if (!in) {
        hclose_abruptly(fp);
        fail(damaged);
    }
    const htsFormat* kind = hts_get_format(in);
    // htslib detects VCF through an xz or zstd compression that its line
    // reader cannot read (it aborts).
    if (const char* compression = unreadableCompression(kind->compression))
        fail(std::string("VCF compressed with ") + compression +
             " cannot be read; compress it with bgzip");
    binary = kind->format == bcf;
    if (binary)
        readBinaryHeader();
    else if (kind->format == vcf)
        readTextHeader();
    else
        fail("not a VCF or BCF file");
    if (in->is_bgzf) dataStart = bgzf_tell(in->fp.bgzf);
    parsed = bcf_init();
    if (!parsed) fail("out of memory");
}

int variantReader::readLine(kstring_t& into) {
    int r = hts_getline(in, KS_SEP_LINE, &into);
    // A BGZF reader hands out the part of a line before damage first.
    return r >= 0 && in->is_bgzf && in->fp.bgzf->errcode ? -2 : r;
}

const char* variantReader::endProblem() const {
    if (!in->is_bgzf) return nullptr;
    const BGZF* z = in->fp.bgzf;
    if (z->errcode) return damaged;
    if (z->no_eof_block) return "the file is cut short (no BGZF end-of-file block)";
    return nullptr;
}

void variantReader::failBlamingDamage(const std::string& reason) {
    kstring_t ahead = {0, 0, nullptr};
    int r = readLine(ahead);
    free(ahead.s);
    if (r < -1) fail(damaged);
    const char* problem = r == -1 ? endProblem() : nullptr;
    fail(problem ? problem : reason);
}

void variantReader::readTextHeader() {
    for (;;) {
        int r = readLine(text_);
        if (r < -1) fail(damaged);
        if (r == -1) {
            const char* problem = endProblem();
            fail(problem ? problem : "no #CHROM header line");
        }
        lineNumber++;
        std::string_view line(text_.s, text_.l);
        // An empty line is passed over, as htslib does.
        if (line.empty()) continue;
        headerText.append(line).push_back('\n');
        switch (headerLineKind(line)) {
            case headerLine::contig:
                contigHeaderLines.emplace_back(line);
                break;
            case headerLine::columns:
                sampleNames = headerSamples(line);
                refuseRepeatedSamples();
                return;
            case headerLine::record:
                fail(atLine() + "a record before the #CHROM line");
            case headerLine::other:
                break;
        }
    }
}

void variantReader::refuseRepeatedSamples() const {
    std::unordered_map<std::string_view, bool> seen;
    for (const std::string& sample : sampleNames)
        if (!seen.emplace(sample, true).second) fail("sample " + sample + " appears twice");
}

void variantReader::readBinaryHeader() {
    parsedHeader = bcf_hdr_read(in);
    if (!parsedHeader) {
        diagnoseBinaryHeader();
        fail(damaged);
    }
    for (int i = 0; i < bcf_hdr_nsamples(parsedHeader); i++)
        sampleNames.emplace_back(parsedHeader->samples[i]);
    kstring_t line = {0, 0, nullptr};
    for (int i = 0; i < parsedHeader->nhrec; i++) {
        if (parsedHeader->hrec[i]->type != BCF_HL_CTG) continue;
        line.l = 0;
        if (bcf_hrec_format(parsedHeader->hrec[i], &line) < 0) {
            free(line.s);
            fail("out of memory");
        }
        std::string_view contig(line.s, line.l);
        while (!contig.empty() && contig.back() == '\n') contig.remove_suffix(1);
        contigHeaderLines.emplace_back(contig);
    }
    free(line.s);
}

void variantReader::passHeader() {
    if (binary) {
        bcf_hdr_t* again = bcf_hdr_read(in);
        if (!again) fail(damaged);
        bcf_hdr_destroy(again);
        return;
    }
    while (readLine(text_) >= 0) {
        lineNumber++;
        if (headerLineKind(std::string_view(text_.s, text_.l)) == headerLine::columns) return;
    }
    fail("the file has changed since it was first read");
}

void variantReader::diagnoseBinaryHeader() {
    // htslib refuses a header of repeated samples without saying so; its
    // text, read again, tells.
    htsFile* again = hts_open(path.c_str(), "r");
    if (!again) return;
    char start[9];
    std::string text;
    if (again->is_bgzf && bgzf_read(again->fp.bgzf, start, 9) == 9) {
        uint32_t length = static_cast<uint8_t>(start[5]) | static_cast<uint8_t>(start[6]) << 8 |
                          static_cast<uint8_t>(start[7]) << 16 |
                          static_cast<uint32_t>(static_cast<uint8_t>(start[8])) << 24;
        text.resize(std::min<uint32_t>(length, uint32_t(1) << 30));
        if (bgzf_read(again->fp.bgzf, &text[0], text.size()) != static_cast<ssize_t>(text.size()))
            text.clear();
    }
    hts_close(again);
    fieldSplitter lines(text, "\n", fieldSplitter::runs);
    for (std::string_view line; lines.next(line);)
        if (headerLineKind(line) == headerLine::columns) {
            sampleNames = headerSamples(line);
            refuseRepeatedSamples();
        }
}

bcf_hdr_t* variantReader::header() {
    if (parsedHeader) return parsedHeader;
    parsedHeader = bcf_hdr_init("r");
    std::string lines = headerText;
    if (!parsedHeader || bcf_hdr_parse(parsedHeader, &lines[0]) < 0) fail(damaged);
    addIndexContigs();
    return parsedHeader;
}

void variantReader::addIndexContigs() {
    tbx_t* index =
        staleIndex(path) ? nullptr : tbx_index_load3(path.c_str(), nullptr, HTS_IDX_SILENT_FAIL);
    if (!index) return;
    int n = 0;
    const char** names = tbx_seqnames(index, &n);
    bool added = false;
    for (int i = 0; names && i < n; i++) {
        if (bcf_hdr_name2id(parsedHeader, names[i]) >= 0) continue;
        const std::string line = "##contig=<ID=" + std::string(names[i]) + ">";
        added |= bcf_hdr_append(parsedHeader, line.c_str()) == 0;
    }
    free(names);
    tbx_destroy(index);
    if (added && bcf_hdr_sync(parsedHeader) < 0) fail(damaged);
}

std::vector<std::string> variantReader::contigs() {
    int n = 0;
    const char** names = bcf_hdr_seqnames(header(), &n);
    std::vector<std::string> out(names, names + n);
    free(names);
    return out;
}

bool variantReader::next() {
    if (drained) return false;
    if (!(binary ? nextBinary() : nextText())) return false;
    records++;
    return true;
}

variantReader::mark variantReader::here() const {
    mark at;
    at.records = records;
    at.lines = lineNumber;
    if (!in->is_bgzf)
        at.offset = htell(in->fp.hfile);
    else if (in->fp.bgzf->is_compressed && !in->fp.bgzf->is_gzip)
        at.offset = bgzf_tell(in->fp.bgzf);
    return at;
}

void variantReader::restart(const mark& at) {
    const bool sought = at.offset >= 0 && !skipped &&
                        (in->is_bgzf ? bgzf_seek(in->fp.bgzf, at.offset, SEEK_SET)
                                     : hseek(in->fp.hfile, at.offset, SEEK_SET)) >= 0;
    if (sought) {
        records = at.records;
        lineNumber = at.lines;
    } else {
        // From the start: the file is opened anew and read up to the place.
        // The header read first stays, with what its records added to it.
        hts_close(in);
        in = nullptr;
        inputFile input(path, file);
        hFILE* fp = input.release();
        in = hts_hopen(fp, path.c_str(), "r");
        if (!in) {
            hclose_abruptly(fp);
            fail(damaged);
        }
        records = 0, lineNumber = 0, skipped = false, drained = false;
        passHeader();
        while (records < at.records)
            if (!next()) fail("the file has changed since it was first read");
    }
    parsedCurrent = false;
}

uint32_t variantReader::checksum() const {
    if (!binary) return gzipCrc(0, text_.s, text_.l);
    return gzipCrc(gzipCrc(0, parsed->shared.s, parsed->shared.l), parsed->indiv.s,
                   parsed->indiv.l);
}

void variantReader::seek(size_t n) {
    while (records <= n)
        if (!next()) fail("the file has changed since it was first read");
    if (records != n + 1) fail("the file has changed since it was first read");
}

bool variantReader::nextText() {
    for (;;) {
        int r = readLine(text_);
        if (r == -1) {
            if (const char* problem = endProblem()) fail(problem);
            return false;
        }
        if (r < -1) fail(damaged);
        lineNumber++;
        if (text_.l > 0) break;
    }
    parsedCurrent = false;
    return true;
}

bool variantReader::nextBinary() {
    int r = bcf_read(in, parsedHeader, parsed);
    if (r == -1) {
        if (const char* problem = endProblem()) fail(problem);
        return false;
    }
    if (r < -1 || parsed->errcode || bcf_unpack(parsed, BCF_UN_STR) < 0 || parsed->n_allele < 1)
        fail(damaged);
    return true;
}

variantRecord variantReader::site() {
    if (binary) {
        current.chrom = bcf_seqname_safe(parsedHeader, parsed);
        current.id = parsed->d.id;
        current.ref = parsed->d.allele[0];
        altText.clear();
        for (int a = 1; a < parsed->n_allele; a++) {
            if (a > 1) altText += ',';
            altText += parsed->d.allele[a];
        }
        current.alt = parsed->n_allele > 1 ? std::string_view(altText) : std::string_view(".");
        current.pos = parsed->pos + 1;
        return current;
    }
    std::string_view fields[9];
    fieldSplitter columns(line(), "\t", fieldSplitter::exact);
    const size_t n = columns.take(9, fields);
    if (n < 8)
        failBlamingDamage(atLine() + std::to_string(n) + " columns, a record has at least 8");
    current.chrom = fields[0];
    current.id = fields[2];
    current.ref = fields[3];
    current.alt = fields[4];
    current.format = n == 9 ? fields[8] : std::string_view();
    std::string_view rest;
    current.samples = n == 9 && columns.rest(rest) ? rest.data() : nullptr;
    if (!parsePosition(fields[1], maxPosition, current.pos))
        failBlamingDamage(atLine() + "bad position '" + std::string(fields[1]) + "'");
    return current;
}

bcf1_t* variantReader::record() {
    if (binary) return parsed;
    if (!parsedCurrent) {
        parsedCurrent = true;
        // A contig or key that the header lacks is added to it, as htslib
        // does, with a definition that takes any value.
        const int added = BCF_ERR_CTG_UNDEF | BCF_ERR_TAG_UNDEF;
        bcf_hdr_t* h = header();
        // The parser changes the line; a copy serves the message if it fails.
        unparsed.assign(text_.s, text_.l);
        if (vcf_parse(&text_, h, parsed) < 0 || (parsed->errcode & ~added) ||
            bcf_unpack(parsed, BCF_UN_STR) < 0)
            refuseRecord(unparsed);
        parsed->errcode = 0;
    }
    return parsed;
}

void variantReader::refuseRecord(std::string_view line) const {
    // A genotype that is not one is the usual reason, and can be named.
    std::string_view columns[10], gt;
    bool twice;
    if (recordColumns(line, columns)) {
        const int index = keyIndex(columns[8], "GT", twice);
        fieldSplitter samples(columns[9], "\t", fieldSplitter::exact);
        std::string_view column;
        for (size_t j = 0; index >= 0 && j < sampleNames.size() && samples.next(column); j++)
            if (subfield(column, index, gt) && !gt.empty() && !readGenotype(gt).readable)
                fail(atLine() + "sample " + sampleNames[j] + ": GT '" + std::string(gt) +
                     "' is not a genotype");
    }
    fail(atLine() + "htslib cannot read the record");
}

std::string variantReader::atLine() const {
    if (skipped)
        return "line " + std::to_string(lineNumber) + " of the region found through the index: ";
    return "line " + std::to_string(lineNumber) + ": ";
}

std::string variantReader::where() const {
    return "position " + std::to_string(current.pos) + ": ";
}

std::string variantReader::where(size_t sample) const {
    return "position " + std::to_string(current.pos) + ", sample " + sampleNames[sample] + ": ";
}

std::vector<int32_t> sampleOrder(const std::vector<std::string>& wanted,
                                 const std::vector<std::string>& inFile, const std::string& name,
                                 const std::string& reference) {
    auto refuse = [&name](const std::string& sample, const std::string& problem) {
        seamline::fail("cannot read [" + name + "]: sample " + sample + problem);
    };
    std::unordered_map<std::string_view, int32_t> index;
    for (size_t k = 0; k < wanted.size(); k++)
        if (!index.emplace(wanted[k], static_cast<int32_t>(k)).second)
            refuse(wanted[k], " is listed twice in " + reference);
    std::vector<int32_t> order(inFile.size(), -1);
    std::vector<bool> seen(wanted.size(), false);
    for (size_t j = 0; j < inFile.size(); j++) {
        auto it = index.find(inFile[j]);
        if (it == index.end()) refuse(inFile[j], " is not in " + reference);
        if (seen[it->second]) refuse(inFile[j], " appears twice");
        seen[it->second] = true;
        order[j] = it->second;
    }
    for (size_t k = 0; k < wanted.size(); k++)
        if (!seen[k]) refuse(wanted[k], " of " + reference + " is missing");
    return order;
}

}  // namespace seamline
