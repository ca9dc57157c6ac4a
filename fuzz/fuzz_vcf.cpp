// The VCF/BCF reader. Input: the bytes of a file of any kind (VCF text,
// gzip, BGZF, BCF). Plain VCF text is also read by a plain reference here,
// field by field, and both must take and refuse the same records and give
// the same bits: the in-place splitting, the eight-at-a-time genotype path
// and the general one are all checked against it.
#include <htslib/hfile.h>
#include <htslib/hts.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "failure.h"
#include "require.h"
#include "sitemap/chunks.h"
#include "text.h"
#include "vcfread.h"

namespace {

std::vector<std::string> split(const std::string& text, char delimiter) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(delimiter, start)) != std::string::npos; start = at + 1)
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
}

// An allele index of digits only, 0 or 1; -1 for anything else.
int allele(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return -1;
    size_t first = text.find_first_not_of('0');
    std::string value = first == std::string::npos ? "0" : text.substr(first);
    return value == "0" ? 0 : value == "1" ? 1 : -1;
}

// The two bits of a genotype the reader must take, or -1.
int pairOf(const std::string& gt) {
    size_t separator = gt.find_first_of("|/");
    if (separator == std::string::npos) return -1;
    int a = allele(gt.substr(0, separator)), b = allele(gt.substr(separator + 1));
    if (a < 0 || b < 0 || (gt[separator] == '/' && a != b)) return -1;
    return a | b << 1;
}

// Every failure of the reader names the input, and it is "input" here.
void requireNamed(const seamline::failure& failure) {
    const std::string prefix = "cannot read [input]: ";
    require(std::string(failure.what()).compare(0, prefix.size(), prefix) == 0);
}

// 1: a record; 0: the end of the data; -1: a failure.
int nextRecord(seamline::variantReader& reader, seamline::variantRecord& record) {
    try {
        if (!reader.next()) return 0;
        record = reader.site();
        return 1;
    } catch (const seamline::failure& failure) {
        requireNamed(failure);
        return -1;
    }
}

bool decoded(seamline::variantReader& reader, const seamline::variantRecord& record,
             const std::vector<int32_t>& order, uint64_t* bits) {
    try {
        seamline::phasedPairs(reader, record, order, bits);
        return true;
    } catch (const seamline::failure& failure) {
        requireNamed(failure);
        return false;
    }
}

// Reads the whole text with the reader and with the reference, in step.
void compareWithReference(seamline::variantReader& reader, const std::string& text) {
    std::vector<std::string> lines = split(text, '\n');
    size_t line = 0;
    while (line < lines.size() && lines[line].compare(0, 4, "#CHR") != 0) line++;
    // The column names: fields between runs of tabs, the tenth on are samples.
    std::vector<std::string> header, samples;
    for (const std::string& field : split(lines[line], '\t'))
        if (!field.empty()) header.push_back(field);
    if (header.size() > 9) samples.assign(header.begin() + 9, header.end());
    require(reader.samples() == samples);
    std::vector<int32_t> order(samples.size());
    for (size_t j = 0; j < order.size(); j++)
        order[j] = static_cast<int32_t>(samples.size() - 1 - j);
    seamline::variantRecord record;
    for (line++; line < lines.size(); line++) {
        if (lines[line].empty()) continue;
        std::vector<std::string> fields = split(lines[line], '\t');
        const std::string& pos = fields[fields.size() > 1 ? 1 : 0];
        // Leading zeros are taken.
        const std::string digits = pos.substr(std::min(pos.find_first_not_of('0'), pos.size()));
        bool recordOk = fields.size() >= 8 && !digits.empty() && digits.size() <= 19 &&
                        pos.find_first_not_of("0123456789") == std::string::npos &&
                        std::stoull(digits) <= static_cast<uint64_t>(seamline::maxPosition);
        require(nextRecord(reader, record) == (recordOk ? 1 : -1));
        if (!recordOk) return;
        require(record.chrom == fields[0] && record.id == fields[2] && record.ref == fields[3] &&
                record.alt == fields[4] && record.pos == std::stoll(digits));

        std::vector<uint64_t> expected((2 * samples.size() + 63) / 64 + 1, 0);
        bool genotypesOk = true;
        if (!samples.empty()) {
            std::vector<std::string> keys = split(fields.size() > 8 ? fields[8] : "", ':');
            size_t gt = 0;
            while (gt < keys.size() && keys[gt] != "GT") gt++;
            genotypesOk = fields.size() == 9 + samples.size() && gt < keys.size();
            for (size_t j = 0; genotypesOk && j < samples.size(); j++) {
                std::vector<std::string> parts = split(fields[9 + j], ':');
                int pair = pairOf(gt < parts.size() ? parts[gt] : ".");
                genotypesOk = pair >= 0;
                size_t k = order[j];
                if (genotypesOk) expected[k >> 5] |= static_cast<uint64_t>(pair) << (2 * (k & 31));
            }
        }
        std::vector<uint64_t> bits(expected.size(), 0);
        require(decoded(reader, record, order, bits.data()) == genotypesOk);
        if (!genotypesOk) return;
        require(bits == expected);
    }
    require(nextRecord(reader, record) == 0);
}

// The reference refuses a header without a #CHR line, with a record before it,
// or with a sample name twice.
bool referenceTakesHeader(const std::string& text) {
    for (const std::string& line : split(text, '\n')) {
        if (line.compare(0, 4, "#CHR") == 0) {
            std::vector<std::string> header;
            for (const std::string& field : split(line, '\t'))
                if (!field.empty()) header.push_back(field);
            std::set<std::string> samples;
            for (size_t j = 9; j < header.size(); j++)
                if (!samples.insert(header[j]).second) return false;
            return true;
        }
        if (!line.empty() && line[0] != '#') return false;
    }
    return false;
}

// Reads every record and its genotypes until the end or a failure.
void readThrough(seamline::variantReader& reader) {
    std::vector<int32_t> order(reader.samples().size());
    for (size_t j = 0; j < order.size(); j++) order[j] = static_cast<int32_t>(j);
    std::vector<uint64_t> bits((2 * order.size() + 63) / 64 + 1);
    seamline::variantRecord record;
    while (nextRecord(reader, record) == 1) {
        std::fill(bits.begin(), bits.end(), 0);
        if (!decoded(reader, record, order, bits.data())) break;
    }
}

}  // namespace

// htslib's own messages are off, as in seamline: the readers report every failure.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    seamline::quietHtslib();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The memory file takes over a copy of the input.
    char* copy = static_cast<char*>(malloc(size + 1));
    if (!copy) return 0;
    memcpy(copy, data, size);
    hFILE* fp = hopen("mem:", "r:", copy, size);
    if (!fp) return 0;
    htsFormat format;
    if (hts_detect_format(fp, &format) < 0 || (format.format != vcf && format.format != bcf)) {
        hclose_abruptly(fp);
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    bool reference = format.format == vcf && format.compression == no_compression &&
                     text.find('\r') == std::string::npos;
    std::unique_ptr<seamline::variantReader> reader;
    try {
        reader = std::make_unique<seamline::variantReader>(fp, "input");
    } catch (const seamline::failure& failure) {
        requireNamed(failure);
        if (reference) require(!referenceTakesHeader(text));
        return 0;
    }
    if (reference)
        compareWithReference(*reader, text);
    else
        readThrough(*reader);
    return 0;
}
