#ifndef SEAMLINE_DROPIN_RAWLINE_H
#define SEAMLINE_DROPIN_RAWLINE_H

#include <htslib/hts.h>
#include <htslib/vcf.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace seamline {

// Copies a record line of a VCF text chunk to the output as it stands,
// without parsing it into a record and formatting it again, when that gives
// the same record: its samples are the output's, in the same order, every
// key it uses is declared in its chunk's header as in the output's, and no
// field must change but GT. The GT of an exchanged sample changes as the
// record editor would change it: a phased diploid a|b becomes b|a, any other
// genotype stays as it stands. Lines that do not qualify (a sample of the
// mask whose GT is of an unusual form, per-haplotype fields to exchange,
// INFO/END, a column count that does not match) are left to the parser.
class lineCopier {
public:
    // chunk: the header of the chunk file; output: the output's header. The
    // samples must be the same, in the same order, for any line to qualify.
    lineCopier(const bcf_hdr_t* chunk, const bcf_hdr_t* output, bool sameSamples);

    // The index position of a line that was copied.
    struct placement {
        int rid = 0;  // the contig in the output header
        hts_pos_t begin = 0, end = 0;
    };

    // Appends line (without its '\n') to out with a '\n', with the GT of the
    // samples whose pair is set in exchange exchanged, and returns true; or
    // returns false, out unchanged, when the line must be parsed instead.
    bool copy(std::string_view line, const std::vector<uint64_t>& exchange, std::string& out,
              placement& where);

private:
    const bcf_hdr_t* chunk;
    const bcf_hdr_t* output;
    bool usable = false;
    std::string knownFormat;  // the last FORMAT column found usable
    bool knownHasGt = false, knownExchanges = false;
    std::vector<size_t> starts;  // where each sample column starts

    bool checkFormat(std::string_view format);
    bool exchangeGenotypes(char* line, size_t size, const std::vector<uint64_t>& exchange);
};

// Whether every key of a FILTER, INFO or FORMAT list (by type) is declared in
// the header; an INFO END is taken as undeclared, as it changes the length.
bool keysDeclared(const bcf_hdr_t* header, std::string_view list, char separator, int type);

}  // namespace seamline

#endif
