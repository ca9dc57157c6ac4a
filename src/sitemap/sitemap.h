#ifndef SEAMLINE_SITEMAP_SITEMAP_H
#define SEAMLINE_SITEMAP_SITEMAP_H

#include <htslib/hfile.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "site.h"

namespace seamline {

// The samples and sites of the run: a site map in VCF layout (text, of which
// only the sample names and five columns are read, or BCF), with an index
// that finds the site of a chunk row in constant time.
class siteMap {
public:
    // Reads the file, printing its banner and counts; a file that cannot be
    // read ends the run.
    static siteMap read(const std::string& name);
    // A map made of what another one holds (samples, contigs, contig
    // lines, text, sites and the slots of its index, as the accessors give
    // them); the parts must hold together. Without slots the index is built.
    static siteMap fromParts(std::vector<std::string> samples, std::vector<std::string> contigs,
                             std::vector<std::string> contigLines, std::string text,
                             std::vector<site> sites, std::vector<int32_t> slots = {});
    // The index: open addressing, site numbers, -1 where empty.
    const std::vector<int32_t>& slots() const { return slots_; }

    const std::vector<std::string>& samples() const { return samples_; }
    const std::vector<site>& sites() const { return sites_; }
    const std::vector<std::string>& contigs() const { return contigs_; }  // CHROM texts, in order
    const std::vector<std::string>& contigLines() const { return contigLines_; }  // ##contig lines
    const std::string& text() const { return text_; }  // every site's ID, REF and ALT
    std::string_view id(const site& s) const { return {&text_[s.text], s.idLength}; }
    std::string_view ref(const site& s) const { return {&text_[s.text + s.idLength], s.refLength}; }
    std::string_view alt(const site& s) const {
        return {&text_[s.text + s.idLength + s.refLength], s.altLength};
    }
    // The first site, in site-map order, of a chunk row, or -1. With flip, a
    // row whose alleles stand the other way round matches too, and flipped
    // tells such a match. Rows match by chromosome too, a leading "chr"
    // ignored; with one chromosome in the site map, text rows match by
    // position alone, but not a VCF or BCF record (named), whose CHROM is
    // its chromosome.
    int32_t find(std::string_view chrom, bool named, int32_t pos, std::string_view a1,
                 std::string_view a2, bool flip, bool& flipped) const;

private:
    std::vector<std::string> samples_;
    std::vector<site> sites_;
    std::string text_;
    std::vector<std::string> contigs_, contigLines_;
    std::vector<int32_t> contigChromosome_;  // per contig: its chromosome, "chr" ignored
    int32_t nchromosomes_ = 0;
    std::unordered_map<std::string, int32_t> contigOf_, chromosomeOf_;
    std::vector<int32_t> slots_;
    size_t used_ = 0;

    void readText(const std::string& name, hFILE* fp);
    void readVariant(const std::string& name, hFILE* fp);
    // where: the line or record, for messages.
    void addSamples(const std::vector<std::string>& names, const std::string& name,
                    const std::string& where);
    // f: CHROM, POS, ID, REF, ALT, checked; the position, read, in pos.
    void addSite(const std::string_view* f, int32_t pos);
    int32_t contigIndex(std::string_view chrom);
    int32_t chromosomeOfRow(std::string_view chrom, bool named) const;
    void insert(int32_t idx);
    int32_t lookup(int32_t chromosome, int32_t pos, std::string_view ref,
                   std::string_view alt) const;
};

}  // namespace seamline

#endif
