#include "sitemap/sitemap.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <new>
#include <set>

#include "failure.h"
#include "files.h"
#include "text.h"
#include "vcfread.h"
#include "vcftext.h"

namespace seamline {

namespace {

// Of a site map line too long to hold, the part that the reader looks at: a
// header line whole, nothing of another "#" line, the five leading columns of
// a data row. npos asks for more of the line.
size_t siteMapColumns(std::string_view partial) {
    if (startsWith(partial, "#CHR")) return std::string_view::npos;
    if (startsWith(partial, "#")) return 1;
    size_t fields = 0, i = 0;
    while (i < partial.size()) {
        while (i < partial.size() && partial[i] == '\t') i++;
        while (i < partial.size() && partial[i] != '\t') i++;
        if (i == partial.size()) break;
        if (++fields == 5) return i;
    }
    return std::string_view::npos;
}

// An ALT of exactly one allele, neither "." nor "0" (items between commas;
// empty items do not count).
bool isSingleAllele(std::string_view alt) {
    std::string_view first;
    size_t items = 0;
    for (size_t i = 0; i < alt.size();) {
        size_t comma = alt.find(',', i);
        if (comma == std::string_view::npos) comma = alt.size();
        if (comma > i && items++ == 0) first = alt.substr(i, comma - i);
        i = comma + 1;
    }
    return items == 1 && first != "." && first != "0";
}

// The outputs separate their fields with spaces: a site's ID, REF or ALT
// that holds one, described; empty when none does.
std::string spaceIn(const std::string_view* f) {
    const char* what[] = {"ID", "REF", "ALT"};
    for (int k = 0; k < 3; k++)
        if (f[2 + k].find(' ') != std::string_view::npos)
            return std::string(what[k]) + " " + quoted(f[2 + k]) + " holds a space";
    return "";
}

[[noreturn]] void badLine(const std::string& name, const std::string& where,
                          const std::string& what) {
    fail("cannot read [" + name + "] " + where + ": " + what);
}

std::string lineAt(size_t lineNo) { return "line " + std::to_string(lineNo); }

uint64_t keyOf(int32_t chromosome, int32_t pos, std::string_view ref, std::string_view alt) {
    std::hash<std::string_view> text;
    uint64_t h = (static_cast<uint64_t>(static_cast<uint32_t>(chromosome)) << 32) ^
                 static_cast<uint32_t>(pos);
    h = h * 0x9e3779b97f4a7c15ULL ^ text(ref);
    h = h * 0x9e3779b97f4a7c15ULL ^ text(alt);
    return h ^ (h >> 29);
}

}  // namespace

siteMap siteMap::read(const std::string& name) {
    std::cout << "Reading site map in [" << name << "]" << std::endl;
    siteMap map;
    inputFile input(name);
    // A VCF text site map is read as text, which needs only five columns.
    if (input.content() == contentKind::bcf)
        map.readVariant(name, input.release());
    else
        map.readText(name, input.release());
    std::cout << "  * #sites=" << map.sites_.size() << std::endl;
    return map;
}

siteMap siteMap::fromParts(std::vector<std::string> samples, std::vector<std::string> contigs,
                           std::vector<std::string> contigLines, std::string text,
                           std::vector<site> sites, std::vector<int32_t> slots) {
    siteMap map;
    map.samples_ = std::move(samples);
    for (const std::string& contig : contigs) map.contigIndex(contig);
    map.contigLines_ = std::move(contigLines);
    map.text_ = std::move(text);
    map.sites_ = std::move(sites);
    if (slots.empty()) {
        for (size_t i = 0; i < map.sites_.size(); i++) map.insert(static_cast<int32_t>(i));
    } else {
        map.used_ = map.sites_.size();
        map.slots_ = std::move(slots);
    }
    return map;
}

void siteMap::readText(const std::string& name, hFILE* fp) {
    ifile in(name, fp);
    lineReader lines(in);
    std::string_view line;
    std::string_view f[5];
    size_t lineNo = 0;
    try {
        while (lines.next(line, siteMapColumns)) {
            lineNo++;
            dropCarriageReturn(line);
            const headerLine kind = headerLineKind(line);
            if (kind == headerLine::columns) addSamples(headerSamples(line), name, lineAt(lineNo));
            if (kind == headerLine::contig) contigLines_.emplace_back(line);
            if (kind != headerLine::record) continue;
            // Only the five leading columns are looked at; genotypes are never split.
            fieldSplitter columns(line, "\t", fieldSplitter::runs);
            if (columns.take(5, f) < 5 || !isSingleAllele(f[4])) continue;
            int64_t pos;
            if (!parsePosition(f[1], sitePositions, pos))
                badLine(name, lineAt(lineNo), badPosition(f[1]));
            if (std::string bad = spaceIn(f); !bad.empty()) badLine(name, lineAt(lineNo), bad);
            addSite(f, static_cast<int32_t>(pos));
        }
    } catch (const std::bad_alloc&) {
        badLine(name, lineAt(lineNo + 1), "out of memory");
    }
    if (in.bad()) fail("cannot read [" + name + "]: the file is damaged or unreadable");
    in.close();
}

void siteMap::readVariant(const std::string& name, hFILE* fp) {
    variantReader reader(fp, name);
    addSamples(reader.samples(), name, "header");
    contigLines_ = reader.contigLines();
    for (size_t record = 1; reader.next(); record++) {
        const variantRecord r = reader.site();
        if (!isSingleAllele(r.alt)) continue;
        auto where = [record] { return "record " + std::to_string(record); };
        if (!isPosition(r.pos, sitePositions))
            badLine(name, where(), badPosition(std::to_string(r.pos)));
        std::string_view f[5] = {r.chrom, {}, r.id, r.ref, r.alt};
        if (std::string bad = spaceIn(f); !bad.empty()) badLine(name, where(), bad);
        addSite(f, static_cast<int32_t>(r.pos));
    }
}

void siteMap::addSamples(const std::vector<std::string>& names, const std::string& name,
                         const std::string& where) {
    std::set<std::string> seen(samples_.begin(), samples_.end());
    for (const std::string& sample : names) {
        if (sample.find(' ') != std::string::npos)
            badLine(name, where, "sample " + quoted(sample) + " holds a space");
        if (!seen.insert(sample).second)
            badLine(name, where, "sample " + quoted(sample) + " is given twice");
        samples_.push_back(sample);
    }
    std::cout << "  * #inds=" << samples_.size() << std::endl;
}

void siteMap::addSite(const std::string_view* f, int32_t pos) {
    // Step files store a site's bytes as they stand, its padding too.
    site s;
    memset(&s, 0, sizeof s);
    s.chr = leadingNumber(f[0]);
    s.pos = pos;
    s.contig = contigIndex(f[0]);
    s.idLength = static_cast<uint32_t>(f[2].size());
    s.refLength = static_cast<uint32_t>(f[3].size());
    s.altLength = static_cast<uint32_t>(f[4].size());
    s.text = text_.size();
    text_.append(f[2]).append(f[3]).append(f[4]);
    sites_.push_back(s);
    insert(static_cast<int32_t>(sites_.size() - 1));
}

int32_t siteMap::contigIndex(std::string_view chrom) {
    // Site maps list their sites chromosome by chromosome.
    if (!contigs_.empty() && contigs_.back() == chrom)
        return static_cast<int32_t>(contigs_.size() - 1);
    auto found = contigOf_.find(std::string(chrom));
    if (found != contigOf_.end()) return found->second;
    int32_t contig = static_cast<int32_t>(contigs_.size());
    contigs_.emplace_back(chrom);
    contigOf_.emplace(std::string(chrom), contig);
    auto chromosome = chromosomeOf_.emplace(std::string(withoutChr(chrom)), nchromosomes_);
    if (chromosome.second) nchromosomes_++;
    contigChromosome_.push_back(chromosome.first->second);
    return contig;
}

void siteMap::insert(int32_t idx) {
    const site& s = sites_[idx];
    int32_t chromosome = contigChromosome_[s.contig];
    // The first site in site-map order with a key wins.
    if (lookup(chromosome, s.pos, ref(s), alt(s)) >= 0) return;
    if (2 * (used_ + 1) > slots_.size()) {
        std::vector<int32_t> old = std::move(slots_);
        slots_.assign(std::max<size_t>(1024, 2 * old.size()), -1);
        used_ = 0;
        for (int32_t entry : old)
            if (entry >= 0) insert(entry);
    }
    size_t mask = slots_.size() - 1;
    size_t at = keyOf(chromosome, s.pos, ref(s), alt(s)) & mask;
    while (slots_[at] >= 0) at = (at + 1) & mask;
    slots_[at] = idx;
    used_++;
}

int32_t siteMap::lookup(int32_t chromosome, int32_t pos, std::string_view ref,
                        std::string_view alt) const {
    if (slots_.empty()) return -1;
    size_t mask = slots_.size() - 1;
    for (size_t at = keyOf(chromosome, pos, ref, alt) & mask; slots_[at] >= 0;
         at = (at + 1) & mask) {
        const site& s = sites_[slots_[at]];
        if (s.pos == pos && contigChromosome_[s.contig] == chromosome && this->ref(s) == ref &&
            this->alt(s) == alt)
            return slots_[at];
    }
    return -1;
}

int32_t siteMap::chromosomeOfRow(std::string_view chrom, bool named) const {
    if (nchromosomes_ <= 1 && !named) return 0;
    auto found = chromosomeOf_.find(std::string(withoutChr(chrom)));
    return found == chromosomeOf_.end() ? -1 : found->second;
}

int32_t siteMap::find(std::string_view chrom, bool named, int32_t pos, std::string_view a1,
                      std::string_view a2, bool flip, bool& flipped) const {
    int32_t chromosome = chromosomeOfRow(chrom, named);
    flipped = false;
    if (chromosome < 0) return -1;
    int32_t straight = lookup(chromosome, pos, a1, a2);
    if (!flip) return straight;
    // The first site in site-map order wins, whichever way it matches.
    int32_t exchanged = lookup(chromosome, pos, a2, a1);
    if (exchanged >= 0 && (straight < 0 || exchanged < straight)) {
        flipped = true;
        return exchanged;
    }
    return straight;
}

}  // namespace seamline
